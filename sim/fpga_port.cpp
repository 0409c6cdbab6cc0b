#include "fpga_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace crx::sim {

namespace {

constexpr size_t kSpaceSize = 0x10000;

}  // namespace

bool FpgaPortDevice::admit(off_t offset, Decoded& d) {
  if (offset < 0 || uint64_t(offset) > 0xFFFFFFFFu) {
    errno = EINVAL;
    return false;
  }
  const uint32_t word = uint32_t(offset);
  d = {uint8_t(word >> 24), uint8_t(word >> 16), uint16_t(word)};
  bool scheduled_fault = false;
  {
    std::lock_guard lock(count_mutex_);
    ++transfers_;
    if (fail_countdown_ >= 0) scheduled_fault = fail_countdown_-- == 0;
  }
  if (take_fault() || scheduled_fault) {
    errno = EIO;
    return false;
  }
  return true;
}

uint64_t FpgaPortDevice::transfer_count() const {
  std::lock_guard lock(count_mutex_);
  return transfers_;
}
void FpgaPortDevice::fail_transfer_at(int64_t index) {
  std::lock_guard lock(count_mutex_);
  fail_countdown_ = index;
}

ssize_t FpgaPortDevice::pread(Handle&, void* buf, size_t len, off_t offset) {
  Decoded d{};
  if (!admit(offset, d)) return -1;
  auto* out = static_cast<uint8_t*>(buf);
  const ssize_t n = read_registers(d.target, d.page, d.address, {out, len});
  std::lock_guard lock(record_mutex_);
  if (!recording_) return n;
  FpgaPortAccess access{false, uint64_t(offset), d.target, d.page, d.address, {}};
  if (n > 0) access.data.assign(out, out + n);
  record_.push_back(std::move(access));
  return n;
}

ssize_t FpgaPortDevice::pwrite(Handle&, const void* buf, size_t len, off_t offset) {
  Decoded d{};
  if (!admit(offset, d)) return -1;
  const auto* in = static_cast<const uint8_t*>(buf);
  {
    std::lock_guard lock(record_mutex_);
    if (recording_)
      record_.push_back({true, uint64_t(offset), d.target, d.page, d.address,
                         len ? std::vector<uint8_t>(in, in + len) : std::vector<uint8_t>{}});
  }
  return write_registers(d.target, d.page, d.address, {in, len});
}

ssize_t FpgaPortDevice::read_registers(uint8_t target, uint8_t page, uint16_t address,
                                       std::span<uint8_t> out) {
  load(target, page, address, out);
  return ssize_t(out.size());
}

ssize_t FpgaPortDevice::write_registers(uint8_t target, uint8_t page, uint16_t address,
                                        std::span<const uint8_t> in) {
  store(target, page, address, in);
  return ssize_t(in.size());
}

int FpgaPortDevice::message(std::span<SpiTransfer>) {
  errno = EINVAL;
  return -1;
}

void FpgaPortDevice::poke(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> bytes) {
  store(target, page, address, bytes);
}

std::vector<uint8_t> FpgaPortDevice::peek(uint8_t target, uint8_t page, uint16_t address, size_t length) const {
  std::vector<uint8_t> out(length, 0);
  load(target, page, address, out);
  return out;
}

// Past the top of a space the bus reads zeros and drops writes.
void FpgaPortDevice::load(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) const {
  std::lock_guard lock(store_mutex_);
  auto it = store_.find(uint16_t(target << 8 | page));
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = it != store_.end() && address + i < kSpaceSize ? it->second[address + i] : 0;
}

void FpgaPortDevice::store(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> in) {
  std::lock_guard lock(store_mutex_);
  auto& bytes = store_[uint16_t(target << 8 | page)];
  if (bytes.empty()) bytes.assign(kSpaceSize, 0);
  for (size_t i = 0; i < in.size() && address + i < kSpaceSize; ++i) bytes[address + i] = in[i];
}

std::vector<FpgaPortAccess> FpgaPortDevice::accesses() const {
  std::lock_guard lock(record_mutex_);
  return record_;
}
size_t FpgaPortDevice::access_count() const {
  std::lock_guard lock(record_mutex_);
  return record_.size();
}
void FpgaPortDevice::clear_accesses() {
  std::lock_guard lock(record_mutex_);
  record_.clear();
}
void FpgaPortDevice::set_recording(bool on) {
  std::lock_guard lock(record_mutex_);
  recording_ = on;
}

}  // namespace crx::sim

#include "mtd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

namespace crx::sim {

MtdPartition::MtdPartition(uint32_t size, uint32_t erase_size, uint32_t write_size, uint8_t type)
    : memory_(size, 0xFF), erase_size_(erase_size), write_size_(write_size), type_(type), read_limit_(size) {}

void MtdPartition::attach(Sandbox& sandbox, std::shared_ptr<MtdPartition> part, int index, const std::string& name) {
  char line[128];
  std::string table = "dev:    size   erasesize  name\n";
  const char* others[] = {"SPINOR.boot", "SPINOR.env", "SPINOR.kernel"};
  for (int i = 0; i < index && i < 3; ++i) {
    std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", i, 0x100000u, 0x10000u, others[i]);
    table += line;
  }
  std::snprintf(line, sizeof line, "mtd%d: %08zx %08x \"%s\"\n", index, part->memory_.size(), part->erase_size_,
                name.c_str());
  table += line;
  std::snprintf(line, sizeof line, "mtd%d: %08x %08x \"%s\"\n", index + 1, 0x800000u, 0x20000u, "NAND.rootfs");
  table += line;
  sandbox.write_file("/proc/mtd", table, 0444);
  sandbox.add_device("/dev/mtd" + std::to_string(index), std::move(part));
}

int MtdPartition::open(Handle& h) {
  if (Device::open(h) < 0) return -1;
  std::lock_guard lock(state_mutex_);
  ++opens_;
  return 0;
}

ssize_t MtdPartition::read(Handle& h, void* buf, size_t len) {
  if (take_fault()) {
    errno = EIO;
    return -1;
  }
  std::lock_guard lock(state_mutex_);
  const size_t end = std::min(read_limit_, memory_.size());
  if (h.position < 0 || static_cast<size_t>(h.position) >= end) return 0;
  const size_t n = std::min({len, end - static_cast<size_t>(h.position), max_transfer_});
  std::memcpy(buf, memory_.data() + h.position, n);
  h.position += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

ssize_t MtdPartition::write(Handle& h, const void* buf, size_t len) {
  if (take_fault()) {
    errno = EIO;
    return -1;
  }
  std::lock_guard lock(state_mutex_);
  if (h.position < 0 || static_cast<size_t>(h.position) >= memory_.size()) {
    errno = ENOSPC;
    return -1;
  }
  const size_t n = std::min({len, memory_.size() - static_cast<size_t>(h.position), max_transfer_});
  const auto* in = static_cast<const uint8_t*>(buf);
  for (size_t i = 0; i < n; ++i) memory_[static_cast<size_t>(h.position) + i] &= in[i];
  h.position += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

off_t MtdPartition::lseek(Handle& h, off_t offset, int whence) {
  std::lock_guard lock(state_mutex_);
  if (seek_fails_) {
    errno = EINVAL;
    return -1;
  }
  if (whence == SEEK_END) {
    h.position = static_cast<off_t>(memory_.size()) + offset;
    return h.position;
  }
  return Device::lseek(h, offset, whence);
}

int MtdPartition::ioctl(Handle&, unsigned long request, void* arg) {
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  std::lock_guard lock(state_mutex_);
  if (request == MEMGETINFO) {
    if (info_fails_) {
      errno = EIO;
      return -1;
    }
    mtd_info_user info{};
    info.type = type_;
    info.flags = MTD_WRITEABLE;
    info.size = static_cast<uint32_t>(memory_.size());
    info.erasesize = erase_size_;
    info.writesize = write_size_;
    std::memcpy(arg, &info, sizeof info);
    return 0;
  }
  if (request == MEMUNLOCK || request == MEMERASE) {
    erase_info_user ei{};
    std::memcpy(&ei, arg, sizeof ei);
    if (ei.start % erase_size_ || ei.length % erase_size_ || ei.length == 0 ||
        uint64_t{ei.start} + ei.length > memory_.size()) {
      errno = EINVAL;
      return -1;
    }
    const int err = request == MEMUNLOCK ? unlock_error_ : erase_error_;
    if (err) {
      errno = err;
      return -1;
    }
    if (request == MEMUNLOCK) {
      unlocks_.push_back(ei.start);
      return 0;
    }
    std::fill_n(memory_.begin() + ei.start, ei.length, 0xFF);
    for (uint32_t s = ei.start; s < ei.start + ei.length; s += erase_size_) erases_.push_back(s);
    return 0;
  }
  errno = ENOTTY;
  return -1;
}

void MtdPartition::load(uint32_t offset, std::span<const uint8_t> bytes) {
  std::lock_guard lock(state_mutex_);
  if (offset + bytes.size() > memory_.size()) throw std::out_of_range("load beyond the end of the partition");
  std::copy(bytes.begin(), bytes.end(), memory_.begin() + offset);
}

std::vector<uint8_t> MtdPartition::contents(uint32_t offset, size_t length) const {
  std::lock_guard lock(state_mutex_);
  if (offset + length > memory_.size()) throw std::out_of_range("read beyond the end of the partition");
  return {memory_.begin() + offset, memory_.begin() + offset + static_cast<long>(length)};
}

void MtdPartition::set_unlock_error(int err) {
  std::lock_guard lock(state_mutex_);
  unlock_error_ = err;
}
void MtdPartition::set_erase_error(int err) {
  std::lock_guard lock(state_mutex_);
  erase_error_ = err;
}
void MtdPartition::set_seek_fails(bool on) {
  std::lock_guard lock(state_mutex_);
  seek_fails_ = on;
}
void MtdPartition::set_info_fails(bool on) {
  std::lock_guard lock(state_mutex_);
  info_fails_ = on;
}
void MtdPartition::set_read_limit(size_t offset) {
  std::lock_guard lock(state_mutex_);
  read_limit_ = offset;
}
void MtdPartition::set_max_transfer(size_t n) {
  std::lock_guard lock(state_mutex_);
  max_transfer_ = n ? n : 1;
}
int MtdPartition::opens() const {
  std::lock_guard lock(state_mutex_);
  return opens_;
}
std::vector<uint32_t> MtdPartition::erases() const {
  std::lock_guard lock(state_mutex_);
  return erases_;
}
std::vector<uint32_t> MtdPartition::unlocks() const {
  std::lock_guard lock(state_mutex_);
  return unlocks_;
}

}  // namespace crx::sim

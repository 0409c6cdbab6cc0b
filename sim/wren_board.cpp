#include "wren_board.h"

#include <cstring>
#include <thread>

namespace crx::sim {

namespace {

constexpr uint8_t kWriteBit = 0x80;

}  // namespace

// ---------------------------------------------------------------- SX1301

int WrenSx1301Port::message(std::span<SpiTransfer> transfers) {
  const std::vector<uint8_t> sent = gather(transfers);
  std::vector<uint8_t> answer(sent.size(), 0);
  if (sent.empty()) return 0;
  const uint8_t address = sent[0] & 0x7F;
  const std::span<const uint8_t> data(sent.data() + 1, sent.size() - 1);
  if (!(sent[0] & kWriteBit)) {
    chip_.read(address, std::span<uint8_t>(answer.data() + 1, answer.size() - 1));
    return scatter(transfers, answer);
  }
  chip_.write(address, data);
  if (address == 0 && !data.empty()) {
    std::chrono::microseconds delay;
    {
      std::lock_guard lock(mutex_);
      page_writes_.push_back(data[0]);
      delay = page_delay_;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
  }
  return scatter(transfers, answer);
}

std::vector<uint8_t> WrenSx1301Port::page_writes() const {
  std::lock_guard lock(mutex_);
  return page_writes_;
}
void WrenSx1301Port::clear_page_writes() {
  std::lock_guard lock(mutex_);
  page_writes_.clear();
}
void WrenSx1301Port::set_page_write_delay(std::chrono::microseconds delay) {
  std::lock_guard lock(mutex_);
  page_delay_ = delay;
}

// ---------------------------------------------------------------- GPIO FPGA

namespace {
constexpr uint8_t kVersionReg = 0x00;
constexpr uint8_t kBuildReg = 0x01;
constexpr uint8_t kVariantReg = 0x06;
}  // namespace

WrenGpioFpga::WrenGpioFpga() {
  regs_[kVersionReg] = 0x5007;
  regs_[kBuildReg] = 0x0024;
}

bool WrenGpioFpga::read_only(uint8_t address) {
  switch (address) {
    case 0x00: case 0x01: case 0x02: case 0x03: case 0x06: case 0x07:
    case 0x0A: case 0x0C: case 0x0F: case 0x16: case 0x18: case 0x1A:
      return true;
    default:
      return false;
  }
}

int WrenGpioFpga::message(std::span<SpiTransfer> transfers) {
  const std::vector<uint8_t> sent = gather(transfers);
  std::vector<uint8_t> answer(sent.size(), 0);
  if (sent.empty()) return 0;
  const bool write = sent[0] & kWriteBit;
  const uint8_t first = sent[0] & 0x7F;
  std::lock_guard lock(mutex_);
  for (size_t i = 1; i + 1 < sent.size(); i += 2) {
    const uint8_t address = uint8_t((first + (i - 1) / 2) & 0x7F);
    if (write) {
      const uint16_t value = uint16_t(sent[i] << 8 | sent[i + 1]);
      writes_.emplace_back(address, value);
      if (!read_only(address)) regs_[address] = value;
    } else {
      answer[i] = uint8_t(regs_[address] >> 8);
      answer[i + 1] = uint8_t(regs_[address]);
    }
  }
  return scatter(transfers, answer);
}

void WrenGpioFpga::set_version(uint16_t version) { poke(kVersionReg, version); }
void WrenGpioFpga::set_build(uint16_t build) { poke(kBuildReg, build); }
void WrenGpioFpga::set_variant(uint8_t variant) {
  std::lock_guard lock(mutex_);
  regs_[kVariantReg] = uint16_t((regs_[kVariantReg] & ~0x7u) | (variant & 0x7u));
}
void WrenGpioFpga::poke(uint8_t address, uint16_t value) {
  std::lock_guard lock(mutex_);
  regs_[address & 0x7F] = value;
}
uint16_t WrenGpioFpga::peek(uint8_t address) const {
  std::lock_guard lock(mutex_);
  return regs_[address & 0x7F];
}
std::vector<std::pair<uint8_t, uint16_t>> WrenGpioFpga::register_writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

}  // namespace crx::sim

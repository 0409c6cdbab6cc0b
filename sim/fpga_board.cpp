#include "fpga_board.h"

#include <algorithm>
#include <cerrno>

namespace crx::sim {

namespace {
constexpr uint8_t kFpga = 8;
constexpr uint8_t kAnyPage = 0xFF;
constexpr size_t kSpace = 0x8001;
constexpr uint16_t kControl = 0x00;
constexpr uint16_t kVersionReg = 0x01;
constexpr uint16_t kBridgeTx = 0x40;
constexpr uint16_t kBridgeRx = 0x41;
constexpr uint16_t kBridgeStart = 0x44;
constexpr size_t kBridgeDepth = 16;
}  // namespace

FpgaBoardPort::FpgaBoardPort(int chips) : chips_(chips < 0 ? 0 : chips > kMaxChips ? kMaxChips : chips) {
  for (auto& c : chip_) c = std::make_unique<Sx1301Chip>();
  restore_defaults();
}

void FpgaBoardPort::restore_defaults() {
  regs_.assign(kSpace, 0);
  for (auto& a : blocks_) a.block->reset();
  tx_queue_.clear();
  rx_queue_.clear();
  busy_left_ = 0;
}

void FpgaBoardPort::set_version(uint8_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}
void FpgaBoardPort::set_bridge_busy_reads(int reads) {
  std::lock_guard lock(mutex_);
  busy_reads_ = reads;
}
bool FpgaBoardPort::attach(uint16_t first, uint16_t count, std::shared_ptr<FpgaBlock> block) {
  std::lock_guard lock(mutex_);
  if (!block || count == 0) return false;
  for (const auto& a : blocks_)
    if (first < a.first + a.count && a.first < first + count) return false;
  blocks_.push_back({first, count, std::move(block)});
  return true;
}

FpgaBlock* FpgaBoardPort::block_at(uint16_t address) const {
  for (const auto& a : blocks_)
    if (address >= a.first && address - a.first < a.count) return a.block.get();
  return nullptr;
}

int FpgaBoardPort::soft_reset_count() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

uint8_t FpgaBoardPort::fpga_load(uint16_t address) {
  if (FpgaBlock* block = block_at(address)) return block->read(address);
  switch (address) {
    case kVersionReg:
      return version_;
    case kBridgeRx: {
      if (rx_queue_.empty()) return 0;
      const uint8_t b = rx_queue_.front();
      rx_queue_.pop_front();
      return b;
    }
    case kBridgeStart: {
      const bool busy = busy_left_ != 0;
      if (busy_left_ > 0) --busy_left_;
      return uint8_t((regs_[address] & 0xFE) | (busy ? 1 : 0));
    }
    default:
      return address < kSpace ? regs_[address] : 0;
  }
}

void FpgaBoardPort::fpga_store(uint16_t address, uint8_t value) {
  if (FpgaBlock* block = block_at(address)) return block->write(address, value);
  switch (address) {
    case kControl:
      if (value & 0x80) {
        restore_defaults();
        ++resets_;
      } else {
        regs_[kControl] = value;
      }
      return;
    case kVersionReg:
    case kBridgeRx:
      return;
    case kBridgeTx:
      if (tx_queue_.size() < kBridgeDepth) tx_queue_.push_back(value);
      return;
    case kBridgeStart: {
      const bool start = (value & 1) && !(regs_[kBridgeStart] & 1);
      regs_[kBridgeStart] = value;
      if (!start) return;
      const std::vector<uint8_t> sent(tx_queue_.begin(), tx_queue_.end());
      tx_queue_.clear();
      const std::vector<uint8_t> answer = ad9361_.transact(sent);
      rx_queue_.assign(answer.begin(), answer.end());
      busy_left_ = busy_reads_;
      return;
    }
    default:
      if (address < kSpace) regs_[address] = value;
  }
}

// The buffers are queues: a burst on them stays on the address.
uint16_t FpgaBoardPort::next_address(uint16_t a) const {
  if (a == kBridgeTx || a == kBridgeRx) return a;
  if (const FpgaBlock* block = block_at(a); block && block->fifo(a)) return a;
  return uint16_t(a + 1);
}

// The port's driver runs one transfer at a time, so a page selection and
// the access after it are never split by another descriptor's transfer.
Sx1301Chip* FpgaBoardPort::select(uint8_t target, uint8_t page) {
  Sx1301Chip* chip = target < chips_ ? chip_[target].get() : nullptr;
  if (chip && page != kAnyPage) chip->select_page(page);
  return chip;
}

static bool chip_request_valid(uint8_t target, uint8_t page, uint16_t address) {
  if (target < FpgaBoardPort::kMaxChips && (page == kAnyPage || page <= 3) && address <= 0x7F) return true;
  errno = EINVAL;
  return false;
}

ssize_t FpgaBoardPort::read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  if (target == kFpga) {
    for (auto& b : out) {
      b = fpga_load(address);
      address = next_address(address);
    }
    return ssize_t(out.size());
  }
  if (!chip_request_valid(target, page, address)) return -1;
  if (Sx1301Chip* chip = select(target, page)) chip->read(uint8_t(address), out);
  else std::fill(out.begin(), out.end(), 0);
  return ssize_t(out.size());
}

ssize_t FpgaBoardPort::write_registers(uint8_t target, uint8_t page, uint16_t address,
                                       std::span<const uint8_t> in) {
  std::lock_guard lock(mutex_);
  if (target == kFpga) {
    for (uint8_t b : in) {
      fpga_store(address, b);
      address = next_address(address);
    }
    return ssize_t(in.size());
  }
  if (!chip_request_valid(target, page, address)) return -1;
  if (Sx1301Chip* chip = select(target, page)) chip->write(uint8_t(address), in);
  return ssize_t(in.size());
}

void FpgaBoardPort::poke(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> bytes) {
  if (target == kFpga) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < bytes.size() && address + i < kSpace; ++i) regs_[address + i] = bytes[i];
    return;
  }
  if (target >= kMaxChips) return;
  for (size_t i = 0; i < bytes.size(); ++i)
    chip_[target]->poke(page == kAnyPage ? chip_[target]->page() : page, uint8_t(address + i), bytes[i]);
}

std::vector<uint8_t> FpgaBoardPort::peek(uint8_t target, uint8_t page, uint16_t address, size_t length) const {
  std::vector<uint8_t> out(length, 0);
  if (target == kFpga) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < length && address + i < kSpace; ++i) out[i] = regs_[address + i];
    if (address <= kVersionReg && kVersionReg < address + length) out[kVersionReg - address] = version_;
    return out;
  }
  if (target >= kMaxChips) return out;
  for (size_t i = 0; i < length; ++i)
    out[i] = chip_[target]->peek(page == kAnyPage ? chip_[target]->page() : page, uint8_t(address + i));
  return out;
}

}  // namespace crx::sim

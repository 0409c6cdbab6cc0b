#include "fpga_board.h"

#include <algorithm>
#include <cerrno>

#include "platform/os.h"
#include "power_detector.h"

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
constexpr uint16_t kPllControl = 0x185;
constexpr uint8_t kPllReset = 0x01;
constexpr uint8_t kPllLocked = 0x02;
constexpr uint8_t kPllPowerUp = 0x05;
constexpr uint16_t kLatchedCount = 0x55;
constexpr uint16_t kPpsLatchEnable = 0x476;
constexpr uint16_t kIfChain0 = 0x80;
constexpr uint16_t kIfChain1 = 0x47A;
constexpr uint16_t kEnabledMask = 0x106;
constexpr uint16_t kRadioMux = 0x478;
constexpr uint16_t kGrouping = 0x479;
constexpr int64_t kSecondUs = 1000000;

int64_t monotonic_us() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}
int16_t word13(uint8_t low, uint8_t high) {
  const int v = (low | high << 8) & 0x1FFF;
  return int16_t(v & 0x1000 ? v - 0x2000 : v);
}
}  // namespace

FpgaBoardPort::FpgaBoardPort(int chips) : chips_(chips < 0 ? 0 : chips > kMaxChips ? kMaxChips : chips) {
  origin_us_ = monotonic_us();
  for (size_t n = 0; n < chip_.size(); ++n) {
    chip_[n] = std::make_unique<Sx1301Chip>();
    chip_[n]->set_clock([this] { return now_locked(); });  // lock-free: the chips are read under mutex_
    chip_[n]->on_release([this, n](int kind) {
      std::lock_guard lock(release_mutex_);
      releases_.emplace_back(int(n), kind);
    });
  }
  // Both calls are lock-free towards the port: the detector runs under mutex_.
  power_detector_ = std::make_shared<PowerDetector>([this] { return now_locked(); },
                                                    [this] { return ad9361_.rx_lo_hz(); });
  attach(PowerDetector::kChainSelect, 1, power_detector_);
  attach(PowerDetector::kFreqOffset, 2, power_detector_);
  attach(PowerDetector::kBandwidth, uint16_t(PowerDetector::kSample + 4 - PowerDetector::kBandwidth), power_detector_);
  attach(PowerDetector::kAddressReset, 1, power_detector_);
  attach(PowerDetector::kPeakHold, 4, power_detector_);
  restore_defaults();
}

void FpgaBoardPort::restore_defaults() {
  regs_.assign(kSpace, 0);
  regs_[kPllControl] = kPllPowerUp;
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
void FpgaBoardPort::set_fpga_pll_locks(bool locks) {
  std::lock_guard lock(mutex_);
  pll_locks_ = locks;
}
void FpgaBoardPort::push_uplinks(std::span<const std::pair<int, Uplink>> copies) {
  std::lock_guard lock(mutex_);
  for (const auto& [n, frame] : copies) chip(n).push_uplink(frame);
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
    case kLatchedCount:
    case kLatchedCount + 1:
    case kLatchedCount + 2:
    case kLatchedCount + 3:
      return uint8_t(latched_ >> (8 * (address - kLatchedCount)));
    case kBridgeStart: {
      const bool busy = busy_left_ != 0;
      if (busy_left_ > 0) --busy_left_;
      return uint8_t((regs_[address] & 0xFE) | (busy ? 1 : 0));
    }
    case kPllControl: {
      const bool locked = pll_locks_ && !(regs_[address] & kPllReset);
      return uint8_t((regs_[address] & ~kPllLocked) | (locked ? kPllLocked : 0));
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
    case kLatchedCount + 1:
    case kLatchedCount + 2:
    case kLatchedCount + 3:
      return;
    case kLatchedCount:
      latched_ = uint32_t(counter_base_ + uint64_t(now_locked()));
      return;
    case kPllControl:
      regs_[address] = value & ~kPllLocked;
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
  catch_up_pps();
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
  catch_up_pps();
  if (target == kFpga) {
    for (uint8_t b : in) {
      fpga_store(address, b);
      address = next_address(address);
    }
    return ssize_t(in.size());
  }
  if (!chip_request_valid(target, page, address)) return -1;
  if (Sx1301Chip* chip = select(target, page); chip && !chip->write(uint8_t(address), in)) {
    errno = EIO;
    return -1;
  }
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

// ---- time ----

int64_t FpgaBoardPort::now_locked() const { return monotonic_us() - origin_us_ + advanced_us_; }

int64_t FpgaBoardPort::now_us() const { return now_locked(); }

void FpgaBoardPort::latch_pps(int64_t at_us) {
  if (regs_[kPpsLatchEnable] & 1) latched_ = uint32_t(counter_base_ + uint64_t(at_us));
  for (int n = 0; n < chips_; ++n) chip_[n]->pps(at_us);
}

// Edges are taken when someone looks: the latches then hold the value of
// the last whole second passed.
void FpgaBoardPort::catch_up_pps() {
  if (!auto_pps_) return;
  const int64_t second = now_locked() / kSecondUs;
  if (second <= last_pps_second_) return;
  last_pps_second_ = second;
  latch_pps(second * kSecondUs);
}

void FpgaBoardPort::advance(int64_t us) {
  std::lock_guard lock(mutex_);
  catch_up_pps();
  advanced_us_ += us;
  catch_up_pps();
}
void FpgaBoardPort::pps() {
  std::lock_guard lock(mutex_);
  catch_up_pps();
  latch_pps(now_locked());
}
void FpgaBoardPort::set_auto_pps(bool on) {
  std::lock_guard lock(mutex_);
  auto_pps_ = on;
  last_pps_second_ = now_locked() / kSecondUs;
}
void FpgaBoardPort::set_counter_base(uint32_t base) {
  std::lock_guard lock(mutex_);
  counter_base_ = base;
}
uint32_t FpgaBoardPort::fpga_latched_count() const {
  std::lock_guard lock(mutex_);
  return latched_;
}

// ---- what the library programmed ----

int16_t FpgaBoardPort::if_word(int rf_chain, int slot) const {
  const uint16_t base = rf_chain ? kIfChain1 : kIfChain0;
  const uint16_t a = uint16_t(base + 2 * (7 - (slot & 7)));
  std::lock_guard lock(mutex_);
  return word13(regs_[a], regs_[a + 1]);
}
uint8_t FpgaBoardPort::enabled_mask() const {
  std::lock_guard lock(mutex_);
  return regs_[kEnabledMask];
}
uint8_t FpgaBoardPort::radio_mux() const {
  std::lock_guard lock(mutex_);
  return regs_[kRadioMux];
}
uint8_t FpgaBoardPort::grouping_bits() const {
  std::lock_guard lock(mutex_);
  return regs_[kGrouping] & 0x03;
}
int16_t FpgaBoardPort::channel_word(int chip, int n) const {
  const Sx1301Chip& c = *chip_[size_t(chip) % kMaxChips];
  const uint8_t a = uint8_t(0x24 + 2 * n);
  return word13(c.peek(0, a), c.peek(0, uint8_t(a + 1)));
}
uint8_t FpgaBoardPort::multisf_mask(int chip, int n) const {
  return chip_[size_t(chip) % kMaxChips]->peek(0, uint8_t(0x41 + n)) & 0x7F;
}
std::vector<std::pair<int, int>> FpgaBoardPort::firmware_releases() const {
  std::lock_guard lock(release_mutex_);
  return releases_;
}
void FpgaBoardPort::clear_firmware_releases() {
  std::lock_guard lock(release_mutex_);
  releases_.clear();
}

}  // namespace crx::sim

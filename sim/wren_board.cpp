#include "wren_board.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/os.h"

namespace crx::sim {

namespace {

constexpr uint8_t kWriteBit = 0x80;

}  // namespace

// ---------------------------------------------------------------- SX1301

namespace {
constexpr int64_t kSecondUs = 1000000;
int64_t monotonic_us() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}
}  // namespace

WrenSx1301Port::WrenSx1301Port() : origin_us_(monotonic_us()) {
  chip_.set_clock([this] { return now_us(); });
  chip_.tx_buffer().set_layout(TxBufferModel::Layout::kWren);
}

int64_t WrenSx1301Port::now_us() const { return monotonic_us() - origin_us_; }

void WrenSx1301Port::edge(int64_t at_us) {
  chip_.pps(at_us);
  std::function<void(int64_t)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = pps_hook_;
  }
  if (hook) hook(at_us);
}

void WrenSx1301Port::pps() { edge(now_us()); }

void WrenSx1301Port::set_auto_pps(bool on) {
  std::lock_guard lock(mutex_);
  auto_pps_ = on;
  last_pps_second_ = now_us() / kSecondUs;
}

void WrenSx1301Port::catch_up_pps() {
  int64_t second = 0;
  {
    std::lock_guard lock(mutex_);
    if (!auto_pps_) return;
    second = now_us() / kSecondUs;
    if (second <= last_pps_second_) return;
    last_pps_second_ = second;
  }
  edge(second * kSecondUs);
}

void WrenSx1301Port::on_pps(std::function<void(int64_t)> hook) {
  std::lock_guard lock(mutex_);
  pps_hook_ = std::move(hook);
}

int WrenSx1301Port::message(std::span<SpiTransfer> transfers) {
  catch_up_pps();
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
constexpr uint8_t kResetReg = 0x09;
constexpr uint16_t kResetBit = 1u << 12;
constexpr uint8_t kCounterSelect = 0x19;
constexpr uint8_t kCounterValue = 0x1A;
constexpr uint8_t kControlReg = 0x08;
constexpr uint16_t kLbtStartBit = 1u << 0;
constexpr uint16_t kScanEnableBit = 1u << 1;
constexpr uint8_t kMeasureStatusReg = 0x16;
constexpr uint16_t kLbtDoneBit = 1u << 8;
constexpr uint16_t kScanReadyBit = 1u << 9;
constexpr uint8_t kLbtLengthReg = 0x17;
constexpr uint8_t kScanSampleReg = 0x18;
constexpr int64_t kLbtUnitUs = 5;

// The magnitude of a level in whole dB, held to a field of `bits`.
uint16_t magnitude(double dbm, int bits) {
  const long m = std::lround(-dbm);
  return uint16_t(std::clamp(m, 0L, (1L << bits) - 1));
}
}  // namespace

void WrenGpioFpga::set_level_source(std::function<SideRadioTuning()> tuning,
                                    std::function<double(const SideRadioTuning&)> level) {
  std::lock_guard lock(mutex_);
  tuning_ = std::move(tuning);
  level_ = std::move(level);
}
void WrenGpioFpga::set_lbt_never_done(bool on) {
  std::lock_guard lock(mutex_);
  lbt_never_done_ = on;
}
void WrenGpioFpga::set_scan_never_ready(bool on) {
  std::lock_guard lock(mutex_);
  scan_never_ready_ = on;
}
void WrenGpioFpga::set_scan_ready_after_reads(int reads) {
  std::lock_guard lock(mutex_);
  scan_ready_after_ = reads;
}
void WrenGpioFpga::set_scan_samples(std::vector<uint16_t> words) {
  std::lock_guard lock(mutex_);
  scan_words_ = std::move(words);
}
void WrenGpioFpga::on_scan_event(std::function<void(ScanEvent)> hook) {
  std::lock_guard lock(mutex_);
  scan_hook_ = std::move(hook);
}
std::vector<WrenGpioFpga::Measurement> WrenGpioFpga::measurements() const {
  std::lock_guard lock(mutex_);
  return measurements_;
}
uint64_t WrenGpioFpga::samples_read() const {
  std::lock_guard lock(mutex_);
  return samples_read_;
}

void WrenGpioFpga::attach_sx1301(const std::shared_ptr<WrenSx1301Port>& sx1301) {
  {
    std::lock_guard lock(mutex_);
    sx1301_ = sx1301;
  }
  sx1301->on_pps([this](int64_t at_us) { latch(at_us); });
}

void WrenGpioFpga::latch(int64_t at_us) {
  auto port = sx1301_.lock();
  if (!port) return;
  const uint32_t chip = port->chip().count_at(at_us);
  std::lock_guard lock(mutex_);
  timer_ = chip + offset_;
}

void WrenGpioFpga::set_counter_offset(uint32_t offset) {
  std::lock_guard lock(mutex_);
  offset_ = offset;
}

uint32_t WrenGpioFpga::instantaneous_count() const {
  auto port = sx1301_.lock();
  const uint32_t chip = port ? port->chip().count() : 0;
  std::lock_guard lock(mutex_);
  return chip + offset_;
}

uint32_t WrenGpioFpga::timer() const {
  std::lock_guard lock(mutex_);
  return timer_;
}

int WrenGpioFpga::reset_pulses() const {
  std::lock_guard lock(mutex_);
  return reset_pulses_;
}

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
  auto port = sx1301_.lock();
  if (port) port->catch_up_pps();
  // Both counters as they stand, before the lock: the chip's is read
  // outside it.
  const uint32_t chip = port ? port->chip().count() : 0;
  const bool write = sent[0] & kWriteBit;
  const uint8_t first = sent[0] & 0x7F;
  // The side radio's tuning and what it hears, taken outside the lock: the
  // radio model has a lock of its own.
  std::function<SideRadioTuning()> tuning_fn;
  std::function<double(const SideRadioTuning&)> level_fn;
  {
    std::lock_guard lock(mutex_);
    tuning_fn = tuning_;
    level_fn = level_;
  }
  const SideRadioTuning tuning = tuning_fn ? tuning_fn() : SideRadioTuning{};
  const double level = level_fn ? level_fn(tuning) : -120.0;
  const int64_t now = monotonic_us();
  bool reset = false;
  std::vector<ScanEvent> events;
  std::function<void(ScanEvent)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = scan_hook_;
    for (size_t i = 1; i + 1 < sent.size(); i += 2) {
      const uint8_t address = uint8_t((first + (i - 1) / 2) & 0x7F);
      if (write) {
        const uint16_t value = uint16_t(sent[i] << 8 | sent[i + 1]);
        writes_.emplace_back(address, value);
        if (address == kResetReg && (value & kResetBit) && !(regs_[address] & kResetBit)) {
          reset = true;
          ++reset_pulses_;
        }
        if (address == kControlReg) {
          const uint16_t old = regs_[address];
          if ((value & kLbtStartBit) && !(old & kLbtStartBit)) {
            lbt_running_ = true;
            lbt_end_us_ = now + int64_t(regs_[kLbtLengthReg]) * kLbtUnitUs;
            regs_[kMeasureStatusReg] &= uint16_t(~0x1FFu);
            measurements_.push_back({true, tuning, regs_[kLbtLengthReg]});
          }
          if (!(value & kLbtStartBit)) {
            lbt_running_ = false;
            regs_[kMeasureStatusReg] &= uint16_t(~0x1FFu);
          }
          if ((value & kScanEnableBit) && !(old & kScanEnableBit)) {
            measurements_.push_back({false, tuning, 0});
            scan_ready_countdown_ = scan_ready_after_;
          }
          if (!(value & kScanEnableBit)) {
            if (old & kScanEnableBit) events.push_back(ScanEvent::kDisabled);
            regs_[kMeasureStatusReg] &= uint16_t(~kScanReadyBit);
          }
        }
        if (!read_only(address)) regs_[address] = value;
      } else {
        uint16_t v = regs_[address];
        if (address == kCounterValue) {
          const uint32_t count = regs_[kCounterSelect] < 2 ? chip + offset_ : timer_;
          v = uint16_t((regs_[kCounterSelect] & 1) ? count >> 16 : count);
        }
        if (address == kMeasureStatusReg) {
          if (lbt_running_ && !lbt_never_done_ && now >= lbt_end_us_) {
            // The level as the window closes.
            lbt_running_ = false;
            regs_[kMeasureStatusReg] = uint16_t((regs_[kMeasureStatusReg] & ~0x1FFu) | kLbtDoneBit |
                                                magnitude(level, 7) << 1);
          }
          if ((regs_[kControlReg] & kScanEnableBit) && !scan_never_ready_ &&
              (scan_ready_countdown_ == 0 || --scan_ready_countdown_ == 0))
            regs_[kMeasureStatusReg] |= kScanReadyBit;
          v = regs_[kMeasureStatusReg];
          if (regs_[kControlReg] & kScanEnableBit) events.push_back(ScanEvent::kReadyRead);
        }
        if (address == kScanSampleReg) {
          v = scan_words_.empty() ? uint16_t(magnitude(level, 15) << 1)
                                  : scan_words_[samples_read_ % scan_words_.size()];
          ++samples_read_;
        }
        answer[i] = uint8_t(v >> 8);
        answer[i + 1] = uint8_t(v);
      }
    }
  }
  if (reset && port) port->chip().hard_reset();
  if (hook)
    for (ScanEvent e : events) hook(e);
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

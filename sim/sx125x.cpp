#include "sx125x.h"

namespace crx::sim {

namespace {
constexpr uint8_t kMode = 0x00;
constexpr uint8_t kFreqInt = 0x01;
constexpr uint8_t kFreqFracHigh = 0x02;
constexpr uint8_t kFreqFracLow = 0x03;
constexpr uint8_t kVersion = 0x07;
constexpr uint8_t kStatus = 0x11;
constexpr uint8_t kModeRxPll = 0x02;
constexpr uint8_t kStatusRxLocked = 0x02;
}  // namespace

Sx125xRadio::Sx125xRadio(Kind kind) : kind_(kind), version_(kind == Kind::kSx1255 ? 0x11 : 0x21) {
  restore_defaults();
}

void Sx125xRadio::restore_defaults() {
  regs_.fill(0);
  attempts_ = 0;
  locked_ = false;
}

Sx125xRadio::Kind Sx125xRadio::kind() const {
  std::lock_guard lock(mutex_);
  return kind_;
}
void Sx125xRadio::lock_on_attempt(int n) {
  std::lock_guard lock(mutex_);
  lock_on_ = n;
}
void Sx125xRadio::set_version(uint8_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}

void Sx125xRadio::write(uint8_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (!enabled_ || reset_) return;
  address &= 0x7F;
  record_.push_back({true, address, value});
  if (address == kVersion || address == kStatus) return;
  const uint8_t before = regs_[address];
  regs_[address] = value;
  if (address != kMode) return;
  if (!(value & kModeRxPll)) {
    locked_ = false;
  } else if (!(before & kModeRxPll)) {
    ++attempts_;
    locked_ = lock_on_ > 0 && attempts_ >= lock_on_;
  }
}

uint8_t Sx125xRadio::read(uint8_t address) {
  std::lock_guard lock(mutex_);
  if (!enabled_ || reset_) return 0;
  address &= 0x7F;
  uint8_t value = regs_[address];
  if (address == kVersion) value = version_;
  if (address == kStatus) value = locked_ ? kStatusRxLocked : 0;
  record_.push_back({false, address, value});
  return value;
}

void Sx125xRadio::set_enabled(bool enabled) {
  std::lock_guard lock(mutex_);
  enabled_ = enabled;
}
void Sx125xRadio::set_reset(bool reset) {
  std::lock_guard lock(mutex_);
  if (reset && !reset_) ++resets_;
  reset_ = reset;
  if (reset) restore_defaults();
}
bool Sx125xRadio::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}
bool Sx125xRadio::held_in_reset() const {
  std::lock_guard lock(mutex_);
  return reset_;
}
int Sx125xRadio::reset_count() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

uint8_t Sx125xRadio::peek(uint8_t address) const {
  std::lock_guard lock(mutex_);
  return regs_[address & 0x7F];
}
std::vector<Sx125xRadio::Transaction> Sx125xRadio::transactions() const {
  std::lock_guard lock(mutex_);
  return record_;
}
void Sx125xRadio::clear_transactions() {
  std::lock_guard lock(mutex_);
  record_.clear();
}
int Sx125xRadio::pll_attempts() const {
  std::lock_guard lock(mutex_);
  return attempts_;
}
bool Sx125xRadio::pll_locked() const {
  std::lock_guard lock(mutex_);
  return locked_;
}

uint32_t Sx125xRadio::rx_frequency_hz() const {
  std::lock_guard lock(mutex_);
  const uint64_t integer = regs_[kFreqInt];
  const uint64_t fraction = uint64_t{regs_[kFreqFracHigh]} << 8 | regs_[kFreqFracLow];
  // Integer steps of 2 MHz (SX1255) or 4 MHz (SX1257); fraction steps of
  // 15625/512 Hz or 15625/256 Hz.
  if (kind_ == Kind::kSx1255) return uint32_t(integer * 2000000 + fraction * 15625 / 512);
  return uint32_t(integer * 4000000 + fraction * 15625 / 256);
}

}  // namespace crx::sim

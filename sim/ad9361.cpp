#include "ad9361.h"

namespace crx::sim {

namespace {
constexpr uint16_t kSpiConfig = 0x000;
constexpr uint16_t kProductIdReg = 0x037;
constexpr uint16_t kAddressMask = 0x3FF;

constexpr uint16_t kVcoDividers = 0x005;
constexpr uint16_t kClockEnable = 0x009;
constexpr uint8_t kBbpllEnable = 0x04;
constexpr uint16_t kEnsmMode = 0x013;
constexpr uint16_t kEnsmConfig1 = 0x014;
constexpr uint16_t kCalControl = 0x016;
constexpr uint16_t kEnsmState = 0x017;
constexpr uint16_t kBbpllStatus = 0x05E;

constexpr uint16_t kRxInteger0 = 0x231;
constexpr uint16_t kRxInteger1 = 0x232;
constexpr uint16_t kRxCpConfig = 0x23D;
constexpr uint16_t kRxCpStatus = 0x244;
constexpr uint16_t kRxLock = 0x247;
constexpr uint16_t kTxInteger0 = 0x271;
constexpr uint16_t kTxInteger1 = 0x272;
constexpr uint16_t kTxCpConfig = 0x27D;
constexpr uint16_t kTxCpStatus = 0x284;
constexpr uint16_t kTxLock = 0x287;
constexpr uint8_t kCpCalStart = 0x04;

constexpr uint64_t kReferenceHz = 40000000;
constexpr uint64_t kFracModulus = 8388593;
}  // namespace

Ad9361Chip::Ad9361Chip() { restore_defaults(); }

void Ad9361Chip::restore_defaults() {
  regs_.fill(0);
  regs_[kProductIdReg] = product_id_;
  rx_tuned_ = tx_tuned_ = rx_cp_valid_ = tx_cp_valid_ = false;
}

uint8_t Ad9361Chip::load(uint16_t a) {
  switch (a) {
    case kProductIdReg:
      return product_id_;
    case kCalControl:
      return uint8_t(regs_[a] & hanging_cals_);
    case kEnsmState: {
      if (!(regs_[kClockEnable] & kBbpllEnable)) return 0x00;
      if ((regs_[kEnsmMode] & 0x01) && (regs_[kEnsmConfig1] & 0x20)) return 0x0A;
      if (regs_[kEnsmConfig1] & 0x05) return 0x05;
      return 0x00;
    }
    case kBbpllStatus:
      return uint8_t((regs_[a] & 0x7F) | ((bbpll_locks_ && (regs_[kClockEnable] & kBbpllEnable)) ? 0x80 : 0));
    case kRxLock:
      return uint8_t((regs_[a] & ~0x02) | (rx_tuned_ && rx_locks_ ? 0x02 : 0));
    case kTxLock:
      return uint8_t((regs_[a] & ~0x02) | (tx_tuned_ && tx_locks_ ? 0x02 : 0));
    case kRxCpStatus:
      return uint8_t((regs_[a] & 0x7F) | (rx_cp_valid_ ? 0x80 : 0));
    case kTxCpStatus:
      return uint8_t((regs_[a] & 0x7F) | (tx_cp_valid_ ? 0x80 : 0));
    default:
      return regs_[a];
  }
}

void Ad9361Chip::store(uint16_t a, uint8_t value) {
  if (a == kProductIdReg) return;
  const uint8_t old = regs_[a];
  regs_[a] = value;
  switch (a) {
    case kSpiConfig:
      if (value & 0x80) {
        restore_defaults();
        regs_[kSpiConfig] = value;
      }
      break;
    case kRxInteger1:
      rx_tuned_ = true;
      break;
    case kTxInteger1:
      tx_tuned_ = true;
      ++tx_words_;
      break;
    case kRxCpConfig:
      if ((value & kCpCalStart) && !(old & kCpCalStart)) {
        rx_cp_valid_ = true;
        ++rx_full_tunes_;
      }
      break;
    case kTxCpConfig:
      if ((value & kCpCalStart) && !(old & kCpCalStart)) {
        tx_cp_valid_ = true;
        ++tx_full_tunes_;
      }
      break;
    default:
      break;
  }
}

std::vector<uint8_t> Ad9361Chip::transact(std::span<const uint8_t> sent) {
  std::vector<uint8_t> answered(sent.size(), 0);
  std::lock_guard lock(mutex_);
  if (sent.size() >= 2) {
    const bool write = sent[0] & 0x80;
    const size_t count = ((sent[0] >> 4) & 0x07) + 1;
    const uint16_t address = uint16_t((sent[0] << 8 | sent[1]) & kAddressMask);
    for (size_t k = 0; k < count && 2 + k < sent.size(); ++k) {
      const uint16_t a = uint16_t((address - k) & kAddressMask);
      if (write) store(a, sent[2 + k]);
      else answered[2 + k] = load(a);
    }
  }
  record_.push_back({{sent.begin(), sent.end()}, answered});
  return answered;
}

uint64_t Ad9361Chip::lo_hz(uint16_t integer0, int divider_shift) const {
  const uint64_t integer = regs_[integer0] | uint64_t(regs_[integer0 + 1] & 0x07) << 8;
  const uint64_t frac = regs_[integer0 + 2] | uint64_t(regs_[integer0 + 3]) << 8 |
                        uint64_t(regs_[integer0 + 4] & 0x7F) << 16;
  const unsigned divider = (regs_[kVcoDividers] >> divider_shift) & 0x0F;
  const uint64_t vco = integer * kReferenceHz + (frac * kReferenceHz + kFracModulus / 2) / kFracModulus;
  return vco >> (divider + 1);
}

uint64_t Ad9361Chip::tx_lo_hz() const {
  std::lock_guard lock(mutex_);
  return tx_tuned_ ? lo_hz(kTxInteger0, 4) : 0;
}
uint64_t Ad9361Chip::rx_lo_hz() const {
  std::lock_guard lock(mutex_);
  return rx_tuned_ ? lo_hz(kRxInteger0, 0) : 0;
}

void Ad9361Chip::set_product_id(uint8_t id) {
  std::lock_guard lock(mutex_);
  product_id_ = id;
  regs_[kProductIdReg] = id;
}
void Ad9361Chip::set_rx_synth_locks(bool locks) {
  std::lock_guard lock(mutex_);
  rx_locks_ = locks;
}
void Ad9361Chip::set_tx_synth_locks(bool locks) {
  std::lock_guard lock(mutex_);
  tx_locks_ = locks;
}
void Ad9361Chip::set_hanging_calibrations(uint8_t mask) {
  std::lock_guard lock(mutex_);
  hanging_cals_ = mask;
}
void Ad9361Chip::set_bbpll_locks(bool locks) {
  std::lock_guard lock(mutex_);
  bbpll_locks_ = locks;
}
int Ad9361Chip::tx_full_tunes() const {
  std::lock_guard lock(mutex_);
  return tx_full_tunes_;
}
int Ad9361Chip::tx_words_taken() const {
  std::lock_guard lock(mutex_);
  return tx_words_;
}
int Ad9361Chip::rx_full_tunes() const {
  std::lock_guard lock(mutex_);
  return rx_full_tunes_;
}

void Ad9361Chip::poke(uint16_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  regs_[address & kAddressMask] = value;
}
uint8_t Ad9361Chip::peek(uint16_t address) const {
  std::lock_guard lock(mutex_);
  return regs_[address & kAddressMask];
}
std::vector<Ad9361Transaction> Ad9361Chip::transactions() const {
  std::lock_guard lock(mutex_);
  return record_;
}
void Ad9361Chip::clear_transactions() {
  std::lock_guard lock(mutex_);
  record_.clear();
}

}  // namespace crx::sim

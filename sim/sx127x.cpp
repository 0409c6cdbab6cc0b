#include "sx127x.h"

#include <algorithm>
#include <cmath>

namespace crx::sim {

namespace {
constexpr uint8_t kWriteBit = 0x80;
constexpr uint8_t kFifo = 0x00;
constexpr uint8_t kOpMode = 0x01;
constexpr uint8_t kFrf = 0x06;
constexpr uint8_t kRssiConfig = 0x0E;
constexpr uint8_t kRssiValue = 0x11;
constexpr uint8_t kTemp = 0x3C;
constexpr uint8_t kIrqFlags1 = 0x3E;
constexpr uint8_t kVersion = 0x42;
constexpr uint8_t kLoRaBit = 0x80;
constexpr uint8_t kModeMask = 0x07;
constexpr uint8_t kModeRxContinuous = 0x05;
constexpr uint8_t kModeReady = 0x80;
constexpr uint8_t kRxReady = 0x40;

uint8_t version_of(Sx127xRadio::Chip chip) { return chip == Sx127xRadio::Chip::kSx1272 ? 0x22 : 0x12; }
bool read_only(uint8_t a) { return a == kRssiValue || a == kTemp || a == kIrqFlags1 || a == kVersion; }
}  // namespace

Sx127xRadio::Sx127xRadio(Chip chip) : version_(version_of(chip)) {
  regs_[kOpMode] = 0x01;  // FSK standby at power on
  regs_[kIrqFlags1] = kModeReady;
}

void Sx127xRadio::set_chip(Chip chip) { set_version(version_of(chip)); }
void Sx127xRadio::set_version(uint8_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}
void Sx127xRadio::set_rx_entry(RxEntry entry) {
  std::lock_guard lock(mutex_);
  rx_entry_ = entry;
}
void Sx127xRadio::set_temperature(int celsius) {
  std::lock_guard lock(mutex_);
  temperature_ = celsius;
}
void Sx127xRadio::set_rssi_dbm(double dbm) {
  std::lock_guard lock(mutex_);
  rssi_dbm_ = dbm;
}

uint8_t Sx127xRadio::load(uint8_t address) const {
  switch (address) {
    case kVersion:
      return version_;
    case kTemp:
      return uint8_t(int8_t(std::clamp(15 - temperature_, -128, 127)));
    case kRssiValue: {
      // The offset is a 5-bit two's complement field.
      const int offset = int8_t(regs_[kRssiConfig] & 0xF8) >> 3;
      const double value = -2.0 * (rssi_dbm_ + offset);
      return uint8_t(std::clamp(std::lround(value), 0L, 255L));
    }
    default:
      return regs_[address];
  }
}

void Sx127xRadio::store(uint8_t address, uint8_t value) {
  writes_.emplace_back(address, value);
  if (read_only(address)) return;
  regs_[address] = value;
  if (address != kOpMode) return;
  const uint8_t mode = value & kModeMask;
  if ((value & kLoRaBit) || mode != kModeRxContinuous) {
    regs_[kIrqFlags1] = mode == 0 ? 0 : kModeReady;
    return;
  }
  switch (rx_entry_) {
    case RxEntry::kReady: regs_[kIrqFlags1] = kModeReady | kRxReady; break;
    case RxEntry::kModeReadyOnly: regs_[kIrqFlags1] = kModeReady; break;
    case RxEntry::kNever: regs_[kIrqFlags1] = 0; break;
  }
}

int Sx127xRadio::message(std::span<SpiTransfer> transfers) {
  const std::vector<uint8_t> sent = gather(transfers);
  std::vector<uint8_t> answer(sent.size(), 0);
  if (sent.empty()) return 0;
  const bool write = sent[0] & kWriteBit;
  const uint8_t first = sent[0] & 0x7F;
  std::lock_guard lock(mutex_);
  for (size_t i = 1; i < sent.size(); ++i) {
    const uint8_t address = first == kFifo ? kFifo : uint8_t((first + i - 1) & 0x7F);
    if (write)
      store(address, sent[i]);
    else
      answer[i] = load(address);
  }
  return scatter(transfers, answer);
}

uint8_t Sx127xRadio::peek(uint8_t address) const {
  std::lock_guard lock(mutex_);
  return load(address & 0x7F);
}
void Sx127xRadio::poke(uint8_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  regs_[address & 0x7F] = value;
}
std::vector<std::pair<uint8_t, uint8_t>> Sx127xRadio::register_writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}
void Sx127xRadio::clear_register_writes() {
  std::lock_guard lock(mutex_);
  writes_.clear();
}
uint32_t Sx127xRadio::bandwidth_hz() const {
  std::lock_guard lock(mutex_);
  // RegRxBw: mantissa code in bits 4-3 (16, 20 or 24), exponent in bits
  // 2-0; FSK bandwidth = Fxosc / (mantissa x 2^(exponent + 2)).
  const uint8_t reg = regs_[0x12];
  const unsigned mantissa = 16u + 4u * ((reg >> 3) & 3u);
  const unsigned exponent = reg & 7u;
  return uint32_t(32000000ull / (uint64_t{mantissa} << (exponent + 2)));
}

uint32_t Sx127xRadio::frequency_hz() const {
  std::lock_guard lock(mutex_);
  const uint64_t frf = uint64_t{regs_[kFrf]} << 16 | uint64_t{regs_[kFrf + 1]} << 8 | regs_[kFrf + 2];
  return uint32_t(frf * 32000000 >> 19);
}
bool Sx127xRadio::rx_continuous() const {
  std::lock_guard lock(mutex_);
  return !(regs_[kOpMode] & kLoRaBit) && (regs_[kOpMode] & kModeMask) == kModeRxContinuous;
}

}  // namespace crx::sim

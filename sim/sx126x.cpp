#include "sx126x.h"

#include <algorithm>
#include <cmath>

namespace crx::sim {

namespace {

constexpr uint8_t kModeStandbyRc = 2;
constexpr uint8_t kModeStandbyXosc = 3;
constexpr uint8_t kModeRx = 5;
constexpr uint8_t kModeTx = 6;
constexpr uint8_t kCmdOk = 0;  // nothing to report
constexpr uint8_t kCmdFailure = 5;

constexpr double kXtalHz = 32e6;

// The chip's GFSK receive bandwidths by RxBw code, from its data sheet.
uint32_t bandwidth_of(uint8_t code) {
  static const std::map<uint8_t, uint32_t> table = {
      {0x1F, 4800},   {0x17, 5800},   {0x0F, 7300},   {0x1E, 9700},   {0x16, 11700},  {0x0E, 14600},
      {0x1D, 19500},  {0x15, 23400},  {0x0D, 29300},  {0x1C, 39000},  {0x14, 46900},  {0x0C, 58600},
      {0x1B, 78200},  {0x13, 93800},  {0x0B, 117300}, {0x1A, 156200}, {0x12, 187200}, {0x0A, 234300},
      {0x19, 312000}, {0x11, 373600}, {0x09, 467000}};
  auto it = table.find(code);
  return it == table.end() ? 0 : it->second;
}

uint32_t word24(const std::vector<uint8_t>& b, size_t at) {
  return b.size() < at + 3 ? 0 : uint32_t(b[at]) << 16 | uint32_t(b[at + 1]) << 8 | b[at + 2];
}

}  // namespace

Sx126xRadio::Sx126xRadio() = default;

void Sx126xRadio::set_rssi_dbm(double dbm) {
  std::lock_guard lock(mutex_);
  rssi_dbm_ = dbm;
}
void Sx126xRadio::set_environment(Environment environment) {
  std::lock_guard lock(mutex_);
  environment_ = std::move(environment);
}
void Sx126xRadio::hold_busy_for_reads(int reads) {
  std::lock_guard lock(mutex_);
  busy_reads_ = reads;
}
bool Sx126xRadio::busy_read() {
  std::lock_guard lock(mutex_);
  busy_now_ = busy_reads_ > 0;
  if (busy_reads_ > 0) --busy_reads_;
  return busy_now_;
}

uint8_t Sx126xRadio::status(uint8_t command_status) const {
  return uint8_t((mode_ & 7) << 4 | (command_status & 7) << 1);
}

// Called with mutex_ held.
double Sx126xRadio::rssi_now() const {
  if (!environment_) return rssi_dbm_;
  const uint32_t hz = uint32_t(std::llround(freq_word_ * kXtalHz / double(1u << 25)));
  const uint32_t bw = mod_params_.size() >= 5 ? bandwidth_of(mod_params_[4]) : 0;
  return environment_(hz, bw);
}

int Sx126xRadio::message(std::span<SpiTransfer> transfers) {
  const std::vector<uint8_t> sent = gather(transfers);
  std::vector<uint8_t> answer(sent.size(), 0);
  if (sent.empty()) return 0;
  std::lock_guard lock(mutex_);
  if (busy_now_) {
    // The library sent without waiting for the line: the chip drops it.
    ++ignored_;
    return scatter(transfers, answer);
  }
  commands_.push_back(sent);
  const uint8_t op = sent[0];
  const std::vector<uint8_t> p(sent.begin() + 1, sent.end());
  auto put_status = [&](size_t at, uint8_t cs) {
    if (at < answer.size()) answer[at] = status(cs);
  };
  auto put_data = [&](size_t from, auto byte_at) {
    for (size_t i = from; i < answer.size(); ++i) answer[i] = byte_at(i - from);
  };
  switch (op) {
    case 0xC0:  // GetStatus
      put_status(1, kCmdOk);
      break;
    case 0x80:  // SetStandby
      if (!p.empty()) mode_ = p[0] ? kModeStandbyXosc : kModeStandbyRc;
      break;
    case 0x11:  // GetPacketType
      put_status(1, kCmdOk);
      put_data(2, [&](size_t) { return packet_type_; });
      break;
    case 0x8A:  // SetPacketType
      if (!p.empty()) packet_type_ = p[0];
      break;
    case 0x86:  // SetRfFrequency
      if (p.size() >= 4) freq_word_ = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
      break;
    case 0x8B:  // SetModulationParams
      mod_params_ = p;
      break;
    case 0x8C:  // SetPacketParams
      pkt_params_ = p;
      break;
    case 0x8F:  // SetBufferBaseAddress
      if (p.size() >= 2) tx_base_ = p[0], rx_base_ = p[1];
      break;
    case 0x82:  // SetRx
      rx_timeout_ = word24(p, 0);
      mode_ = kModeRx;
      break;
    case 0x83:  // SetTx
      tx_timeout_ = word24(p, 0);
      mode_ = kModeTx;
      break;
    case 0x9F:  // StopTimerOnPreamble
      if (!p.empty()) stop_on_preamble_ = p[0];
      break;
    case 0x08:  // SetDioIrqParams
      dio_params_ = p;
      break;
    case 0x12:  // GetIrqStatus
      put_status(1, kCmdOk);
      put_data(2, [&](size_t i) { return uint8_t(i == 0 ? irq_ >> 8 : i == 1 ? irq_ : 0); });
      break;
    case 0x02:  // ClearIrqStatus
      if (p.size() >= 2) irq_ &= uint16_t(~(uint16_t(p[0]) << 8 | p[1]));
      break;
    case 0x13:  // GetRxBufferStatus
      put_status(1, kCmdOk);
      put_data(2, [&](size_t i) { return uint8_t(i == 1 ? rx_base_ : 0); });
      break;
    case 0x15: {  // GetRssiInst
      put_status(1, kCmdOk);
      const long raw = std::clamp(std::lround(-2.0 * rssi_now()), 0L, 255L);
      put_data(2, [&](size_t) { return uint8_t(raw); });
      break;
    }
    case 0x0D:  // WriteRegister: address, then bytes to consecutive addresses
      if (p.size() >= 2) {
        const uint16_t a = uint16_t(p[0] << 8 | p[1]);
        for (size_t i = 2; i < p.size(); ++i) registers_[uint16_t(a + i - 2)] = p[i];
      }
      break;
    case 0x1D:  // ReadRegister: address, status, data
      if (p.size() >= 2) {
        const uint16_t a = uint16_t(p[0] << 8 | p[1]);
        put_status(3, kCmdOk);
        put_data(4, [&](size_t i) {
          auto it = registers_.find(uint16_t(a + i));
          return it == registers_.end() ? uint8_t(0) : it->second;
        });
      }
      break;
    case 0x0E:  // WriteBuffer: offset, data (wrapping at 256)
      if (!p.empty())
        for (size_t i = 1; i < p.size(); ++i) buffer_[uint8_t(p[0] + i - 1)] = p[i];
      break;
    case 0x1E:  // ReadBuffer: offset, status, data
      if (!p.empty()) {
        const uint8_t offset = p[0];
        put_status(2, kCmdOk);
        put_data(3, [&](size_t i) { return buffer_[uint8_t(offset + i)]; });
      }
      break;
    default:
      put_status(1, kCmdFailure);
      break;
  }
  return scatter(transfers, answer);
}

uint8_t Sx126xRadio::mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}
uint8_t Sx126xRadio::packet_type() const {
  std::lock_guard lock(mutex_);
  return packet_type_;
}
uint32_t Sx126xRadio::frequency_word() const {
  std::lock_guard lock(mutex_);
  return freq_word_;
}
uint32_t Sx126xRadio::frequency_hz() const {
  std::lock_guard lock(mutex_);
  return uint32_t(uint64_t{freq_word_} * 32000000 >> 25);
}
std::vector<uint8_t> Sx126xRadio::modulation_params() const {
  std::lock_guard lock(mutex_);
  return mod_params_;
}
std::vector<uint8_t> Sx126xRadio::packet_params() const {
  std::lock_guard lock(mutex_);
  return pkt_params_;
}
uint32_t Sx126xRadio::bit_rate() const {
  std::lock_guard lock(mutex_);
  const uint32_t w = word24(mod_params_, 0);
  return w ? uint32_t(std::llround(32.0 * kXtalHz / w)) : 0;
}
uint8_t Sx126xRadio::rx_bandwidth_code() const {
  std::lock_guard lock(mutex_);
  return mod_params_.size() >= 5 ? mod_params_[4] : 0;
}
uint32_t Sx126xRadio::rx_bandwidth_hz() const { return bandwidth_of(rx_bandwidth_code()); }
uint32_t Sx126xRadio::fdev_hz() const {
  std::lock_guard lock(mutex_);
  return uint32_t(std::llround(word24(mod_params_, 5) * kXtalHz / double(1u << 25)));
}
uint8_t Sx126xRadio::tx_base() const {
  std::lock_guard lock(mutex_);
  return tx_base_;
}
uint8_t Sx126xRadio::rx_base() const {
  std::lock_guard lock(mutex_);
  return rx_base_;
}
uint32_t Sx126xRadio::rx_timeout_word() const {
  std::lock_guard lock(mutex_);
  return rx_timeout_;
}
uint32_t Sx126xRadio::tx_timeout_word() const {
  std::lock_guard lock(mutex_);
  return tx_timeout_;
}
uint16_t Sx126xRadio::irq_status() const {
  std::lock_guard lock(mutex_);
  return irq_;
}
void Sx126xRadio::set_irq_status(uint16_t irq) {
  std::lock_guard lock(mutex_);
  irq_ = irq;
}
uint8_t Sx126xRadio::read_register(uint16_t address) const {
  std::lock_guard lock(mutex_);
  auto it = registers_.find(address);
  return it == registers_.end() ? 0 : it->second;
}
void Sx126xRadio::write_register(uint16_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  registers_[address] = value;
}
std::vector<std::vector<uint8_t>> Sx126xRadio::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}
void Sx126xRadio::clear_commands() {
  std::lock_guard lock(mutex_);
  commands_.clear();
}
int Sx126xRadio::ignored_while_busy() const {
  std::lock_guard lock(mutex_);
  return ignored_;
}

}  // namespace crx::sim

#include "meter_ami.h"

namespace crx::sim {

namespace {
constexpr uint16_t kAmrBase = 0x800;
constexpr uint16_t kAmrStride = 0x40;
constexpr int kAmrReceivers = 3;
constexpr uint16_t kTxStart = 0x8C0;
constexpr uint16_t kTxOffset = 0x8C1;
constexpr uint16_t kTxLength = 0x8C3;
constexpr uint16_t kTxPreamble = 0x8C4;
constexpr uint16_t kTxData = 0x8C6;
constexpr uint16_t kRxBase = 0x900;
constexpr uint16_t kRxStride = 0x40;
constexpr int kRxReceivers = 4;
constexpr uint16_t kIfOffset = 0x903;
constexpr uint16_t kControl = 0x905;
constexpr uint16_t kScanStatus = 0x906;
constexpr uint16_t kGroups = 0x907;  // two receivers per byte
constexpr uint16_t kScanTime = 0x909;
constexpr uint16_t kPreambleBits = 0x90C;
constexpr uint16_t kElapsed = 0x90E;

// Which receiver block an address belongs to, and where in it.
bool in_block(uint16_t address, uint16_t base, uint16_t stride, int count, uint16_t last, int* index,
              uint16_t* offset) {
  if (address < base) return false;
  const int i = (address - base) / stride;
  const uint16_t o = uint16_t((address - base) % stride);
  if (i >= count || o > last) return false;
  *index = i;
  *offset = o;
  return true;
}
}  // namespace

void AmiTransceivers::push_message(std::vector<uint8_t> bytes, uint8_t raw_rssi, int after_polls) {
  std::lock_guard lock(mutex_);
  Message m;
  m.bytes = std::move(bytes);
  m.rssi = raw_rssi;
  m.delay = after_polls;
  single_air_.push_back(std::move(m));
  present();
}

void AmiTransceivers::push_scan(int receiver, uint8_t group, std::vector<uint8_t> bytes, uint8_t raw_rssi,
                                uint32_t elapsed_ms) {
  std::lock_guard lock(mutex_);
  Message m;
  m.bytes = std::move(bytes);
  m.rssi = raw_rssi;
  m.group = group & 0x0F;
  m.elapsed_ms = elapsed_ms;
  scan_air_[size_t(receiver) % kRxReceivers].push_back(std::move(m));
  present();
}

void AmiTransceivers::push_amr(int receiver, int16_t channel_index, std::vector<uint8_t> bytes, uint8_t raw_rssi) {
  std::lock_guard lock(mutex_);
  Message m;
  m.bytes = std::move(bytes);
  m.rssi = raw_rssi;
  m.channel = channel_index;
  amr_[size_t(receiver) % kAmrReceivers].push_back(std::move(m));
}

std::vector<AmiTransmission> AmiTransceivers::transmissions() const {
  std::lock_guard lock(mutex_);
  return sent_;
}
std::vector<AmiRxStart> AmiTransceivers::starts() const {
  std::lock_guard lock(mutex_);
  return starts_;
}
int AmiTransceivers::stops() const {
  std::lock_guard lock(mutex_);
  return stops_;
}
bool AmiTransceivers::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}
size_t AmiTransceivers::amr_waiting(int receiver) const {
  std::lock_guard lock(mutex_);
  return amr_[size_t(receiver) % kAmrReceivers].size();
}

bool AmiTransceivers::fifo(uint16_t address) const {
  int i = 0;
  uint16_t o = 0;
  if (address == kTxData) return true;
  if (in_block(address, kAmrBase, kAmrStride, kAmrReceivers, 2, &i, &o)) return o == 2;
  if (in_block(address, kRxBase, kRxStride, kRxReceivers, 2, &i, &o)) return o == 2;
  return false;
}

void AmiTransceivers::present() {
  if (!running_) return;
  const bool scan = reg(kControl) & 0x02;
  for (int r = 0; r < kRxReceivers; ++r) {
    auto& air = scan ? scan_air_[size_t(r)] : single_air_;
    if (!scan && r > 0) break;
    Slot& slot = rx_[size_t(r)];
    if (slot.held || air.empty()) continue;
    slot.msg = std::move(air.front());
    air.pop_front();
    slot.held = true;
  }
}

void AmiTransceivers::stop() {
  ++stops_;
  running_ = false;
  for (auto& slot : rx_) slot = Slot{};
}

uint8_t AmiTransceivers::read(uint16_t address) {
  std::lock_guard lock(mutex_);
  int i = 0;
  uint16_t o = 0;
  if (in_block(address, kAmrBase, kAmrStride, kAmrReceivers, 4, &i, &o)) {
    auto& q = amr_[size_t(i)];
    if (q.empty()) return 0;
    Message& m = q.front();
    if (o == 0) return uint8_t((m.rssi << 1) | 1);
    if (o == 3) return uint8_t(m.channel);
    if (o == 4) return uint8_t((uint16_t(m.channel) >> 8) & 0x1F);
    if (o == 1) {
      const uint8_t length = uint8_t(m.bytes.size());
      if (m.bytes.empty()) q.pop_front();
      return length;
    }
    const uint8_t b = m.cursor < m.bytes.size() ? m.bytes[m.cursor] : 0;
    if (++m.cursor >= m.bytes.size()) q.pop_front();
    return b;
  }
  if (in_block(address, kRxBase, kRxStride, kRxReceivers, 2, &i, &o)) {
    Slot& slot = rx_[size_t(i)];
    const bool scan = reg(kControl) & 0x02;
    if (o == 0) {
      if (!slot.held) return 0;
      // The single-channel receiver is still busy receiving.
      if (i == 0 && !scan && slot.msg.delay > 0) {
        --slot.msg.delay;
        return 0;
      }
      return uint8_t((slot.msg.rssi << 1) | 1);
    }
    if (!slot.held) return 0;
    if (o == 1) return uint8_t(slot.msg.bytes.size());
    Message& m = slot.msg;
    return m.cursor < m.bytes.size() ? m.bytes[m.cursor++] : 0;
  }
  if (address == kScanStatus) {
    uint8_t bits = 0;
    const bool scan = reg(kControl) & 0x02;
    for (int r = 0; r < kRxReceivers && scan; ++r)
      if (rx_[size_t(r)].held) bits = uint8_t(bits | (0x10 << r));
    return uint8_t((reg(kScanStatus) & 0x0F) | bits);
  }
  if (address == kGroups || address == kGroups + 1) {
    const size_t r0 = size_t(address - kGroups) * 2;
    const uint8_t low = rx_[r0].held ? rx_[r0].msg.group : 0;
    const uint8_t high = rx_[r0 + 1].held ? rx_[r0 + 1].msg.group : 0;
    return uint8_t(low | high << 4);
  }
  if (address >= kElapsed && address < kElapsed + 16) {
    const Slot& slot = rx_[size_t(address - kElapsed) / 4];
    const uint32_t ms = slot.held ? slot.msg.elapsed_ms : 0;
    return uint8_t(ms >> (8 * ((address - kElapsed) % 4)));
  }
  return reg(address);
}

void AmiTransceivers::write(uint16_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (address == kTxData) {
    tx_fifo_.push_back(value);
    return;
  }
  if (address == kTxStart) {
    reg(address) = value;
    if (value & 1) {
      AmiTransmission t;
      t.offset = int16_t(uint16_t(reg(kTxOffset) | reg(kTxOffset + 1) << 8) << 3) >> 3;
      t.length = reg(kTxLength);
      t.preamble = uint16_t((reg(kTxPreamble) | reg(kTxPreamble + 1) << 8) & 0x3FFF);
      t.data = std::move(tx_fifo_);
      tx_fifo_.clear();
      sent_.push_back(std::move(t));
    }
    return;
  }
  if (address == kControl) {
    const uint8_t old = reg(kControl);
    reg(kControl) = value;
    if (value & 1) {
      stop();
    } else if (old & 1) {
      running_ = true;
      AmiRxStart s;
      s.scan = value & 0x02;
      s.slow_rate = value & 0x04;
      s.if_offset = int16_t(uint16_t(reg(kIfOffset) | reg(kIfOffset + 1) << 8) << 3) >> 3;
      s.scan_time = uint16_t(reg(kScanTime) | reg(kScanTime + 1) << 8);
      s.preamble_bits = uint16_t((reg(kPreambleBits) | reg(kPreambleBits + 1) << 8) & 0x0FFF);
      starts_.push_back(s);
      present();
    }
    return;
  }
  // Status, length and data ports of the receivers are read-only.
  int i = 0;
  uint16_t o = 0;
  if (in_block(address, kAmrBase, kAmrStride, kAmrReceivers, 4, &i, &o)) return;
  if (in_block(address, kRxBase, kRxStride, kRxReceivers, 2, &i, &o)) return;
  reg(address) = value;
}

void AmiTransceivers::reset() {
  std::lock_guard lock(mutex_);
  regs_.fill(0);
  tx_fifo_.clear();
  running_ = false;
  for (auto& slot : rx_) slot = Slot{};
}

std::shared_ptr<AmiTransceivers> install_ami_transceivers(FpgaBoardPort& port) {
  auto block = std::make_shared<AmiTransceivers>();
  port.attach(AmiTransceivers::kFirst, AmiTransceivers::kCount, block);
  return block;
}

}  // namespace crx::sim

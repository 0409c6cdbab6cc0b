#include "meter.h"

namespace crx::sim {

namespace {
constexpr uint32_t kScmGenerator = 0x16F63;  // degree 16
constexpr uint8_t kScmPlusId = 0x1E;
constexpr uint16_t kAddress = MeterReceiver::kFirst;
constexpr uint16_t kSelect = MeterReceiver::kFirst + 1;
constexpr uint16_t kStatus = MeterReceiver::kFirst + 2;
constexpr uint16_t kData = MeterReceiver::kFirst + 3;
}  // namespace

uint16_t scm_parity(const uint8_t* data8) {
  uint32_t r = 0;
  for (int i = 0; i < 8; ++i) {
    for (int b = 7; b >= 0; --b) {
      r = (r << 1) | ((data8[i] >> b) & 1);
      if (r & 0x10000) r ^= kScmGenerator;
    }
  }
  for (int b = 0; b < 16; ++b) {
    r <<= 1;
    if (r & 0x10000) r ^= kScmGenerator;
  }
  return uint16_t(r);
}

uint16_t crc16_genibus_bitwise(const uint8_t* data, size_t length) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= uint16_t(data[i] << 8);
    for (int b = 0; b < 8; ++b) crc = uint16_t((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return uint16_t(~crc);
}

std::array<uint8_t, 10> scm_frame(const ScmFields& f) {
  std::array<uint8_t, 10> out{};
  out[0] = uint8_t(((f.id >> 24) & 3) << 1);
  out[1] = uint8_t((f.tamper & 0xC3) | ((f.ert_type & 0x0F) << 2));
  out[2] = uint8_t(f.consumption >> 16);
  out[3] = uint8_t(f.consumption >> 8);
  out[4] = uint8_t(f.consumption);
  out[5] = uint8_t(f.id >> 16);
  out[6] = uint8_t(f.id >> 8);
  out[7] = uint8_t(f.id);
  const uint16_t parity = scm_parity(out.data());
  out[8] = uint8_t(parity >> 8);
  out[9] = uint8_t(parity);
  return out;
}

std::array<uint8_t, 14> scm_plus_frame(const ScmPlusFields& f) {
  std::array<uint8_t, 14> out{};
  out[0] = kScmPlusId;
  out[1] = f.endpoint_type;
  for (int i = 0; i < 4; ++i) {
    out[size_t(2 + i)] = uint8_t(f.id >> (24 - 8 * i));
    out[size_t(6 + i)] = uint8_t(f.consumption >> (24 - 8 * i));
  }
  out[10] = uint8_t(f.tamper >> 8);
  out[11] = uint8_t(f.tamper);
  const uint16_t crc = crc16_genibus_bitwise(out.data(), 12);
  out[12] = uint8_t(crc >> 8);
  out[13] = uint8_t(crc);
  return out;
}

void MeterReceiver::push(int channel, bool plus, std::vector<uint8_t> frame, uint32_t timestamp) {
  for (int i = 0; i < 4; ++i) frame.push_back(uint8_t(timestamp >> (24 - 8 * i)));
  const uint8_t status = uint8_t(((channel & 0x3F) << 2) | (plus ? 0x02 : 0x00) | 0x01);
  std::lock_guard lock(mutex_);
  queue_.push_back({status, std::move(frame)});
}

void MeterReceiver::push_scm(int channel, const std::array<uint8_t, 10>& frame, uint32_t timestamp) {
  push(channel, false, {frame.begin(), frame.end()}, timestamp);
}

void MeterReceiver::push_scm_plus(int channel, const std::array<uint8_t, 14>& frame, uint32_t timestamp) {
  push(channel, true, {frame.begin(), frame.end()}, timestamp);
}

void MeterReceiver::push_raw(uint8_t status, std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  queue_.push_back({uint8_t(status | 0x01), std::move(bytes)});
}

bool MeterReceiver::channel_enabled(int channel) const {
  std::lock_guard lock(mutex_);
  return channel >= 0 && channel < kChannels && enabled_[size_t(channel)];
}

int MeterReceiver::enabled_count() const {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (bool e : enabled_) n += e ? 1 : 0;
  return n;
}

size_t MeterReceiver::waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

size_t MeterReceiver::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

// Drops frames of disabled channels until an enabled one heads the queue.
void MeterReceiver::present() {
  while (!presented_ && !queue_.empty()) {
    const int channel = queue_.front().status >> 2;
    if (enabled_[size_t(channel)]) {
      presented_ = true;
      cursor_ = 0;
      return;
    }
    queue_.pop_front();
    ++dropped_;
  }
}

uint8_t MeterReceiver::read(uint16_t address) {
  std::lock_guard lock(mutex_);
  switch (address) {
    case kAddress:
      return address_;
    case kSelect:
      return select_;
    case kStatus:
      present();
      return presented_ ? queue_.front().status : 0;
    case kData: {
      if (!presented_) return 0;
      Frame& f = queue_.front();
      const uint8_t b = cursor_ < f.bytes.size() ? f.bytes[cursor_] : 0;
      if (++cursor_ >= f.bytes.size()) {
        queue_.pop_front();
        presented_ = false;
      }
      return b;
    }
    default:
      return 0;
  }
}

void MeterReceiver::write(uint16_t address, uint8_t value) {
  std::lock_guard lock(mutex_);
  if (address == kAddress) {
    address_ = value & 0x7F;
  } else if (address == kSelect) {
    select_ = value & 0x01;
    if (address_ < kChannels) enabled_[address_] = select_ != 0;
  }
}

void MeterReceiver::reset() {
  std::lock_guard lock(mutex_);
  enabled_.fill(false);
  address_ = select_ = 0;
  presented_ = false;
  cursor_ = 0;
}

std::shared_ptr<MeterReceiver> install_meter_receiver(FpgaBoardPort& port) {
  auto receiver = std::make_shared<MeterReceiver>();
  port.attach(MeterReceiver::kFirst, MeterReceiver::kCount, receiver);
  return receiver;
}

}  // namespace crx::sim

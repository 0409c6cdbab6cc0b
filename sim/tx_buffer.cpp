#include "tx_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace crx::sim {

namespace {
constexpr double kFracScale = 8388593.0;
constexpr double kStepHz = 8000000.0;
uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
}  // namespace

double Transmission::frequency_hz(uint32_t near_hz) const {
  const double whole = std::floor(double(near_hz) / kStepHz);
  return (whole + double(freq_fraction) / kFracScale) * kStepHz;
}

uint32_t Transmission::bandwidth_hz() const {
  switch (bandwidth_code) {
    case 0: return 125000;
    case 1: return 250000;
    case 2: return 500000;
    default: return 0;
  }
}

double Transmission::radio_frequency_hz(int radio_type, uint32_t near_hz) const {
  const double step = radio_type == 1 ? 2000000.0 : 4000000.0;
  const double scale = radio_type == 1 ? 512.0 : 256.0;
  // A LoRa descriptor keeps only the low six bits of the integer part.
  const int kept = fsk ? 0xFF : 0x3F;
  const long approx = long(double(near_hz) / step);
  long best = approx;
  for (long c = approx - 64; c <= approx + 64; ++c) {
    if (c < 0 || (c & kept) != (freq_integer & kept)) continue;
    if (std::labs(c - approx) < std::labs(best - approx) || (best & kept) != (freq_integer & kept)) best = c;
  }
  return double(best) * step + double(radio_fraction) * 15625.0 / scale;
}

Transmission TxBufferModel::decode(std::span<const uint8_t> b, Layout layout) {
  Transmission t;
  std::array<uint8_t, 512> buf{};
  std::copy_n(b.begin(), std::min<size_t>(b.size(), buf.size()), buf.begin());
  std::copy_n(buf.begin(), 16, t.metadata.begin());
  t.freq_fraction = uint32_t(buf[0]) << 16 | uint32_t(buf[1]) << 8 | buf[2];
  t.trigger_count = uint32_t(buf[3]) << 24 | uint32_t(buf[4]) << 16 | uint32_t(buf[5]) << 8 | buf[6];
  t.fsk = (buf[7] & 0x10) != 0;
  t.power_index = buf[7] & 0x0F;
  t.preamble = be16(&buf[12]);
  if (layout == Layout::kWren) {
    t.freq_integer = buf[0];
    t.radio_fraction = be16(&buf[1]);
    t.rf_chain = (buf[7] >> 5) & 0x03;
  }
  if (!t.fsk) {
    t.crc = (buf[9] & 0x80) != 0;
    t.cr = (buf[9] >> 4) & 0x07;
    t.sf = buf[9] & 0x0F;
    t.bandwidth_code = buf[11] & 0x03;
    t.implicit_header = (buf[11] & 0x04) != 0;
    t.ppm = (buf[11] & 0x08) != 0;
    t.invert_iq = (buf[11] & 0x10) != 0;
    const size_t size = std::min<size_t>(buf[10], buf.size() - 16);
    t.payload.assign(buf.begin() + 16, buf.begin() + 16 + long(size));
  } else {
    t.f_dev_khz = buf[9];
    t.length_byte = buf[10];
    t.crc = (buf[11] & 0x02) != 0;
    t.bitrate_divider = be16(&buf[14]);
    const size_t size = std::min<size_t>(buf[16], buf.size() - 17);
    t.payload.assign(buf.begin() + 17, buf.begin() + 17 + long(size));
  }
  return t;
}

void TxBufferModel::write_address(uint8_t address) {
  std::lock_guard lock(mutex_);
  address_ = address;
}

void TxBufferModel::write_data(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  for (uint8_t v : bytes) {
    if (address_ < buffer_.size()) buffer_[address_] = v;
    ++address_;
  }
}

void TxBufferModel::write_start_delay_byte(int index, uint8_t value) {
  std::lock_guard lock(mutex_);
  start_delay_[size_t(index & 1)] = value;
}

void TxBufferModel::set_airtime_us(uint32_t us) {
  std::lock_guard lock(mutex_);
  airtime_us_ = us;
}

void TxBufferModel::set_layout(Layout layout) {
  std::lock_guard lock(mutex_);
  layout_ = layout;
}

void TxBufferModel::write_command(uint8_t value, uint32_t now, TxGainRows rows) {
  std::lock_guard lock(mutex_);
  command_ = value & 0x07;
  if (command_ == 0) {
    pending_ = started_ = false;
    return;
  }
  Transmission t = decode(buffer_, layout_);
  t.offset_i = rows.offset_i;
  t.offset_q = rows.offset_q;
  t.digital_gain = rows.digital_gain;
  t.trigger = (command_ & 0x01) ? Transmission::Trigger::kImmediate
              : (command_ & 0x02) ? Transmission::Trigger::kTimestamped
                                  : Transmission::Trigger::kOnPps;
  t.start_delay_us = uint16_t(start_delay_[0] | start_delay_[1] << 8);
  t.armed_at = now;
  sent_.push_back(t);
  pending_ = true;
  started_ = t.trigger == Transmission::Trigger::kImmediate;
  start_ = t.trigger == Transmission::Trigger::kTimestamped ? t.trigger_count : now;
}

void TxBufferModel::pps(uint32_t now) {
  std::lock_guard lock(mutex_);
  if (pending_ && !started_ && !sent_.empty() && sent_.back().trigger == Transmission::Trigger::kOnPps) {
    started_ = true;
    start_ = now;
  }
}

uint8_t TxBufferModel::status(uint32_t now) {
  std::lock_guard lock(mutex_);
  if (!pending_) return kFree;
  if (!started_ && sent_.back().trigger == Transmission::Trigger::kTimestamped && int32_t(now - start_) >= 0)
    started_ = true;
  if (!started_) return kScheduled;
  if (now - start_ < airtime_us_) return kEmitting;
  pending_ = started_ = false;
  command_ = 0;
  return kFree;
}

std::optional<Transmission> TxBufferModel::last() const {
  std::lock_guard lock(mutex_);
  if (sent_.empty()) return std::nullopt;
  return sent_.back();
}

std::vector<Transmission> TxBufferModel::all() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

uint8_t TxBufferModel::command() const {
  std::lock_guard lock(mutex_);
  return command_;
}

}  // namespace crx::sim

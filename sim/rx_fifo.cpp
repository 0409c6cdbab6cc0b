#include "rx_fifo.h"

#include <algorithm>
#include <cmath>

namespace crx::sim {

namespace {

uint8_t quarter_db(float db) {
  const long q = std::lround(double(db) * 4.0);
  return uint8_t(int8_t(std::clamp(q, -128L, 127L)));
}

}  // namespace

std::vector<uint8_t> RxFifoModel::entry_bytes(const Uplink& f) {
  std::vector<uint8_t> b(f.payload.begin(), f.payload.begin() + std::min<size_t>(f.payload.size(), 255));
  const uint8_t meta[kMetadataBytes] = {
      uint8_t(f.if_chan & 0x0F),
      uint8_t((f.sf & 0x0F) << 4 | (f.cr & 0x07) << 1),
      quarter_db(f.snr),
      quarter_db(f.snr_min),
      quarter_db(f.snr_max),
      f.raw_rssi,
      uint8_t(f.count_us),
      uint8_t(f.count_us >> 8),
      uint8_t(f.count_us >> 16),
      uint8_t(f.count_us >> 24),
      uint8_t(f.crc),
      uint8_t(f.crc >> 8),
      0, 0, 0, 0};
  b.insert(b.end(), meta, meta + kMetadataBytes);
  return b;
}

void RxFifoModel::push_uplink(const Uplink& f) {
  std::function<void(bool)> cb;
  {
    std::lock_guard lock(mutex_);
    const bool was_empty = entries_.empty();
    Entry e;
    e.bytes = entry_bytes(f);
    e.if_chan = uint8_t(f.if_chan & 0x0F);
    e.datarate = uint8_t((f.sf & 0x0F) << 4 | (f.cr & 0x07) << 1);
    e.crc_state = uint8_t(f.crc_state & 0x07);
    e.size = uint8_t(std::min<size_t>(f.payload.size(), 255));
    entries_.push_back(std::move(e));
    if (was_empty) {
      read_pos_ = 0;
      cb = level_callback_;
    }
  }
  if (cb) cb(true);
}

std::array<uint8_t, RxFifoModel::kStatusBytes> RxFifoModel::status() const {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return {};
  const Entry& e = entries_.front();
  return {uint8_t(std::min<size_t>(entries_.size(), 255)), e.if_chan, e.datarate, e.crc_state, e.size};
}

void RxFifoModel::read_data(std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  for (auto& b : out) {
    if (entries_.empty() || read_pos_ >= entries_.front().bytes.size()) {
      b = 0;
    } else {
      b = entries_.front().bytes[read_pos_];
    }
    ++read_pos_;
  }
}

void RxFifoModel::pop() {
  std::function<void(bool)> cb;
  {
    std::lock_guard lock(mutex_);
    read_pos_ = 0;
    if (entries_.empty()) return;
    entries_.pop_front();
    if (entries_.empty()) cb = level_callback_;
  }
  if (cb) cb(false);
}

bool RxFifoModel::not_empty() const {
  std::lock_guard lock(mutex_);
  return !entries_.empty();
}

size_t RxFifoModel::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void RxFifoModel::on_level_change(std::function<void(bool)> callback) {
  std::lock_guard lock(mutex_);
  level_callback_ = std::move(callback);
}

}  // namespace crx::sim

#include "power_detector.h"

#include <algorithm>

namespace crx::sim {

namespace {
constexpr double kFullScale = 4294967296.0;  // 2^32
constexpr size_t kHistory = 1024;
constexpr uint16_t kPowerUpOffsetWord = 384;
constexpr uint16_t kPowerUpDwell = 2;

double milliwatts(double dbm) { return std::isfinite(dbm) ? std::pow(10.0, dbm / 10.0) : 0.0; }

// Whether a signal present in `share` of the samples is on in sample n:
// the count of "on" samples grows by one whenever n x share passes a whole
// number, which spreads them evenly.
bool on_in_sample(int n, double share) { return std::floor((n + 1) * share) > std::floor(n * share); }
}  // namespace

PowerDetector::PowerDetector(std::function<int64_t()> clock, std::function<uint64_t()> tuned_lo_hz)
    : clock_(std::move(clock)), tuned_lo_(std::move(tuned_lo_hz)) {
  reset();
}

// ---- scenario ----

void PowerDetector::set_power_dbm(uint64_t freq_hz, double level_dbm, double share) {
  share = std::clamp(std::isnan(share) ? 0.0 : share, 0.0, 1.0);
  std::lock_guard lock(mutex_);
  for (auto& s : signals_)
    if (s.freq_hz == freq_hz) {
      s.level_dbm = level_dbm;
      s.share = share;
      return;
    }
  signals_.push_back({freq_hz, level_dbm, share});
}

void PowerDetector::clear_power(uint64_t freq_hz) {
  std::lock_guard lock(mutex_);
  std::erase_if(signals_, [&](const Signal& s) { return s.freq_hz == freq_hz; });
}

void PowerDetector::set_noise_floor(double level_dbm) {
  std::lock_guard lock(mutex_);
  noise_floor_dbm_ = level_dbm;
}

void PowerDetector::clear() {
  std::lock_guard lock(mutex_);
  signals_.clear();
  noise_floor_dbm_ = kSilence;
}

void PowerDetector::set_dbfs_to_dbm_offset(int chain, double db) {
  std::lock_guard lock(mutex_);
  offset_db_[chain == 0 ? 0 : 1] = db;
}

void PowerDetector::set_rx_lo_hz(uint64_t hz) {
  std::lock_guard lock(mutex_);
  power_up_lo_hz_ = hz;
}

// ---- inspection ----

std::vector<PowerDetector::Measurement> PowerDetector::measurements() const {
  std::lock_guard lock(mutex_);
  return {history_.begin(), history_.end()};
}

void PowerDetector::clear_measurements() {
  std::lock_guard lock(mutex_);
  history_.clear();
}

uint32_t PowerDetector::sample_for(double level_dbm, int chain) const {
  std::lock_guard lock(mutex_);
  return encode_locked(milliwatts(level_dbm), chain == 0 ? 0 : 1);
}

// Whole counts, never above the power: the largest sample whose level,
// read back as 10 log10(sample / 2^32), does not exceed it.
uint32_t PowerDetector::encode_locked(double power_mw, int chain) const {
  if (!(power_mw > 0.0)) return 0;
  const double dbfs = 10.0 * std::log10(power_mw) + offset_db_[size_t(chain)];
  if (dbfs >= 0.0) return UINT32_MAX;
  const double counts = kFullScale * std::pow(10.0, dbfs / 10.0);
  if (!(counts >= 1.0)) return 0;
  auto v = uint32_t(std::min(std::floor(counts), double(UINT32_MAX)));
  while (v > 0 && 10.0 * std::log10(double(v) / kFullScale) > dbfs) --v;
  return v;
}

// ---- the measurement ----

void PowerDetector::start_locked(uint64_t lo_hz) {
  Measurement m;
  m.chain = chain_select_ & 1;
  m.wide = (control_[0] & 1) != 0;
  m.dwell = uint16_t((control_[3] | control_[4] << 8) & 0xFFF);
  const int word = (freq_offset_[0] | freq_offset_[1] << 8) & 0x1FFF;
  m.offset_word = int16_t(word & 0x1000 ? word - 0x2000 : word);
  m.lo_hz = lo_hz;
  m.freq_hz = double(lo_hz) - m.offset_word * kOffsetStepHz;
  m.start_us = clock_ ? clock_() : 0;

  const double half = m.wide ? 250000.0 : 62500.0;
  std::vector<const Signal*> inside;
  for (const auto& s : signals_)
    if (double(s.freq_hz) >= m.freq_hz - half && double(s.freq_hz) < m.freq_hz + half) inside.push_back(&s);
  const double floor_mw = milliwatts(noise_floor_dbm_);
  samples_.assign(kSamples, 0);
  for (int n = 0; n < kSamples; ++n) {
    double mw = floor_mw;
    for (const Signal* s : inside)
      if (on_in_sample(n, s->share)) mw += milliwatts(s->level_dbm);
    samples_[size_t(n)] = encode_locked(mw, m.chain);
  }

  current_ = m;
  measured_ = true;
  sample_period_us_ = (m.dwell + 1) / 2.0;
  peak_written_ = 0;
  peak_from_ = 0;
  history_.push_back(m);
  if (history_.size() > kHistory) history_.pop_front();
}

int PowerDetector::ready_locked() const {
  if (!measured_) return 0;
  const int64_t elapsed = (clock_ ? clock_() : 0) - current_.start_us;
  if (elapsed <= 0) return 0;
  const double n = std::floor(double(elapsed) / sample_period_us_);
  return n >= kSamples ? kSamples : int(n);
}

// ---- the wire ----

uint8_t PowerDetector::read(uint16_t address) {
  std::lock_guard lock(mutex_);
  if (address == kChainSelect) return chain_select_;
  if (address >= kFreqOffset && address < kFreqOffset + 2) return freq_offset_[address - kFreqOffset];
  if (address >= kBandwidth && address < kStart) return control_[address - kBandwidth];
  if (address == kStart) return start_;
  if (address == kSample) {
    latched_sample_ = read_address_ < ready_locked() ? samples_[size_t(read_address_)] : 0;
    if (read_address_ < kSamples) ++read_address_;
  }
  if (address >= kSample && address < kSample + 4) return uint8_t(latched_sample_ >> (8 * (address - kSample)));
  if (address == kAddressReset) return address_reset_;
  if (address == kPeakHold) {
    latched_peak_ = peak_written_;
    const int ready = ready_locked();
    for (int n = peak_from_; n < ready; ++n) latched_peak_ = std::max(latched_peak_, samples_[size_t(n)]);
  }
  if (address >= kPeakHold && address < kPeakHold + 4) return uint8_t(latched_peak_ >> (8 * (address - kPeakHold)));
  return 0;
}

void PowerDetector::write(uint16_t address, uint8_t value) {
  // Read before taking the lock: the transceiver model has its own.
  const uint64_t tuned = address == kStart && tuned_lo_ ? tuned_lo_() : 0;
  std::lock_guard lock(mutex_);
  if (address == kChainSelect) {
    chain_select_ = value;
  } else if (address >= kFreqOffset && address < kFreqOffset + 2) {
    freq_offset_[address - kFreqOffset] = value;
  } else if (address >= kBandwidth && address < kStart) {
    control_[address - kBandwidth] = value;
  } else if (address == kStart) {
    const bool rising = (value & 1) && !(start_ & 1);
    start_ = value;
    if (rising) start_locked(tuned != 0 ? tuned : power_up_lo_hz_);
  } else if (address == kAddressReset) {
    if ((value & 1) && !(address_reset_ & 1)) read_address_ = 0;
    address_reset_ = value;
  } else if (address >= kPeakHold && address < kPeakHold + 4) {
    const int shift = 8 * (address - kPeakHold);
    peak_written_ = (peak_written_ & ~(uint32_t(0xFF) << shift)) | uint32_t(value) << shift;
    peak_from_ = ready_locked();
  }
}

void PowerDetector::reset() {
  std::lock_guard lock(mutex_);
  chain_select_ = 0;
  freq_offset_ = {uint8_t(kPowerUpOffsetWord), uint8_t(kPowerUpOffsetWord >> 8)};
  control_ = {0, 0, 0, uint8_t(kPowerUpDwell), 0};
  start_ = 0;
  address_reset_ = 0;
  measured_ = false;
  samples_.clear();
  read_address_ = 0;
  latched_sample_ = 0;
  peak_written_ = 0;
  peak_from_ = 0;
  latched_peak_ = 0;
}

}  // namespace crx::sim

#include "geoloc.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace crx::sim {
namespace {

constexpr uint16_t kReset = 1141, kPresent = 1185, kVersion = 1186;
constexpr uint16_t kBase = 16384, kEnd = 16468;
constexpr uint16_t kHsLatched = 16384, kHsNow = 16389;
constexpr uint16_t kReqSf = 16394, kReqFlags = 16401, kControl = 16402, kStatus = 16403;
constexpr uint16_t kPeakPos = 16404, kPeakMag = 16428;
constexpr double kBandwidth = 125000.0;

}  // namespace

std::shared_ptr<GeolocBlock> GeolocBlock::install(FpgaBoardPort& port, std::shared_ptr<SysfsGpio> gpio, int version) {
  auto block = std::make_shared<GeolocBlock>(std::move(gpio), version);
  port.attach(kReset, 1, block);
  port.attach(kPresent, 2, block);
  port.attach(kBase, kEnd - kBase, block);
  return block;
}

GeolocBlock::GeolocBlock(std::shared_ptr<SysfsGpio> gpio, int version)
    : gpio_(std::move(gpio)), regs_(kEnd - kBase, 0), version_(uint8_t(version)) {
  gpio_->set_level(kIrqLine, true);  // idles high
  worker_ = std::thread([this] { run(); });
}

GeolocBlock::~GeolocBlock() { stop(); }

void GeolocBlock::stop() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void GeolocBlock::set_answer(Answer a) {
  std::lock_guard lock(mutex_);
  mode_ = a;
}
void GeolocBlock::set_delay_ms(int ms) {
  std::lock_guard lock(mutex_);
  delay_ms_ = ms;
}
void GeolocBlock::set_truth(double offset_samples, double freq_offset_hz, double noise_samples, uint32_t seed) {
  std::lock_guard lock(mutex_);
  offset_ = offset_samples;
  freq_ = freq_offset_hz;
  noise_ = noise_samples;
  rng_.seed(seed);
}
void GeolocBlock::set_hs_counts(uint64_t latched, uint64_t now) {
  std::lock_guard lock(mutex_);
  for (int i = 0; i < 5; ++i) {
    regs_[kHsLatched - kBase + i] = uint8_t(latched >> (8 * i));
    regs_[kHsNow - kBase + i] = uint8_t(now >> (8 * i));
  }
}
void GeolocBlock::set_present(uint8_t v) {
  std::lock_guard lock(mutex_);
  present_ = v;
}
void GeolocBlock::set_version(int v) {
  std::lock_guard lock(mutex_);
  version_ = uint8_t(v);
}

std::vector<GeolocBlock::Started> GeolocBlock::started() const {
  std::lock_guard lock(mutex_);
  return started_;
}
int GeolocBlock::resets() const {
  std::lock_guard lock(mutex_);
  return resets_;
}
int GeolocBlock::arm_writes() const {
  std::lock_guard lock(mutex_);
  return arm_writes_;
}

void GeolocBlock::reset() {
  std::lock_guard lock(mutex_);
  due_.reset();
  std::fill(regs_.begin() + (kReqSf - kBase), regs_.end(), 0);
  request_written_ = false;
}

uint8_t GeolocBlock::read(uint16_t a) {
  std::lock_guard lock(mutex_);
  if (a == kPresent) return present_;
  if (a == kVersion) return version_;
  if (a == kReset) return 0;
  return regs_[a - kBase];
}

void GeolocBlock::write(uint16_t a, uint8_t v) {
  std::lock_guard lock(mutex_);
  if (a == kReset) {
    if (v & 8) {
      ++resets_;
      due_.reset();
    }
    return;
  }
  if (a == kPresent || a == kVersion || a >= kPeakPos || a == kStatus) return;  // read-only
  if (a == kControl) {
    if (v == 1) ++arm_writes_;
    if (v == 3) start_request();
    return;
  }
  regs_[a - kBase] = v;
  if (a == kReqSf) request_written_ = true;
}

void GeolocBlock::start_request() {
  auto reg = [&](uint16_t a) { return regs_[a - kBase]; };
  Started s{};
  s.second_antenna = !request_written_;
  request_written_ = false;
  s.sf = reg(kReqSf);
  s.freq_word = int16_t(reg(kReqSf + 1) | reg(kReqSf + 2) << 8);
  s.position = uint32_t(reg(kReqSf + 3)) | uint32_t(reg(kReqSf + 4)) << 8 | uint32_t(reg(kReqSf + 5)) << 16 |
               uint32_t(reg(kReqSf + 6)) << 24;
  const uint8_t flags = reg(kReqFlags);
  s.antenna = flags & 1;
  s.up = (flags >> 1) & 0xF;
  s.down = (flags >> 5) & 0x3;
  started_.push_back(s);
  regs_[kStatus - kBase] = 0;
  gpio_->set_level(kIrqLine, true);
  if (mode_ == Answer::kNever) return;
  due_ = {std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms_), s};
  wake_.notify_all();
}

// The chirps of the preamble and of the start-of-frame, in symbols from
// the block's reference point, and the peak each one shows: a time offset
// moves up- and down-chirp peaks in opposite directions, a frequency offset
// moves them alike.
void GeolocBlock::answer(const Started& s) {
  std::fill(regs_.begin() + (kPeakPos - kBase), regs_.end(), 0);
  if (mode_ == Answer::kExpired) {
    regs_[kStatus - kBase] = 1;
    return;
  }
  const int up = std::clamp<int>(s.up, 0, 8), down = std::clamp<int>(s.down, 0, 2);
  const int sf = std::clamp<int>(s.sf, 7, 12);
  std::normal_distribution<double> noise(0.0, noise_ > 0 ? noise_ : 1.0);
  auto noisy = [&](double v) { return noise_ > 0 ? v + noise(rng_) : v; };
  std::vector<double> up_m, down_m;
  for (int i = 0; i < up + down; ++i) {
    const bool is_up = i < up;
    const double sign = is_up ? -1.0 : 1.0;
    if (version_ == 2) {
      const double freq_samples = freq_ * std::ldexp(1.0, sf + 8) / kBandwidth;
      const double v = sign * offset_ + freq_samples + std::ldexp(1.0, sf + 6);
      (is_up ? up_m : down_m).push_back(noisy(v));
    } else {
      const double freq_units = freq_ * std::ldexp(1.0, sf) * 32e6 / (kBandwidth * kBandwidth);
      (is_up ? up_m : down_m).push_back(noisy(offset_ + sign * freq_units));
    }
  }
  // Coarse index and fine peak of each chirp kind: v2 in 64-sample steps
  // from index 16, v1 in 128-sample steps.
  auto put = [&](const std::vector<double>& m, uint16_t first_word) {
    if (m.empty()) return;
    const double low = *std::min_element(m.begin(), m.end());
    int coarse;
    double base;
    if (version_ == 2) {
      coarse = int(std::floor(low / 64.0)) + 16;
      base = (coarse - 16) * 64.0;
    } else {
      coarse = int(std::floor(low / 128.0));
      base = coarse * 128.0;
    }
    for (size_t k = 0; k < m.size(); ++k) {
      const uint16_t w = uint16_t(std::lround(m[k] - base));
      regs_[first_word - kBase + 2 * k] = uint8_t(w);
      regs_[first_word - kBase + 2 * k + 1] = uint8_t(w >> 8);
    }
    const uint16_t c = uint16_t(coarse);
    regs_[first_word - kBase + 2 * m.size()] = uint8_t(c);
    regs_[first_word - kBase + 2 * m.size() + 1] = uint8_t(c >> 8);
  };
  put(up_m, kPeakPos);
  put(down_m, uint16_t(kPeakPos + 2 * (up + 1)));
  for (int i = 0; i < up + down; ++i) regs_[kPeakMag - kBase + 4 * i] = uint8_t(200 - i);
}

void GeolocBlock::run() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (!due_) {
      wake_.wait(lock);
      continue;
    }
    const auto when = due_->first;
    if (wake_.wait_until(lock, when) != std::cv_status::timeout) continue;
    if (!due_ || due_->first != when) continue;
    const Started s = due_->second;
    due_.reset();
    answer(s);
    lock.unlock();
    gpio_->set_level(kIrqLine, false);  // falling edge
    lock.lock();
  }
}

}  // namespace crx::sim

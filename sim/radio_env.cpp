#include "radio_env.h"

#include <cmath>

namespace crx::sim {

void RadioEnvironment::set_noise_floor(double dbm) {
  std::lock_guard lock(mutex_);
  noise_floor_dbm_ = dbm;
}

void RadioEnvironment::add_signal(uint32_t freq_hz, double dbm) {
  std::lock_guard lock(mutex_);
  signals_.push_back({freq_hz, dbm});
}

void RadioEnvironment::clear_signals() {
  std::lock_guard lock(mutex_);
  signals_.clear();
}

double RadioEnvironment::level_dbm(uint32_t centre_hz, uint32_t bandwidth_hz) const {
  std::lock_guard lock(mutex_);
  double mw = std::pow(10.0, noise_floor_dbm_ / 10.0);
  const double half = bandwidth_hz / 2.0;
  for (const Signal& s : signals_)
    if (std::fabs(double(s.freq_hz) - double(centre_hz)) <= half) mw += std::pow(10.0, s.dbm / 10.0);
  return 10.0 * std::log10(mw);
}

}  // namespace crx::sim

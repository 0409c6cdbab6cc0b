// The air around a gateway as its side radio hears it: a noise floor and
// carriers at given frequencies. A receiver tuned to a centre with a given
// bandwidth hears the floor plus every carrier inside its passband (powers
// add).
//
//   auto env = board.environment;
//   env->set_noise_floor(-110);
//   env->add_signal(903'000'000, -60);   // a carrier at 903 MHz
//   env->level_dbm(903'000'000, 125'000)  // about -60
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace crx::sim {

class RadioEnvironment {
 public:
  void set_noise_floor(double dbm);
  void add_signal(uint32_t freq_hz, double dbm);
  void clear_signals();
  double level_dbm(uint32_t centre_hz, uint32_t bandwidth_hz) const;

 private:
  struct Signal {
    uint32_t freq_hz;
    double dbm;
  };
  mutable std::mutex mutex_;  // guards everything below
  double noise_floor_dbm_ = -120.0;
  std::vector<Signal> signals_;
};

}  // namespace crx::sim

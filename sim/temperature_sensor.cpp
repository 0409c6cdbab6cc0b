#include "temperature_sensor.h"

#include <cmath>

namespace crx::sim {

void TemperatureSensor::set_temperature(double celsius) {
  const double sixteenths = std::round(celsius * 16.0);
  const double clamped = sixteenths < -2048 ? -2048 : sixteenths > 2047 ? 2047 : sixteenths;
  set_raw(uint16_t(int16_t(int(clamped) * 16)));
}

void TemperatureSensor::set_raw(uint16_t word) {
  std::lock_guard lock(mutex_);
  word_ = word;
}

uint8_t TemperatureSensor::config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

void TemperatureSensor::set_config(uint8_t value) {
  std::lock_guard lock(mutex_);
  config_ = value;
}

int TemperatureSensor::config_writes() const {
  std::lock_guard lock(mutex_);
  return config_writes_;
}

int TemperatureSensor::message(std::span<SpiTransfer> transfers) {
  std::lock_guard lock(mutex_);
  int total = 0;
  // The command byte is the first byte of the message; the register
  // pointer then walks upwards over the data bytes of every transfer.
  bool have_command = false;
  bool write = false;
  unsigned reg = 0;
  for (auto& t : transfers) {
    for (uint32_t i = 0; i < t.len; ++i) {
      const uint8_t out = t.tx ? t.tx[i] : 0;
      uint8_t in = 0;
      if (!have_command) {
        have_command = true;
        write = out & 0x80;
        reg = out & 0x7F;
      } else {
        if (write) {
          if (reg == 0) {
            config_ = out;
            ++config_writes_;
          }
        } else {
          in = reg == 0 ? config_ : reg == 1 ? uint8_t(word_) : reg == 2 ? uint8_t(word_ >> 8) : 0;
        }
        ++reg;
      }
      if (t.rx) t.rx[i] = in;
    }
    total += int(t.len);
  }
  return total;
}

}  // namespace crx::sim

// The board temperature sensor on "/dev/spidev32766.2".
//
// A message's first byte is the command: bit 7 set for a write, bits 6..0
// the register; data bytes follow, one register each from there upwards.
// Registers: 0 configuration (resolution in bits 2:0, 0 after power-up),
// 1 and 2 the temperature's low and high byte: a signed 16-bit word of
// 1/256 degree C whose four lowest bits read 0 (sixteenth-degree steps).
// Writes to 1 and 2 are ignored.
#pragma once

#include <cstdint>
#include <mutex>

#include "spidev.h"

namespace crx::sim {

class TemperatureSensor : public SpidevDevice {
 public:
  // Degrees C, to the sensor's sixteenth of a degree (25 at power-up).
  void set_temperature(double celsius);
  // The raw temperature word as the registers hold it.
  void set_raw(uint16_t word);
  uint8_t config() const;
  void set_config(uint8_t value);
  // Writes of the configuration register seen so far.
  int config_writes() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  mutable std::mutex mutex_;  // guards the registers
  uint8_t config_ = 0;
  uint16_t word_ = 25 * 256;
  int config_writes_ = 0;
};

}  // namespace crx::sim

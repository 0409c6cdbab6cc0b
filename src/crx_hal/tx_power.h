// Transmit power: the FPGA digital gain table chosen per packet, the TX
// calibration record read at transceiver start, and the temperature
// corrections of the transceiver's attenuation. Each table and the record
// has one lock in tx_power.cpp, so start, the send path and the
// housekeeping timer may meet here.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx::txpower {

inline constexpr int kTxGainEntries = 61;
inline constexpr float kTxGainStepDb = 0.5f;

struct TxGainEntry {
  float power_dbm;
  uint16_t unused0;
  uint16_t unused1;
  uint16_t dig_gain;  // FPGA digital gain word
  uint16_t spare;
};

TxGainEntry tx_gain_entry(int index);
// The highest index whose power is at most `power_dbm`; 0 below the table.
int tx_gain_index(float power_dbm);
// Powers as P_max - (60 - i) x 0.5 dBm, each logged.
void rewrite_tx_gain_powers(float p_max_dbm);
// Powers back to i x 0.5 dBm, as at load.
void reset_tx_gain_powers();

// Temperature grid of the attenuation corrections.
inline constexpr int kTempLowest = -50;
inline constexpr int kTempHighest = 100;
inline constexpr int kTempStep = 5;
inline constexpr int kTempEntries = 31;

// Index of an integer temperature on the grid: the grid point at or above
// it from -54 to 100 degrees C, kTempEntries (one past the table) outside.
int temperature_index(int celsius);
// Correction in 0.25 dB at a temperature. Outside the grid the nearest end
// of the table applies: the index alone cannot tell cold from hot.
int8_t temperature_correction(int celsius);

// The TX calibration record of the commissioning database.
inline constexpr float kNoCalibration = 4294967296.0f;  // 2^32: unit without calibration
struct TxCal {
  cx_tx_dig_gain_table_t record;
  bool read;
};
// Reads the record; on failure keeps the without-calibration mark.
bool load_tx_cal();
TxCal tx_cal();
void forget_tx_cal();

// The temperature sensor's two bytes as degrees C: a signed 16-bit word
// whose magnitude's upper twelve bits count sixteenths of a degree.
float sensor_celsius(uint8_t high, uint8_t low);

}  // namespace crx::txpower

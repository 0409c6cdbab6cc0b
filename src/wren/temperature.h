// The Wren boards' temperature sources and the outdoor board's output
// power compensation that the transmit path adds to every request.
#pragma once

#include <optional>
#include <string_view>

namespace crx::wren {

// The compensation of board type 15 in dB (0 until the first correction).
// Written by the housekeeping thread, read by senders.
float power_offset();

// A temperature rounded away from zero to whole degrees (clamped to
// +-1000, which every use treats as beyond the table's ends).
int rounded_away(float celsius);

// The compensation table's offset for a board temperature in degrees C.
float outdoor_power_offset(float celsius);

// Degrees C from the analog sensor's raw text (decimal, as the IIO value
// file holds it); nothing when the text holds no number.
std::optional<float> iio_celsius(std::string_view text);

inline constexpr const char* kIioTemperaturePath = "/sys/bus/iio/devices/iio:device0/in_voltage2_raw";

}  // namespace crx::wren

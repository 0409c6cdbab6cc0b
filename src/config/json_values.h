// Values of the configuration file as its keys have always been read.
//
// The file's readers grew up on a C JSON library whose getters answer 0 for
// a number that is absent or of another type and -1 (taken as true) for a
// boolean that is absent or of another type; existing configuration files
// rely on both, so these helpers keep that reading on top of nlohmann::json.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace crx::config {

using Json = nlohmann::json;

// The member `key` of `object`; null when `object` is not an object or has
// no such member.
const Json* member(const Json& object, const char* key);
const Json* member(const Json* object, const char* key);

// A "bool" key: true unless it is present and the boolean false.
bool flag(const Json* object, const char* key);
// A "number" key: its value, 0 when absent or not a number.
double number(const Json* object, const char* key);
inline bool is_number(const Json* v) { return v && v->is_number(); }
// The value of a node known to be a number (any of the three kinds).
inline double value_of(const Json& v) { return v.get<double>(); }
// The member as a string; null when absent or not a string.
const std::string* string_member(const Json* object, const char* key);

// Integer fields from JSON numbers. A number can be any double and an
// out-of-range conversion is undefined in C++, so these truncate toward
// zero and saturate at the type's limits (the gateway's ARM conversion
// instructions do the same); a negative value becomes 0 for unsigned
// fields, so a negative frequency reaches the checks of the configuration
// calls as 0 and is refused there.
uint32_t to_u32(double v);
int32_t to_i32(double v);
// Narrow fields keep the low bits of the 32-bit conversion.
inline uint8_t to_u8(double v) { return static_cast<uint8_t>(to_u32(v)); }
inline uint16_t to_u16(double v) { return static_cast<uint16_t>(to_u32(v)); }
inline int8_t to_i8(double v) { return static_cast<int8_t>(to_i32(v)); }
inline int16_t to_i16(double v) { return static_cast<int16_t>(to_i32(v)); }
// Float fields saturate at the largest finite float.
float to_float(double v);

// A hexadecimal number made of hex digits only (with an optional "0x" or
// "0X" when `allow_prefix`), at most `max_chars` characters in all and not
// above `max_value`. Anything else, the empty text included, is nullopt.
std::optional<uint64_t> hex_value(std::string_view text, size_t max_chars, bool allow_prefix,
                                  uint64_t max_value = UINT64_MAX);
// A device address: up to 10 characters, "0x" allowed, 32 bits.
std::optional<uint32_t> device_address(std::string_view text);

// The band of a "board_freq_band" text: that of the first of `names` of
// which the text is a leading part (so the empty text selects the first);
// 0 when none.
struct BandName {
  const char* name;
  uint32_t band;
};
uint32_t band_number(const std::string& text, const BandName* names, size_t count);

// The spreading-factor mask of a multi-SF channel's "spread_factor" string:
// "first-last" (read as "%10i-%10i") is a range, a single integer one
// spreading factor, anything else undefined (0).
uint32_t spread_factor_text(const std::string& text);

}  // namespace crx::config

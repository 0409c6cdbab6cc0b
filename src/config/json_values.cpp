#include "config/json_values.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>

#include "crx.h"

namespace crx::config {

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const Json* member(const Json* object, const char* key) { return object ? member(*object, key) : nullptr; }

bool flag(const Json* object, const char* key) {
  const Json* v = member(object, key);
  return !(v && v->is_boolean() && !v->get<bool>());
}

double number(const Json* object, const char* key) {
  const Json* v = member(object, key);
  return is_number(v) ? value_of(*v) : 0.0;
}

const std::string* string_member(const Json* object, const char* key) {
  const Json* v = member(object, key);
  return v && v->is_string() ? &v->get_ref<const std::string&>() : nullptr;
}

uint32_t to_u32(double v) {
  if (!(v > 0.0)) return 0;  // negative, zero and NaN
  if (v >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}

int32_t to_i32(double v) {
  if (std::isnan(v)) return 0;
  if (v <= -2147483648.0) return INT32_MIN;
  if (v >= 2147483647.0) return INT32_MAX;
  return static_cast<int32_t>(v);
}

float to_float(double v) {
  if (std::isnan(v)) return 0.0f;
  if (v > FLT_MAX) return FLT_MAX;
  if (v < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(v);
}

namespace {
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int clamp_int(long long v) {
  if (v < INT_MIN) return INT_MIN;
  if (v > INT_MAX) return INT_MAX;
  return static_cast<int>(v);
}
}  // namespace

std::optional<uint64_t> hex_value(std::string_view text, size_t max_chars, bool allow_prefix,
                                  uint64_t max_value) {
  if (text.size() > max_chars) return std::nullopt;
  if (allow_prefix && text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    const int d = hex_digit(c);
    if (d < 0 || value > (max_value - static_cast<uint64_t>(d)) / 16) return std::nullopt;
    value = value * 16 + static_cast<uint64_t>(d);
  }
  return value;
}

std::optional<uint32_t> device_address(std::string_view text) {
  const auto v = hex_value(text, 10, true, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

uint32_t band_number(const std::string& text, const BandName* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const std::string_view name(names[i].name);
    if (text.size() <= name.size() && name.compare(0, text.size(), text) == 0) return names[i].band;
  }
  return 0;
}

uint32_t spread_factor_text(const std::string& text) {
  // Ten characters each cannot overflow a long long, whatever the base.
  long long first = 0;
  long long last = 0;
  switch (std::sscanf(text.c_str(), "%10lli-%10lli", &first, &last)) {
    case 2: return crx_sf_range_nb2enum(clamp_int(first), clamp_int(last));
    case 1: return crx_sf_nb2enum(clamp_int(first));
    default: return MR_UNDEFINED;
  }
}

}  // namespace crx::config

// Reading the Wren TX gain file. The file is a JSON object (comments
// allowed) with a "txgain_lut" array of gain settings and, optionally,
// "lbt_listen_times". A file that fails any check changes nothing.
#include "wren/tx_lut.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"
#include "wren/db_snapshot.h"

namespace crx::wren {

tx_lut_t tx_lut{};

namespace {

using nlohmann::json;

constexpr const char* kParser = "ostra_wren_parse_txlut_json";
// The widths of the chip's fields that take the gains: two bits for the
// digital, PA and DAC gains; the mixer gain indexes the eight TX offsets
// the calibration measured for gains 8 to 15.
constexpr double kMaxTwoBitGain = 3;
constexpr double kMinMixerGain = 8;
constexpr double kMaxMixerGain = 15;
// A gain file is a few kilobytes; anything far larger is not one.
constexpr size_t kMaxFileBytes = 1u << 20;

// A JSON number truncated toward zero, when it lies within [lo, hi].
bool whole_in_range(const json& v, double lo, double hi, long long& out) {
  if (!v.is_number()) return false;
  const double d = std::trunc(v.get<double>());
  if (!std::isfinite(d) || d < lo || d > hi) return false;
  out = static_cast<long long>(d);
  return true;
}

// Looks up `key` of an entry: false (logged) when it is absent, not a number
// or does not fit.
bool field(const json& entry, const char* key, double lo, double hi, const char* missing_text,
           long long& out) {
  const auto it = entry.find(key);
  if (it == entry.end() || !it->is_number()) {
    log_line(missing_text, kParser);
    return false;
  }
  if (!whole_in_range(*it, lo, hi, out)) {
    log_line("BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, '%s' value out of range", kParser, key);
    return false;
  }
  return true;
}

bool parse_gains(const json& array, tx_lut_t& table) {
  size_t count = array.size();
  if (count > kTxLutMaxEntries) {
    log_line("BrvDBG-HAL: %s WARNING: %d entries provided in TX LUT. Only the first %d entries will be used.",
             kParser, static_cast<int>(count), kTxLutMaxEntries);
    count = kTxLutMaxEntries;
  }
  // Without a single gain setting nothing could ever be sent.
  if (count == 0) {
    log_line("BrvDBG-HAL %s E R R O R - The TX LUT JSON file holds no entry in 'txgain_lut'", kParser);
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const json& e = array[i];
    if (!e.is_object()) {
      log_line("BrvDBG-HAL %s E R R O R - configuration file does not contain a JSON object named 'txgain_lut'",
               kParser);
      return false;
    }
    long long dig, pa, dac, mix, power;
    if (!field(e, "dig_gain", 0, kMaxTwoBitGain, "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing 'dig_gain' entry", dig) ||
        !field(e, "pa_gain", 0, kMaxTwoBitGain, "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing 'pa_gain' entry", pa) ||
        !field(e, "dac_gain", 0, kMaxTwoBitGain, "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing 'dac_gain' entry", dac) ||
        !field(e, "mix_gain", kMinMixerGain, kMaxMixerGain, "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing 'mix_gain' entry", mix) ||
        !field(e, "rf_power", -128, 127, "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing 'rf_power' entry",
               power))
      return false;
    table.lut[i] = {static_cast<uint8_t>(dig), static_cast<uint8_t>(pa), static_cast<uint8_t>(dac),
                    static_cast<uint8_t>(mix), static_cast<int8_t>(power)};
  }
  table.size = static_cast<uint8_t>(count);
  return true;
}

// Listen and talk times that replace those of the board's LBT entries.
bool parse_listen_times(const json& root, crx_lbt_cfg_t& lbt) {
  const auto it = root.find("lbt_listen_times");
  if (it == root.end() || !it->is_array()) {
    log_line("BrvDBG-HAL: %s WARNING: No Listen Before Talk time intervals defined in Tx LUT, using default values.",
             kParser);
    return true;
  }
  size_t count = it->size();
  if (count > CRX_LBT_MAX_ENTRIES) {
    log_line("BrvDBG-HAL: %s WARNING: %d Listen Before Talk entries provided in TX LUT. Only the first %d entries "
             "will be used.",
             kParser, static_cast<int>(count), CRX_LBT_MAX_ENTRIES);
    count = CRX_LBT_MAX_ENTRIES;
  }
  for (size_t i = 0; i < count; ++i) {
    const json& e = (*it)[i];
    if (!e.is_object()) {
      log_line("BrvDBG-HAL %s E R R O R - Error reading Listen Before Talk entries in the JSON file.", kParser);
      return false;
    }
    long long talk, listen;
    if (!field(e, "max_talk_time_ms", 0, INT32_MAX,
               "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing LBT 'max_talk_time_ms' entry", talk) ||
        !field(e, "listen_time_us", 0, INT32_MAX,
               "BrvDBG-HAL %s E R R O R - Invalid LUT JSON file, missing LBT 'listen_time_us' entry", listen))
      return false;
    lbt.entries[i].max_talk_time_ms = static_cast<int32_t>(talk);
    lbt.entries[i].listen_time_us = static_cast<int32_t>(listen);
  }
  return true;
}

bool read_file(const char* path, std::string& text) {
  const std::unique_ptr<FILE, int (*)(FILE*)> f(os::fopen(path, "rb"), std::fclose);
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
    if (text.size() + n > kMaxFileBytes) {
      text.clear();  // too large to be a gain file: refused as not JSON
      return true;
    }
    text.append(buf, n);
  }
  return !std::ferror(f.get());
}

}  // namespace

int parse_txlut_text(std::string_view text, const char* path) {
  try {
    const json root = json::parse(text, nullptr, false, true);
    if (!root.is_object()) {
      log_line("BrvDBG-HAL %s E R R O R - %s id not a valid JSON file", kParser, path);
      return fail(ERR_UNSPECIFIED);
    }
    tx_lut_t table = tx_lut;
    const auto gains = root.find("txgain_lut");
    if (gains == root.end() || !gains->is_array()) {
      log_line("BrvDBG-HAL %s E R R O R - The TX LUT JSON file does not contain a field called 'txgain_lut'",
               kParser);
    } else if (!parse_gains(*gains, table)) {
      return fail(ERR_UNSPECIFIED);
    }
    crx_lbt_cfg_t lbt = brd_cfg_priv.lbt;
    if (ostra_indoor_db_config.lbt_status != 0 && !parse_listen_times(root, lbt)) return fail(ERR_UNSPECIFIED);
    tx_lut = table;
    brd_cfg_priv.lbt = lbt;
    return 0;
  } catch (const std::exception& e) {  // out of memory, mostly
    log_line("BrvDBG-HAL %s E R R O R - %s id not a valid JSON file", kParser, path);
    return fail(ERR_UNSPECIFIED);
  }
}

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

int ostra_wren_parse_txlut_json(const char* path) {
  if (!path) return fail(ERR_NULL_PTR);
  std::string text;
  if (!read_file(path, text)) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to find a TX look up table called %s", kParser, path);
    return fail(ERR_UNSPECIFIED);
  }
  return parse_txlut_text(text, path);
}

int ostra_wren_load_tx_lut(void) {
  constexpr const char* who = "ostra_wren_load_tx_lut";
  if (!ensure_snapshot(who)) return -1;
  const char* path = ostra_indoor_db_config.Tx_LUT_JSON_Location;
  if (os::access(path, R_OK) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - Unable to open TX Look Up Table %s", who, path);
    return fail(ERR_UNSPECIFIED);
  }
  if (ostra_wren_parse_txlut_json(path) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - Unable to populate the Tx Look Up Table", who);
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

}  // extern "C"

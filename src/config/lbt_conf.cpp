// The "listen_before_talk" object of a board object: what the application
// asks of listen-before-talk. The database may still overrule it when the
// region makes LBT mandatory; that merge happens at board configuration.
#include <algorithm>
#include <climits>

#include "config/config_parse.h"
#include "log.h"

namespace crx {

using config::Json;

namespace {

// A LUT element that holds up, or nullopt.
std::optional<crx_lbt_entry_t> lut_entry(const Json& e) {
  const Json* power = config::member(e, "tx_power_dBm");
  if (!config::is_number(power)) return std::nullopt;
  const uint32_t min_freq = config::to_u32(config::number(&e, "min_freq_Hz"));
  const uint32_t max_freq = config::to_u32(config::number(&e, "max_freq_Hz"));
  const uint32_t talk_ms = config::to_u32(config::number(&e, "max_time_on_air_ms"));
  const int32_t listen_us = config::to_i32(config::number(&e, "listen_time_us"));
  const int32_t threshold = config::to_i32(config::number(&e, "threshold_dB"));
  if (min_freq == 0 || max_freq == 0 || talk_ms == 0 || listen_us < 1 || threshold >= 0) return std::nullopt;
  crx_lbt_entry_t entry{};
  entry.max_tx_power_dbm = config::to_i32(config::value_of(*power));
  entry.min_freq_hz = min_freq;
  entry.max_freq_hz = max_freq;
  entry.max_talk_time_ms = static_cast<int32_t>(std::min<uint32_t>(talk_ms, INT32_MAX));
  entry.listen_time_us = listen_us;
  entry.threshold_dbm = threshold;
  return entry;
}

}  // namespace

int parse_lbt_json_conf(crx_board_cfg_t* cfg, const Json* object) {
  if (!cfg || !object) return -1;
  const Json* lbt = config::member(*object, "listen_before_talk");
  if (!lbt || !lbt->is_object()) return 0;
  log_line("INFO: %s: Listen Before Talk data found in the config.json file.", __func__);

  const Json* enabled = config::member(*lbt, "enabled");
  if (enabled && enabled->is_boolean()) cfg->lbt.enabled = enabled->get<bool>() ? 1 : 0;
  cfg->lbt.count = 0;

  const Json* lut = config::member(*lbt, "LUT");
  if (!lut || !lut->is_array()) return 0;
  size_t used = lut->size();
  if (used > CRX_LBT_MAX_ENTRIES) {
    log_line("INFO: %s: Maximum of %d Listen Before Talk LUT entries accepted in JSON file. Only the first %d/%d "
             "entries will be used.",
             __func__, CRX_LBT_MAX_ENTRIES, CRX_LBT_MAX_ENTRIES, static_cast<int>(std::min<size_t>(used, INT_MAX)));
    used = CRX_LBT_MAX_ENTRIES;
  }
  for (size_t i = 0; i < used; ++i) {
    const Json& e = (*lut)[i];
    if (!e.is_object()) continue;
    if (const auto entry = lut_entry(e)) cfg->lbt.entries[cfg->lbt.count++] = *entry;
    else log_line("INFO: %s: An invalid Listen Before Talk LUT entry was observed. Skipping.", __func__);
  }
  return 0;
}

}  // namespace crx

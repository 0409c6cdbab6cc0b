// Listen-before-talk configuration: the board's active table, merged from
// the commissioning database and the application, and the lookup of the
// entry that governs a transmission.
#include <algorithm>
#include <cstring>
#include <utility>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"

namespace {

// A count as a record may hold it (the application's block is caller input).
uint8_t usable_count(const crx_lbt_cfg_t& lbt) {
  return std::min<uint8_t>(lbt.count, CRX_LBT_MAX_ENTRIES);
}

void take_entries(crx_lbt_cfg_t& active, const crx_lbt_cfg_t& from) {
  active.count = usable_count(from);
  std::memcpy(active.entries, from.entries, sizeof active.entries);
}

}  // namespace

using crx::brd_cfg_priv;
using crx::log_line;

extern "C" {

void init_lbt_structure(crx_lbt_cfg_t* lbt) {
  if (lbt) std::memset(lbt, 0, sizeof *lbt);
}

int set_lbt_brd_priv(const crx_lbt_cfg_t* app_in, const crx_lbt_cfg_t* db_in) {
  const crx_lbt_cfg_t none{};
  const crx_lbt_cfg_t& app = app_in ? *app_in : none;
  const crx_lbt_cfg_t& db = db_in ? *db_in : none;
  crx_lbt_cfg_t& active = brd_cfg_priv.lbt;
  if (db.enabled == 0) {
    if (app.enabled == 0) return 0;
    active.enabled = app.enabled;
    if (usable_count(app) > 0) {
      take_entries(active, app);
    } else {
      log_line("INFO: No valid Listen Before Talk LUT entries found in API config. Using default values.");
      take_entries(active, db);
    }
    return 0;
  }
  if (usable_count(app) > 0)
    log_line("INFO: LBT is mandatory in this region, and Listen/talk times may not be customized. Using database "
             "values.");
  active.enabled = 1;
  take_entries(active, db);
  return 0;
}

void sort_brd_priv_lbt_lut(int descending) {
  crx_lbt_cfg_t& lbt = brd_cfg_priv.lbt;
  const int count = usable_count(lbt);
  // A bubble sort that swaps only neighbours strictly out of order, so
  // entries of equal power keep their order.
  for (int pass = 0; pass + 1 < count; ++pass) {
    for (int i = 0; i + 1 < count - pass; ++i) {
      crx_lbt_entry_t& left = lbt.entries[i];
      crx_lbt_entry_t& right = lbt.entries[i + 1];
      const bool out_of_order = descending ? left.max_tx_power_dbm < right.max_tx_power_dbm
                                           : left.max_tx_power_dbm > right.max_tx_power_dbm;
      if (out_of_order) std::swap(left, right);
    }
  }
}

int crx_get_lbt_LUT_index(uint32_t freq_hz, int power_dbm) {
  const crx_lbt_cfg_t& lbt = brd_cfg_priv.lbt;
  for (int i = 0; i < usable_count(lbt); ++i) {
    const crx_lbt_entry_t& e = lbt.entries[i];
    if (power_dbm <= e.max_tx_power_dbm && freq_hz >= e.min_freq_hz && freq_hz < e.max_freq_hz) return i;
  }
  return -1;
}

int crx_get_lbt_configuration(crx_lbt_cfg_t* out) {
  if (!out) return crx::fail(ERR_NULL_PTR);
  *out = brd_cfg_priv.lbt;
  return 0;
}

bool isLbtRequired(void) {
  crx_lbt_cfg_t db;
  init_lbt_structure(&db);
  return CxGetLbtParameters(&db) && db.enabled != 0;
}

int crx_get_tx_freq(uint32_t* min_hz, uint32_t* max_hz) {
  if (!min_hz || !max_hz) return crx::fail(ERR_NULL_PTR);
  *min_hz = crx::region_limits.tx_min;
  *max_hz = crx::region_limits.tx_max;
  return 0;
}

int crx_tx_power_valid(float) { return 1; }

}  // extern "C"

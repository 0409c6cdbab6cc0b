// Board, chip and channel configuration of the Wren boards, their private
// configuration, frequency limits and module identity. The chip and channel
// settings live in the generic brd_cfg_priv, which start reads on every board.
#include <cstring>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"
#include "wren/db_snapshot.h"
#include "wren/wren_conf.h"

ostra_wren_prv_cfg_t ostra_wren_prv_cfg{};
ostra_wren_function_pointers_t ostra_wren_function_pointers{};

namespace crx::wren {
namespace {

bool g_priv_cfg_initialised = false;

constexpr int kMaxChips = 1;
constexpr int kLastWrenTableBand = FREQ_BAND_US_FULL_ISM;


// The limits the generic loader filled become the Wren's own.
void take_generic_limits() {
  ostra_wren_prv_cfg.rx_freq_min = region_limits.rx_min;
  ostra_wren_prv_cfg.rx_freq_max = region_limits.rx_max;
  ostra_wren_prv_cfg.tx_freq_min = region_limits.tx_min;
  ostra_wren_prv_cfg.tx_freq_max = region_limits.tx_max;
}

int call_region_loader(uint32_t band) {
  const ostra_wren_region_loader_t loader = ostra_wren_function_pointers.get_region_info;
  if (!loader) {  // nobody went through crx_conf_board
    log_line("BrvDBG-HAL: E R R O R: can't read the RF region info.");
    return -1;
  }
  const int result = loader(band);
  if (result == 0) take_generic_limits();
  return result;
}

constexpr channel_texts_t kChannelTexts = {
    "ostra_wren_conf_chan_priv",
    nullptr,
    nullptr,
    "BrvDBG-HAL %s E R R O R - bandwidth = %d != %d.",
    "BrvDBG-HAL %s E R R O R - bandwidth = %d != %d.",
    "BrvDBG-HAL %s E R R O R - modrate %d != MR_UNDEFINED %d.",
};

}  // namespace

bool priv_cfg_initialised() { return g_priv_cfg_initialised; }

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

void ostra_wren_priv_cfg_init(void) {
  if (g_priv_cfg_initialised) return;
  g_priv_cfg_initialised = true;
  ostra_wren_prv_cfg = ostra_wren_prv_cfg_t{};
  ostra_wren_prv_cfg.radio_number[0] = 0;
  ostra_wren_prv_cfg.radio_number[1] = 1;
  ostra_wren_prv_cfg.reserved_m40 = -40;
  brd_cfg_priv_t& b = brd_cfg_priv;
  b.running = false;
  std::memset(b.chip_enable, 0, sizeof b.chip_enable);
  std::memset(b.chip_freq, 0, sizeof b.chip_freq);
  std::memset(b.chan_enable, 0, sizeof b.chan_enable);
  std::memset(b.chan_freq, 0, sizeof b.chan_freq);
  std::memset(b.multisf_mask, 0, sizeof b.multisf_mask);
  std::memset(b.std_bandwidth, 0, sizeof b.std_bandwidth);
  std::memset(b.std_sf, 0, sizeof b.std_sf);
  std::memset(b.fsk_bandwidth, 0, sizeof b.fsk_bandwidth);
  std::memset(b.fsk_bitrate, 0, sizeof b.fsk_bitrate);
}

int ostra_wren_set_region_info_from_db(uint32_t band) {
  uint8_t from_db = 0;
  if (ostra_wren_db_rf_region(&from_db) != 0) {
    log_line("BrvDBG-HAL: E R R O R: can't read the RF region info.");
    return -1;
  }
  if (!from_db) return call_region_loader(band);
  const ostra_indoor_db_config_t& s = ostra_indoor_db_config;
  region_limits = {mhz_to_hz(s.Min_UL_Frequency_MHz), mhz_to_hz(s.Max_UL_Frequency_MHz),
                   mhz_to_hz(s.Min_DL_Frequency_MHz), mhz_to_hz(s.Max_DL_Frequency_MHz)};
  take_generic_limits();
  log_line("BrvDBG-HAL: RF regional info read from database.");
  log_line("BrvDBG-HAL: Operating band: %s", s.Operating_Band);
  log_line("BrvDBG-HAL: tx freq min: %dHz, max: %dHz", static_cast<int>(ostra_wren_prv_cfg.tx_freq_min),
           static_cast<int>(ostra_wren_prv_cfg.tx_freq_max));
  log_line("BrvDBG-HAL: rx freq min: %dHz, max: %dHz", static_cast<int>(ostra_wren_prv_cfg.rx_freq_min),
           static_cast<int>(ostra_wren_prv_cfg.rx_freq_max));
  return 0;
}

int ostra_wren_get_region_info(uint32_t band) { return ostra_wren_set_region_info_from_db(band); }

int ostra_wren_conf_board_priv(const crx_board_cfg_t* cfg) {
  constexpr const char* who = "ostra_wren_conf_board_priv";
  if (!cfg) return refuse_null_record(who);
  ostra_wren_priv_cfg_init();
  ostra_wren_prv_cfg.board_configured = 1;
  if (!ensure_snapshot(who)) return -1;
  // Before anything is taken: a running board keeps its LBT and gain tables.
  if (brd_cfg_priv.running) {
    log_line("BrvDBG-HAL: E R R O R in %s - board is running", who);
    return fail(ERR_BOARD_RUNNING);
  }
  set_lbt_brd_priv(&cfg->lbt, &ostra_indoor_db_config.lbt);
  sort_brd_priv_lbt_lut(0);
  if (ostra_wren_load_tx_lut() != 0) {
    log_line("BrvDBG-HAL %s E R R O R - Unable to populate Tx LUT.", who);
    return fail(ERR_UNSPECIFIED);
  }
  if (cfg->fsk_sync_size > 8) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong fsk_sync_size %d", who, cfg->fsk_sync_size);
    return fail(ERR_BAD_CONFIG);
  }
  const bool db_limits = ostra_indoor_db_config.config_version >= kRegionVersion;
  // Limits from the band table follow the band of every configuration;
  // the database's are loaded once. A refused band leaves the limits as
  // they were.
  const region_limits_t kept = region_limits;
  if (ostra_indoor_db_config.region_set != 1 || !db_limits) {
    if (call_region_loader(cfg->freq_band) != 0) return fail(ERR_BAD_CONFIG);
    ostra_indoor_db_config.region_set = 1;
  }
  if (!db_limits && (cfg->freq_band < FREQ_BAND_EU868 || cfg->freq_band > kLastWrenTableBand)) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong band %d ", who, static_cast<int>(cfg->freq_band));
    region_limits = kept;
    take_generic_limits();
    return fail(ERR_BAD_CONFIG);
  }
  brd_cfg_priv.freq_band = cfg->freq_band;
  brd_cfg_priv.fsk_sync_size = cfg->fsk_sync_size;
  store_fsk_sync(cfg->fsk_sync, cfg->fsk_sync_size);
  brd_cfg_priv.loramac_public = cfg->loramac_public;
  // As on the large boards: without it start brings the radios up but
  // never starts the receive thread.
  brd_cfg_priv.full_start = cfg->full_start;
  return crx_reg_setup(0);
}

int ostra_wren_conf_chip_priv(uint8_t chip, const crx_chip_cfg_t* cfg) {
  constexpr const char* who = "ostra_wren_conf_chip_priv";
  if (!cfg) return refuse_null_record(who);
  if (chip >= kMaxChips) {
    log_line("BrvDBG-HAL %s E R R O R - Accessed sx1301s %d, %d max chips.", who, chip, kMaxChips);
    return fail(ERR_UNSPECIFIED);
  }
  ostra_wren_prv_cfg.chip_configured[chip] = 1;
  if (!ensure_snapshot(who)) return -1;
  if (brd_cfg_priv.running) return fail(ERR_BOARD_RUNNING);
  brd_cfg_priv.chip_enable[chip] = cfg->enable;
  if (cfg->rf_chain != 0)
    log_line("BrvDBG-HAL %s Note - cfg->rf_chain = %d, only rf_chain 0 supported.", who, cfg->rf_chain);
  brd_cfg_priv.chip_rf_chain[chip] = 0;
  return 0;
}

int ostra_wren_conf_chan_priv(uint8_t chan, const crx_chan_cfg_t* cfg) {
  constexpr const char* who = "ostra_wren_conf_chan_priv";
  if (!cfg) return refuse_null_record(who);
  if (!ensure_snapshot(who)) return -1;
  const uint8_t c = chan / 16;
  const uint8_t n = chan % 16;
  if (c >= kMaxChips) {
    log_line("BrvDBG-HAL %s E R R O R - CRX_BOARD_CHIPS_NB.", who);
    return fail(ERR_BAD_CHAN_NB);
  }
  if (n >= kChipChannels) {
    log_line("BrvDBG-HAL %s E R R O R - CRX_CHIP_CHAN_NB.", who);
    return fail(ERR_BAD_CHAN_NB);
  }
  if (cfg->enable && cfg->freq_hz < kMinFreqHz) {
    log_line("BrvDBG-HAL %s E R R O R - enable = true && freq_hz %d < CRX_MIN_FREQ  %d.", who,
             static_cast<int>(cfg->freq_hz), static_cast<int>(kMinFreqHz));
    return fail(ERR_BAD_CONFIG);
  }
  if (brd_cfg_priv.running) {
    log_line("BrvDBG-HAL %s E R R O R - board already running.", who);
    return fail(ERR_BOARD_RUNNING);
  }
  brd_cfg_priv.chan_enable[c][n] = cfg->enable;
  if (!cfg->enable) return 0;
  if (!brd_cfg_priv.chip_enable[c]) {
    log_line("BrvDBG-HAL %s E R R O R - sx1301 is disabled.", who);
    return fail(ERR_CHIP_DISABLED);
  }
  const ostra_wren_prv_cfg_t& p = ostra_wren_prv_cfg;
  if (cfg->freq_hz < p.rx_freq_min || cfg->freq_hz > p.rx_freq_max) {
    log_line("BrvDBG-HAL %s E R R O R - freq_hz = %d , < %d > %d.", who, static_cast<int>(cfg->freq_hz),
             static_cast<int>(p.rx_freq_min), static_cast<int>(p.rx_freq_max));
    return fail(ERR_FREQ_OUT_OF_BAND);
  }
  brd_cfg_priv.chan_freq[c][n] = cfg->freq_hz;
  return store_channel_modem(c, n, *cfg, kChannelTexts);
}

int ostra_wren_conf_board(const crx_board_cfg_t* cfg) { return ostra_wren_conf_board_priv(cfg); }
int ostra_wren_conf_chip(uint8_t chip, const crx_chip_cfg_t* cfg) { return ostra_wren_conf_chip_priv(chip, cfg); }
int ostra_wren_conf_chan(uint8_t chan, const crx_chan_cfg_t* cfg) { return ostra_wren_conf_chan_priv(chan, cfg); }

int ostra_wren_get_module_id(crx_module_id_t* out) {
  constexpr const char* who = "ostra_wren_get_module_id";
  if (!out) return refuse_null_record(who);
  if (!ensure_snapshot(who)) return -1;
  const ostra_indoor_db_config_t& s = ostra_indoor_db_config;
  static_assert(sizeof out->module_name == sizeof s.Module_Name &&
                sizeof out->module_product_code == sizeof s.Module_Product_Code &&
                sizeof out->module_revision == sizeof s.Module_Revision &&
                sizeof out->module_serial_number == sizeof s.Module_Serial_Number &&
                sizeof out->gateway_id == sizeof s.Customer_Gateway_ID);
  // The snapshot's strings are terminated within their fields.
  std::memcpy(out->module_name, s.Module_Name, sizeof out->module_name);
  std::memcpy(out->module_product_code, s.Module_Product_Code, sizeof out->module_product_code);
  std::memcpy(out->module_revision, s.Module_Revision, sizeof out->module_revision);
  std::memcpy(out->module_serial_number, s.Module_Serial_Number, sizeof out->module_serial_number);
  std::memcpy(out->gateway_id, s.Customer_Gateway_ID, sizeof out->gateway_id);
  return 0;
}

}  // extern "C"

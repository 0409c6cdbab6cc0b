// crx_conf_board, crx_conf_chip and crx_conf_chan: each checks its record
// against the board and the regional limits and copies what it accepts into
// brd_cfg_priv. The Wren boards hand all three over to their own driver.
#include <cstdlib>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"

namespace crx {
namespace {

constexpr uint8_t kDefaultMultiSfMask = DR_LORA_SF7 | DR_LORA_SF8 | DR_LORA_SF9 | DR_LORA_SF10;
constexpr uint8_t kDefaultStdSf = 10;
constexpr uint32_t kDefaultFskBitrate = 64000;
constexpr uint32_t kMinFskBitrate = 300;
constexpr uint32_t kMaxFskBitrate = 250000;
constexpr int64_t kMaxChannelIfHz = 1500000;
// Chips 6 and 7 have their channels placed by start, not checked here.
constexpr int kChipsWithChannelIfLimit = 6;


bool in_rx_band(uint32_t freq) { return freq >= region_limits.rx_min && freq <= region_limits.rx_max; }

// Largest offset of a chip's centre from the board's receive frequency.
int64_t max_chip_if_hz() {
  if (region_from_database()) return mhz_to_hz(rfRegionInfo.Rx_Bandwidth_MHz);
  return board_type == CRX_BOARD_OPAL ? 13000000 : 7000000;
}

// The chip bound for conf_chip: the board's chip count, never more than the
// record has room for (the database may claim any count).
int configurable_chips() { return num_sx1301_chips < kBoardChips ? num_sx1301_chips : kBoardChips; }

void take_lbt(const crx_lbt_cfg_t& app) {
  crx_lbt_cfg_t db;
  init_lbt_structure(&db);
  // A database without LBT parameters (older than version 4, or unreadable)
  // does not require LBT.
  if (!CxGetLbtParameters(&db)) init_lbt_structure(&db);
  set_lbt_brd_priv(&app, &db);
  sort_brd_priv_lbt_lut(0);
}

constexpr channel_texts_t kChannelTexts = {
    "crx_conf_chan",
    "BrvDBG-HAL: %s LoRa multi-SF channel",
    "BrvDBG-HAL: %s LoRa stand-alone channel",
    "BrvDBG-HAL: %s E R R O R  bandwidth = %d != %d",
    "BrvDBG-HAL %s E R R O R  bandwidth = %d != %d",
    "BrvDBG-HAL: %s E R R O R  modrate %d != MR_UNDEFINED %d",
};

}  // namespace

int refuse_null_record(const char* who) {
  log_line("BrvDBG-HAL %s E R R O R - NULL pointer", who);
  return fail(ERR_NULL_PTR);
}

int store_channel_modem(uint8_t c, uint8_t n, const crx_chan_cfg_t& cfg, const channel_texts_t& t) {
  if (n < kMultiSfChannels) {
    if (t.multi_sf_line) log_line(t.multi_sf_line, t.who);
    if (cfg.bandwidth != BW_UNDEFINED && cfg.bandwidth != BW_125KHZ) {
      log_line(t.multi_bandwidth, t.who, static_cast<int>(cfg.bandwidth), BW_125KHZ);
      return fail(ERR_BAD_BW);
    }
    if (cfg.modrate == MR_UNDEFINED) {
      brd_cfg_priv.multisf_mask[c][n] = kDefaultMultiSfMask;
    } else if ((cfg.modrate & ~static_cast<uint32_t>(DR_LORA_MULTI)) == 0) {
      brd_cfg_priv.multisf_mask[c][n] = static_cast<uint8_t>(cfg.modrate);
    } else {
      log_line(t.multi_modrate, t.who, static_cast<int>(cfg.modrate), MR_UNDEFINED);
      return fail(ERR_BAD_SF);
    }
    return 0;
  }
  const uint32_t bandwidth = cfg.bandwidth == BW_UNDEFINED ? uint32_t{BW_125KHZ} : cfg.bandwidth;
  if (n == kLoraStdChannel) {
    if (t.std_line) log_line(t.std_line, t.who);
    if (bandwidth < BW_500KHZ || bandwidth > BW_125KHZ) {
      log_line(t.std_bandwidth, t.who, static_cast<int>(cfg.bandwidth), BW_125KHZ);
      return fail(ERR_BAD_BW);
    }
    int sf = kDefaultStdSf;
    if (cfg.modrate != MR_UNDEFINED) {
      sf = crx_sf_enum2nb(static_cast<crx_sf_t>(cfg.modrate));
      if (sf < 0) return fail(ERR_BAD_SF);
    }
    brd_cfg_priv.std_bandwidth[c] = bandwidth;
    brd_cfg_priv.std_sf[c] = static_cast<uint8_t>(sf);
    return 0;
  }
  if (bandwidth > BW_7K8HZ) return fail(ERR_BAD_BW);
  uint32_t bitrate = cfg.modrate == 0 ? kDefaultFskBitrate : cfg.modrate;
  if (bitrate < kMinFskBitrate || bitrate > kMaxFskBitrate) return fail(ERR_BAD_BITRATE);
  brd_cfg_priv.fsk_bandwidth[c] = bandwidth;
  brd_cfg_priv.fsk_bitrate[c] = bitrate;
  return 0;
}

}  // namespace crx

using namespace crx;

extern "C" {

int crx_conf_board(uint8_t board, crx_board_cfg_t* cfg) {
  constexpr const char* who = "crx_conf_board";
  identify_board();
  if (is_wren_board(board_type)) {
    ostra_wren_function_pointers.get_region_info = load_region_limits;
    return ostra_wren_conf_board(cfg);
  }
  if (!cfg) return refuse_null_record(who);
  if (board >= kMaxBoards) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong board #", who);
    return fail(ERR_BAD_BOARD_NB);
  }
  log_line("BrvDBG-HAL: %s rx_freq_hz %d", who, static_cast<int>(cfg->rx_freq));
  if (cfg->rx_freq < kMinFreqHz) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong freq  %d   cfg = %d", who, static_cast<int>(kMinFreqHz),
             static_cast<int>(cfg->rx_freq));
    return fail(ERR_BAD_CONFIG);
  }
  if (cfg->fsk_sync_size > 8) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong fsk_sync_size %d", who, cfg->fsk_sync_size);
    return fail(ERR_BAD_CONFIG);
  }
  // Limits from the band table follow the requested band; a refusal below
  // must leave those of the configured (perhaps running) board in place.
  const region_limits_t kept = region_limits;
  if (load_region_limits(cfg->freq_band) != 0) return fail(ERR_BAD_CONFIG);
  const auto refuse = [&](int code) {
    if (!region_from_database()) region_limits = kept;
    return fail(code);
  };
  if (!region_from_database() && (cfg->freq_band < FREQ_BAND_EU868 || cfg->freq_band > FREQ_BAND_AS923_J)) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong band %d", who, static_cast<int>(cfg->freq_band));
    return refuse(ERR_BAD_CONFIG);
  }
  if (brd_cfg_priv.running) {
    log_line("BrvDBG-HAL: E R R O R in %s - board is running.", who);
    return refuse(ERR_BOARD_RUNNING);
  }

  brd_cfg_priv.full_start = cfg->full_start;
  brd_cfg_priv.freq_band = cfg->freq_band;
  // The unit's own receive LO wins over the application's frequency.
  if (region_from_database()) cfg->rx_freq = mhz_to_hz(rfRegionInfo.Rx_LO_MHz);
  log_line("BrvDBG-HAL: freq_band %d rx_freq_min %d rx_freq_max %d", static_cast<int>(cfg->freq_band),
           static_cast<int>(region_limits.rx_min), static_cast<int>(region_limits.rx_max));
  if (!in_rx_band(cfg->rx_freq)) {
    log_line("BrvDBG-HAL: E R R O R in %s - wrong out of band  - freq_hz %d min freq_band %d max freq_band %d", who,
             static_cast<int>(cfg->rx_freq), static_cast<int>(region_limits.rx_min),
             static_cast<int>(region_limits.rx_max));
    return fail(ERR_FREQ_OUT_OF_BAND);
  }

  brd_cfg_priv.rx_freq = cfg->rx_freq;
  log_line("BrvDBG-HAL: rx_freq =%d", static_cast<int>(cfg->rx_freq));
  for (int i = 0; i < kRfChains; ++i) {
    brd_rf_chain_priv_t& chain = brd_cfg_priv.rf_chain[i];
    const crx_rf_chain_cfg_t& in = cfg->rf_chain[i];
    chain.rx_enable = in.rx_enable;
    chain.tx_enable = in.tx_enable;
    chain.rssi_offset = in.rssi_offset;
    chain.rssi_offset_coeff_a = in.rssi_offset_coeff_a;
    chain.rssi_offset_coeff_b = in.rssi_offset_coeff_b;
  }
  brd_cfg_priv.calibration_temperature_celsius_room = cfg->calibration_temperature_celsius_room;
  brd_cfg_priv.calibration_temperature_code_ad9361 = cfg->calibration_temperature_code_ad9361;
  brd_cfg_priv.fsk_sync_size = cfg->fsk_sync_size;
  store_fsk_sync(cfg->fsk_sync, cfg->fsk_sync_size);
  brd_cfg_priv.loramac_public = cfg->loramac_public;
  brd_cfg_priv.lbt.enabled = 0;
  take_lbt(cfg->lbt);
  return crx_reg_setup(board);
}

int crx_conf_chip(uint8_t board, uint8_t chip, const crx_chip_cfg_t* cfg) {
  constexpr const char* who = "crx_conf_chip";
  identify_board();
  if (is_wren_board(board_type)) return ostra_wren_conf_chip(chip, cfg);
  if (!cfg) return refuse_null_record(who);
  if (board >= kMaxBoards) {
    log_line("BrvDBG-HAL %s  ERR_BAD_BOARD_NB  %d", who, board);
    return fail(ERR_BAD_BOARD_NB);
  }
  if (chip >= configurable_chips()) {
    log_line("BrvDBG-HAL %s  ERR_BAD_CHIP_NB chip %d", who, chip);
    return fail(ERR_BAD_CHIP_NB);
  }
  if (cfg->enable && cfg->freq_hz < kMinFreqHz) {
    log_line("BrvDBG-HAL %s  ERR_BAD_CHIP_NB cfg->freq_hz %d vs %d", who, static_cast<int>(cfg->freq_hz),
             static_cast<int>(kMinFreqHz));
    return fail(ERR_BAD_CONFIG);
  }
  // Start indexes the RF chain arrays with this number.
  if (cfg->enable && cfg->rf_chain >= kRfChains) {
    log_line("BrvDBG-HAL %s  ERR_BAD_RFCHAIN_NB rf_chain %d", who, cfg->rf_chain);
    return fail(ERR_BAD_RFCHAIN_NB);
  }
  const int64_t max_if = max_chip_if_hz();
  if (brd_cfg_priv.running) return fail(ERR_BOARD_RUNNING);

  brd_cfg_priv.chip_enable[chip] = cfg->enable;
  brd_cfg_priv.chip_rf_chain[chip] = cfg->rf_chain;
  if (!cfg->enable) return 0;
  if (!in_rx_band(cfg->freq_hz)) return fail(ERR_FREQ_OUT_OF_BAND);
  const int64_t offset = std::llabs(static_cast<int64_t>(cfg->freq_hz) - brd_cfg_priv.rx_freq);
  if (offset > max_if) {
    log_line("BrvDBG-HAL %s E R R O R  if_freq = %lld > %lld", who, static_cast<long long>(offset),
             static_cast<long long>(max_if));
    return fail(ERR_MAX_IF);
  }
  brd_cfg_priv.chip_freq[chip] = cfg->freq_hz;
  return 0;
}

int crx_conf_chan(uint8_t board, uint8_t chan, const crx_chan_cfg_t* cfg) {
  constexpr const char* who = "crx_conf_chan";
  identify_board();
  if (is_wren_board(board_type)) return ostra_wren_conf_chan(chan, cfg);
  if (!cfg) return refuse_null_record(who);
  const uint8_t c = chan >> 4;
  const uint8_t n = chan & 0x0F;
  if (board >= kMaxBoards) {
    log_line("BrvDBG-HAL %s E R R O R  CRX_MAX_BOARD_NB", who);
    return fail(ERR_BAD_BOARD_NB);
  }
  if (c >= kBoardChips) {
    log_line("BrvDBG-HAL %s E R R O R  CRX_BOARD_CHIPS_NB", who);
    return fail(ERR_BAD_CHAN_NB);
  }
  if (n >= kChipChannels) {
    log_line("BrvDBG-HAL %s E R R O R  CRX_CHIP_CHAN_NB", who);
    return fail(ERR_BAD_CHAN_NB);
  }
  if (cfg->enable && cfg->freq_hz < kMinFreqHz) {
    log_line("BrvDBG %s E R R O R  enable = true && freq_hz %d < CRX_MIN_FREQ  %d", who,
             static_cast<int>(cfg->freq_hz), static_cast<int>(kMinFreqHz));
    return fail(ERR_BAD_CONFIG);
  }
  if (brd_cfg_priv.running) {
    log_line("BrvDBG-HAL %s E R R O R  board already running", who);
    return fail(ERR_BOARD_RUNNING);
  }

  brd_cfg_priv.chan_enable[c][n] = cfg->enable;
  if (!cfg->enable) return 0;
  if (!brd_cfg_priv.chip_enable[c]) {
    log_line("BrvDBG-HAL %s E R R O R chip is disabled", who);
    return fail(ERR_CHIP_DISABLED);
  }
  if (!in_rx_band(cfg->freq_hz)) {
    log_line("BrvDBG-HAL E R R O R freq_hz = %d , < %d > %d", static_cast<int>(cfg->freq_hz),
             static_cast<int>(region_limits.rx_min), static_cast<int>(region_limits.rx_max));
    return fail(ERR_FREQ_OUT_OF_BAND);
  }
  if (c < kChipsWithChannelIfLimit) {
    const int64_t offset = std::llabs(static_cast<int64_t>(cfg->freq_hz) - brd_cfg_priv.chip_freq[c]);
    if (offset > kMaxChannelIfHz) {
      log_line("BrvDBG-HAL %s E R R O R  if_freq = %lld > %d", who, static_cast<long long>(offset),
               static_cast<int>(kMaxChannelIfHz));
      return fail(ERR_MAX_IF);
    }
  }
  brd_cfg_priv.chan_freq[c][n] = cfg->freq_hz;
  log_line("BrvDBG-HAL: chan_freq[%d][%d] =%d", c, n, static_cast<int>(cfg->freq_hz));
  return store_channel_modem(c, n, *cfg, kChannelTexts);
}

}  // extern "C"

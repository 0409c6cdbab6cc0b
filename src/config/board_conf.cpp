// A "crx_conf" board object: the board record, then each SX1301 chip and
// its ten IF channels, each applied through the configuration calls as soon
// as it is read. The FPGA boards and the Wren boards read the same object;
// the Wren's driver plans its radios itself, so on those boards the file
// gives no receive frequency, RF chains, calibration temperatures or chip
// frequencies, and the band names stop at the full ISM band.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "config/config_parse.h"
#include "errors.h"
#include "log.h"

namespace crx::config {

namespace {

constexpr BandName kBands[] = {
    {"EU868", FREQ_BAND_EU868},
    {"US915", FREQ_BAND_US915},
    {"US_FULL_ISM", FREQ_BAND_US_FULL_ISM},
    {"AS923_J", FREQ_BAND_AS923_J},
};
constexpr size_t kWrenBandCount = 3;  // the first three

constexpr size_t kRfChains = 2;
constexpr size_t kFpgaChips = 8;
constexpr size_t kWrenChips = 1;
constexpr size_t kChannels = 10;
constexpr size_t kMultiSfChannels = 8;
constexpr size_t kLoRaStdChannel = 8;
// Sync words of 1 to 8 bytes, two hex digits each.
constexpr size_t kMaxFskSyncChars = 16;

struct Family {
  bool wren;
};

void read_rf_chains(const Json& obj, crx_board_cfg_t& cfg) {
  const Json* chains = member(obj, "rf_chain_conf");
  if (!chains || !chains->is_array()) {
    log_line("WARNING: no rf_chain configured");
    return;
  }
  for (size_t i = 0; i < chains->size(); ++i) {
    if (i == kRfChains) {
      log_line("ERROR: rf_chain %zu not supported, skip it", i);
      break;
    }
    const Json* e = &(*chains)[i];
    crx_rf_chain_cfg_t& chain = cfg.rf_chain[i];
    chain.rx_enable = flag(e, "rx_enable");
    chain.tx_enable = flag(e, "tx_enable");
    chain.rssi_offset = to_float(number(e, "rssi_offset"));
    chain.rssi_offset_coeff_a = to_i16(number(e, "rssi_offset_coeff_a"));
    chain.rssi_offset_coeff_b = to_i16(number(e, "rssi_offset_coeff_b"));
    log_line("INFO: rf_chain %zu: RSSI offset configured at %.1f, a=%d, b=%d", i, chain.rssi_offset,
             chain.rssi_offset_coeff_a, chain.rssi_offset_coeff_b);
  }
}

int read_fsk_sync(const Json& obj, crx_board_cfg_t& cfg) {
  const std::string* sync = string_member(&obj, "FSK_sync");
  if (!sync) return 0;
  const size_t chars = sync->size();
  if (chars % 2 != 0 || chars < 2 || chars > kMaxFskSyncChars) {
    log_line("ERROR: impossible to parse parameter 'FSK_sync'");
    return -1;
  }
  // Files have always been read with a hexadecimal scan, so leading blanks
  // and a "0x" are part of the format. The word's size comes from its
  // digits: "0xC194C1" is the three bytes C1 94 C1, not four with a zero
  // in front. A sign or anything after the digits is refused.
  std::string_view text(*sync);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  const auto value = hex_value(text, kMaxFskSyncChars + 2, true);
  const size_t digits = text.size() - (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0);
  if (!value || digits % 2 != 0) {
    log_line("ERROR: failed to parse hex string for 'FSK_sync'");
    return -1;
  }
  cfg.fsk_sync = *value;
  cfg.fsk_sync_size = static_cast<uint8_t>(digits / 2);
  return 0;
}

// The channel record of channel `n` of a chip object; disabled when the
// chip object has no object for it.
int read_channel(const Json& chip_obj, size_t n, uint8_t id, crx_chan_cfg_t& chan) {
  crx_init_chan_cfg(&chan);
  char name[24];
  if (n < kMultiSfChannels) std::snprintf(name, sizeof name, "chan_multiSF_%zu", n);
  else std::strcpy(name, n == kLoRaStdChannel ? "chan_LoRa_std" : "chan_FSK");
  const Json* obj = member(chip_obj, name);
  if (!obj || !obj->is_object()) return 0;

  chan.enable = true;
  const Json* freq = member(*obj, "chan_rx_freq");
  if (!is_number(freq)) {
    log_line("ERROR: failed to parse mandatory parameter chan_rx_freq for chip 0x%02X", id);
    return -1;
  }
  chan.freq_hz = to_u32(value_of(*freq));
  if (n < kMultiSfChannels) {
    chan.bandwidth = BW_125KHZ;
    const Json* sf = member(*obj, "spread_factor");
    if (sf && sf->is_string()) chan.modrate = spread_factor_text(sf->get_ref<const std::string&>());
    else if (is_number(sf)) chan.modrate = crx_sf_nb2enum(to_i32(value_of(*sf)));
  } else {
    // Unsigned values handed to the int conversions: the wrapped ones are
    // negative and convert to "undefined".
    chan.bandwidth = crx_bw_nb2enum(static_cast<int>(to_u32(number(obj, "bandwidth"))));
    if (n == kLoRaStdChannel) chan.modrate = crx_sf_nb2enum(static_cast<int>(to_u32(number(obj, "spread_factor"))));
    else chan.modrate = to_u32(number(obj, "bit_rate"));
  }
  return 0;
}

int apply_chip(const Json* chip_obj, uint8_t board, size_t c, const Family& family) {
  crx_chip_cfg_t chip;
  crx_init_chip_cfg(&chip);
  chip.enable = flag(chip_obj, "chip_enable");
  if (chip.enable && !family.wren) {
    const Json* freq = member(chip_obj, "chip_center_freq");
    if (!is_number(freq)) {
      log_line("ERROR: failed to parse mandatory parameter chip_center_freq for chip %zu", c);
      return -1;
    }
    const Json* chain = member(chip_obj, "chip_rf_chain");
    if (!is_number(chain)) {
      log_line("ERROR: failed to parse mandatory parameter chip_rf_chain for chip %zu", c);
      return -1;
    }
    chip.freq_hz = to_u32(value_of(*freq));
    chip.rf_chain = to_u8(value_of(*chain));
  }
  if (crx_conf_chip(board, static_cast<uint8_t>(c), &chip) != 0) {
    log_line("ERROR: crx_conf_chip failed for chip %zu; %s", c, crx_err_message(get_errno()));
    return -1;
  }
  if (!chip.enable) return 0;

  // Every channel is applied, a disabled one included, so that the chip's
  // channels are exactly those of the file.
  for (size_t n = 0; n < kChannels; ++n) {
    const auto id = static_cast<uint8_t>(c * 16 + n);
    crx_chan_cfg_t chan;
    if (read_channel(*chip_obj, n, id, chan) != 0) return -1;
    if (crx_conf_chan(board, id, &chan) != 0) {
      log_line("ERROR: crx_conf_chan failed for channel 0x%02X; %s", id, crx_err_message(get_errno()));
      return -1;
    }
  }
  return 0;
}

int parse_board(const Json& obj, uint8_t board, const Family& family) {
  crx_board_cfg_t cfg;
  crx_init_board_cfg(&cfg);

  const std::string* band = string_member(&obj, "board_freq_band");
  if (!band) {
    log_line("ERROR: impossible to parse mandatory parameter 'board_freq_band'");
    return -1;
  }
  cfg.freq_band = band_number(*band, kBands, family.wren ? kWrenBandCount : std::size(kBands));

  if (!family.wren) {
    const Json* rx = member(obj, "board_rx_freq");
    if (!is_number(rx)) {
      log_line("ERROR: impossible to parse mandatory parameter 'board_rx_freq'");
      return -1;
    }
    cfg.rx_freq = to_u32(value_of(*rx));
  }

  init_lbt_structure(&cfg.lbt);
  (void)parse_lbt_json_conf(&cfg, &obj);  // it refuses only a missing object

  if (!family.wren) read_rf_chains(obj, cfg);
  if (read_fsk_sync(obj, cfg) != 0) return -1;
  cfg.loramac_public = flag(&obj, "loramac_public");
  if (!family.wren) {
    const double room = number(&obj, "calibration_temperature_celsius_room");
    cfg.calibration_temperature_celsius_room = static_cast<uint8_t>(to_i32(room));
    cfg.calibration_temperature_code_ad9361 = to_u8(number(&obj, "calibration_temperature_code_ad9361"));
  }

  if (crx_conf_board(board, &cfg) != 0) {
    log_line("ERROR: crx_conf_board failed; %s", crx_err_message(get_errno()));
    return -1;
  }

  const Json* chips = member(obj, "SX1301_conf");
  if (!chips || !chips->is_array()) return 0;
  const size_t supported = family.wren ? kWrenChips : kFpgaChips;
  for (size_t c = 0; c < chips->size(); ++c) {
    if (c == supported) {
      log_line("ERROR: SX1301 chip %zu not supported, skip it", c);
      return 0;
    }
    if (apply_chip(&(*chips)[c], board, c, family) != 0) return -1;
  }
  return 0;
}

}  // namespace

int parse_board_conf(const Json& object, uint8_t board) { return parse_board(object, board, Family{false}); }

}  // namespace crx::config

namespace crx {

int parse_ostra_wren_configuration(const nlohmann::json* object) {
  if (!object) return -1;
  return config::parse_board(*object, 0, config::Family{true});
}

}  // namespace crx

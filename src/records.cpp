// Defaults of the configuration and packet records.
#include <cstring>

#include "crx.h"

namespace {
constexpr float kDefaultRssiOffset = -202.5f;
constexpr uint8_t kDefaultCalibrationRoomCelsius = 22;
constexpr uint8_t kDefaultCalibrationCodeAd9361 = 77;
}  // namespace

extern "C" {

crx_board_cfg_t* crx_init_board_cfg(crx_board_cfg_t* cfg) {
  if (!cfg) return cfg;
  std::memset(cfg, 0, sizeof *cfg);
  cfg->full_start = true;
  for (auto& chain : cfg->rf_chain) chain.rssi_offset = kDefaultRssiOffset;
  cfg->calibration_temperature_celsius_room = kDefaultCalibrationRoomCelsius;
  cfg->calibration_temperature_code_ad9361 = kDefaultCalibrationCodeAd9361;
  return cfg;
}

crx_chip_cfg_t* crx_init_chip_cfg(crx_chip_cfg_t* cfg) {
  if (cfg) std::memset(cfg, 0, sizeof *cfg);
  return cfg;
}

crx_chan_cfg_t* crx_init_chan_cfg(crx_chan_cfg_t* cfg) {
  if (cfg) std::memset(cfg, 0, sizeof *cfg);
  return cfg;
}

crx_tx_pkt_t* crx_init_tx_pkt(crx_tx_pkt_t* pkt) {
  if (pkt) std::memset(pkt, 0, sizeof *pkt);
  return pkt;
}

crx_tx_gain_t* crx_init_tx_gain(crx_tx_gain_t* gain) {
  if (gain) std::memset(gain, 0, sizeof *gain);
  return gain;
}

}  // extern "C"

// Transceiver wrappers and the board-level bring-up of the AD9361.
#include "crx_hal/xcvr.h"

#include <cmath>
#include <mutex>

#include "ad9361_phy.h"
#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/tx_power.h"
#include "device/reg_tables.h"
#include "errors.h"
#include "log.h"

namespace crx {

namespace {

constexpr int kInitAttempts = 3;

std::mutex xcvr_mutex;             // guards the two below
ad9361::Phy* xcvr_phy = nullptr;   // the driver's handle, null while stopped
uint64_t last_tx_lo_hz = 0;        // 0: none programmed

}  // namespace

int xcvr_start(uint8_t rx_en, uint8_t tx_en, uint32_t band, int32_t tx_fir, int32_t rx_fir) {
  std::lock_guard lock(xcvr_mutex);
  ad9361::release(xcvr_phy);
  xcvr_phy = nullptr;
  last_tx_lo_hz = 0;
  const ad9361::InitParam param{rx_en, tx_en, band, tx_fir, rx_fir};
  for (int attempt = 0; attempt < kInitAttempts; ++attempt) {
    if (ad9361::init(param, &xcvr_phy) == 0) return 0;
    log_line("%s: error, failed to initialize transceiver", "xcvr_start");
  }
  return -1;
}

int xcvr_stop() {
  std::lock_guard lock(xcvr_mutex);
  last_tx_lo_hz = 0;
  ad9361::release(xcvr_phy);
  xcvr_phy = nullptr;
  return 0;
}

bool xcvr_running() {
  std::lock_guard lock(xcvr_mutex);
  return xcvr_phy != nullptr;
}

uint64_t xcvr_tx_lo() {
  std::lock_guard lock(xcvr_mutex);
  return last_tx_lo_hz;
}

int set_tx_rf_bandwidth(uint32_t hz) {
  std::lock_guard lock(xcvr_mutex);
  return ad9361::set_tx_rf_bandwidth(xcvr_phy, hz);
}

int set_rx_rf_bandwidth(uint32_t hz) {
  std::lock_guard lock(xcvr_mutex);
  return ad9361::set_rx_rf_bandwidth(xcvr_phy, hz);
}

int set_tx_lo_freq(uint64_t hz) {
  std::lock_guard lock(xcvr_mutex);
  if (!xcvr_phy) return -1;
  if (hz == last_tx_lo_hz) return 0;
  const uint64_t span = hz > last_tx_lo_hz ? hz - last_tx_lo_hz : last_tx_lo_hz - hz;
  const bool fast = last_tx_lo_hz != 0 && span <= kFastRetuneSpanHz;
  const int rc = fast ? ad9361::fast_retune_tx_lo(xcvr_phy, hz) : ad9361::set_tx_lo_freq(xcvr_phy, hz);
  if (rc < 0) return -1;
  last_tx_lo_hz = hz;
  return 0;
}

int set_rx_lo_freq(uint64_t hz) {
  std::lock_guard lock(xcvr_mutex);
  return ad9361::set_rx_lo_freq(xcvr_phy, hz);
}

int set_tx_rf_atten(int32_t att1_mdb, int32_t att2_mdb) {
  if (board_type == CRX_BOARD_OPAL) {
    int32_t version = 0;
    if (crx_reg_brd_r(0, regs::BRD_FPGA_VERSION, &version) < 0) return -1;
    if (version > kFpgaAttenVersion) return crx_reg_brd_w(0, regs::BRD_TX_ATTEN, att1_mdb / 250) < 0 ? -1 : 0;
  }
  std::lock_guard lock(xcvr_mutex);
  // Both outputs or neither.
  if (!xcvr_phy || !ad9361::tx_attenuation_valid(att1_mdb) || !ad9361::tx_attenuation_valid(att2_mdb)) return -1;
  if (ad9361::set_tx_attenuation(xcvr_phy, 0, att1_mdb) < 0) return -1;
  return ad9361::set_tx_attenuation(xcvr_phy, 1, att2_mdb);
}

int set_rx_rf_gain(int32_t gain0_db, int32_t gain1_db) {
  std::lock_guard lock(xcvr_mutex);
  if (!xcvr_phy || !ad9361::rx_gain_valid(gain0_db) || !ad9361::rx_gain_valid(gain1_db)) return -1;
  if (ad9361::set_rx_rf_gain(xcvr_phy, 0, gain0_db) < 0) return -1;
  return ad9361::set_rx_rf_gain(xcvr_phy, 1, gain1_db);
}

}  // namespace crx

#include "crx_hal/tx_if.h"

#include <cmath>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/rxtx_deps.h"
#include "crx_hal/rxtx_rows.h"
#include "crx_hal/xcvr.h"
#include "errors.h"
#include "log.h"

namespace crx::tx {

namespace {
namespace rows = rxtx_rows;
constexpr uint32_t kHighSideSplitHz = 900000000;
constexpr double kHighSideOffsetHz = 200400000.0;
}  // namespace

IfPlan plan_if(uint32_t freq_hz) {
  const double f = freq_hz;
  if (!region_from_database()) {
    switch (brd_cfg_priv.freq_band) {
      case FREQ_BAND_EU868: return {866400000.0 - f, false};
      case FREQ_BAND_US915: return {925400000.0 - f, false};
      case FREQ_BAND_US_FULL_ISM: return {915000000.0 - f, false};
      case FREQ_BAND_923_933: return {921500000.0 - f, false};
      case FREQ_BAND_AS923_J: return {0.0, true};
      default:
        log_line("BrvDBG-HAL: %s E R R O R Frequency band %d not understood", "crx_setup_if_reg",
                 int(brd_cfg_priv.freq_band));
        return {0.0, false};
    }
  }
  if (rfRegionInfo.Tx_LO_MHz <= 1.0f) return {0.0, true};
  return {std::trunc(double(rfRegionInfo.Tx_LO_MHz) * 1e6 - f), false};
}

int setup_if_reg(uint8_t rf_chain, uint8_t carrier, uint32_t freq_hz, uint8_t chip) {
  constexpr const char* who = "crx_setup_if_reg";
  if (rf_chain > 1 || carrier > 1) {
    log_line("BrvDBG-HAL: %s E R R O R invalid rf chain or carrier: %d %d", who, rf_chain, carrier);
    return -1;
  }
  if (!region_from_database() && brd_cfg_priv.freq_band == FREQ_BAND_923_933) {
    if (chip > 3) {
      log_line("BrvDBG-HAL: %s E R R O R invalid chip number for PLOVER933: %d\n", who, chip);
      return -1;
    }
    crx_reg_brd_w(0, rows::BRD_PLOVER933_TX, 2);
  }
  IfPlan plan = plan_if(freq_hz);
  if (plan.tune_lo && set_tx_lo_freq(freq_hz) < 0) {
    log_line("Failed to setup the Tx lo\n");
    return fail(ERR_AD9361_TXPLL_LOCK);
  }
  if (board_type == CRX_BOARD_CALDER_CONDOR && freq_hz < kHighSideSplitHz) {
    plan.if_hz = std::trunc(double(freq_hz) + kHighSideOffsetHz - double(rfRegionInfo.Tx_LO_MHz) * 1e6);
    int32_t lock = 0;
    if (crx_reg_brd_r(0, rows::BRD_HS_LO_LOCK, &lock) < 0)
      log_line("BrvDBG: E R R O R in %s - can't read HS LO status", who);
    else if (lock != 0)
      log_line("BrvDBG: E R R O R in %s - High side mixing LO is unlocked %d", who, lock);
  }
  const float if_mhz = float(plan.if_hz / 1e6);
  int32_t word = 0;
  if (float_to_signed_fpga(&word, 15, 4, if_mhz) < 0) {
    log_line("BrvDBG-HAL: %s E R R O R Convert to FPGA representation error. if_freq_in %f", who, double(if_mhz));
    return -1;
  }
  static constexpr int kIfRows[2][2] = {{rows::BRD_TX_IF_C0_K0, rows::BRD_TX_IF_C0_K1},
                                        {rows::BRD_TX_IF_C1_K0, rows::BRD_TX_IF_C1_K1}};
  return crx_reg_brd_w(0, kIfRows[rf_chain][carrier], word) < 0 ? -1 : 0;
}

int setup_bandwidth_reg(uint8_t rf_chain, uint32_t bandwidth) {
  int32_t value;
  if (bandwidth == BW_500KHZ) {
    value = 0;
  } else if (bandwidth == BW_125KHZ) {
    value = 1;
  } else {
    log_line("BrvDBG-HAL: %s E R R O R Packet Bandwidth not supported. BW enum %d", "crx_setup_bandwidth_reg",
             int(bandwidth));
    return -1;
  }
  return crx_reg_brd_w(0, rf_chain == 0 ? rows::BRD_TX_BW_C0 : rows::BRD_TX_BW_C1, value) < 0 ? -1 : 0;
}

}  // namespace crx::tx

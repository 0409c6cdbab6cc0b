// Board-level bring-up of the AD9361 that start runs, and its release.
#include <cmath>
#include <cstdint>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/tx_power.h"
#include "crx_hal/xcvr.h"
#include "device/reg_tables.h"
#include "errors.h"
#include "log.h"

namespace {

using namespace crx;
using namespace crx::regs;

// Bandwidths and TX LO of the region records before version 4, by band.
struct BandPlan {
  uint32_t rx_bw_hz;
  uint32_t tx_bw_hz;
  uint32_t tx_lo_hz;
};
bool band_plan(uint32_t band, BandPlan* out) {
  switch (band) {
    case 1: *out = {3500000, 3500000, 866400000}; return true;
    case 2: *out = {6362500, 5000000, 925400000}; return true;
    case 3: *out = {26000000, 15000000, 915000000}; return true;
    case 4: *out = {26000000, 15000000, 921500000}; return true;
    case 5: *out = {26000000, 15000000, 915000000}; return true;
    default: return false;
  }
}

// Attenuation when the unit has no calibration record, in milli-dB.
constexpr int32_t kDefaultAttenMdb = 10250;
constexpr int32_t kRxGainDb = 33;
constexpr unsigned kPllSettleUs = 100;
constexpr unsigned kResetPulseUs = 1000;

// Transceiver fields written at the end of bring-up.
constexpr uint8_t kQuadCalNcoValue = 255;
constexpr uint8_t kExtLnaCtrlValue = 63;
// Board rows of the bring-up: the datapath reset and, on board type 5, the
// IF offsets of its three fixed channels.
constexpr int kDatapathReset = 230;
constexpr int kOpalIfRows[3] = {252, 257, 262};
constexpr uint32_t kOpalIfFreqs[3] = {909000000, 915000000, 921000000};

constexpr const char* kUnknownBand = "BrvDBG: ad9361_start E R R O R - unknown frequency band";
constexpr const char* kPllNotLocked = "BrvDBG: ad9361_start E R R O R - FPGA PLL not locked";

// Logs the step's text, releases the driver so that a later start finds
// nothing held, and fails with the step's code.
int refuse(const char* text, int code) {
  log_line("%s", text);
  xcvr_stop();
  return fail(code);
}

// A recorded attenuation in milli-dB. Database values far outside the
// transceiver's range stay far outside it instead of wrapping into it.
int32_t recorded_mdb(int32_t high, int32_t low) {
  const int64_t mdb = 250 * (int64_t{high} * 256 + low);
  return mdb < -1 ? -1 : mdb > INT32_MAX ? INT32_MAX : int32_t(mdb);
}

// Digital TX corrections: the record's words, or fixed values without one.
void write_tx_corrections(const txpower::TxCal& cal) {
  const cx_tx_dig_gain_table_t& r = cal.record;
  const struct {
    int row;
    int32_t recorded;
    uint8_t fallback;
  } fields[] = {
      {AD9361_TX1_PHASE_CORR, r.TX1_Phase_Corr, 252}, {AD9361_TX1_GAIN_CORR, r.TX1_Gain_Corr, 252},
      {AD9361_TX1_OFFSET_I, r.TX1_Offset_I, 249},     {AD9361_TX1_OFFSET_Q, r.TX1_Offset_Q, 15},
      {AD9361_TX2_PHASE_CORR, r.TX2_Phase_Corr, 252}, {AD9361_TX2_GAIN_CORR, r.TX2_Gain_Corr, 252},
      {AD9361_TX2_OFFSET_I, r.TX2_Offset_I, 249},     {AD9361_TX2_OFFSET_Q, r.TX2_Offset_Q, 15},
  };
  // A correction that does not arrive leaves the chip's own value; the
  // bring-up goes on as it would with an uncalibrated unit.
  for (const auto& f : fields) crx_ad9361_w(0, f.row, cal.read ? uint8_t(f.recorded) : f.fallback);
}

}  // namespace

extern "C" {

int ad9361_start(uint8_t board, uint32_t brd_type, uint32_t rx_freq, uint32_t rx_freq_high, uint8_t rx_en,
                 uint8_t tx_en, uint32_t band) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  uint8_t id = 0;
  crx_ad9361_r(0, AD9361_PRODUCT_ID, &id);
  log_line("BrvDBG: %s - AD9361 ID = %d, tx_en: %d, rx_en: %d", "ad9361_start", id, tx_en, rx_en);

  if (xcvr_start(rx_en, tx_en, band, rfRegionInfo.Tx_FIR_Index, rfRegionInfo.Rx_FIR_Index) < 0)
    return refuse("Failed on xcvr start", ERR_AD9361_ALERT);

  BandPlan plan{};
  const bool known_band = band_plan(band, &plan);
  uint32_t rx_bw = plan.rx_bw_hz, tx_bw = plan.tx_bw_hz;
  uint64_t tx_lo = plan.tx_lo_hz, rx_lo = rx_freq;
  if (region_from_database()) {
    rx_bw = tx_bw = mhz_to_hz(rfRegionInfo.Rx_Bandwidth_MHz);
    const uint32_t recorded_tx_lo = mhz_to_hz(rfRegionInfo.Tx_LO_MHz);
    if (recorded_tx_lo) tx_lo = recorded_tx_lo;
    else if (!known_band) return refuse(kUnknownBand, ERR_BAD_FREQ_BAND);
    rx_lo = mhz_to_hz(rfRegionInfo.Rx_LO_MHz);
  } else if (!known_band) {
    return refuse(kUnknownBand, ERR_BAD_FREQ_BAND);
  }

  // A region record that was never read has no maximum power to scale by.
  if (rfRegionInfo.Version >= 0) txpower::rewrite_tx_gain_powers(rfRegionInfo.Max_DL_Power_dBm);

  if (set_rx_rf_bandwidth(rx_bw) < 0) return refuse("Failed to setup rx bandwidth", ERR_AD9361_RX_BBF_CAL);
  if (set_tx_rf_bandwidth(tx_bw) < 0) return refuse("Failed to setup the tx bandwidth", ERR_AD9361_TX_BBF_CAL);
  if (set_tx_lo_freq(tx_lo) < 0) return refuse("Failed to setup the Tx lo", ERR_AD9361_TXPLL_LOCK);
  if (set_rx_lo_freq(rx_lo) < 0) return refuse("Failed to setup the rx lo", ERR_AD9361_RXPLL_LOCK);

  int atten = 0;
  if (txpower::load_tx_cal()) {
    const cx_tx_dig_gain_table_t r = txpower::tx_cal().record;
    log_line("BrvDBG: %s Tx1 Atten: 0x%x, 0x%x", "ad9361_start", unsigned(r.AD936x_TX1_Atten_MSB),
             unsigned(r.AD936x_TX1_Atten_LSB));
    log_line("BrvDBG: %s Tx2 Atten: 0x%x, 0x%x", "ad9361_start", unsigned(r.AD936x_TX2_Atten_MSB),
             unsigned(r.AD936x_TX2_Atten_LSB));
    atten = set_tx_rf_atten(recorded_mdb(r.AD936x_TX1_Atten_MSB, r.AD936x_TX1_Atten_LSB),
                            recorded_mdb(r.AD936x_TX2_Atten_MSB, r.AD936x_TX2_Atten_LSB));
  } else {
    log_line("BrvDBG: %s E R R O R Failed to obtain tx attenuation values", "read_cal_table");
    atten = set_tx_rf_atten(kDefaultAttenMdb, kDefaultAttenMdb);
  }
  if (atten < 0) return refuse("Failed to setup the tx atten", ERR_AD9361_ALERT);
  if (set_rx_rf_gain(kRxGainDb, kRxGainDb) < 0) return refuse("Failed to setup the rx gain", ERR_AD9361_ALERT);

  write_tx_corrections(txpower::tx_cal());

  crx_ad9361_w(0, AD9361_QUAD_CAL_NCO, kQuadCalNcoValue);
  int32_t locked = 0;
  if (crx_reg_brd_w(0, BRD_FPGA_PLL_RESET, 0) < 0) return refuse(kPllNotLocked, ERR_FPGA_PLL_LOCK);
  crx_wait_us(kPllSettleUs);
  if (crx_reg_brd_r(0, BRD_FPGA_PLL_LOCK, &locked) < 0 || locked != 1)
    return refuse(kPllNotLocked, ERR_FPGA_PLL_LOCK);

  if (brd_type == CRX_BOARD_OPAL)
    for (int k = 0; k < 3; ++k)
      crx_reg_brd_w(0, kOpalIfRows[k], int32_t(std::lround((double(kOpalIfFreqs[k]) - double(rx_lo)) / 3906.25)));

  crx_ad9361_w(0, AD9361_EXT_LNA_CTRL, kExtLnaCtrlValue);
  crx_reg_brd_w(0, kDatapathReset, 255);
  crx_wait_us(kResetPulseUs);
  crx_reg_brd_w(0, kDatapathReset, 0);
  return 0;
}

int ad9361_stop(void) { return xcvr_stop(); }

}  // extern "C"

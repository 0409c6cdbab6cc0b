// Regional frequency limits of the board: from the commissioning database's
// region record when it carries them, else from a static table by band.
#include <cmath>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "log.h"

namespace crx {

brd_cfg_priv_t brd_cfg_priv{};
region_limits_t region_limits{};
cx_rf_region_info_t rfRegionInfo = [] {
  cx_rf_region_info_t r{};
  r.Version = -1;  // not read yet
  return r;
}();

namespace {

// Indexed by crx_freq_band_t; bands 0 and 6 have no limits.
constexpr region_limits_t kBandLimits[] = {
    {0, 0, 0, 0},
    {863000000, 870000000, 863000000, 870000000},  // EU868
    {902300000, 914900000, 923300000, 927500000},  // US915
    {902000000, 928000000, 902000000, 928000000},  // US full ISM
    {923000000, 933000000, 915000000, 928000000},
    {900000000, 930000000, 900000000, 930000000},  // AS923 Japan
    {0, 0, 0, 0},
};

void log_database_region(const cx_rf_region_info_t& r) {
  log_line("BrvDBG-HAL: RF regional info read from database.");
  log_line("BrvDBG-HAL: Operating band: %s", r.Operating_Band);
  log_line("BrvDBG-HAL: tx freq min: %dHz, max: %dHz", static_cast<int>(region_limits.tx_min),
           static_cast<int>(region_limits.tx_max));
  log_line("BrvDBG-HAL: rx freq min: %dHz, max: %dHz", static_cast<int>(region_limits.rx_min),
           static_cast<int>(region_limits.rx_max));
  log_line("BrvDBG-HAL: tx bw: %fMHz, rx bw: %fMHz", r.Tx_Bandwidth_MHz, r.Rx_Bandwidth_MHz);
  log_line("BrvDBG-HAL: tx Lo: %fMHz, rx Lo: %fMHz", r.Tx_LO_MHz, r.Rx_LO_MHz);
  log_line("BrvDBG-HAL: tx FIR index: %d, rx FIR index: %d", r.Tx_FIR_Index, r.Rx_FIR_Index);
}

}  // namespace

uint32_t mhz_to_hz(float mhz) {
  const float khz = mhz * 1000.0f + 0.5f;
  if (!(khz >= 0.0f)) return 0;  // negative or NaN
  constexpr float kMaxKhz = 4294967.0f;  // the largest whole kHz that fits in Hz
  if (khz >= kMaxKhz) return 4294967000u;
  return static_cast<uint32_t>(khz) * 1000u;
}

int load_region_limits(uint32_t band) {
  if (rfRegionInfo.Version == -1) {
    cx_rf_region_info_t record{};
    if (!CxGetRfRegioInfo(&record)) {
      log_line("BrvDBG-HAL: E R R O R: can't read the RF region info.");
      return -1;
    }
    rfRegionInfo = record;
    if (region_from_database()) {
      region_limits = {mhz_to_hz(record.Min_UL_Frequency_MHz), mhz_to_hz(record.Max_UL_Frequency_MHz),
                       mhz_to_hz(record.Min_DL_Frequency_MHz), mhz_to_hz(record.Max_DL_Frequency_MHz)};
      log_database_region(record);
    }
  }
  // Database limits are fixed for the unit; table limits follow the band of
  // each configuration, so a board reconfigured for another band (or after a
  // refused one) is checked against the right region.
  if (!region_from_database()) {
    constexpr uint32_t kBands = sizeof kBandLimits / sizeof kBandLimits[0];
    region_limits = band < kBands ? kBandLimits[band] : region_limits_t{};
  }
  return 0;
}

void store_fsk_sync(uint64_t sync, uint8_t size) {
  if (size != 0 && size <= 8) sync <<= 8u * (8u - size);
  brd_cfg_priv.fsk_sync[0] = static_cast<uint32_t>(sync >> 32);
  brd_cfg_priv.fsk_sync[1] = static_cast<uint32_t>(sync);
}

uint64_t fsk_sync_word() {
  return static_cast<uint64_t>(brd_cfg_priv.fsk_sync[0]) << 32 | brd_cfg_priv.fsk_sync[1];
}

}  // namespace crx

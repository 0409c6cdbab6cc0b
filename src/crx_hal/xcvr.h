// The library's thin wrappers around the AD9361 driver: one driver handle
// per process and the last TX LO programmed, both guarded by one mutex so
// that the housekeeping timer's attenuation changes never meet a start or
// stop on another thread. Each returns 0 or -1 and leaves crx_errno to the
// caller, which knows what a failure means at its step.
#pragma once

#include <cstdint>

namespace crx {

// Initialises the driver, up to three attempts; a handle already held is
// released first.
int xcvr_start(uint8_t rx_en, uint8_t tx_en, uint32_t band, int32_t tx_fir, int32_t rx_fir);
// Forgets the TX LO and releases the driver. Always 0.
int xcvr_stop();
bool xcvr_running();

int set_tx_rf_bandwidth(uint32_t hz);
int set_rx_rf_bandwidth(uint32_t hz);
// The same frequency as last time does nothing; a move of at most
// kFastRetuneSpanHz from the last one uses the driver's fast re-tune.
int set_tx_lo_freq(uint64_t hz);
int set_rx_lo_freq(uint64_t hz);
// Attenuation of both TX outputs in milli-dB. Board type 5 with an FPGA
// newer than kFpgaAttenVersion takes att1 / 250 in its own register instead.
int set_tx_rf_atten(int32_t att1_mdb, int32_t att2_mdb);
int set_rx_rf_gain(int32_t gain0_db, int32_t gain1_db);

inline constexpr uint64_t kFastRetuneSpanHz = 99999999;
inline constexpr int32_t kFpgaAttenVersion = 163;

// The TX LO last programmed, 0 for none.
uint64_t xcvr_tx_lo();

}  // namespace crx

// Temporary stand-ins for functions of modules that are being written on
// other branches (start and its timers, time reference, transmit power,
// localization, Wren send). Each is weak, so the real definition replaces
// it at link time; this file is deleted when those modules are merged.
#include "crx_hal/hooks.h"
#include "crx_hal/rxtx_deps.h"

#define CRX_PENDING [[gnu::weak, gnu::visibility("hidden")]]

extern "C" {
[[gnu::weak]] int crx_set_tx_power(uint8_t, uint8_t, uint8_t, float) { return 0; }
CRX_PENDING float ostra_wren_calc_rssi(uint8_t, uint8_t raw_rssi) { return float(raw_rssi); }
CRX_PENDING int ostra_wren_send(crx_tx_pkt_t*) { return -1; }
CRX_PENDING int set_tx_lo_freq(uint64_t) { return 0; }
}

namespace crx {
CRX_PENDING int loc_irq_fd() { return -1; }
CRX_PENDING void loc_handle_irq() {}
CRX_PENDING bool time_reference(uint32_t*, uint32_t*) { return false; }
}  // namespace crx

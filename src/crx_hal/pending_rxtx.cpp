// Weak stand-ins for what the receive and transmit paths need of the Wren
// driver, which comes later: its send and its RSSI calibration. Each is
// weak, so the real definition replaces it at link time.
#include "crx_hal/rxtx_deps.h"

#define CRX_PENDING [[gnu::weak, gnu::visibility("hidden")]]

extern "C" {
CRX_PENDING float ostra_wren_calc_rssi(uint8_t, uint8_t raw_rssi) { return float(raw_rssi); }
CRX_PENDING int ostra_wren_send(crx_tx_pkt_t*) { return -1; }
}

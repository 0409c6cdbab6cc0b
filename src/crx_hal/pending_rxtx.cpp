// Weak stand-ins for what the receive and transmit paths need of modules
// that come later: the Wren driver's send and RSSI calibration, and the
// localization engine's hand-over from the receive thread. Each is weak, so
// the real definition replaces it at link time.
#include "crx_hal/rxtx_deps.h"

#define CRX_PENDING [[gnu::weak, gnu::visibility("hidden")]]

extern "C" {
CRX_PENDING float ostra_wren_calc_rssi(uint8_t, uint8_t raw_rssi) { return float(raw_rssi); }
CRX_PENDING int ostra_wren_send(crx_tx_pkt_t*) { return -1; }
}

namespace crx {
// No localization request is outstanding until the receive thread hands
// packets to the engine.
CRX_PENDING int loc_irq_fd() { return -1; }
CRX_PENDING void loc_handle_irq() {}
}  // namespace crx

// A weak stand-in for what the transmit path needs of the Wren driver,
// which comes later: its send. It is weak, so the real definition replaces
// it at link time.
#include "crx_hal/rxtx_deps.h"

#define CRX_PENDING [[gnu::weak, gnu::visibility("hidden")]]

extern "C" {
CRX_PENDING int ostra_wren_send(crx_tx_pkt_t*) { return -1; }
}

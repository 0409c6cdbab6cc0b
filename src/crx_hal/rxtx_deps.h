// What the receive and transmit paths call in modules that live elsewhere:
// localization, the Wren driver, the time reference and start's downlink
// idle timer.
#pragma once

#include <cstdint>
#include <ctime>

#include "crx.h"

namespace crx {

// Localization: the interrupt descriptor to wait on while a request is
// outstanding (-1 otherwise), and the handler of its event.
int loc_irq_fd();
void loc_handle_irq();

// The time reference at the last accepted sample: TAI seconds and the
// counter latched at that PPS; false while no reference is valid.
bool time_reference(uint32_t* ref_tai_sec, uint32_t* latched_count);

// Re-arms the downlink idle timer as a one-shot of 600 s.
void arm_dl_idle_timer();

}  // namespace crx

extern "C" {
float ostra_wren_calc_rssi(uint8_t chan, uint8_t raw_rssi);
int ostra_wren_send(crx_tx_pkt_t* pkt);
int crx_get_instcnt(uint8_t board, uint8_t chip, uint32_t* count);
int set_tx_lo_freq(uint64_t hz);
}

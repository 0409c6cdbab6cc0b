// Energy measurements of the Wren side radio through the GPIO FPGA.
#include "crx.h"
#include "errors.h"

extern "C" {

int ostra_wren_start_lbt_meas(uint32_t, uint32_t, uint32_t) { return crx::fail(ERR_UNSPECIFIED); }
int ostra_wren_get_lbt_meas(int32_t*) { return crx::fail(ERR_UNSPECIFIED); }
int ostra_wren_spec_scan(ostra_wren_spec_scan_req_t* req) { return req ? -1 : 3; }
uint8_t ostra_wren_spec_scan_get_progress(void) { return 0; }
int ostra_wren_measure_spec_scan_freq(uint32_t, uint32_t, uint32_t, uint32_t* h) { return h ? -1 : 3; }
int ostra_wren_measure_rssi_hist_index(uint32_t, uint32_t, uint32_t* bin) { return bin ? -1 : 3; }
int ostra_wren_wait_sem(sem_t*) { return 1; }

}  // extern "C"

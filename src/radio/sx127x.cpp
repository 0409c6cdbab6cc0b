#include "radio/sx127x.h"

#include "crx.h"
#include "errors.h"

const sx127x_fsk_bw_t sx127x_FskBandwidths[SX127X_FSK_BW_COUNT] = {};

namespace crx::radio {
uint32_t sx127x_frf(uint32_t) { return 0; }
uint8_t sx127x_rx_bw_reg(uint32_t) { return 0; }
uint8_t sx127x_rssi_config(int8_t) { return 0; }
}  // namespace crx::radio

extern "C" {
int sx127x_reg_w(uint8_t, uint8_t) { return crx::fail(ERR_UNSPECIFIED); }
int sx127x_reg_r(uint8_t, uint8_t*) { return crx::fail(ERR_UNSPECIFIED); }
int sx127x_setup(uint32_t, uint8_t, uint32_t, int8_t) { return crx::fail(ERR_UNSPECIFIED); }
int sx127x_change_FSK(uint32_t, uint32_t) { return crx::fail(ERR_UNSPECIFIED); }
int setup_sx1272_FSK(uint32_t, uint32_t, int8_t) { return crx::fail(ERR_UNSPECIFIED); }
int setup_sx1276_FSK(uint32_t, uint32_t, int8_t) { return crx::fail(ERR_UNSPECIFIED); }
int change_sx1272_FSK(uint32_t, uint32_t) { return crx::fail(ERR_UNSPECIFIED); }
int change_sx1276_FSK(uint32_t, uint32_t) { return crx::fail(ERR_UNSPECIFIED); }
int sx127x_deinit(void) { return 0; }
int crx_sx127x_reg_w(uint8_t, uint8_t) { return crx::fail(ERR_UNSPECIFIED); }
int crx_sx127x_reg_r(uint8_t, uint8_t*) { return crx::fail(ERR_UNSPECIFIED); }
}  // extern "C"

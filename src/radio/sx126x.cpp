// Placeholder bodies: the command layer follows.
#include "radio/sx126x.h"

#include "errors.h"

using namespace crx;

extern "C" {
int sx126x_spi_access(const uint8_t*, uint32_t, uint8_t*, uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_write_cmd(uint8_t, const uint8_t*, uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_read_cmd(uint8_t, uint8_t*, uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_op_mode(uint8_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_dev_status(uint8_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_standby(uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_pkt_type(uint8_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_pkt_type(uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_rf_freq(uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_gfsk_mod_params(const sx126x_gfsk_mod_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_lora_mod_params(const sx126x_lora_mod_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_gfsk_pkt_params(const sx126x_gfsk_pkt_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_lora_pkt_params(const sx126x_lora_pkt_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_buf_base_addr(uint8_t, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_rx(uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_set_tx(uint32_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_stop_timer_on_preamble(uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_dio_irq_params(const sx126x_dio_irq_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_irq_status(uint16_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_clear_irq_status(uint16_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_rx_buffer_status(uint8_t*, uint8_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_get_rssi(float*) { return fail(ERR_UNSPECIFIED); }
int sx126x_write_register(uint16_t, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_read_register(uint16_t, uint8_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_write_buffer(uint8_t, const uint8_t*, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_read_buffer(uint8_t, uint8_t*, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_setup_fsk(uint32_t, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_change_fsk(uint32_t, uint8_t) { return fail(ERR_UNSPECIFIED); }
int sx126x_setup_lora(uint32_t, const sx126x_lora_mod_params_t*) { return fail(ERR_UNSPECIFIED); }
int sx126x_setup(uint32_t, uint8_t, uint32_t, int8_t rssi_offset) { return rssi_offset; }
}

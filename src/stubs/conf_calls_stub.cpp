// TEMPORARY: stands in for the configuration calls until they are merged.
#include "crx.h"
extern "C" {
int crx_conf_board(uint8_t, crx_board_cfg_t*) { return 0; }
int crx_conf_chip(uint8_t, uint8_t, const crx_chip_cfg_t*) { return 0; }
int crx_conf_chan(uint8_t, uint8_t, const crx_chan_cfg_t*) { return 0; }
}

#include "radio/sx125x.h"

#include "crx.h"
#include "errors.h"

namespace crx::radio {
bool sx125x_pll_word(uint32_t, uint32_t, Sx125xPllWord* out) {
  *out = {0, 0};
  return false;
}
}  // namespace crx::radio

extern "C" {
int sx125x_write(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t) { return crx::fail(ERR_UNSPECIFIED); }
int sx125x_read(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t*) { return crx::fail(ERR_UNSPECIFIED); }
int setup_sx125x(uint8_t, uint8_t, uint8_t, uint32_t, sx125x_radio_t) { return crx::fail(ERR_UNSPECIFIED); }
}  // extern "C"

// Stand-ins for the side radio's LBT measurement until its driver lands.
#include <cstdint>

#include "errors.h"

extern "C" {
[[gnu::weak]] int ostra_wren_start_lbt_meas(uint32_t, uint8_t, uint16_t) { return crx::fail(ERR_UNSPECIFIED); }
[[gnu::weak]] int ostra_wren_get_lbt_meas(int32_t*) { return crx::fail(ERR_UNSPECIFIED); }
}

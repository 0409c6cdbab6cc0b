// Stand-in for the runtime's trigger count until start and stop are part of
// this tree. Weak, so the real definition replaces it once linked in.
#include <cstdint>

#include "board.h"
#include "crx.h"
#include "gps/gps_internal.h"


extern "C" {

[[gnu::weak]] int crx_get_trigcnt(uint8_t board, uint32_t* count) {
  if (board != 0) {
    crx_errno = ERR_BAD_BOARD_NB;
    return -1;
  }
  if (!count) {
    crx_errno = ERR_NULL_PTR;
    return -1;
  }
  const int chip = crx::is_wren_board(board_type) ? 0 : 1;
  int32_t value = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (crx_reg_chip_r(0, chip, 289, &value) == 0) {
      *count = static_cast<uint32_t>(value);
      return 0;
    }
  }
  return -1;
}

}  // extern "C"

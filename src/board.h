// Board identification shared by every board-dependent entry point.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx {

// Identifies the board once per process: when board_type is still 0, sets
// board_type from the commissioning database and num_sx1301_chips with it.
// Takes no lock; two threads racing here store the same result.
void identify_board();

// The small-gateway boards, whose entry points hand over to the Wren driver.
inline bool is_wren_board(uint32_t type) {
  return type == CRX_BOARD_WREN_TDD || type == CRX_BOARD_WREN_OUTDOOR;
}

}  // namespace crx

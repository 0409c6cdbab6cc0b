// Receive-status GPIO line of each SX1301 chip, by board type.
#pragma once

#include <cstdint>

namespace crx {

// Pin of `chip`'s receive-status line on the board in `board_type`. An
// unknown board uses the eight-chip row; a chip beyond the row gives the
// row's first pin. Both cases are logged.
uint16_t get_rx_status_pin(uint8_t chip);

}  // namespace crx

// What the Wren start leaves for the rest of the driver: the calibration
// results the transmit path applies, whether the side radio may be used,
// and the board variant.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx::wren {

// TX offsets per mixer gain (index = mixer gain - 8), read back from the
// calibration image at start.
struct TxCalibration {
  int8_t a_i[8];
  int8_t a_q[8];
  int8_t b_i[8];
  int8_t b_q[8];
};
extern TxCalibration tx_calibration;

// True once a start set the side radio up successfully; false again at
// stop.
bool side_radio_available();

// 1 when the GPIO FPGA says the side radio is an SX126x, else 0. Read once
// per process; a failed read is logged, counts as 0 and is tried again at
// the next call.
using ::read_wren_variant;

// True when the side radio is an SX126x: the outdoor board, or a board
// of variant 1.
bool side_radio_is_sx126x();

// Channel IF word from (radio centre - channel frequency) in Hz: steps of
// 488.28125 Hz, sign inverted; -32768 outside [-1 999 512, 2 000 000].
using ::if_to_reg;

}  // namespace crx::wren

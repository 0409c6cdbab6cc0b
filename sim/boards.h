// Whole simulated boards in one call, for tests and demos.
//
//   auto port = crx::sim::install_fpga_board(sandbox(), 8);   // large board
//   auto wren = crx::sim::install_wren_board(sandbox());       // Wren board
//
// The installers only add device nodes: the board type still comes from the
// commissioning database, unless a test sets board_type and
// num_sx1301_chips itself.
#pragma once

#include <memory>

#include "fpga_board.h"
#include "sandbox.h"
#include "spidev.h"
#include "wren_board.h"

namespace crx::sim {

// "/dev/spifpga32766.1" with the FPGA, the AD9361 behind its bridge and
// `chips` populated SX1301 sockets (0 to 8), and the board's temperature
// sensor on "/dev/spidev32766.2" (port->set_temperature(degrees C)).
std::shared_ptr<FpgaBoardPort> install_fpga_board(Sandbox& sandbox, int chips = FpgaBoardPort::kMaxChips);

struct WrenBoard {
  std::shared_ptr<WrenSx1301Port> sx1301;  // "/dev/spidev32766.1"
  std::shared_ptr<SpidevDevice> side_radio;  // "/dev/spidev32766.4" (answers zeros)
  std::shared_ptr<WrenGpioFpga> gpio_fpga;  // "/dev/spidev32766.6"
};
WrenBoard install_wren_board(Sandbox& sandbox);

}  // namespace crx::sim

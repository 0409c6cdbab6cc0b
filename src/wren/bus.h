// The Wren boards' three SPI ports (SX1301, side radio, GPIO FPGA) and who
// may see their descriptors. The ports open and close together through
// ostra_wren_open_spi / ostra_wren_close_spi (crx.h); every SX1301 or GPIO
// FPGA access reopens what is closed before it goes out.
#pragma once

#include "crx.h"

namespace crx::wren {

// Descriptors, -1 while closed. Opening and closing take the bus's own
// lock; readers take a snapshot.
struct Ports {
  int sx1301 = -1;
  int side_radio = -1;
  int gpio_fpga = -1;
};
const Ports& ports();

// The GPIO FPGA descriptor as published to the GPIO-register functions:
// null until the ports have been opened, and again once that port closed.
int* gpio_fd();
using ::ostra_wren_reg_set_gpio_fd;

}  // namespace crx::wren

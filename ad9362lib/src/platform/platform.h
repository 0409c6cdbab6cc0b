// What the transceiver driver needs of the board: register bytes of the
// chip, waits and a diagnostic line. The registers are reached only through
// the library's byte hooks (platform_spi_read / platform_spi_write), which
// carry each byte through the FPGA's SPI bridge.
#pragma once

#include <cstdint>

#include "crx.h"

namespace crx::ad9361::platform {

// One register byte. 0, or -1 when the bridge transaction failed.
[[nodiscard]] int read_reg(uint16_t address, uint8_t* value);
[[nodiscard]] int write_reg(uint16_t address, uint8_t value);
// Read-modify-write of the bits of `mask`.
[[nodiscard]] int update_bits(uint16_t address, uint8_t mask, uint8_t value);

void udelay(unsigned us);

// One diagnostic line of the driver, through the library's log.
void log(const char* fmt, ...) CRX_PRINTF(1, 2);

}  // namespace crx::ad9361::platform

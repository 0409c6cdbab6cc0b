// Fields of the Wren GPIO FPGA's 16-bit registers, by table row. Values
// stay at their bit position: callers compare against masks in place.
#include <cstdint>

#include "crx.h"
#include "device/spi.h"
#include "errors.h"
#include "log.h"
#include "wren/bus.h"
#include "wren/gpio_fpga_table.h"

namespace {

using crx::fail;
using crx::log_line;
using crx::wren::GpioFpgaReg;
using crx::wren::kGpioFpgaRegs;

bool row_ok(int row) { return row >= 0 && size_t(row) < crx::wren::kGpioFpgaRegCount; }

uint16_t mask_of(const GpioFpgaReg& reg) { return uint16_t(((1u << reg.width) - 1u) << reg.offset); }

// The published descriptor, opening the ports first when it is not; -1
// when there is none.
int gpio_port() {
  ostra_wren_reg_open_spi();
  const int* fd = crx::wren::gpio_fd();
  return fd && *fd >= 0 ? *fd : -1;
}

// The port (opened if need be) for an access to `row`; -1 with the code
// set and the failure logged in the caller's name.
int port_for_row(int row, const char* caller) {
  const int fd = gpio_port();
  if (fd < 0) {
    log_line("BrvDBG-HAL %s E R R O R - gpio_spi_fd is NULL.", caller);
    return fail(ERR_SPI_OPEN);
  }
  if (!row_ok(row)) {
    log_line("BrvDBG %s: E R R O R - wrong IDX (%d)", caller, row);
    return fail(ERR_UNSPECIFIED);
  }
  return fd;
}

// Registers go most significant byte first.
int read_register(int fd, const GpioFpgaReg& reg, uint16_t* value) {
  uint8_t bytes[2] = {};
  if (crx::spi_iodev_read(fd, uint8_t(reg.address), bytes, 2, nullptr) < 0) return -1;
  *value = uint16_t(bytes[0] << 8 | bytes[1]);
  return 0;
}

}  // namespace

extern "C" {

int ostra_wren_gpio_fpga_read(int row, uint16_t* value) {
  const int fd = port_for_row(row, __func__);
  if (fd < 0) return -1;
  if (!value) return fail(ERR_UNSPECIFIED);
  const GpioFpgaReg& reg = kGpioFpgaRegs[size_t(row)];
  uint16_t raw = 0;
  if (read_register(fd, reg, &raw) < 0) {
    log_line("BrvDBG %s: E R R O R - Could not read SPI", __func__);
    return fail(ERR_SPI_READ);
  }
  *value = raw & mask_of(reg);
  return 0;
}

int ostra_wren_gpio_fpga_write(int row, uint16_t value) {
  const int fd = port_for_row(row, __func__);
  if (fd < 0) return -1;
  const GpioFpgaReg& reg = kGpioFpgaRegs[size_t(row)];
  if (reg.read_only) {
    log_line("BrvDBG %s: E R R O R - register %d is read only", __func__, row);
    return fail(ERR_UNSPECIFIED);
  }
  uint16_t old = 0;
  if (read_register(fd, reg, &old) < 0) {
    log_line("BrvDBG %s: E R R O R - Could not read from the GPIO FPGA", __func__);
    return fail(ERR_SPI_READ);
  }
  const uint16_t mask = mask_of(reg);
  const uint16_t merged = uint16_t((old & ~mask) | ((uint32_t{value} << reg.offset) & mask));
  const uint8_t bytes[2] = {uint8_t(merged >> 8), uint8_t(merged)};
  if (crx::spi_iodev_write(fd, uint8_t(reg.address), bytes, 2, nullptr) < 0) return fail(ERR_SPI_WRITE);
  return 0;
}

int ostra_wren_reg_create_gpio_mask(int row, uint16_t* mask) {
  if (!row_ok(row) || !mask) return fail(ERR_UNSPECIFIED);
  *mask = mask_of(kGpioFpgaRegs[size_t(row)]);
  return 0;
}

}  // extern "C"

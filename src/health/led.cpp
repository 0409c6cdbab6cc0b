// The front-panel LEDs behind the Wren GPIO FPGA. Each call opens the port,
// does its one register access and closes the port again; no LED state is
// kept here, and failures are only logged.
#include <cstdint>

#include "crx.h"
#include "device/paths.h"
#include "device/spi.h"
#include "log.h"
#include "wren/gpio_fpga_table.h"

namespace {

using crx::log_line;
using crx::wren::kGpioFpgaRegs;

const uint8_t kLedRegister = uint8_t(kGpioFpgaRegs[crx::wren::WREN_GREG_GPIO_3_ALL].address);
const uint8_t kIntensityRegister = uint8_t(kGpioFpgaRegs[crx::wren::GPIO_LED_INTENSITY].address);
// Bits 2-13 are the LEDs; the others belong to other functions.
constexpr uint16_t kLedBits = 0x3FFC;

int open_port(const char* caller) {
  int fd = -1;
  if (crx::spi_linuxdev_open(crx::paths::kGpioFpgaPort, crx::kSpiSpeed1MHz, &fd) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - open SPI GPIO FPGA", caller);
    return -1;
  }
  return fd;
}

// 16-bit registers, most significant byte first.
int read_register(int fd, uint8_t address, uint16_t* value) {
  uint8_t bytes[2] = {};
  if (crx::spi_iodev_read(fd, address, bytes, 2, nullptr) < 0) return -1;
  *value = uint16_t(bytes[0] << 8 | bytes[1]);
  return 0;
}

int write_register(int fd, uint8_t address, uint16_t value) {
  const uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
  return crx::spi_iodev_write(fd, address, bytes, 2, nullptr);
}

}  // namespace

extern "C" {

int crx_set_led_state(uint16_t state) {
  const int fd = open_port(__func__);
  if (fd < 0) return -1;
  int result = 0;
  uint16_t old = 0;
  if (read_register(fd, kLedRegister, &old) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA reg read failed reg %d LED state not changed", __func__,
             kLedRegister);
    result = -1;
  } else if (write_register(fd, kLedRegister, uint16_t((state & kLedBits) | (old & ~kLedBits))) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA reg write failed reg %d LED state not changed", __func__,
             kLedRegister);
    result = -1;
  }
  crx::spi_linuxdev_close(fd);
  return result;
}

int crx_get_led_state(uint16_t* state) {
  if (!state) {
    log_line("BrvDBG-HAL %s E R R O R - NULL pointer", __func__);
    return -1;
  }
  *state = 0;
  const int fd = open_port(__func__);
  if (fd < 0) return -1;
  int result = 0;
  uint16_t value = 0;
  if (read_register(fd, kLedRegister, &value) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA reg read failed reg %d LED state unknown", __func__,
             kLedRegister);
    result = -1;
  } else {
    *state = value & kLedBits;
  }
  crx::spi_linuxdev_close(fd);
  return result;
}

void crx_set_led_intensity(uint16_t intensity) {
  const int fd = open_port(__func__);
  if (fd < 0) return;
  if (write_register(fd, kIntensityRegister, intensity) < 0)
    log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA reg write failed reg %d LED intensity not changed", __func__,
             kIntensityRegister);
  crx::spi_linuxdev_close(fd);
}

}  // extern "C"

// Opening, closing and publishing the Wren ports; the SX1301 transport.
#include "wren/bus.h"

#include <mutex>

#include "board.h"
#include "crx.h"
#include "device/paths.h"
#include "device/spi.h"
#include "errors.h"
#include "log.h"

// The side-radio records live with the bus that fills their port hooks;
// the radio drivers read them.
sx127x_cfg_t sx127x_cfg = {nullptr, 0, 0, nullptr, nullptr};
sx126x_cfg_t sx126x_cfg = {nullptr};

namespace crx::wren {

namespace {

Ports g_ports;
int* g_gpio_fd = nullptr;
// Opening and closing: two threads finding a port closed at once must not
// both open it. Recursive because a fresh open runs the set-up again,
// which opens (nothing) once more.
std::recursive_mutex g_port_mutex;

struct PortSpec {
  int Ports::*fd;
  const char* path;
  int speed;
  const char* name;  // as the open and close failures name it
};

constexpr PortSpec kPorts[] = {
    {&Ports::sx1301, paths::kWrenSx1301Port, kSpiSpeedDefault, "SX1301"},
    {&Ports::side_radio, paths::kSideRadioPort, kSpiSpeedDefault, "SX127x"},
    {&Ports::gpio_fpga, paths::kGpioFpgaPort, kSpiSpeed1MHz, "the GPIO FPGA"},
};

}  // namespace

const Ports& ports() { return g_ports; }
int* gpio_fd() { return g_gpio_fd; }

}  // namespace crx::wren

using crx::fail;
using crx::log_line;
using namespace crx::wren;

extern "C" {

void ostra_wren_reg_set_gpio_fd(int* fd) { g_gpio_fd = fd; }

int ostra_wren_reg_setup(void) {
  std::lock_guard lock(g_port_mutex);
  crx::identify_board();
  sx127x_cfg.spi_fd = &g_ports.side_radio;
  sx127x_cfg.reg_write = &crx::spi_iodev_write;
  sx127x_cfg.reg_read = &crx::spi_iodev_read;
  sx126x_cfg.spi_fd = &g_ports.side_radio;
  return ostra_wren_open_spi();
}

int ostra_wren_open_spi(void) {
  std::lock_guard lock(g_port_mutex);
  bool opened = false;
  for (const PortSpec& port : kPorts) {
    int& fd = g_ports.*port.fd;
    if (fd >= 0) continue;
    if (crx::spi_linuxdev_open(port.path, port.speed, &fd) < 0) {
      log_line("BrvDBG-HAL %s E R R O R - Could not open SPI connection to %s.", __func__, port.name);
      return fail(ERR_SPI_OPEN);
    }
    if (port.fd == &Ports::gpio_fpga) ostra_wren_reg_set_gpio_fd(&fd);
    opened = true;
  }
  if (opened) ostra_wren_reg_setup();
  return 0;
}

int ostra_wren_close_spi(void) {
  std::lock_guard lock(g_port_mutex);
  for (const PortSpec& port : kPorts) {
    int& fd = g_ports.*port.fd;
    if (fd < 0) continue;
    const int result = crx::spi_linuxdev_close(fd);
    // The kernel releases a descriptor even when its close reports an
    // error; keeping the number would close someone else's file later.
    fd = -1;
    if (port.fd == &Ports::gpio_fpga) ostra_wren_reg_set_gpio_fd(nullptr);
    if (result < 0) {
      log_line("BrvDBG-HAL %s E R R O R - Could not close SPI connection to %s.", __func__, port.name);
      return fail(ERR_SPI_OPEN);
    }
  }
  return 0;
}

int ostra_wren_reg_open_spi(void) {
  std::lock_guard lock(g_port_mutex);
  return gpio_fd() ? 0 : ostra_wren_open_spi();
}

int ostra_wren_sx1301_spi_read(uint8_t address, uint8_t* data, uint32_t length, uint8_t* status) {
  ostra_wren_open_spi();
  const int fd = g_ports.sx1301;
  if (fd < 0) return -1;
  return crx::spi_iodev_read(fd, address & 0x7F, data, length, status);
}

int ostra_wren_sx1301_spi_write(uint8_t address, const uint8_t* data, uint32_t length, uint8_t* status) {
  ostra_wren_open_spi();
  const int fd = g_ports.sx1301;
  if (fd < 0) return -1;
  return crx::spi_iodev_write(fd, address & 0x7F, data, length, status);
}

}  // extern "C"

// Whole simulated boards in one call, for tests and demos.
//
//   auto port = crx::sim::install_fpga_board(sandbox(), 8);   // large board
//   auto wren = crx::sim::install_wren_board(sandbox());       // Wren board
//
// The installers only add device nodes: the board type still comes from the
// commissioning database, unless a test sets board_type and
// num_sx1301_chips itself.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <span>

#include "fpga_board.h"
#include "gpio.h"
#include "power_detector.h"
#include "radio_env.h"
#include "sandbox.h"
#include "spidev.h"
#include "sx125x.h"
#include "sx126x.h"
#include "sx127x.h"
#include "wren_board.h"

namespace crx::sim {

// "/dev/spifpga32766.1" with the FPGA, the AD9361 behind its bridge and
// `chips` populated SX1301 sockets (0 to 8), and the board's temperature
// sensor on "/dev/spidev32766.2" (port->set_temperature(degrees C)).
std::shared_ptr<FpgaBoardPort> install_fpga_board(Sandbox& sandbox, int chips = FpgaBoardPort::kMaxChips);

// The GPIO line each chip's receive-status output drives, in chip order:
// the eight-socket boards (the four-chip ones wire the first four), and
// Heron's two chips.
inline constexpr std::array<int, 8> kLargeBoardRxLines = {23, 26, 27, 44, 45, 46, 47, 114};
inline constexpr std::array<int, 2> kHeronRxLines = {59, 58};

// Makes chip n's receive-status output drive line lines[n] of `gpio`: high
// while its FIFO holds a frame. Chips past the table stay unwired.
void wire_rx_status(FpgaBoardPort& board, const std::shared_ptr<SysfsGpio>& gpio, std::span<const int> lines);

// The Wren board: the SX1301 with its two SX125x radios behind the chip's
// radio SPI master (radios[0] is radio A on RF chain 0, radios[1] radio B),
// the SX127x side radio and the GPIO FPGA.
//
//   auto wren = crx::sim::install_wren_board(sandbox());
//   wren.radios[1]->lock_on_attempt(0);                    // radio B's PLL never locks
//   wren.side_radio->set_chip(Sx127xRadio::Chip::kSx1276);  // side radio identity
//
// A board whose side radio is an SX126x (the outdoor board, variant-1
// boards) puts it on the side-radio port instead and shows variant 3 in its
// GPIO FPGA; its BUSY output reaches GPIO 48 once wired:
//
//   auto wren = crx::sim::install_wren_board(sandbox(), crx::sim::WrenSideRadio::kSx126x);
//   crx::sim::wire_sx126x_busy(wren, gpio);
//   wren.sx126x->hold_busy_for_reads(5);
//
// The GPIO FPGA's LBT and scan engines hear `environment` at the side
// radio's tuning:
//   wren.environment->add_signal(903'000'000, -60);
enum class WrenSideRadio { kSx127x, kSx126x };
struct WrenBoard {
  std::shared_ptr<WrenSx1301Port> sx1301;  // "/dev/spidev32766.1"
  std::shared_ptr<Sx127xRadio> side_radio;  // "/dev/spidev32766.4" (an SX1272 by default); null with an SX126x
  std::shared_ptr<WrenGpioFpga> gpio_fpga;  // "/dev/spidev32766.6"
  std::array<std::shared_ptr<Sx125xRadio>, 2> radios;  // SX1257s by default
  std::shared_ptr<Sx126xRadio> sx126x;  // "/dev/spidev32766.4" on an SX126x board, else null
  std::shared_ptr<RadioEnvironment> environment = std::make_shared<RadioEnvironment>();
};
WrenBoard install_wren_board(Sandbox& sandbox, WrenSideRadio side = WrenSideRadio::kSx127x);
// Makes the GPIO FPGA's measurements hear the board's environment at the
// tuning `tuning` reports (the installer wires the side radio it installs).
void wire_side_radio_tuning(WrenBoard& board, std::function<SideRadioTuning()> tuning);

// The SX126x's BUSY output drives this GPIO line.
inline constexpr int kWrenSx126xBusyLine = 48;
void wire_sx126x_busy(WrenBoard& board, const std::shared_ptr<SysfsGpio>& gpio);

// The Wren SX1301's receive-status output drives this GPIO line.
inline constexpr int kWrenRxLine = 51;
void wire_wren_rx_status(WrenBoard& board, const std::shared_ptr<SysfsGpio>& gpio);

// The analog temperature sensor of the outdoor and variant-1 Wren boards,
// as its IIO value file shows it: a 12-bit count of 1.8 V full scale from
// a sensor giving 500 mV at 0 degrees C and 10 mV per degree. The raw form
// writes any text (a garbled or empty value, for instance).
inline constexpr const char* kWrenIioTemperatureFile = "/sys/bus/iio/devices/iio:device0/in_voltage2_raw";
void set_wren_iio_temperature(Sandbox& sandbox, double celsius);
void set_wren_iio_raw(Sandbox& sandbox, const std::string& text);

}  // namespace crx::sim

// Register table of the Wren boards' GPIO FPGA. Its registers are 16 bits
// wide, so a field may start anywhere in bits 0 to 15; fields are read back
// in place (masked, not shifted down).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crx::wren {

struct GpioFpgaReg {
  uint16_t address;  // 7 bits on the wire
  uint8_t offset;
  uint8_t width;
  bool read_only;
};

inline constexpr std::size_t kGpioFpgaRegCount = 78;
extern const std::array<GpioFpgaReg, kGpioFpgaRegCount> kGpioFpgaRegs;

// Rows named by the driver.
enum GpioFpgaRow : uint8_t {
  GPIO_FPGA_VERSION = 0,
  GPIO_FPGA_BUILD = 1,
  GPIO_BOARD_VARIANT = 25,   // 3: the side radio is an SX126x
  WREN_GREG_GPIO_3_ALL = 33, // LED register
  GPIO_LBT_START = 34,
  GPIO_SX1301_RESET = 45,
  GPIO_LED_INTENSITY = 70,   // whole register 21
  GPIO_LBT_RESULT = 71,
  GPIO_LBT_LENGTH = 72,
  WREN_GREG_S_SCAN_EN = 73,
  GPIO_SCAN_READY = 74,
  GPIO_SCAN_SAMPLE = 75,
  GPIO_COUNTER_SELECT = 76,  // time counter half shown at GPIO_COUNTER_VALUE
  GPIO_COUNTER_VALUE = 77,
};

}  // namespace crx::wren

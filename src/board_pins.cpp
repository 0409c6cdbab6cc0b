#include "board_pins.h"

#include <array>
#include <span>

#include "crx.h"
#include "device/gpio.h"
#include "log.h"

namespace crx {

namespace {

constexpr std::array<uint16_t, 8> kEightChipPins = {23, 26, 27, 44, 45, 46, 47, 114};
constexpr std::array<uint16_t, 2> kHeronPins = {59, 58};
constexpr std::array<uint16_t, 1> kWrenPins = {51};

// The chips the board actually carries; false for a board outside the table.
bool board_pins(uint32_t type, std::span<const uint16_t>& pins) {
  switch (type) {
    case CRX_BOARD_CONDOR_NA:
    case CRX_BOARD_CALDER_CONDOR:
    case CRX_BOARD_OPAL:
    case CRX_BOARD_PLOVER:
      pins = kEightChipPins;
      return true;
    case CRX_BOARD_CONDOR_EU:
    case CRX_BOARD_CONDOR_JP:
    case CRX_BOARD_TAMAR:
      pins = std::span(kEightChipPins).first(4);
      return true;
    case CRX_BOARD_HERON_FDD:
    case CRX_BOARD_HERON_TDD:
    case CRX_BOARD_HERON_PLOVER_NORVIK:
    case CRX_BOARD_HERON_CALDER:
      pins = kHeronPins;
      return true;
    case CRX_BOARD_WREN_TDD:
    case CRX_BOARD_WREN_OUTDOOR:
      pins = kWrenPins;
      return true;
    default:
      pins = kEightChipPins;
      return false;
  }
}

}  // namespace

uint16_t get_rx_status_pin(uint8_t chip) {
  std::span<const uint16_t> pins;
  if (!board_pins(board_type, pins))
    log_line("BrvDBG-HAL %s warning - unknown board type, use .", __func__);
  if (chip >= pins.size()) {
    log_line("BrvDBG-HAL %s, unknown chip num: %d", __func__, chip);
    return pins[0];
  }
  return pins[chip];
}

}  // namespace crx

extern "C" int setup_rx_status_pin(uint8_t chip) {
  const int pin = crx::get_rx_status_pin(chip);
  if (crx::is_gpio_pin_exported(pin)) return 0;
  int rc = crx::gpio_export_pin(pin);
  if (rc != 0) {
    crx::log_line("in %s, gpio_export_pin returned %d", __func__, rc);
    return rc;
  }
  rc = crx::gpio_set_direction(pin, crx::kGpioIn);
  if (rc != 0) {
    crx::log_line("in %s, gpio_set_direction returned %d", __func__, rc);
    return rc;
  }
  rc = crx::gpio_set_rising_edge(pin);
  if (rc != 0) {
    crx::log_line("in %s, gpio_setup_edge returned %d", __func__, rc);
    return rc;
  }
  rc = crx::gpio_set_active_high(pin);
  if (rc != 0) {
    crx::log_line("in %s, gpio_setup_active returned %d", __func__, rc);
    return rc;
  }
  return 0;
}

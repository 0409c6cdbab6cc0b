// Board temperature: the sensor on its spidev port, the SX1301's own
// temperature code, the sensor's set-up at start and the housekeeping job
// that corrects the transmit attenuation for the temperature.
#include <cmath>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "crx_hal/tx_power.h"
#include "device/spi.h"
#include "errors.h"
#include "log.h"

namespace {

using namespace crx;

// Sensor registers: configuration, then the temperature's low and high byte.
constexpr uint8_t kSensorConfig = 0;
constexpr uint8_t kSensorTempLow = 1;
constexpr uint8_t kSensorTempHigh = 2;
// Resolution bits of the configuration register and the value start wants.
constexpr uint8_t kResolutionMask = 0x07;
constexpr uint8_t kResolution = 6;
constexpr unsigned kResolutionSettleUs = 250000;

// SX1301 temperature code: chip 0's measurement select and result rows.
constexpr int kChipTempSelect = 302;
constexpr uint8_t kChipTempSelectValue = 33;
constexpr int kChipTempCode = 286;
constexpr uint8_t kSx127xTemperature = 0x3C;

int read_sensor(int fd, uint8_t address, uint8_t* value) {
  return spi_iodev_read(fd, address, value, 1, nullptr);
}

}  // namespace

namespace crx::txpower {

float sensor_celsius(uint8_t high, uint8_t low) {
  const int v = int16_t(uint16_t(high << 8 | low));
  const float t = float((v < 0 ? -v : v) >> 4) * 0.0625f;
  return v < 0 ? -t : t;
}

}  // namespace crx::txpower

extern "C" {

int crx_get_temperature(float* temp_c) {
  if (!temp_c) {
    log_line("BrvDBG-HAL %s E R R O R - Pointer temp is NULL.", "crx_get_temperature");
    return fail(ERR_NULL_PTR);
  }
  identify_board();
  if (is_wren_board(board_type)) return ostra_wren_read_temperature(temp_c);
  int fd = -1;
  if (spi_tempdev_open(&fd) < 0) {
    log_line("BrvDBG-HAL: %s E R R O R  open", "crx_get_temperature");
    return fail(ERR_SPI_OPEN);
  }
  uint8_t high = 0, low = 0;
  bool ok = read_sensor(fd, kSensorTempHigh, &high) == 0;
  ok = read_sensor(fd, kSensorTempLow, &low) == 0 && ok;
  *temp_c = txpower::sensor_celsius(high, low);
  ok = spi_linuxdev_close(fd) == 0 && ok;
  return ok ? 0 : fail(ERR_SPI_READ);
}

int crx_get_1301_temperature(uint8_t board, uint8_t* code, int16_t* temp_c) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  identify_board();
  if (is_wren_board(board_type)) {
    // The SX127x side radio's thermometer: 15 degrees minus its signed
    // register.
    uint8_t raw = 0;
    ostra_wren_reg_open_spi();
    if (sx127x_reg_r(kSx127xTemperature, &raw) < 0) {
      log_line("BrvDBG-HAL %s E R R O R - SX127x Temp. Read.", "crx_get_1301_temperature");
      return fail(ERR_UNSPECIFIED);
    }
    if (temp_c) *temp_c = int16_t(15 - int8_t(raw));
    return 0;
  }
  int32_t raw = 0;
  if (crx_reg_chip_w(0, 0, kChipTempSelect, kChipTempSelectValue) < 0) return -1;
  if (crx_reg_chip_r(0, 0, kChipTempCode, &raw) < 0) return -1;
  const uint8_t c = uint8_t(raw);
  if (code) *code = c;
  if (temp_c) {
    const double t = (int(c) - int(brd_cfg_priv.calibration_temperature_code_ad9361)) * 909.0 / 1024.0 +
                     brd_cfg_priv.calibration_temperature_celsius_room;
    *temp_c = int16_t(std::lround(t));
  }
  return 0;
}

}  // extern "C"

namespace crx::hooks {

int init_temperature_sensor() {
  identify_board();
  if (board_type == CRX_BOARD_WREN_TDD) return 0;
  int fd = -1;
  if (spi_tempdev_open(&fd) < 0) {
    log_line("BrvDBG-HAL: %s E R R O R  open", "init_temperature_sensor");
    return -1;
  }
  uint8_t config = 0;
  int rc = read_sensor(fd, kSensorConfig, &config);
  if (rc == 0 && (config & kResolutionMask) != kResolution) {
    const uint8_t wanted = uint8_t((config & ~kResolutionMask) | kResolution);
    rc = spi_iodev_write(fd, kSensorConfig, &wanted, 1, nullptr);
    if (rc == 0) crx_wait_us(kResolutionSettleUs);
  }
  if (spi_linuxdev_close(fd) < 0) rc = -1;
  return rc < 0 ? -1 : 0;
}

void temperature_job() {
  float t = 0;
  if (crx_get_temperature(&t) < 0) return;
  // The outdoor Wren board has no attenuator: its transmit path shifts the
  // requested power instead.
  if (board_type == CRX_BOARD_WREN_OUTDOOR) {
    if (wren_outdoor_rf_power_temp_compensation(t) < 0) log_line("\n E R R O R - rf power correction with temp failed.");
    return;
  }
  if (crx_set_temp_compened_rf_atten(t) < 0) log_line("\n E R R O R - Tx Atten correction with temp failed.");
}

}  // namespace crx::hooks

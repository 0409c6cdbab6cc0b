// Board temperature on the Wren boards (the analog sensor of the outdoor
// and variant-1 boards, the SX127x's thermometer otherwise) and the
// outdoor board's output power compensation.
#include "wren/temperature.h"

#include <fcntl.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "board.h"
#include "crx.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"
#include "wren/start.h"

namespace crx::wren {

namespace {

struct CompensationPoint {
  int16_t celsius;
  float offset_db;
};

// 65 down to -60 degrees C in steps of 5; the offset falls by 0.0606 dB per
// degree from 1.6759 dB at 65 degrees C.
constexpr std::array<CompensationPoint, 26> make_table() {
  std::array<CompensationPoint, 26> t{};
  for (int i = 0; i < 26; ++i) {
    const int celsius = 65 - 5 * i;
    t[size_t(i)] = {int16_t(celsius), float(1.6759 - 0.0606 * double(65 - celsius))};
  }
  return t;
}
constexpr auto kCompensation = make_table();

std::atomic<float> g_power_offset{0.0f};

constexpr uint8_t kSx127xTemperature = 0x3C;
constexpr size_t kIioMaxChars = 10;

int read_iio(float* out) {
  constexpr const char* who = "ostra_wren_read_temperature";
  const int fd = os::open(kIioTemperaturePath, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    const int e = errno;
    log_line("Failed to open %s, errno: %s(%d)", kIioTemperaturePath, std::strerror(e), e);
    return fail(ERR_UNSPECIFIED);
  }
  char text[kIioMaxChars + 1] = {};
  const ssize_t n = os::read(fd, text, kIioMaxChars);
  os::close(fd);
  // An unread or garbled value is no temperature, not 0 raw counts.
  const auto celsius = n > 0 ? iio_celsius(std::string_view(text, size_t(n))) : std::nullopt;
  if (!celsius) {
    log_line("BrvDBG-HAL %s E R R O R - Could not read a temperature from %s", who, kIioTemperaturePath);
    return fail(ERR_UNSPECIFIED);
  }
  *out = *celsius;
  return 0;
}

int read_side_radio(float* out) {
  constexpr const char* who = "ostra_wren_read_temperature";
  // A board whose radio A is an SX1255 has no side radio to ask.
  if (ostra_wren_prv_cfg.radio[0].type == 1) {
    log_line("BrvDBG-HAL %s E R R O R - No side radio to read the temperature from", who);
    return fail(ERR_UNSPECIFIED);
  }
  ostra_wren_reg_open_spi();
  uint8_t raw = 0;
  if (sx127x_reg_r(kSx127xTemperature, &raw) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - SX127x Temp. Read.", who);
    return fail(ERR_UNSPECIFIED);
  }
  *out = float(15 - int8_t(raw));
  return 0;
}

}  // namespace

int rounded_away(float t) {
  // Far outside the table (or not a number) the ends apply.
  if (!(t > -1000.0f)) return -1000;
  if (t > 1000.0f) return 1000;
  return int(t >= 0 ? std::ceil(t) : std::floor(t));
}

float power_offset() { return g_power_offset.load(std::memory_order_relaxed); }

float outdoor_power_offset(float t) {
  const int whole = rounded_away(t);
  if (whole >= kCompensation.front().celsius) return kCompensation.front().offset_db;
  if (whole <= kCompensation.back().celsius) return kCompensation.back().offset_db;
  size_t i = 1;
  while (whole < kCompensation[i].celsius) ++i;
  const int midpoint = (kCompensation[i].celsius + kCompensation[i - 1].celsius) / 2;
  return whole < midpoint ? kCompensation[i].offset_db : kCompensation[i - 1].offset_db;
}

std::optional<float> iio_celsius(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  long raw = 0;
  size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) raw = raw * 10 + (text[i] - '0');
  if (digits == 0) return std::nullopt;
  // Only line-end blanks may follow the number.
  for (; i < text.size(); ++i)
    if (text[i] != '\n' && text[i] != '\r' && text[i] != ' ' && text[i] != '\0') return std::nullopt;
  const float volts = float(raw) * 1.8f / 4095.0f;
  return (volts * 1000.0f - 500.0f) / 10.0f;
}

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

int wren_outdoor_rf_power_temp_compensation(float temp_c) {
  const int whole = rounded_away(temp_c);
  const float offset = outdoor_power_offset(temp_c);
  g_power_offset.store(offset, std::memory_order_relaxed);
  log_line("BrvDBG-HAL %s rf power temp compensation, temp: %f(%d), offset: %f", __func__, double(temp_c), whole,
           double(offset));
  return 0;
}

int ostra_wren_read_temperature(float* temp_c) {
  if (!temp_c) {
    log_line("BrvDBG-HAL %s E R R O R - NULL pointer", __func__);
    return fail(ERR_NULL_PTR);
  }
  identify_board();
  if (board_type == CRX_BOARD_WREN_OUTDOOR) return read_iio(temp_c);
  ostra_wren_reg_open_spi();
  if (read_wren_variant() == 1) return read_iio(temp_c);
  return read_side_radio(temp_c);
}

}  // extern "C"

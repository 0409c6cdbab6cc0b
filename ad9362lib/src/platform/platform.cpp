#include "platform/platform.h"

#include <cstdarg>

#include "log.h"

namespace crx::ad9361::platform {

int read_reg(uint16_t address, uint8_t* value) {
  return platform_spi_read(nullptr, address, value, 1) < 0 ? -1 : 0;
}

int write_reg(uint16_t address, uint8_t value) {
  return platform_spi_write(nullptr, address, &value, 1) < 0 ? -1 : 0;
}

int update_bits(uint16_t address, uint8_t mask, uint8_t value) {
  uint8_t old = 0;
  if (read_reg(address, &old) < 0) return -1;
  return write_reg(address, uint8_t((old & ~mask) | (value & mask)));
}

void udelay(unsigned us) { crx_wait_us(us); }

void log(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  crx::vlog_line(fmt, ap);
  va_end(ap);
}

}  // namespace crx::ad9361::platform

#include "wren/start_steps.h"

#include "crx.h"
#include "errors.h"
#include "log.h"

namespace crx::wren {

namespace {
constexpr const char* kWho = "ostra_wren_start";
}  // namespace

int raise_and_fail() {
  raise_fault_alarms(crx_errno);
  return -1;
}

int fail_and_raise(int code) {
  crx_errno = code;
  return raise_and_fail();
}

int chip_w(int row, int32_t value) {
  if (crx_reg_chip_w(0, 0, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - chip register %d not written", kWho, row);
  return raise_and_fail();
}

int chip_r(int row, int32_t* value) {
  if (crx_reg_chip_r(0, 0, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - chip register %d not read", kWho, row);
  return raise_and_fail();
}

int gpio_w(int row, uint16_t value) {
  if (ostra_wren_gpio_fpga_write(row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA register %d not written", kWho, row);
  return raise_and_fail();
}

}  // namespace crx::wren

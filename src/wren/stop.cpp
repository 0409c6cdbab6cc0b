// ostra_wren_stop and the reset of the radio path.
#include <utility>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"
#include "wren/gpio_fpga_table.h"
#include "wren/semaphores.h"
#include "wren/start_steps.h"

using namespace crx;
using namespace crx::wren;

extern "C" {

int ostra_wren_stop(void) {
  if (!brd_cfg_priv.running) return 0;
  int result = 0;
  if (brd_cfg_priv.chip_enable[0]) {
    // Radios held in reset; the rest of stop goes on whatever the bus says.
    for (const auto& [row, value] : {std::pair{257, 0}, std::pair{258, 0}, std::pair{259, 1}})
      if (crx_reg_chip_w(0, 0, row, value) < 0) {
        log_line("BrvDBG-HAL %s E R R O R - chip register %d not written", __func__, row);
        result = -1;
      }
  }
  // The timer's thread posts "/wren_spec_scan_tx": it goes first.
  scan_tx_timer_delete();
  close_and_unlink_semaphores();
  side_radio_release();
  sx127x_deinit();
  return result;
}

int ostra_wren_reset_rf(void) {
  if (ostra_wren_gpio_fpga_write(GPIO_SX1301_RESET, 1) < 0) return raise_and_fail();
  crx_wait_us(1000);
  if (ostra_wren_gpio_fpga_write(GPIO_SX1301_RESET, 0) < 0) return raise_and_fail();
  crx_wait_us(1000);
  const int r = crx_reg_init(0);
  if (r != 0) {
    log_line("BrvDBG-HAL %s E R R O R - sx1301_reg_init returned: %d check versions", __func__, r);
    const int code = crx_errno;
    ostra_wren_close_spi();
    crx_errno = code;
  }
  return r < 0 ? raise_and_fail() : r;
}

}  // extern "C"

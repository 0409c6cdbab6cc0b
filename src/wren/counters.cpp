// The outdoor Wren's FPGA time counters. A counter is two 16-bit halves
// shown one at a time through a selector, so each read of a pair holds the
// counter lock from the first selection to the last half.
#include <cstdint>
#include <mutex>

#include "board.h"
#include "crx.h"
#include "errors.h"
#include "log.h"
#include "wren/gpio_fpga_table.h"

namespace {

using crx::log_line;
using namespace crx::wren;

constexpr int kChipCounterRow = 289;
// Selector values of the instantaneous count and of the FPGA timer, low
// half first.
constexpr uint16_t kInstLow = 0;
constexpr uint16_t kTimerLow = 2;

// Guards the selector: one pair read at a time, whatever the thread.
std::mutex g_counter_mutex;

// Called with g_counter_mutex held.
int read_pair(uint16_t low_selector, uint32_t* value) {
  uint16_t low = 0, high = 0;
  if (ostra_wren_gpio_fpga_write(GPIO_COUNTER_SELECT, low_selector) < 0 ||
      ostra_wren_gpio_fpga_read(GPIO_COUNTER_VALUE, &low) < 0 ||
      ostra_wren_gpio_fpga_write(GPIO_COUNTER_SELECT, uint16_t(low_selector + 1)) < 0 ||
      ostra_wren_gpio_fpga_read(GPIO_COUNTER_VALUE, &high) < 0)
    return -1;
  *value = uint32_t(low) | uint32_t(high) << 16;
  return 0;
}

}  // namespace

extern "C" {

int ostra_wren_outdoor_get_instcnt(uint32_t* count) {
  if (!count) {
    log_line("BrvDBG-HAL: %s ERROR: NULL pointer", __func__);
    return -1;
  }
  std::lock_guard lock(g_counter_mutex);
  uint32_t value = 0;
  if (read_pair(kInstLow, &value) < 0) return -1;
  // The chip's own counter is read in the same critical section, so both
  // counters move on together as far as other callers can tell.
  int32_t chip = 0;
  if (crx_reg_chip_r(0, 0, kChipCounterRow, &chip) < 0) return -1;
  *count = value;
  return 0;
}

int ostra_wren_get_delta_t(uint32_t* delta) {
  if (!delta) return crx::fail(ERR_NULL_PTR);
  crx::identify_board();
  if (board_type != CRX_BOARD_WREN_OUTDOOR) {
    *delta = 0;
    return 0;
  }
  // A failed read must not become an offset: callers keep the one they had.
  int32_t t0 = 0;
  if (crx_reg_chip_r(0, 0, kChipCounterRow, &t0) < 0) return -1;
  uint32_t t1 = 0;
  {
    std::lock_guard lock(g_counter_mutex);
    if (read_pair(kTimerLow, &t1) < 0) return -1;
  }
  *delta = t1 - uint32_t(t0);
  log_line("BrvDBG-HAL: %s, FPGA timer t1: %u, chip timestamp t0: %u, delta t: %u", __func__, t1, uint32_t(t0),
           *delta);
  return 0;
}

}  // extern "C"

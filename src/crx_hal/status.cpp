// The small status and identity calls of the life cycle.
#include <atomic>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "crx_hal/start_steps.h"
#include "device/gpio.h"
#include "errors.h"
#include "log.h"

namespace {

constexpr int kFpgaVersionRow = 2;
constexpr int kCounterRow = 289;
constexpr int kAttempts = 3;
constexpr uint16_t kAssumedFpgaVersion = 48;

// Chip register 289 of `chip`, up to three attempts.
int read_counter(uint8_t board, int chip, uint32_t* count) {
  int32_t value = 0;
  for (int i = 0; i < kAttempts; ++i) {
    if (crx_reg_chip_r(board, chip, kCounterRow, &value) == 0) {
      *count = uint32_t(value);
      return 0;
    }
  }
  return -1;
}

// The outdoor Wren's FPGA count brought to the chip's time base, up to
// three attempts.
int wren_outdoor_count(uint32_t* count) {
  for (int i = 0; i < kAttempts; ++i) {
    uint32_t fpga = 0;
    if (ostra_wren_outdoor_get_instcnt(&fpga) == 0) {
      *count = fpga - uint32_t(crx::hooks::counter_offset());
      return 0;
    }
  }
  return -1;
}

}  // namespace

extern "C" {

const char* crx_version_info(uint8_t board, uint16_t* fpga_version, uint16_t* dsp_version) {
  using crx::log_line;
  if (board != 0) {
    log_line("BrvDBG-HAL: %s E R R O R Invalid board number (%d)", __func__, board);
    return crx::start::kHalVersion;
  }
  if (fpga_version) {
    *fpga_version = kAssumedFpgaVersion;
    int32_t v = 0;
    if (crx_reg_brd_r(board, kFpgaVersionRow, &v) == 0) *fpga_version = uint16_t(v);
    else log_line("BrvDBG: E R R O R in %s - can't read FPGA version brd %d", __func__, board);
  }
  if (dsp_version) *dsp_version = 0;
  return crx::start::kHalVersion;
}

int crx_brd_status(uint8_t board, int* status) {
  if (board != 0) return crx::fail(ERR_BAD_BOARD_NB);
  if (!status) return crx::fail(ERR_UNSPECIFIED);
  *status = std::atomic_ref<bool>(crx::brd_cfg_priv.running).load(std::memory_order_relaxed) ? 2 : 1;
  return 0;
}

int crx_get_instcnt(uint8_t board, uint8_t chip, uint32_t* count) {
  crx::identify_board();
  if (board != 0) return crx::fail(ERR_BAD_BOARD_NB);
  if (chip >= num_sx1301_chips || chip == 1) return crx::fail(ERR_BAD_CHIP_NB);
  if (!count) return crx::fail(ERR_NULL_PTR);
  if (board_type == CRX_BOARD_WREN_TDD) return crx_get_trigcnt(board, count);
  if (board_type == CRX_BOARD_WREN_OUTDOOR) return wren_outdoor_count(count);
  return read_counter(board, 0, count);
}

int crx_get_trigcnt(uint8_t board, uint32_t* count) {
  crx::identify_board();
  if (board != 0) return crx::fail(ERR_BAD_BOARD_NB);
  if (!count) return crx::fail(ERR_NULL_PTR);
  return read_counter(board, crx::is_wren_board(board_type) ? 0 : 1, count);
}

int crx_reset_radio(uint8_t board) {
  crx::identify_board();
  if (crx::is_wren_board(board_type)) return ostra_wren_reset_rf();
  if (crx_reg_init(board) < 0) return raise_fault_alarms(crx_errno), -1;
  static constexpr int32_t kBefore[][2] = {{8, 0},  {9, 1},  {7, 0},  {12, 5}, {77, 1}, {20, 1}, {17, 0},
                                           {18, 0}, {66, 1}, {62, 0}, {63, 0}, {16, 0}, {49, 1}};
  for (const auto& [row, value] : kBefore)
    if (crx_reg_brd_w(board, row, value) < 0) return raise_fault_alarms(crx_errno), -1;
  crx_wait_us(1000);
  if (crx_reg_brd_w(board, 16, 1) < 0 || crx_reg_brd_w(board, 49, 0) < 0) return raise_fault_alarms(crx_errno), -1;
  crx_wait_us(1000);
  return 0;
}

int readPoeStatus(uint8_t out[3]) {
  if (!out) return crx::fail(ERR_NULL_PTR);
  for (int i = 0; i < 3; ++i)
    if (crx::gpio_read_pin(crx::kGpioPoeStatus[i], &out[i]) < 0) return -1;
  return 0;
}

}  // extern "C"

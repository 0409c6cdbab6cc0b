// Transmit status and abort: the part of the transmit path that stop needs.
#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"

namespace {
constexpr int kTxStatusRow = 225;
constexpr int kTxCommandRow = 325;
constexpr int kNotRunning = 1;
constexpr int kFree = 2;
constexpr int kScheduled = 3;
constexpr int kEmitting = 4;
}  // namespace

extern "C" {

int crx_tx_status(uint8_t board, uint8_t chip, int* status) {
  using crx::log_line;
  crx::identify_board();
  if (board != 0) {
    log_line("BrvDBG-HAL: %s E R R O R  CRX_MAX_BOARD_NB", __func__);
    return crx::fail(ERR_BAD_BOARD_NB);
  }
  if (!status) {
    log_line("BrvDBG-HAL: %s E R R O R  s == NULL", __func__);
    return crx::fail(ERR_NULL_PTR);
  }
  if (chip >= num_sx1301_chips) {
    log_line("BrvDBG-HAL: %s E R R O R  invalid chip num %d", __func__, chip);
    return crx::fail(ERR_BAD_CHIP_NB);
  }
  if (!crx::brd_cfg_priv.running) {
    log_line("BrvDBG-HAL: %s E R R O R   board is not running", __func__);
    *status = kNotRunning;
    return 0;
  }
  int32_t value = 0;
  const int r = crx_reg_chip_r(board, chip, kTxStatusRow, &value);
  if (r < 0) {
    log_line("BrvDBG-HAL: %s E R R O R   Brd: %d, chip: %d, CREG_TX_STATUS b4 read: %d.", __func__, board, chip, r);
    raise_fault_alarms(crx_errno);
    return -1;
  }
  if (!(value & 0x10)) *status = kFree;
  else if (value & 0x60) *status = kEmitting;
  else *status = kScheduled;
  return 0;
}

int crx_abort_tx(uint8_t board) {
  crx::identify_board();
  if (board != 0) return crx::fail(ERR_BAD_BOARD_NB);
  for (int c = 0; c < num_sx1301_chips && c < crx::kBoardChips; ++c) {
    if (crx_reg_chip_w(board, c, kTxCommandRow, 0) < 0) {
      raise_fault_alarms(crx_errno);
      return -1;
    }
  }
  return 0;
}

}  // extern "C"

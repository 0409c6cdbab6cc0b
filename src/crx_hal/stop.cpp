// crx_stop: the receive thread first, then the transmitters, the hardware,
// and on every path the software state start made.
#include <atomic>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "crx_hal/start_steps.h"
#include "crx_hal/timers.h"
#include "errors.h"
#include "log.h"

namespace crx::start {

namespace {

constexpr const char* kWho = "crx_stop";
constexpr int kTxFree = 2;
constexpr int kMaxStatusReads = 10;

// Every chip is read at least once; the ten reads are shared by all chips,
// so a busy first chip leaves one read each for the others.
int wait_transmitters_free(uint8_t board) {
  int reads = 0;
  int status = 0;
  for (int c = 0; c < chip_count(); ++c) {
    do {
      crx_wait_us(100);
      if (crx_tx_status(board, uint8_t(c), &status) < 0) status = -1;
      ++reads;
    } while (status != kTxFree && reads < kMaxStatusReads);
  }
  if (status != kTxFree) {
    log_line("BrvDBG-HAL %s E R R O R - transmitter still busy (status %d)", kWho, status);
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

}  // namespace

int stop_hardware(uint8_t board) {
  if (is_wren_board(board_type)) {
    if (ostra_wren_stop() < 0) log_line("BrvDBG-HAL %s E R R O R - radios not held in reset", kWho);
    if (crx_reg_reset(board) < 0) return raise_and_fail();
    return 0;
  }
  ad9361_stop();
  // The chips' hard reset is best effort: stop goes on to release the rest.
  if (crx_reg_brd_w(board, 16, 0) < 0) log_line("BrvDBG-HAL %s E R R O R - hard reset not asserted", kWho);
  crx_wait_us(1000);
  if (crx_reg_brd_w(board, 16, 1) < 0) log_line("BrvDBG-HAL %s E R R O R - hard reset not released", kWho);
  if (board_type == CRX_BOARD_SCM) crx_cg_close();
  if (crx_reg_reset(board) < 0) return raise_and_fail();
  return 0;
}

void release_software() {
  if (!is_wren_board(board_type)) hooks::loc_deinit(loc_use_thread);
  crx_reg_close();
  timers::delete_housekeeping();
  timers::delete_dl_idle();
  hooks::time_ref_reset();
  crx_update_fault_status(kFaultDownlinkIdle, 1);
  std::atomic_ref<bool>(brd_cfg_priv.running).store(false, std::memory_order_seq_cst);
  hooks::rx_queue_release_waiters();
}

}  // namespace crx::start

extern "C" int crx_stop(uint8_t board) {
  using namespace crx;
  using namespace crx::start;
  if (board != 0) {
    log_line("BrvDBG-HAL %s E R R O R brd = %d", kWho, board);
    return fail(ERR_BAD_BOARD_NB);
  }
  identify_board();
  if (!brd_cfg_priv.running) return 0;
  if (brd_cfg_priv.full_start) {
    // A cooperative stop: the thread sees it at its next poll and is joined.
    hooks::rx_thread_stop();
    if (crx_abort_tx(board) < 0) return raise_and_fail();
    if (wait_transmitters_free(board) < 0) return -1;
    if (stop_hardware(board) < 0) return -1;
  } else if (is_wren_board(board_type)) {
    // The Wren driver made its timer and semaphores whatever full_start
    // said; they must not outlive the run.
    ostra_wren_stop();
  }
  release_software();
  return 0;
}

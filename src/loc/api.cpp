// The exported calls of the localization engine.
#include <atomic>
#include <cerrno>
#include <ctime>

#include "board.h"
#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "loc/loc_shm.h"
#include "log.h"
#include "platform/os.h"

namespace crx::loc {
namespace {

constexpr int kRegPresent = 378;
constexpr int kRegVersion = 387;
constexpr uint16_t kHoldoverEnabled = 128;
constexpr uint16_t kHoldoverDefault = 3584;
// crx_loc_enable waits this long for a starting engine to finish; a
// gateway whose concentrator is not started must not hang the caller.
constexpr int kInitSemWaitS = 5;

std::atomic<uint8_t> up_peaks{8};
std::atomic<uint8_t> down_peaks{2};

bool heron(uint32_t type) { return type >= CRX_BOARD_HERON_FDD && type <= CRX_BOARD_HERON_CALDER; }

}  // namespace

uint8_t thread_up_peaks() { return up_peaks.load(); }
uint8_t thread_down_peaks() { return down_peaks.load(); }

}  // namespace crx::loc

using namespace crx::loc;
using crx::log_line;

extern "C" {

int crx_set_num_peaks(uint8_t up, uint8_t down) {
  if (up < 1 || up > kMaxUp || down < 1 || down > kMaxDown) return -1;
  up_peaks.store(up);
  down_peaks.store(down);
  return 0;
}

int crx_loc_config(void) {
  int32_t v = 0;
  crx_reg_brd_r(0, kRegVersion, &v);
  if (v > 1) {
    // The receive thread of a running board reads it.
    std::atomic_ref(loc_use_thread).store(0, std::memory_order_relaxed);
    return 0;
  }
  log_line("BrvDBG-HAL %s ERROR - merged timestamp not supported on FPGA v%d", __func__, v);
  return -1;
}

int crx_loc_enable(uint8_t flag) {
  if (flag == 1) {
    sem_t* sem = open_init_sem();
    if (!sem) {
      log_line("BrvDBG-HAL %s ERROR - failed to open loc semaphore", __func__);
      return -1;
    }
    if (shm_attach() != 0) {
      crx::os::sem_close(sem);
      return -1;
    }
    const int r = crx::os::sem_timedwait(sem, {kInitSemWaitS, 0});
    environment().set_holdover(kHoldoverEnabled);
    if (r == 0) crx::os::sem_post(sem);
    crx::os::sem_close(sem);
    SegmentUse seg;
    if (!seg) return -1;  // detached meanwhile by another thread
    std::atomic_ref(seg->enabled).store(1);
    return 0;
  }
  if (flag == 0) {
    environment().set_holdover(kHoldoverDefault);
    if (!segment() && shm_attach() != 0) return -1;
    {
      SegmentUse seg;
      if (seg) {
        std::atomic_ref(seg->enabled).store(0);
        FilterLock lock(*seg);
        for (auto& a : seg->filter) std::atomic_ref(a).store(0, std::memory_order_relaxed);
        std::atomic_ref(seg->filter_active).store(0);
      }
    }
    shm_detach();
    return 0;
  }
  log_line("BrvDBG-HAL %s ERROR - invalid flag: %d", __func__, flag);
  return -1;
}

bool is_loc_enabled(void) {
  if (board_type == CRX_BOARD_UNKNOWN) crx::identify_board();
  if (board_type == CRX_BOARD_HERON_RAIL) return false;
  {
    SegmentUse seg;
    if (!seg || std::atomic_ref(seg->enabled).load() != 1) return false;
  }
  if (heron(board_type)) {
    int32_t present = 0;
    if (crx_reg_brd_r(0, kRegPresent, &present) != 0 || present != 1) return false;
  }
  return true;
}

}  // extern "C"

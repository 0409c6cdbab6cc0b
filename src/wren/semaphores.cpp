#include "wren/semaphores.h"

#include <atomic>

#include "crx_hal/timers.h"
#include "platform/named_sem.h"
#include "platform/os.h"

namespace crx::wren {

namespace {

constexpr mode_t kMode = 0777;
constexpr int64_t kMaxHoldNs = 1'000'000'000;

// Written by start and stop only; the timer's thread reads the scan-TX
// handle, which stop closes only after the thread is joined.
std::atomic<sem_t*> g_hal_running{nullptr};
std::atomic<sem_t*> g_scan_tx{nullptr};

sem_t* open_named(std::atomic<sem_t*>& slot, const char* name, unsigned initial) {
  if (sem_t* s = slot.load()) return s;
  // Other processes (a scan, sidemon) may run under other users.
  sem_t* s = os::sem_open_shared(name, kMode, initial);
  if (s == SEM_FAILED) return nullptr;
  slot.store(s);
  return s;
}

void close_named(std::atomic<sem_t*>& slot, const char* name) {
  if (sem_t* s = slot.exchange(nullptr)) {
    os::sem_close(s);
    os::sem_unlink(name);
  }
}

void scan_tx_expired() {
  if (sem_t* s = g_scan_tx.load()) os::sem_post(s);
}

timers::Timer& scan_tx_timer() {
  static timers::Timer t(scan_tx_expired);
  return t;
}

}  // namespace

sem_t* open_hal_running() { return open_named(g_hal_running, kHalRunningSem, 0); }
sem_t* open_scan_tx() { return open_named(g_scan_tx, kScanTxSem, 1); }
sem_t* hal_running_sem() { return g_hal_running.load(); }
sem_t* scan_tx_sem() { return g_scan_tx.load(); }

void close_and_unlink_semaphores() {
  close_named(g_scan_tx, kScanTxSem);
  close_named(g_hal_running, kHalRunningSem);
}

int scan_tx_timer_create() { return scan_tx_timer().create(); }
int scan_tx_timer_arm(int64_t hold_ns) {
  if (hold_ns < 0 || hold_ns >= kMaxHoldNs || !scan_tx_timer().exists()) return -1;
  scan_tx_timer().arm(hold_ns, 0);
  return 0;
}
void scan_tx_timer_delete() { scan_tx_timer().destroy(); }
bool scan_tx_timer_exists() { return scan_tx_timer().exists(); }
uint64_t scan_tx_timer_expiries() { return scan_tx_timer().expiries(); }

}  // namespace crx::wren

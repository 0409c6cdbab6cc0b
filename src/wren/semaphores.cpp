#include "wren/semaphores.h"

#include <atomic>
#include <mutex>

#include "crx_hal/timers.h"
#include "platform/named_sem.h"
#include "platform/os.h"

namespace crx::wren {

namespace {

constexpr mode_t kMode = 0777;

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

// Guards the read-then-post of "/wren_spec_scan_tx" by the transmit path
// and by the timer's thread, so that the two never both post a 0.
std::mutex g_scan_tx_mutex;

// Gives the semaphore back unless it is already free. Called with
// g_scan_tx_mutex held.
void give_back(sem_t* s) {
  int value = 1;
  if (os::sem_getvalue(s, &value) == 0 && value <= 0) os::sem_post(s);
}

void scan_tx_expired() {
  std::lock_guard lock(g_scan_tx_mutex);
  if (sem_t* s = g_scan_tx.load()) give_back(s);
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
  if (hold_ns < 0 || !scan_tx_timer().exists()) return -1;
  scan_tx_timer().arm(hold_ns, 0);
  return 0;
}

int scan_tx_hold(int64_t hold_ns) {
  std::lock_guard lock(g_scan_tx_mutex);
  sem_t* s = g_scan_tx.load();
  // Without a timer nothing would give the semaphore back.
  if (!s || scan_tx_timer_arm(hold_ns) < 0) return -1;
  give_back(s);
  return os::sem_trywait(s) == 0 ? 0 : -1;
}
void scan_tx_timer_delete() { scan_tx_timer().destroy(); }
bool scan_tx_timer_exists() { return scan_tx_timer().exists(); }
uint64_t scan_tx_timer_expiries() { return scan_tx_timer().expiries(); }

}  // namespace crx::wren

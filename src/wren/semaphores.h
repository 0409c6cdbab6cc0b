// The named semaphores the Wren start publishes to other processes on the
// gateway, and the scan-TX timer that gives "/wren_spec_scan_tx" back when
// a transmission's hold time has passed.
//
// Start and stop open, close and unlink them from the application's
// thread; the timer's thread only posts. Stop deletes the timer (joining
// its thread) before it closes the semaphore the thread posts.
#pragma once

#include <cstdint>

#include <semaphore.h>

namespace crx::wren {

inline constexpr const char* kHalRunningSem = "/wren_HAL_running";
inline constexpr const char* kScanTxSem = "/wren_spec_scan_tx";

// Opens (creating with mode 0777 and `initial`) unless already open. null
// with errno on failure.
sem_t* open_hal_running();
sem_t* open_scan_tx();
// The open handles (null while closed).
sem_t* hal_running_sem();
sem_t* scan_tx_sem();
// Closes and unlinks both when open.
void close_and_unlink_semaphores();

// The scan-TX timer: one thread per start, made by create, gone after
// remove (which joins it). Arming takes a hold time in ns (any length; a
// new arming replaces the pending expiry): -1 (nothing armed) when it is
// negative or when there is no timer.
int scan_tx_timer_create();
int scan_tx_timer_arm(int64_t hold_ns);

// A transmission's hold on "/wren_spec_scan_tx": arms the timer for
// `hold_ns` and takes the semaphore, which the timer gives back on expiry.
// The semaphore stays binary: taking (after giving it back when it reads
// 0) and the timer's giving back run under one lock, and the timer gives
// it back only when it reads 0. -1 (nothing taken) without a timer or a
// semaphore.
int scan_tx_hold(int64_t hold_ns);
void scan_tx_timer_delete();
bool scan_tx_timer_exists();
uint64_t scan_tx_timer_expiries();

}  // namespace crx::wren

// The concentrator's two timers: the housekeeping timer (every 2 s while the
// board runs) and the downlink-idle timer (one-shot, 600 s, re-armed by
// every transmit request; its expiry raises fault 7).
//
// Each timer is one thread that waits on the platform's monotonic clock and
// runs its handler on expiry, so handlers run concurrently with the
// application's calls, as with POSIX timers notified by thread. The thread
// checks the clock at least every 50 ms of real time, so a clock that jumps
// (the simulator's fast clock) is followed without real waiting.
// Create, arm and delete are called by start and stop (and arm_dl_idle by
// the transmit path); they are not meant for concurrent callers.
#pragma once

#include <cstdint>

namespace crx::timers {

inline constexpr int64_t kHousekeepingPeriodNs = 2'000'000'000;
inline constexpr int64_t kDlIdleDelayNs = 600'000'000'000;

// 0, or -1 when the timer's thread cannot be made.
int create_dl_idle();
int create_housekeeping();
// Periodic every 2 s, the first expiry 2 s from now.
void arm_housekeeping();
// One-shot 600 s from now; re-arming restarts the delay. Does nothing when
// the timer does not exist (board not started).
void arm_dl_idle();
// Stops and joins the timers' threads; harmless when they do not exist.
void delete_dl_idle();
void delete_housekeeping();

// Inspection for tests and stop.
bool dl_idle_exists();
bool housekeeping_exists();
bool housekeeping_armed();
bool dl_idle_armed();
uint64_t housekeeping_expiries();
uint64_t dl_idle_expiries();

// The housekeeping job one expiry runs (see timers.cpp).
void housekeeping_tick();

}  // namespace crx::timers

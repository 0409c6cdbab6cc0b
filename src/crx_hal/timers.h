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

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace crx::timers {

// One timer: a thread that sleeps until the armed deadline and runs the
// handler. A missed period is not caught up: the next expiry is a whole
// period after the late one, as a POSIX timer counts an overrun. Other
// rooms (the Wren driver's scan-TX timer) make their own instances.
class Timer {
 public:
  explicit Timer(void (*handler)());
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // 0, or -1 when the thread cannot be made; a second create keeps the first.
  int create();
  // First expiry `delay_ns` from now, then every `period_ns` (0: one-shot).
  // Does nothing when the timer does not exist.
  void arm(int64_t delay_ns, int64_t period_ns);
  // Disarms, stops and joins the thread; harmless when there is none.
  void destroy();
  bool exists();
  bool armed();
  uint64_t expiries() const { return expiries_.load(); }

 private:
  void run();

  void (*const handler_)();
  std::mutex mutex_;  // guards everything below but expiries_
  std::condition_variable cv_;
  std::thread thread_;
  bool stop_ = false;
  int64_t deadline_ = 0;  // monotonic ns of the next expiry, 0 disarmed
  int64_t period_ = 0;
  std::atomic<uint64_t> expiries_{0};
};

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

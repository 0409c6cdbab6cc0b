#include "crx_hal/timers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "board.h"
#include "crx.h"
#include "crx_hal/hooks.h"
#include "platform/os.h"

namespace crx::timers {

namespace {

constexpr int kFaultDownlinkIdle = 7;
constexpr int kHousekeepingSeconds = 2;
constexpr int kTemperatureSeconds = 120;
constexpr auto kClockPoll = std::chrono::milliseconds(50);

int64_t monotonic_ns() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Ticks since the last temperature job; the timer thread counts, re-arming
// from another thread restarts the count. The count is tested before it
// grows, so the first expiry after arming corrects the attenuation that
// start left uncompensated, and every 60th expiry after it.
std::atomic<int> temperature_counter{0};

void dl_idle_expired() { crx_update_fault_status(kFaultDownlinkIdle, 1); }

Timer& housekeeping() {
  static Timer t(housekeeping_tick);
  return t;
}
Timer& dl_idle() {
  static Timer t(dl_idle_expired);
  return t;
}

}  // namespace

Timer::Timer(void (*handler)()) : handler_(handler) {}
Timer::~Timer() { destroy(); }

int Timer::create() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return 0;
  stop_ = false;
  deadline_ = 0;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

void Timer::arm(int64_t delay_ns, int64_t period_ns) {
  std::lock_guard lock(mutex_);
  if (!thread_.joinable()) return;
  deadline_ = monotonic_ns() + delay_ns;
  period_ = period_ns;
  cv_.notify_all();
}

void Timer::destroy() {
  std::thread t;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    deadline_ = 0;
    cv_.notify_all();
    t = std::move(thread_);
  }
  if (t.joinable()) t.join();
}

bool Timer::exists() {
  std::lock_guard lock(mutex_);
  return thread_.joinable();
}
bool Timer::armed() {
  std::lock_guard lock(mutex_);
  return deadline_ != 0;
}

void Timer::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (deadline_ == 0) {
      cv_.wait_for(lock, kClockPoll);
      continue;
    }
    const int64_t now = monotonic_ns();
    if (now < deadline_) {
      const auto left = std::chrono::nanoseconds(deadline_ - now);
      cv_.wait_for(lock, std::min<std::chrono::nanoseconds>(left, kClockPoll));
      continue;
    }
    deadline_ = period_ ? deadline_ + period_ : 0;
    if (period_ && deadline_ <= now) deadline_ = now + period_;
    lock.unlock();
    ++expiries_;
    handler_();
    lock.lock();
  }
}

void housekeeping_tick() {
  if (board_type != CRX_BOARD_WREN_TDD) {
    if (board_type != CRX_BOARD_HERON_RAIL) hooks::gps_lock_check();
    if ((kHousekeepingSeconds * temperature_counter) % kTemperatureSeconds == 0) {
      hooks::temperature_job();
      temperature_counter = 0;
    }
    ++temperature_counter;
  }
  hooks::do_packet_history();
}

int create_dl_idle() { return dl_idle().create(); }
int create_housekeeping() { return housekeeping().create(); }

void arm_housekeeping() {
  temperature_counter = 0;
  housekeeping().arm(kHousekeepingPeriodNs, kHousekeepingPeriodNs);
}
void arm_dl_idle() { dl_idle().arm(kDlIdleDelayNs, 0); }

void delete_dl_idle() { dl_idle().destroy(); }
void delete_housekeeping() { housekeeping().destroy(); }

bool dl_idle_exists() { return dl_idle().exists(); }
bool housekeeping_exists() { return housekeeping().exists(); }
bool housekeeping_armed() { return housekeeping().armed(); }
bool dl_idle_armed() { return dl_idle().armed(); }
uint64_t housekeeping_expiries() { return housekeeping().expiries(); }
uint64_t dl_idle_expiries() { return dl_idle().expiries(); }

}  // namespace crx::timers

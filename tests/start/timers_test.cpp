// The two timers on the sandbox's fast clock: a sleep of the test moves
// the clock and the timer threads follow within a poll.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "start_fixture.h"

namespace {

using crx::timers::dl_idle_expiries;
using crx::timers::housekeeping_expiries;

// Waits (real time, bounded) until `f` returns at least `n`.
template <class F>
bool reaches(F f, uint64_t n) {
  for (int i = 0; i < 200 && f() < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return f() >= n;
}
// Lets the timer threads see the clock as it is now.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

class Timers : public crx::test::StartTest {
 protected:
  void SetUp() override {
    StartTest::SetUp();
    configure(crx::test::kHeron);
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
    settle();
  }
};

TEST_F(Timers, HousekeepingFiresEveryTwoSeconds) {
  // Held, the clock moves only by the test's waits: however slow the
  // machine, the period is measured on them alone.
  sandbox().hold_clock(true);
  // Armed again now, so the test knows the phase (start's own waits moved
  // the clock past the first expiry already).
  crx::timers::arm_housekeeping();
  const uint64_t base = housekeeping_expiries();
  crx_wait_ms(1500);
  settle();
  EXPECT_EQ(housekeeping_expiries(), base) << "not before its period";
  crx_wait_ms(500);
  EXPECT_TRUE(reaches(housekeeping_expiries, base + 1));
  crx_wait_ms(2000);
  EXPECT_TRUE(reaches(housekeeping_expiries, base + 2));
  // A late thread does not fire a burst for the periods it missed.
  crx_wait_ms(20000);
  settle();
  EXPECT_LE(housekeeping_expiries(), base + 3);
  sandbox().hold_clock(false);
}

TEST_F(Timers, DownlinkIdleTimerIsOneShotAndRearmedByTheTransmitPath) {
  EXPECT_FALSE(crx::timers::dl_idle_armed());
  ASSERT_EQ(crx_update_fault_status(7, 0), 0);
  crx::timers::arm_dl_idle();
  crx_wait_ms(400000);
  settle();
  crx::timers::arm_dl_idle();  // a transmit request restarts the delay
  crx_wait_ms(400000);
  settle();
  EXPECT_EQ(dl_idle_expiries(), 0u);
  crx_wait_ms(201000);
  EXPECT_TRUE(reaches(dl_idle_expiries, 1));
  EXPECT_EQ(crx_get_fault_status(7), 1) << "the expiry raises the downlink-idle fault";
  EXPECT_FALSE(crx::timers::dl_idle_armed()) << "one-shot";
  crx_wait_ms(600000);
  settle();
  EXPECT_EQ(dl_idle_expiries(), 1u);
}

TEST_F(Timers, StopDeletesBothAndArmingAfterwardsDoesNothing) {
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_FALSE(crx::timers::housekeeping_exists());
  EXPECT_FALSE(crx::timers::dl_idle_exists());
  crx::timers::arm_dl_idle();
  crx::timers::arm_housekeeping();
  EXPECT_FALSE(crx::timers::dl_idle_armed());
  EXPECT_FALSE(crx::timers::housekeeping_armed());
}

}  // namespace

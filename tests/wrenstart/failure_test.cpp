// Starts that fail part-way, and many starts in one process: every transfer
// of a start may fail, each failure names its code, and none leaves a port,
// a semaphore, a timer or a thread behind for the next start to trip on.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "tests/support/checks.h"
#include "wren_fixture.h"

namespace {

using crx::test::count_entries;

class WrenStartFailure : public crx::test::WrenStartTest {
 protected:
  struct Footprint {
    int fds, devices, threads;
    bool operator==(const Footprint&) const = default;
  };
  Footprint footprint() {
    return {count_entries("/proc/self/fd"), sandbox().open_device_count(), count_entries("/proc/self/task")};
  }
  // A joined thread can still be listed for a moment while the kernel
  // reaps it: wait for the footprint to settle rather than sample it once.
  bool settles_to(const Footprint& want) {
    return crx::test::eventually([&] { return footprint() == want; }, std::chrono::seconds(5));
  }
};

TEST_F(WrenStartFailure, EveryTransferOfAStartCanFailAndTheNextStartWorks) {
  install();
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  // After one whole run: a sanitizer's own threads start with the first.
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_EQ(crx_stop(0), 0);
  const Footprint clean = footprint();

  crx::sim::SpidevDevice* ports[] = {board().sx1301.get(), board().gpio_fpga.get(), board().side_radio.get()};
  for (auto* p : ports) p->set_recording(false);
  int failed_starts = 0;
  for (auto* port : ports) {
    const uint64_t before = port->message_total();
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
    const int64_t messages = int64_t(port->message_total() - before);
    ASSERT_EQ(crx_stop(0), 0);
    ASSERT_GT(messages, 0);
    for (int64_t k = 0; k < messages; ++k) {
      port->fail_message_at(int64_t(port->message_total()) + k);
      crx_errno = 0;
      const int r = crx_start(0);
      port->fail_message_at(-1);
      if (r == 0) {
        // The side radio and the FPGA's version are not needed to receive:
        // without them the board runs, its side radio unavailable.
        EXPECT_EQ(status(), 2) << "message " << k;
        ASSERT_EQ(crx_stop(0), 0) << "message " << k;
      } else {
        ++failed_starts;
        ASSERT_EQ(r, -1) << "message " << k;
        static const std::set<int> codes = {ERR_SPI_READ, ERR_SPI_WRITE, ERR_SPI_OPEN, ERR_UNSPECIFIED,
                                            ERR_AGC_FW_VERSION, ERR_ARB_FW_VERSION};
        ASSERT_TRUE(codes.count(crx_errno)) << "message " << k << ": code " << crx_errno << "\n" << syslog_dump();
        expect_released("message " + std::to_string(k));
        ASSERT_TRUE(settles_to(clean)) << "message " << k;
      }
      sandbox().clear_logs();
    }
  }
  EXPECT_GT(failed_starts, 100);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_TRUE(settles_to(clean));
}

TEST_F(WrenStartFailure, SecondStartWhileRunningIsRefusedAndStopIsIdempotent) {
  install();
  ASSERT_EQ(configure_us(), 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_FAILS_WITH(crx_start(0), ERR_WRONG_STATE);
  EXPECT_EQ(status(), 2);
  ASSERT_EQ(crx_stop(0), 0);
  ASSERT_EQ(crx_stop(0), 0);
  expect_released("after two stops");
  // A stop while running does not leave the configuration behind: start
  // runs again with the same plan.
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(semaphore(crx::wren::kHalRunningSem), 1);
}

TEST_F(WrenStartFailure, AHundredCyclesLeaveNothingBehind) {
  install();
  ASSERT_EQ(configure_us(), 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_EQ(crx_stop(0), 0);
  const Footprint first = footprint();
  for (auto* p : {static_cast<crx::sim::SpidevDevice*>(board().sx1301.get()),
                  static_cast<crx::sim::SpidevDevice*>(board().gpio_fpga.get()),
                  static_cast<crx::sim::SpidevDevice*>(board().side_radio.get())})
    p->set_recording(false);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(crx_start(0), 0) << "cycle " << i;
    ASSERT_EQ(crx_stop(0), 0) << "cycle " << i;
    sandbox().clear_logs();
  }
  EXPECT_TRUE(settles_to(first));
  expect_released("after the cycles");
}

}  // namespace

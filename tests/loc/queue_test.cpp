// The result queue that processes of the gateway share: order, overflow,
// time-outs, a second process, and segments left damaged by others.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "loc/loc_engine.h"
#include "loc/loc_shm.h"
#include "sim/testing.h"

namespace {

using crx::loc::Segment;

class LocQueue : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ASSERT_EQ(crx::loc::shm_attach(), 0);
    seg_ = crx::loc::segment();
  }
  void TearDown() override {
    crx::loc::shm_detach();
    SandboxTest::TearDown();
  }
  static crx_loc_result_t result(uint32_t n) {
    crx_loc_result_t r{};
    r.dev_addr = 0x26000000 + n;
    r.fcnt = n;
    r.gps_nsec = n * 1000;
    std::strcpy(r.gw_id, "00800000A0001234");
    return r;
  }
  Segment* seg_ = nullptr;
};

TEST_F(LocQueue, ResultsComeOutInOrderWithEveryByte) {
  for (uint32_t n = 1; n <= 3; ++n) ASSERT_EQ(crx::loc::queue_store(result(n)), 0);
  EXPECT_EQ(crx::loc::queue_waiting(), 3u);
  for (uint32_t n = 1; n <= 3; ++n) {
    crx_loc_result_t out;
    ASSERT_EQ(crx_loc_fetch(&out, nullptr), 0);
    const crx_loc_result_t want = result(n);
    EXPECT_EQ(std::memcmp(&out, &want, sizeof out), 0) << n;
  }
  EXPECT_EQ(seg_->read_index, 3);
  EXPECT_EQ(seg_->write_index, 3);
}

TEST_F(LocQueue, AFullQueueLosesItsOldestResult) {
  for (uint32_t n = 1; n <= 40; ++n) ASSERT_EQ(crx::loc::queue_store(result(n)), 0);
  EXPECT_EQ(crx::loc::queue_waiting(), 40u);
  ASSERT_EQ(crx::loc::queue_store(result(41)), 0);
  EXPECT_EQ(crx::loc::queue_waiting(), 40u);
  for (uint32_t n = 2; n <= 41; ++n) {
    crx_loc_result_t out;
    ASSERT_EQ(crx_loc_fetch(&out, nullptr), 0);
    EXPECT_EQ(out.fcnt, n);
  }
  EXPECT_EQ(crx::loc::queue_waiting(), 0u);
}

TEST_F(LocQueue, FetchTimesOutWithItsOwnCode) {
  crx_loc_result_t out;
  const struct timeval half = {0, 500000};
  crx_errno = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(crx_loc_fetch(&out, &half), -1);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(crx_errno, ERR_LOC_FETCH_TIMEOUT);
  EXPECT_GE(waited, std::chrono::milliseconds(490));
  EXPECT_LT(waited, std::chrono::seconds(30)) << "gave up rather than waiting for ever";

  const struct timeval bad = {0, 1000000};
  EXPECT_EQ(crx_loc_fetch(&out, &bad), -1);
  EXPECT_EQ(crx_loc_fetch(nullptr, &half), -1);
  EXPECT_TRUE(sandbox().syslog_contains("crx_loc_fetch: NULL loc pointer."));
}

TEST_F(LocQueue, FetchNeedsTheSegment) {
  crx::loc::shm_detach();
  crx_loc_result_t out;
  EXPECT_EQ(crx_loc_fetch(&out, nullptr), -1);
  EXPECT_TRUE(sandbox().syslog_contains("crx_loc_fetch: Not initiaized, please call crx_loc_enable() first."));
}

TEST_F(LocQueue, AFetchWaitingForEverEndsWhenAnotherThreadDetaches) {
  int rc = 0;
  std::thread fetcher([&] {
    crx_loc_result_t out;
    rc = crx_loc_fetch(&out, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  const auto t0 = std::chrono::steady_clock::now();
  crx::loc::shm_detach();  // as a stop or crx_loc_enable(0) would
  fetcher.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(sandbox().syslog_contains("crx_loc_fetch: Not initiaized, please call crx_loc_enable() first."));
}

TEST_F(LocQueue, AnotherProcessFetchesWhatThisOneStores) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    crx::loc::shm_detach();  // a fresh process attaches on its own
    if (crx::loc::shm_attach() != 0) _exit(2);
    (void)::write(ready[1], "r", 1);
    crx_loc_result_t out;
    const struct timeval wait = {3, 0};
    if (crx_loc_fetch(&out, &wait) != 0) _exit(3);
    const crx_loc_result_t want = result(7);
    _exit(std::memcmp(&out, &want, sizeof out) == 0 ? 0 : 4);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(crx::loc::queue_store(result(7)), 0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LocQueue, AHolderThatDiedDoesNotBlockTheQueue) {
  const pid_t pid = ::fork();
  if (pid == 0) _exit(0);
  ::waitpid(pid, nullptr, 0);
  seg_->queue_lock[0] = static_cast<uint32_t>(pid);  // died holding the lock
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(crx::loc::queue_store(result(1)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
  crx_loc_result_t out;
  EXPECT_EQ(crx_loc_fetch(&out, nullptr), 0);

  // A live holder that never lets go: the wait ends, and the call fails.
  seg_->queue_lock[0] = static_cast<uint32_t>(::getppid());
  EXPECT_EQ(crx::loc::queue_store(result(2)), -1);
  seg_->queue_lock[0] = 0;
}

TEST_F(LocQueue, DamagedIndexesStayInsideTheQueue) {
  seg_->read_index = 4000;
  seg_->write_index = 65535;
  seg_->queue_count[0] = 1000;
  ASSERT_EQ(crx::loc::queue_store(result(1)), 0);
  EXPECT_LT(seg_->read_index, 40);
  EXPECT_LT(seg_->write_index, 40);
  EXPECT_LE(crx::loc::queue_waiting(), 40u);
  // The count disagrees with the indexes: the fetch says so and repairs it.
  crx_loc_result_t out;
  const struct timeval wait = {0, 100000};
  int fetched = 0;
  for (int i = 0; i < 45; ++i) fetched += crx_loc_fetch(&out, &wait) == 0;
  EXPECT_TRUE(sandbox().syslog_contains("loc_processed_queue empty, something wrong."));
  EXPECT_LE(fetched, 40);
  EXPECT_LT(seg_->read_index, 40);
}

}  // namespace

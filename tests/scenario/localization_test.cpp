// Fine timestamps from the chips' FIFOs onwards: the receive thread hands
// uplinks to the engine, which measures them on the simulated geolocation
// block against the time reference the PPS gave; results reach another
// process through the shared queue (thread mode) or the packet itself
// (direct mode).
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "loc/loc_shm.h"
#include "scenario_fixture.h"
#include "sim/geoloc.h"
#include "sim/sync_block.h"
#include "sim/ublox.h"

namespace crx::test {
namespace {

constexpr uint32_t kDev = 0x26011BDA;

class LocScenario : public ScenarioTest {
 protected:
  void TearDown() override {
    crx_stop(0);
    crx_loc_enable(0);
    loc_use_thread = 1;
    if (block_) block_->stop();
    ScenarioTest::TearDown();
  }

  // Condor NA with its geolocation block, started with a GPS fix and the
  // sync block locked; returns once the time reference is taken, with the
  // clock back to real time so that the engine's one-second buffer holds.
  void start_synced(bool diversity = false) {
    prepare_condor_na(diversity);
    block_ = sim::GeolocBlock::install(board(), gpio_, 2);
    block_->set_truth(150.0, 900.0);
    sim::write_position_file(sandbox(), true, 45.4642, 9.19, 120);
    sim::install_sync_block(sandbox());
    sim::set_fpga_sync_block(board(), sim::kSyncStateLocked, 0);
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
    ASSERT_TRUE(sim::run_to_time_reference(sandbox())) << syslog_dump();
    sandbox().set_fast_clock(false);
    ASSERT_EQ(crx_loc_enable(1), 0) << syslog_dump();
  }

  // The counter value of an uplink ending now, and the GPS second the
  // library's reference gives it. Results are checked against this rather
  // than against the reference's own second: the fast clock ran on for an
  // unknown time between the reference and the switch back to real time.
  void now_count(uint32_t* count, int64_t* gps_sec) {
    ASSERT_EQ(crx_get_instcnt(0, 0, count), 0);
    *count -= 1000;
    struct timespec gps {};
    ASSERT_EQ(crx_cnt2gps(*count, &gps), 0);
    *gps_sec = gps.tv_sec;
  }

  void push_at(uint8_t chip, uint16_t fcnt, uint32_t count) {
    sim::Uplink u = uplink(kDev, fcnt, 2, 7, count);
    u.snr = 9.0f;
    board().chip(chip).push_uplink(u);
  }

  // An SF7 data uplink that ended just now on chip `chip`.
  void push_now(uint8_t chip, uint16_t fcnt) {
    uint32_t count = 0;
    int64_t gps_sec = 0;
    now_count(&count, &gps_sec);
    push_at(chip, fcnt, count);
  }

  static bool fine(const crx_rsig_t& r) { return r.valid && r.fine_ts_flag == 1; }

  std::shared_ptr<sim::GeolocBlock> block_;
};

TEST_F(LocScenario, ThreadModeResultReachesAnotherProcess) {
  start_synced();
  uint32_t count = 0;
  int64_t expected_sec = 0;
  now_count(&count, &expected_sec);
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Another process of the gateway: it knows nothing but the queue.
    char c;
    if (::read(go[0], &c, 1) != 1) _exit(2);
    crx_loc_result_t out;
    const struct timeval wait = {5, 0};
    if (crx_loc_fetch(&out, &wait) != 0) _exit(3);
    if (out.dev_addr != kDev || out.fcnt != 17) _exit(4);
    if (out.sf != 7 || out.bandwidth_hz != 125000) _exit(8);
    if (std::llabs(int64_t(out.gps_sec) - expected_sec) > 2) _exit(5);
    if (!(out.time_accuracy_ns >= 0) || out.gps_nsec >= 1000000000u) _exit(6);
    if (std::abs(out.gw_lat - 45.4642) > 1e-6 || out.gw_alt != 120) _exit(7);
    if (std::strncmp(out.gw_id, gateway_id, sizeof out.gw_id) != 0) _exit(9);
    _exit(0);
  }
  push_at(1, 17, count);
  // The packet itself is not held back in this mode.
  const auto got = fetch(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(fine(got[0].rsig[0]));
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << syslog_dump();
  const auto started = block_->started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].sf, 7);
  EXPECT_EQ(started[0].up, 8);  // the process-wide peak counts
}

TEST_F(LocScenario, ThreadModeLeavesIneligiblePacketsAlone) {
  start_synced();
  uint32_t count = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &count), 0);
  sim::Uplink bad = uplink(kDev, 3, 2, 7, count - 1000);
  bad.crc_state = sim::Uplink::kCrcBad;
  board().chip(0).push_uplink(bad);
  sim::Uplink join = uplink(kDev, 4, 2, 7, count - 500);
  join.payload = sim::lorawan_join_request(0x70B3D57ED0000001ull, 0x0004A30B001C0530ull, 7);
  board().chip(1).push_uplink(join);
  EXPECT_EQ(fetch(2).size(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(block_->started().empty());
}

TEST_F(LocScenario, DirectModeHoldsThePacketUntilItsFineTimestamp) {
  loc_use_thread = 0;  // read at start
  start_synced();
  uint32_t count = 0;
  int64_t expected_sec = 0;
  now_count(&count, &expected_sec);
  push_at(2, 21, count);
  const auto got = fetch(1);
  ASSERT_EQ(got.size(), 1u) << syslog_dump();
  const crx_rsig_t& r = got[0].rsig[0];
  ASSERT_TRUE(fine(r)) << syslog_dump();
  EXPECT_LE(std::llabs(int64_t(r.fine_ts_gps_s) - expected_sec), 2);
  EXPECT_LT(r.fine_ts_ns, 1000000000u);
  EXPECT_NEAR(r.freq_offset_hz, 900, 4 * r.freq_accuracy_hz + 5);
  EXPECT_EQ(block_->started().size(), 1u);
}

TEST_F(LocScenario, DirectModeReleasesThePacketWhenTheBlockStaysSilent) {
  loc_use_thread = 0;
  start_synced();
  block_->set_answer(sim::GeolocBlock::Answer::kNever);
  const int resets = block_->resets();
  push_now(0, 5);
  const auto got = fetch(1);
  ASSERT_EQ(got.size(), 1u) << syslog_dump();
  EXPECT_FALSE(fine(got[0].rsig[0]));
  EXPECT_GT(block_->resets(), resets);
  // The next uplink is measured again.
  block_->set_answer(sim::GeolocBlock::Answer::kOnTime);
  push_now(0, 6);
  const auto next = fetch(1);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_TRUE(fine(next[0].rsig[0]));
}

TEST_F(LocScenario, DirectModeWithDiversityMeasuresBothAntennas) {
  loc_use_thread = 0;
  start_synced(true);
  uint32_t count = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &count), 0);
  const std::pair<int, sim::Uplink> copies[] = {{1, uplink(kDev, 9, 2, 7, count - 1000)},
                                                 {5, uplink(kDev, 9, 2, 7, count - 995)}};
  board().push_uplinks(copies);
  const auto got = fetch(1);
  ASSERT_EQ(got.size(), 1u) << syslog_dump();
  EXPECT_TRUE(fine(got[0].rsig[0]));
  EXPECT_TRUE(fine(got[0].rsig[1]));
  const auto started = block_->started();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_FALSE(started[0].second_antenna);
  EXPECT_TRUE(started[1].second_antenna);
  EXPECT_EQ(started[1].antenna, 1);
}

TEST_F(LocScenario, LocalizationDisabledMeasuresNothing) {
  start_synced();
  ASSERT_EQ(crx_loc_enable(0), 0);
  push_now(3, 1);
  EXPECT_EQ(fetch(1).size(), 1u);
  EXPECT_TRUE(block_->started().empty());
}

}  // namespace
}  // namespace crx::test

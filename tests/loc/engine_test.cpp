// The engine against the simulated geolocation block: thread mode through
// the shared queue to another process, direct mode into the packet, and a
// block that answers late or never.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "loc_fixture.h"
#include "platform/os.h"
#include "tests/support/checks.h"

namespace {

using crx::loc::Request;
using crx::sim::GeolocBlock;
using crx::test::FakeTime;

class LocEngine : public crx::test::LocBoardTest {
 protected:
  void SetUp() override {
    LocBoardTest::SetUp();
    crx::brd_cfg_priv.rx_freq = 867500000;
    // The block's counter runs 1001 samples past the one latched at the PPS.
    block().set_hs_counts(FakeTime::ref.fpga_hs, FakeTime::ref.fpga_hs - 1001);
  }
  // Nanoseconds after the reference second the block's truth corresponds
  // to, for the fixture's uplink at SF7 (56576 µs long).
  static double expected_ns(double offset_samples, int residual) {
    const double us_from_ref = (5200000.0 - FakeTime::ref.count_us) - 56576.0;
    return us_from_ref * 1000.0 + (residual + offset_samples) / 32e6 * 1e9;
  }
  Request request_for(const crx_rx_pkt_t& p, uint8_t thread_mode) {
    Request r;
    crx::loc::loc_init_req(r, kFrame, p, thread_mode);
    return r;
  }
};

TEST_F(LocEngine, ThreadModeResultReachesAnotherProcess) {
  block().set_truth(200.5, 1200.0, 0.5, 7);
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    char c;
    if (::read(go[0], &c, 1) != 1) _exit(2);
    if (crx::loc::shm_attach() != 0) _exit(3);
    (void)::write(ready[1], "r", 1);
    crx_loc_result_t out;
    const struct timeval wait = {5, 0};
    if (crx_loc_fetch(&out, &wait) != 0) _exit(4);
    if (out.dev_addr != 0x26011BDA || out.fcnt != 42 || out.sf != 7 || out.antenna != 0) _exit(5);
    if (out.gps_sec != FakeTime::ref.gps_s) _exit(6);
    const double err = std::fabs(double(out.gps_nsec) - expected_ns(200.5, -1));
    if (!(err <= 4 * out.time_accuracy_ns + 16)) _exit(7);
    if (std::abs(out.freq_offset_hz - 1200) > 4 * out.freq_accuracy_hz + 5) _exit(8);
    if (out.gw_lat != 48.85 || out.gw_alt != 35 || out.bandwidth_hz != 125000) _exit(9);
    if (out.payload_tail != 0x14131211u) _exit(10);
    if (std::strcmp(out.gw_id, "0080000000A1B2C3") != 0) _exit(11);
    _exit(0);
  }
  std::strcpy(gateway_id, "0080000000A1B2C3");  // as crx_start fills it
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  gateway_id[0] = '\0';
  EXPECT_TRUE(logged("BrvDBG-HAL loc_init INFO - geolocation FPGA ver: 2")) << syslog_dump();
  EXPECT_EQ(gpio().edge(20), "falling");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  ASSERT_EQ(crx::loc::loc_process_pkt(request_for(uplink(), 1)), 0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // What the block was asked: SF, frequency word, buffer position, flags.
  const auto started = block().started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_FALSE(started[0].second_antenna);
  EXPECT_EQ(started[0].sf, 7);
  EXPECT_EQ(started[0].freq_word, -410);  // -800 kHz × 512 / 1 MHz = -409.6
  EXPECT_EQ(started[0].position, 1001u / 2 + 143424u * 16);
  EXPECT_EQ(started[0].up, 8);
  EXPECT_EQ(started[0].down, 2);
  EXPECT_EQ(started[0].antenna, 0);
  EXPECT_GE(block().arm_writes(), 2);  // at start and before the request
}

TEST_F(LocEngine, VersionOneBlockEndToEnd) {
  block().set_version(1);
  block().set_hs_counts(FakeTime::ref.fpga_hs, FakeTime::ref.fpga_hs);
  block().set_truth(700.25, -800.0);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  ASSERT_EQ(crx::loc::loc_process_pkt(request_for(uplink(DR_LORA_SF8), 1)), 0);
  crx_loc_result_t out;
  const struct timeval wait = {3, 0};
  ASSERT_EQ(crx_loc_fetch(&out, &wait), 0);
  const double us_from_ref = (5200000.0 - FakeTime::ref.count_us) - 102912.0;  // SF8: 50.25 symbols of 2048 µs
  EXPECT_NEAR(out.gps_nsec, us_from_ref * 1000 + 700.25 / 32e6 * 1e9, 4 * out.time_accuracy_ns + 16);
  EXPECT_NEAR(out.freq_offset_hz, -800, 4 * out.freq_accuracy_hz + 4);
  EXPECT_EQ(block().started().at(0).position, uint32_t(us_from_ref) * 32);
}

TEST_F(LocEngine, ABlockThatNeverAnswersIsResetAndYieldsNothing) {
  block().set_answer(GeolocBlock::Answer::kNever);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  ASSERT_EQ(crx::loc::loc_process_pkt(request_for(uplink(), 1)), 0);
  for (int i = 0; i < 300 && block().resets() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(block().resets(), 1);
  // An answer after the engine gave up is not taken either.
  block().set_answer(GeolocBlock::Answer::kOnTime);
  block().set_delay_ms(1300);
  ASSERT_EQ(crx::loc::loc_process_pkt(request_for(uplink(), 1)), 0);
  crx_loc_result_t out;
  const struct timeval wait = {1, 600000};
  EXPECT_EQ(crx_loc_fetch(&out, &wait), -1);
  EXPECT_EQ(crx_errno, ERR_LOC_FETCH_TIMEOUT);
  EXPECT_EQ(block().resets(), 2);
}

TEST_F(LocEngine, StaleRequestsAreRefusedAndTheRingKeepsTheNewest) {
  Request old = request_for(uplink(DR_LORA_SF7, FakeTime::now_us - 2500000), 1);
  EXPECT_EQ(crx::loc::loc_process_pkt(old), -1);
  // No thread consumes: 41 requests leave the newest 40.
  for (int i = 0; i < 41; ++i) ASSERT_EQ(crx::loc::loc_process_pkt(request_for(uplink(), 1)), 0);
  EXPECT_EQ(crx::loc::ring_size(), 40u);
}

TEST_F(LocEngine, DirectModeFillsThePacket) {
  crx::loc::set_geoloc_version(2);
  block().set_truth(-120.0, 2500.0);
  ASSERT_EQ(crx::hooks::loc_init(0), 0);
  std::vector<crx::loc::FrameHeader> frames{kFrame};
  std::vector<crx_rx_pkt_t> pkts{uplink()};
  Request req;
  ASSERT_EQ(crx::loc::loc_schedule_pkt(frames, pkts, req), 0);
  uint16_t ms = 0;
  crx::loc::loc_get_wait_time(req.sf, &ms);
  ASSERT_EQ(crx::loc::loc_process_pkt_direct(req, ms, 0), 0);
  struct pollfd p = {crx::loc::loc_get_int_fd(), POLLPRI, 0};
  ASSERT_EQ(crx::os::poll(&p, 1, 1000), 1);
  EXPECT_FALSE(crx::loc::loc_get_fpga_expire_status());
  crx::loc::loc_pkt_direct_finished();
  ASSERT_EQ(crx::loc::loc_fetch_loc_info(req, pkts[0]), 0);
  const crx_rsig_t& rs = pkts[0].rsig[0];
  EXPECT_EQ(rs.fine_ts_flag, 1);
  EXPECT_EQ(rs.fine_ts_gps_s, FakeTime::ref.gps_s);
  EXPECT_NEAR(rs.fine_ts_ns, expected_ns(-120.0, -1), 16);
  EXPECT_EQ(rs.fine_ts_ns_adj, (rs.fine_ts_ns + 128u * 64000u + 101145u) % 1000000000u);
  EXPECT_NEAR(rs.freq_offset_hz, 2500, 4);
  EXPECT_EQ(pkts[0].rsig[1].fine_ts_flag, 0);
}

TEST_F(LocEngine, DirectModeExpiresWhenTheBlockStaysSilent) {
  block().set_answer(GeolocBlock::Answer::kNever);
  ASSERT_EQ(crx::hooks::loc_init(0), 0);
  Request req = request_for(uplink(), 0);
  ASSERT_EQ(crx::loc::loc_process_pkt_direct(req, 30, 0), 0);
  EXPECT_FALSE(crx::loc::loc_get_fpga_expire_status());
  EXPECT_TRUE(crx::test::eventually([] { return crx::loc::loc_get_fpga_expire_status(); }));
  crx::loc::loc_reset_fpga();
  EXPECT_EQ(block().resets(), 1);
  crx::loc::loc_pkt_direct_finished();
  EXPECT_FALSE(crx::loc::loc_get_fpga_expire_status());
}

TEST_F(LocEngine, AnExpiredRequestGivesNoNonsense) {
  block().set_answer(GeolocBlock::Answer::kExpired);
  ASSERT_EQ(crx::hooks::loc_init(0), 0);
  Request req = request_for(uplink(), 0);
  ASSERT_EQ(crx::loc::loc_process_pkt_direct(req, 200, 0), 0);
  struct pollfd p = {crx::loc::loc_get_int_fd(), POLLPRI, 0};
  ASSERT_EQ(crx::os::poll(&p, 1, 1000), 1);
  crx_rx_pkt_t pkt = uplink();
  crx::loc::loc_fetch_loc_info(req, pkt);
  if (pkt.rsig[0].fine_ts_flag) {
    EXPECT_TRUE(std::isfinite(pkt.rsig[0].time_accuracy_ns));
    EXPECT_LT(pkt.rsig[0].fine_ts_ns, 1000000000u);
  }
}

TEST_F(LocEngine, SecondAntennaRequestWritesOnlyTheFlags) {
  ASSERT_EQ(crx::hooks::loc_init(0), 0);
  Request req = request_for(uplink(), 0);
  ASSERT_EQ(crx::loc::program_block(req, false), 0);
  req.antenna = 1;
  ASSERT_EQ(crx::loc::program_block(req, true), 0);
  const auto started = block().started();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_TRUE(started[1].second_antenna);
  EXPECT_EQ(started[1].antenna, 1);
  EXPECT_EQ(started[1].position, started[0].position);
}

TEST_F(LocEngine, EnableDisableAndWhoSeesIt) {
  EXPECT_FALSE(is_loc_enabled());
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  ASSERT_EQ(crx_loc_enable(1), 0);
  EXPECT_EQ(FakeTime::holdover, 128);
  EXPECT_TRUE(is_loc_enabled());
  board_type = CRX_BOARD_HERON_FDD;  // these boards also need the block present
  EXPECT_TRUE(is_loc_enabled());
  block().set_present(0);
  EXPECT_FALSE(is_loc_enabled());
  board_type = CRX_BOARD_HERON_RAIL;
  EXPECT_FALSE(is_loc_enabled());
  board_type = CRX_BOARD_CONDOR_NA;

  ASSERT_EQ(crx_loc_add_mote(0x1234), 0);
  ASSERT_EQ(crx_loc_enable(0), 0);
  EXPECT_EQ(FakeTime::holdover, 3584);
  EXPECT_FALSE(is_loc_enabled());
  ASSERT_EQ(crx::loc::shm_attach(), 0);
  EXPECT_EQ(crx::loc::segment()->filter_active, 0);
  EXPECT_EQ(crx::loc::segment()->filter[0], 0u);

  EXPECT_EQ(crx_loc_enable(2), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_loc_enable ERROR - invalid flag: 2"));
}

TEST_F(LocEngine, InitSemaphoreIsCreatedForEveryoneWithoutTouchingTheUmask) {
  const mode_t before = ::umask(022);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  EXPECT_EQ(::umask(before), 022) << "the process umask is left alone";
  struct stat st {};
  const std::string file = "/dev/shm/sem." + crx::os::sem_name("loc_init_sem").substr(1);
  ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(LocEngine, DirectModeNeedsTheSecondBlockVersion) {
  loc_use_thread = 1;
  block().set_version(1);
  EXPECT_EQ(crx_loc_config(), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_loc_config ERROR - merged timestamp not supported on FPGA v1"));
  EXPECT_EQ(loc_use_thread, 1);
  block().set_version(2);
  EXPECT_EQ(crx_loc_config(), 0);
  EXPECT_EQ(loc_use_thread, 0);
  loc_use_thread = 1;
}

TEST_F(LocEngine, StartEmptiesTheQueueOnlyWhenItAttachesAnew) {
  crx_loc_result_t r{};
  r.dev_addr = 0xC1;
  // Already attached (the filter list, crx_loc_enable): what waits stays.
  ASSERT_EQ(crx::loc::shm_attach(), 0);
  ASSERT_EQ(crx::loc::queue_store(r), 0);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  EXPECT_EQ(crx::loc::queue_waiting(), 1u);
  crx::hooks::loc_deinit(1);

  // Another process keeps the segment with a result in it; this one
  // attaches at start and begins with an empty queue.
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    crx::loc::shm_detach();
    if (crx::loc::shm_attach() != 0 || crx::loc::queue_store(r) != 0) _exit(2);
    (void)::write(ready[1], "r", 1);
    char c;
    (void)::read(done[0], &c, 1);
    _exit(0);
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  EXPECT_EQ(crx::loc::queue_waiting(), 0u);
  ASSERT_EQ(::write(done[1], "d", 1), 1);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(LocEngine, StartStopAndAnUnknownBlockVersion) {
  block().set_version(7);
  ASSERT_EQ(crx::hooks::loc_init(1), 0);
  EXPECT_TRUE(logged("BrvDBG-HAL loc_init WARNING - wrong geolocation FPGA ver, default to 1"));
  EXPECT_EQ(crx::loc::geoloc_version(), 1u);
  EXPECT_GE(crx::loc::loc_get_int_fd(), 0);
  crx::hooks::loc_deinit(1);
  EXPECT_EQ(crx::loc::loc_get_int_fd(), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL loc_deinit INFO - shm destroyed")) << syslog_dump();
  EXPECT_FALSE(crx::loc::segment());
}

}  // namespace

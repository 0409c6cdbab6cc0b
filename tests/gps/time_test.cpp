// Counter, UTC and GPS time: the arithmetic, the shared reference with its
// sampler, and the application's reference.
#include <gtest/gtest.h>

#include <array>

#include "crx.h"
#include "crx_hal/hooks.h"
#include "gps/time_math.h"
#include "gps/time_ref.h"
#include "sim/boards.h"
#include "sim/sync_block.h"
#include "sim/testing.h"
#include "sim/ublox.h"
#include "tests/support/checks.h"

namespace {

using crx::gps::store_reference;
constexpr int64_t kWrap = int64_t{1} << 32;

timespec ts(int64_t sec, long nsec) { return timespec{static_cast<time_t>(sec), nsec}; }

TEST(TimeMath, ElapsedAndRounding) {
  EXPECT_EQ(crx::gps::elapsed_us(1000, 999), 1u);
  EXPECT_EQ(crx::gps::elapsed_us(1000, 1000), uint64_t(kWrap));  // a whole wrap, never 0
  EXPECT_EQ(crx::gps::elapsed_us(5, 0xFFFFFFF0u), 21u);
  EXPECT_EQ(crx::gps::ns_to_us(999999), 1000);
  EXPECT_EQ(crx::gps::ns_to_us(499), 0);
  EXPECT_EQ(crx::gps::ns_to_us(999999999), 1000000);
}

class TimeRef : public crx::sim::SandboxTest {
 protected:
  void TearDown() override {
    crx::hooks::time_ref_reset();
    SandboxTest::TearDown();
  }
};

TEST_F(TimeRef, ConversionsFailWithoutAReferenceAndChangeNothing) {
  uint32_t count = 77;
  timespec t = ts(5, 5);
  crx_tref_t any{};
  EXPECT_FAILS_WITH(crx_gps2cnt(ts(1, 0), &count), ERR_NOT_SYNCED);
  EXPECT_FAILS_WITH(crx_cnt2gps(1, &t), ERR_NOT_SYNCED);
  EXPECT_EQ(crx_cnt2utc(any, 1, &t), -1);
  EXPECT_EQ(crx_utc2cnt(any, ts(1, 0), &count), -1);
  EXPECT_EQ(crx_get_ref_time(&any), -1);
  EXPECT_EQ(count, 77u);
  EXPECT_EQ(t.tv_sec, 5);
  EXPECT_FAILS_WITH(crx_gps2cnt(ts(1, 0), nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_cnt2gps(1, nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_cnt2utc(any, 1, nullptr), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_utc2cnt(any, ts(1, 0), nullptr), ERR_UNSPECIFIED);
  uint32_t status = 9;
  EXPECT_EQ(crx_get_sync_status(&status), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(crx_get_sync_status(nullptr), -1);
  EXPECT_TRUE(sandbox().syslog_contains("crx_get_sync_status invalid parameter."));
}

TEST_F(TimeRef, GpsToCountKnownAnswers) {
  store_reference(1262304018, 1262303981, 1000, 0);
  struct {
    int64_t sec;
    long nsec;
    int result;
    uint32_t count;
  } cases[] = {{946339199, 0, 0, 1000},
               {946339199, 500000000, 0, 501000},
               {946339198, 0, -1, 0},
               {946339198, 999999999, 0, 1000}};  // exactly 1000000 us in single precision
  for (const auto& c : cases) {
    uint32_t count = 5;
    EXPECT_EQ(crx_gps2cnt(ts(c.sec, c.nsec), &count), c.result) << c.sec << " " << c.nsec;
    EXPECT_EQ(count, c.count);
  }
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL crx_gps2cnt gps time already too late to convert."));
}

TEST_F(TimeRef, CountToGpsAcrossTheWrap) {
  const uint32_t ref = 0xFFFFF000u;  // wraps 4096 us later
  store_reference(1262304018, 1262303981, ref, 0);
  const int64_t gps0 = 1262304018 - 315964819;
  struct {
    uint32_t count;
    int64_t sec;
    long nsec;
  } cases[] = {{ref + 2500000, gps0 + 2, 500000000},
               {ref - 1, gps0 + 4294, 967295000},
               {ref, gps0 + 4294, 967296000},
               {0, gps0, 4096000}};
  for (const auto& c : cases) {
    timespec t{};
    ASSERT_EQ(crx_cnt2gps(c.count, &t), 0);
    EXPECT_EQ(t.tv_sec, c.sec) << c.count;
    EXPECT_EQ(t.tv_nsec, c.nsec) << c.count;
    // And back.
    uint32_t back = 0;
    ASSERT_EQ(crx_gps2cnt(t, &back), 0);
    EXPECT_EQ(back, c.count);
  }
}

TEST_F(TimeRef, UtcRoundTripsAroundTheWrap) {
  const uint32_t ref = 0xFFF00000u;
  store_reference(1700000037, 1700000000, ref, 0);
  crx_tref_t ignored{};
  for (int64_t offset_us : {int64_t{1}, int64_t{1048575}, int64_t{1048576}, int64_t{1048577}, kWrap - 1, kWrap}) {
    const uint32_t count = static_cast<uint32_t>(ref + offset_us);
    timespec utc{};
    ASSERT_EQ(crx_cnt2utc(ignored, count, &utc), 0);
    EXPECT_EQ(int64_t(utc.tv_sec - 1700000000) * 1000000 + utc.tv_nsec / 1000, offset_us);
    uint32_t back = 0;
    ASSERT_EQ(crx_utc2cnt(ignored, utc, &back), 0);
    EXPECT_EQ(back, count) << offset_us;
  }
  uint32_t count = 3;
  EXPECT_EQ(crx_utc2cnt(ignored, ts(1699999999, 999999000), &count), -1);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL crx_utc2cnt utc time already too late to convert."));
  crx_tref_t got{};
  got.xtal_err = 3.0;
  ASSERT_EQ(crx_get_ref_time(&got), 0);
  EXPECT_EQ(got.count_us, ref);
  EXPECT_EQ(got.utc.sec, 1700000000);
  EXPECT_EQ(got.gps.sec, 1700000037 - 315964819);
  EXPECT_EQ(got.xtal_err, 3.0);  // the rest left alone
}

TEST_F(TimeRef, GpsTimeStaysContinuousAcrossALeapSecond) {
  // 2016-12-31 23:59:59 UTC: TAI - UTC is 36 s, from the next second 37 s.
  const uint32_t before = 1483228799;
  store_reference(before + 36, before, 5000000, 0);
  timespec gps_a{}, utc_a{};
  crx_tref_t ignored{};
  const uint32_t count = 5000000 + 3000000;  // 3 s later, past the leap
  ASSERT_EQ(crx_cnt2gps(count, &gps_a), 0);
  ASSERT_EQ(crx_cnt2utc(ignored, count, &utc_a), 0);
  // The sampler's next reference, 2 s after the first and past the leap:
  // UTC took 1 s less than TAI.
  store_reference(before + 36 + 2, before + 1, 7000000, 0);
  timespec gps_b{}, utc_b{};
  ASSERT_EQ(crx_cnt2gps(count, &gps_b), 0);
  ASSERT_EQ(crx_cnt2utc(ignored, count, &utc_b), 0);
  EXPECT_EQ(gps_a.tv_sec, gps_b.tv_sec);
  EXPECT_EQ(utc_b.tv_sec, utc_a.tv_sec - 1);
  uint32_t back = 0;
  ASSERT_EQ(crx_gps2cnt(gps_a, &back), 0);
  EXPECT_EQ(back, count);
}

crx::gps::RefSample sample(uint32_t sec, uint32_t count, long ns = 0) { return {ts(sec, ns), 0, count, 0}; }

TEST_F(TimeRef, SampleVote) {
  struct {
    std::array<crx::gps::RefSample, 3> s;
    int kept;
    const char* log;
  } cases[] = {
      {{sample(10, 5), sample(10, 5), sample(10, 5)}, 0, "All agreed: 10s, 5"},
      {{sample(10, 5, 1), sample(10, 5), sample(11, 6, 7)}, 0, "Majority vote 1 & 2: 10s, 1ns, desagreed: 11s 7ns"},
      {{sample(9, 5, 3), sample(10, 6, 4), sample(10, 6)}, 1, "Majority vote 2 & 3: 10s, 4ns, desagreed: 9s 3ns"},
      {{sample(10, 5, 8), sample(10, 6, 9), sample(10, 5)}, 2, "Majority vote 1 & 3: 10s, 0ns, desagreed: 10s 9ns"},
      {{sample(10, 1), sample(10, 2), sample(10, 3)}, -1, "time: 10s, 0ns, latched: 3"},
  };
  for (const auto& c : cases) {
    sandbox().clear_logs();
    const crx::gps::RefSample(&s)[3] = *reinterpret_cast<const crx::gps::RefSample(*)[3]>(c.s.data());
    EXPECT_EQ(crx::gps::choose_sample(s), c.kept);
    EXPECT_TRUE(sandbox().syslog_contains(c.log)) << c.log << "\n" << syslog_dump();
  }
  EXPECT_TRUE(sandbox().syslog_contains("No agreement, drop the sample:"));
}

// The sampler on a large board with its sync block on SPI.
class Sampler : public TimeRef {
 protected:
  void SetUp() override {
    TimeRef::SetUp();
    sandbox().set_fast_clock(true);
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    fpga_ = crx::sim::install_fpga_board(sandbox());
    sync_ = crx::sim::install_sync_block(sandbox());
    ASSERT_EQ(crx_reg_setup(0), 0);
    const std::array<uint8_t, 4> count{0x78, 0x56, 0x34, 0x12};
    fpga_->poke(1, 2, 70, count);  // chip 1's latched count
    const std::array<uint8_t, 5> hs{0x01, 0x02, 0x03, 0x04, 0xE5};
    fpga_->poke(8, 0xFF, 0x4000, hs);
  }
  void TearDown() override {
    crx_reg_close();
    TimeRef::TearDown();
  }
  // Housekeeping ticks of 2 s each.
  void ticks(int n) {
    for (int i = 0; i < n; ++i) crx::hooks::gps_lock_check();
  }
  uint32_t synced() {
    uint32_t s = 9;
    crx_get_sync_status(&s);
    return s;
  }
  std::shared_ptr<crx::sim::FpgaBoardPort> fpga_;
  std::shared_ptr<crx::sim::SyncBlockSpi> sync_;
};

TEST_F(Sampler, TakesTheReferenceWhileInSyncAndDropsItWhenSyncIsLost) {
  crx::sim::write_position_file(sandbox(), true, 48.1, 11.5, 500);
  ticks(4);  // the first pass comes after 10 s
  EXPECT_EQ(synced(), 0u);
  ticks(1);
  ASSERT_EQ(synced(), 1u) << syslog_dump();
  EXPECT_TRUE(sandbox().syslog_contains("GPS is locked"));
  EXPECT_TRUE(sandbox().syslog_contains("All agreed: "));
  crx_tref_t ref{};
  ASSERT_EQ(crx_get_ref_time(&ref), 0);
  EXPECT_EQ(ref.count_us, 0x12345678u);
  EXPECT_EQ(ref.fpga_hs, 0x04030201u);  // low 32 bits only
  uint64_t hs = 0;
  ASSERT_EQ(crx_get_fpga_hs(&hs), 0);
  EXPECT_EQ(hs, 0x0504030201ull);  // 37 bits
  EXPECT_FAILS_WITH(crx_get_fpga_hs(nullptr), ERR_NULL_PTR);

  crx::sim::write_position_file(sandbox(), false, 0, 0, 0);
  sync_->set_state(crx::sim::kSyncStateFault);
  ticks(29);  // now every 60 s
  EXPECT_EQ(synced(), 1u);
  ticks(1);
  EXPECT_EQ(synced(), 0u);
  // Lock messages only while in sync.
  EXPECT_FALSE(sandbox().syslog_contains("GPS out of lock"));
  sync_->set_state(crx::sim::kSyncStateLocked);
  ticks(15);  // every 30 s while out of sync
  EXPECT_EQ(synced(), 1u);
  EXPECT_TRUE(sandbox().syslog_contains("GPS out of lock"));

  crx::hooks::time_ref_reset();  // stop
  EXPECT_EQ(synced(), 0u);
  uint32_t count = 0;
  EXPECT_FAILS_WITH(crx_gps2cnt(ts(1, 0), &count), ERR_NOT_SYNCED);
}

TEST_F(Sampler, WarnsOnceWhenTheKernelTaiOffsetIsUnset) {
  const char* warning = "TAI offset is not set";
  ticks(5);
  ASSERT_EQ(synced(), 1u);
  EXPECT_FALSE(sandbox().syslog_contains(warning));
  sandbox().set_tai_offset(0);
  ticks(60);
  int seen = 0;
  for (const auto& t : sandbox().syslog_texts()) seen += t.find(warning) != std::string::npos;
  EXPECT_EQ(seen, 1);
}

TEST_F(Sampler, BoardsWithoutSamplingNeverGetAReference) {
  for (uint32_t type : {CRX_BOARD_HERON_RAIL, CRX_BOARD_WREN_TDD}) {
    board_type = type;
    ticks(40);
    EXPECT_EQ(synced(), 0u);
  }
}

TEST_F(TimeRef, ApplicationReference) {
  crx_tref_t r{};
  r.sync_count = 5;
  EXPECT_EQ(crx_init_tref(&r), &r);
  EXPECT_EQ(r.systime, -1);
  EXPECT_EQ(r.utc.sec, -1);
  EXPECT_EQ(r.hs_xtal_err, 1.0);
  EXPECT_EQ(r.sync_count, 0u);
  EXPECT_NE(time_ref_hal.systime, -1);
  EXPECT_EQ(sizeof(crx_tref_t), 64u);

  uint32_t status = 7;
  ASSERT_EQ(crx_synchronize(3, &r, ts(1700000000, 250), 0x1FFFFFFFFFull, 1234, &status), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(r.utc.sec, 1700000000);
  EXPECT_EQ(r.utc.nsec, 250);
  EXPECT_EQ(r.fpga_hs, 0x1FFFFFFFFFull);
  EXPECT_EQ(r.hs_pps, 1234u);
  EXPECT_EQ(r.sync_count, 1u);
  r.sync_count = 4294967295u;
  ASSERT_EQ(crx_synchronize(0, &r, ts(1, 0), 0, 0, nullptr), 0);
  EXPECT_EQ(r.sync_count, 4294967295u);
  EXPECT_FAILS_WITH(crx_synchronize(0, nullptr, ts(1, 0), 0, 0, nullptr), ERR_NULL_PTR);
  ASSERT_EQ(crx_save_tref(&r), 0);
  EXPECT_EQ(time_ref_hal.sync_count, 4294967295u);
}

TEST(FineCount, ToUtcWithCrystalCorrection) {
  crx_tref_t r{};
  crx_init_tref(&r);
  r.sync_count = 1;
  r.utc = {1000, 900000000};
  r.hs_pps = 1000000000;
  struct {
    uint32_t pps;
    uint32_t hs;
    double xtal;
    int64_t sec;
    long nsec;
  } cases[] = {
      {1000000000, 1000000000 + 256000000, 1.0, 1001, 900000000},
      {1000000000, 1000000000 - 128000000, 1.0, 1000, 400000000},
      {1000000000, 1000000000 + 64000000, 1.0, 1001, 150000000},   // carries into the next second
      {1000000000, 1000000000 - 256000000 * 2 - 243200000, 1.0, 997, 950000000},
      {0xFFFFFF00u, 0x00000F00u, 1.0, 1000, 900016000},  // just past the wrap: 4096 ticks
      {1000000000, 1000000000 + 256256000, 1.001, 1001, 900000000}, // a fast crystal
  };
  for (const auto& c : cases) {
    r.hs_pps = c.pps;
    r.hs_xtal_err = c.xtal;
    timespec utc{};
    ASSERT_EQ(gwloc_hs2utc(r, c.hs, &utc), 0);
    EXPECT_EQ(utc.tv_sec, c.sec) << c.hs;
    EXPECT_NEAR(utc.tv_nsec, c.nsec, 1) << c.hs;
  }
  timespec utc{};
  r.hs_xtal_err = 0;
  EXPECT_FAILS_WITH(gwloc_hs2utc(r, 5, &utc), ERR_UNSPECIFIED);
  r.hs_xtal_err = 1.0;
  EXPECT_FAILS_WITH(gwloc_hs2utc(r, 5, nullptr), ERR_UNSPECIFIED);
  r.sync_count = 0;
  EXPECT_FAILS_WITH(gwloc_hs2utc(r, 5, &utc), ERR_UNSPECIFIED);
}

}  // namespace

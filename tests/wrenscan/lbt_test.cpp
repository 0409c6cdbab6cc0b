// The LBT measurement: the side radio retuned to the packet's channel, the
// level the FPGA reports, the bounds on the length and on the wait, and the
// side-radio guard held from the retune to the result.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "scan_fixture.h"

namespace {

using crx::test::WrenScanTest;

class WrenLbt : public WrenScanTest {
 protected:
  int guard_value() { return semaphore("/sx127x_in_use"); }
};

TEST_F(WrenLbt, MeasuresTheLevelAtThePacketsFrequencyAndBandwidth) {
  start_board();
  board().environment->add_signal(903100000, -80);
  board().environment->add_signal(903500000, -40);  // outside both passbands

  struct Case {
    uint32_t bw_index;
    uint32_t bandwidth_hz;
  };
  for (const Case c : {Case{14, 62500}, Case{20, 250000}}) {
    SCOPED_TRACE(c.bw_index);
    ASSERT_EQ(ostra_wren_start_lbt_meas(903100000, c.bw_index, 1000), 0) << syslog_dump();
    EXPECT_EQ(guard_value(), 0) << "held until the result is read";
    crx_wait_us(5000);
    int32_t rssi = 0;
    ASSERT_EQ(ostra_wren_get_lbt_meas(&rssi), 0) << syslog_dump();
    EXPECT_EQ(rssi, -80);
    EXPECT_EQ(guard_value(), 1);
    EXPECT_EQ(board().gpio_fpga->peek(0x08) & 1, 0) << "start bit cleared";

    const auto m = board().gpio_fpga->measurements().back();
    EXPECT_TRUE(m.lbt);
    EXPECT_NEAR(double(m.tuning.freq_hz), 903100000.0, 62.0);
    EXPECT_EQ(m.tuning.bandwidth_hz, c.bandwidth_hz);
    EXPECT_EQ(m.length, 1000);
  }
}

TEST_F(WrenLbt, ALengthBeyondTheFieldIsClampedNotWrapped) {
  start_board();
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 327680 / 5 + 1), 0);
  EXPECT_TRUE(sandbox().syslog_contains("too long, limited to 65535"));
  EXPECT_EQ(board().gpio_fpga->measurements().back().length, 0xFFFF);
  crx_wait_us(327675);
  int32_t rssi = 0;
  EXPECT_EQ(ostra_wren_get_lbt_meas(&rssi), 0) << syslog_dump();
  EXPECT_EQ(rssi, -110);
}

TEST_F(WrenLbt, AResultThatNeverComesFailsAndReleasesEverything) {
  start_board();
  board().gpio_fpga->set_lbt_never_done(true);
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 100), 0);
  int32_t rssi = 7;
  EXPECT_FAILS_WITH(ostra_wren_get_lbt_meas(&rssi), ERR_UNSPECIFIED);
  EXPECT_EQ(rssi, 7);
  EXPECT_EQ(board().gpio_fpga->peek(0x08) & 1, 0);
  EXPECT_EQ(guard_value(), 1);

  // The next measurement is not held up by the failed one.
  board().gpio_fpga->set_lbt_never_done(false);
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 100), 0);
  crx_wait_us(500);
  EXPECT_EQ(ostra_wren_get_lbt_meas(&rssi), 0);
  EXPECT_EQ(rssi, -110);
}

TEST_F(WrenLbt, RefusedWithoutASideRadioOrAContainer) {
  install();
  ASSERT_EQ(configure_us(), 0);
  const size_t writes = board().gpio_fpga->register_writes().size();
  EXPECT_FAILS_WITH(ostra_wren_start_lbt_meas(902300000, 14, 100), ERR_UNSPECIFIED);
  int32_t rssi = 0;
  EXPECT_FAILS_WITH(ostra_wren_get_lbt_meas(&rssi), ERR_UNSPECIFIED);
  EXPECT_EQ(board().gpio_fpga->register_writes().size(), writes);
  EXPECT_FAILS_WITH(ostra_wren_get_lbt_meas(nullptr), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("Invalid RSSI container"));

  // A side radio whose set-up failed at start is not available either.
  board().side_radio->set_version(0);
  ASSERT_EQ(crx_start(0), 0);
  EXPECT_FAILS_WITH(ostra_wren_start_lbt_meas(902300000, 14, 100), ERR_UNSPECIFIED);
}

TEST_F(WrenLbt, AFailedRetuneOrFpgaWriteGivesTheGuardBack) {
  start_board();
  board().side_radio->fail_next(1);
  EXPECT_FAILS_WITH(ostra_wren_start_lbt_meas(902300000, 14, 100), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("Could not configure the SX127x"));
  EXPECT_EQ(guard_value(), 1);
  EXPECT_FAILS_WITH(ostra_wren_start_lbt_meas(902300000, 99, 100), ERR_UNSPECIFIED);
  EXPECT_EQ(guard_value(), 1);
}

// Another process holding the side-radio guard (a scan mid-measurement)
// delays the LBT retune until it lets go; it never retunes under it.
TEST_F(WrenLbt, WaitsForAScanHoldingTheGuard) {
  start_board();
  sem_t* guard = open_sem("/sx127x_in_use");
  ASSERT_NE(guard, SEM_FAILED);
  ASSERT_EQ(crx::os::sem_wait(guard), 0);
  std::atomic<bool> released{false};
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = true;
    crx::os::sem_post(guard);
  });
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 100), 0);
  EXPECT_TRUE(released) << "retuned while the guard was held elsewhere";
  other.join();
  int32_t rssi = 0;
  EXPECT_EQ(ostra_wren_get_lbt_meas(&rssi), 0);
  crx::os::sem_close(guard);
}

// Another thread of this process reading the side radio during an LBT
// measurement gets its turn when the measurement ends, and does not hold up
// the measurement's release.
TEST_F(WrenLbt, AnAccessOfAnotherThreadWaitsForTheMeasurement) {
  start_board();
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 100), 0);
  std::atomic<int> read_result{99};
  std::thread reader([&] {
    uint8_t version = 0;
    read_result = sx127x_reg_r(0x42, &version);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(read_result, 99) << "the read went out during the measurement";
  int32_t rssi = 0;
  EXPECT_EQ(ostra_wren_get_lbt_meas(&rssi), 0);
  reader.join();
  EXPECT_EQ(read_result, 0) << syslog_dump();
  EXPECT_EQ(guard_value(), 1);
}

// A process that died holding the guard stops a measurement only for a
// while: the start gives up and fails.
TEST_F(WrenLbt, AGuardNeverGivenBackFailsTheStart) {
  start_board();
  sem_t* guard = open_sem("/sx127x_in_use");
  ASSERT_EQ(crx::os::sem_wait(guard), 0);
  const size_t writes = board().gpio_fpga->register_writes().size();
  EXPECT_FAILS_WITH(ostra_wren_start_lbt_meas(902300000, 14, 100), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("sx127x sema still taken, giving up."));
  EXPECT_EQ(board().gpio_fpga->register_writes().size(), writes);
  crx::os::sem_post(guard);
  crx::os::sem_close(guard);
}

TEST_F(WrenLbt, RssiBinOfTheSideRadio) {
  start_board();
  // The start leaves the radio's RSSI offset field at +7 dB (-25 kept to
  // five bits): -104 dBm at the antenna reads as -97, bin 33.
  board().side_radio->set_rssi_dbm(-104);
  uint32_t bin = 0;
  ASSERT_EQ(ostra_wren_measure_rssi_hist_index(902700000, 14, &bin), 0);
  EXPECT_EQ(bin, 33u);
  EXPECT_NEAR(double(board().side_radio->frequency_hz()), 902700000.0, 62.0);
  board().side_radio->set_rssi_dbm(10);  // above the top bin
  ASSERT_EQ(ostra_wren_measure_rssi_hist_index(902700000, 14, &bin), 0);
  EXPECT_EQ(bin, 100u);
  EXPECT_EQ(ostra_wren_measure_rssi_hist_index(902700000, 14, nullptr), 3);
  EXPECT_EQ(guard_value(), 1);
}

}  // namespace

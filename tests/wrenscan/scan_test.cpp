// The Wren spectral scan against scripted radio environments: the CSV
// lines, the refusals, transmissions interrupting a measurement, the
// 50-failure abort, scans in parallel, and the semaphores it leaves.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "scan_fixture.h"

namespace {

using crx::sim::WrenGpioFpga;
using crx::test::WrenScanTest;

constexpr int64_t kRetryNs = 200'000'000;

class WrenScan : public WrenScanTest {
 protected:
  uint32_t status_ = 99;
  // Three 125 kHz channels 902.8-903.2 MHz and one 500 kHz channel at 903.0.
  ostra_wren_spec_scan_req_t request() { return {&status_, 4096, 3, 902800, 200, 1, 903000, 1600}; }
};

TEST_F(WrenScan, WritesOneHistogramLinePerFrequency) {
  start_board();
  board().environment->add_signal(903000000, -60);
  // The side-radio guard is held while the scan samples, so no LBT retunes
  // the radio under it.
  std::vector<int> guard_while_sampling;
  board().gpio_fpga->on_scan_event([&](WrenGpioFpga::ScanEvent e) {
    if (e == WrenGpioFpga::ScanEvent::kReadyRead) guard_while_sampling.push_back(semaphore("/sx127x_in_use"));
  });
  auto req = request();
  ASSERT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
  EXPECT_EQ(status_, 0u);
  EXPECT_EQ(ostra_wren_spec_scan_get_progress(), 100);
  EXPECT_EQ(guard_while_sampling, std::vector<int>(4, 0));
  EXPECT_EQ(semaphore("/sx127x_in_use"), 1);

  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].rfind("903000000,-130,0,-129,0,", 0), 0u) << lines[1];
  struct Expect {
    long freq;
    int bin;  // where all 4096 samples land
  };
  const Expect expect[] = {{902800000, 20}, {903000000, 70}, {903200000, 20}, {903000000, 70}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    long freq = 0;
    const auto counts = counts_of(lines[i], &freq);
    ASSERT_EQ(counts.size(), 101u) << lines[i];
    EXPECT_EQ(freq, expect[i].freq);
    EXPECT_EQ(counts[size_t(expect[i].bin)], 4096);
  }
  // Each list with its measurement bandwidth.
  const auto m = board().gpio_fpga->measurements();
  ASSERT_EQ(m.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(m[i].tuning.bandwidth_hz, i < 3 ? 62500u : 250000u) << i;
  EXPECT_EQ(board().gpio_fpga->peek(0x08) & 2, 0) << "sampling disabled after the scan";
}

// The outdoor board scans with its SX126x and that chip's bandwidth codes.
TEST_F(WrenScan, AnSx126xBoardScansWithItsOwnBandwidthCodes) {
  start_board(crx::test::kOutdoorPcba);
  board().environment->add_signal(868300000, -75);
  ostra_wren_spec_scan_req_t req{&status_, 4096, 2, 868100, 200, 1, 868300, 1600};
  ASSERT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
  const auto m = board().gpio_fpga->measurements();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].tuning.bandwidth_hz, 58600u);
  EXPECT_EQ(m[1].tuning.bandwidth_hz, 58600u);
  EXPECT_EQ(m[2].tuning.bandwidth_hz, 234300u);
  EXPECT_NEAR(double(m[1].tuning.freq_hz), 868300000.0, 1.0);
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 3u);
  long freq = 0;
  EXPECT_EQ(counts_of(lines[1], &freq).at(55), 4096);
  EXPECT_EQ(counts_of(lines[0], &freq).at(20), 4096);
}

TEST_F(WrenScan, SampleWordsLandInTheirClampedBins) {
  start_board();
  board().gpio_fpga->set_scan_samples({0x0104, 0x0000, 0x00BE});  // -130, 0, -95 dBm
  ostra_wren_spec_scan_req_t req{&status_, 4096, 1, 903000, 200, 0, 0, 0};
  ASSERT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 1u);
  long freq = 0;
  const auto counts = counts_of(lines[0], &freq);
  ASSERT_EQ(counts.size(), 101u);
  EXPECT_EQ(counts[0], 1366);
  EXPECT_EQ(counts[100], 1365);
  EXPECT_EQ(counts[35], 1365);
}

TEST_F(WrenScan, RefusedWithoutAStartedConcentratorOrAScanCapableFpga) {
  install();
  ASSERT_EQ(configure_us(), 0);
  auto req = request();
  EXPECT_EQ(ostra_wren_spec_scan(&req), -1);
  EXPECT_EQ(status_, 1u);
  EXPECT_TRUE(sandbox().syslog_contains(
      "ERROR: The concentrator must be started before a spectral scan can be performed."));
  EXPECT_TRUE(csv_lines().empty());
  EXPECT_EQ(ostra_wren_spec_scan(nullptr), 3);

  ASSERT_EQ(crx_start(0), 0);
  board().gpio_fpga->set_build(0x0023);
  status_ = 99;
  EXPECT_EQ(ostra_wren_spec_scan(&req), -1);
  EXPECT_EQ(status_, 1u);
  EXPECT_TRUE(sandbox().syslog_contains("GPIO FPGA does not support Spectral Scan. Version = 0x5007, Build=0x23"));
  EXPECT_TRUE(board().gpio_fpga->measurements().empty());
  board().gpio_fpga->set_build(0x0024);
  EXPECT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
}

// A transmission taking the air while the scan waits for samples makes it
// drop that frequency and measure it again 200 ms later; it counts once.
TEST_F(WrenScan, ATransmissionInterruptsAMeasurementWhichIsTakenAgain) {
  start_board();
  sem_t* tx = open_sem(crx::wren::kScanTxSem);
  ASSERT_NE(tx, SEM_FAILED);
  board().gpio_fpga->set_scan_ready_after_reads(3);
  int ready_reads = 0;
  bool held = false;
  board().gpio_fpga->on_scan_event([&](WrenGpioFpga::ScanEvent e) {
    if (e == WrenGpioFpga::ScanEvent::kReadyRead && ++ready_reads == 1 && sem_trywait(tx) == 0) held = true;
    if (e == WrenGpioFpga::ScanEvent::kDisabled && held) {
      held = false;
      sem_post(tx);
    }
  });
  sandbox().clear_sleeps();
  auto req = request();
  ASSERT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
  EXPECT_EQ(status_, 0u);
  EXPECT_EQ(sleeps_of(kRetryNs), 1);
  EXPECT_EQ(board().gpio_fpga->measurements().size(), 5u) << "the first frequency was enabled twice";
  EXPECT_EQ(ostra_wren_spec_scan_get_progress(), 100);
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 4u);
  long freq = 0;
  const auto counts = counts_of(lines[0], &freq);
  ASSERT_EQ(counts.size(), 101u);
  EXPECT_EQ(counts[20], 4096) << "no samples of the abandoned attempt";
  crx::os::sem_close(tx);
}

TEST_F(WrenScan, FiftyFailuresInARowAbortTheScan) {
  start_board();
  sandbox().write_file("/tmp/spectralScan.csv", "previous\n");
  sem_t* tx = open_sem(crx::wren::kScanTxSem);
  ASSERT_EQ(sem_trywait(tx), 0) << "a transmission holds the air throughout";
  sandbox().clear_sleeps();
  auto req = request();
  EXPECT_EQ(ostra_wren_spec_scan(&req), -1);
  EXPECT_EQ(status_, 1u);
  EXPECT_EQ(sleeps_of(kRetryNs), 49);
  EXPECT_EQ(sandbox().read_file("/tmp/spectralScan.csv"), "previous\n") << "the last result stays";
  EXPECT_EQ(semaphore("/wren_spec_scan_running"), 1) << "given back for the next scan";
  EXPECT_EQ(readSpectralScanProgress(), 100) << "an ended scan does not look like a running one";
  sem_post(tx);
  crx::os::sem_close(tx);
  EXPECT_EQ(runSpectralScanFlexible(&status_, 0, 0, 3, 902800, 200, 1, 903000, 1600), 0) << syslog_dump();
}

TEST_F(WrenScan, SamplesThatNeverBecomeReadyFailTheFrequency) {
  start_board();
  board().gpio_fpga->set_scan_never_ready(true);
  std::vector<uint32_t> histogram(101, 0);
  EXPECT_NE(ostra_wren_measure_spec_scan_freq(0, 903000000, 14, histogram.data()), 0);
  EXPECT_EQ(board().gpio_fpga->peek(0x08) & 2, 0);
  EXPECT_EQ(semaphore("/sx127x_in_use"), 1);
  EXPECT_EQ(board().gpio_fpga->samples_read(), 0u);
  EXPECT_EQ(ostra_wren_measure_spec_scan_freq(0, 903000000, 14, nullptr), 3);
}

TEST_F(WrenScan, AFailedSaveIsAFailedScan) {
  start_board();
  sandbox().make_dirs("/tmp/spectralScan.csv/in-the-way");
  auto req = request();
  EXPECT_EQ(ostra_wren_spec_scan(&req), -1);
  EXPECT_EQ(status_, 1u);
  EXPECT_TRUE(sandbox().syslog_contains("E R R O R Unable to save results in /tmp/spectralScan.csv"));
}

// The scan's semaphore handles are its own: after it, the HAL of the same
// process still shares the scan-TX semaphore with other processes and
// still uses its side-radio guard.
TEST_F(WrenScan, LeavesTheHalsSemaphoresWorking) {
  start_board();
  auto req = request();
  ASSERT_EQ(ostra_wren_spec_scan(&req), 0) << syslog_dump();
  sem_t* tx = open_sem(crx::wren::kScanTxSem);
  ASSERT_EQ(sem_trywait(tx), 0);
  int value = -1;
  sem_getvalue(crx::wren::scan_tx_sem(), &value);
  EXPECT_EQ(value, 0) << "the HAL's handle and a new one are one semaphore";
  sem_post(tx);
  crx::os::sem_close(tx);
  uint8_t version = 0;
  EXPECT_EQ(sx127x_reg_r(0x42, &version), 0);
  EXPECT_EQ(semaphore("/wren_spec_scan_running"), 1);
  int32_t rssi = 0;
  ASSERT_EQ(ostra_wren_start_lbt_meas(902300000, 14, 10), 0);
  EXPECT_EQ(ostra_wren_get_lbt_meas(&rssi), 0);
}

// A second scan asked for while the first measures its first channel (its
// progress still 0) is refused, through either entry point, and the first
// completes untouched.
TEST_F(WrenScan, ASecondScanIsRefusedWhileTheFirstRuns) {
  start_board();
  std::mutex m;
  std::condition_variable cv;
  bool first_measuring = false, second_done = false;
  board().gpio_fpga->on_scan_event([&](WrenGpioFpga::ScanEvent e) {
    if (e != WrenGpioFpga::ScanEvent::kReadyRead) return;
    std::unique_lock lock(m);
    if (first_measuring) return;
    first_measuring = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(30), [&] { return second_done; });
  });
  auto req = request();
  int first = -5;
  std::thread scanner([&] { first = ostra_wren_spec_scan(&req); });
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return first_measuring; }));
  }
  EXPECT_EQ(readSpectralScanProgress(), 0);
  uint32_t other_status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&other_status, 0, 0, 1, 902300, 200, 0, 0, 0), 2);
  EXPECT_EQ(other_status, 2u);
  EXPECT_TRUE(sandbox().syslog_contains("got request to start, but we already have a scan running"));
  ostra_wren_spec_scan_req_t direct{&other_status, 4096, 1, 902300, 200, 0, 0, 0};
  other_status = 7;
  EXPECT_EQ(ostra_wren_spec_scan(&direct), -1);
  EXPECT_EQ(other_status, 7u) << "the running scan's word is not the refused one's";
  {
    std::lock_guard lock(m);
    second_done = true;
  }
  cv.notify_all();
  scanner.join();
  EXPECT_EQ(first, 0) << syslog_dump();
  EXPECT_EQ(status_, 0u);
  EXPECT_EQ(board().gpio_fpga->measurements().size(), 4u);
  EXPECT_EQ(csv_lines().size(), 4u);
}

// A scan in another process while this one runs the concentrator and
// transmits: the scanning process opens the ports itself, backs off while
// a transmission holds the air and finishes once the air is free.
TEST_F(WrenScan, AScanInAChildProcessWhileTheParentTransmits) {
  install();
  board().environment->set_noise_floor(-110);
  int go[2], result[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(result), 0);
  // Forked before the start, so the child is a process of its own with no
  // concentrator and no threads of the parent's.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Retry pauses take real time here, so the parent's transmissions
    // overlap the child's attempts.
    sandbox().set_fast_clock(false);
    char c = 0;
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    uint32_t status = 99;
    ostra_wren_spec_scan_req_t req{&status, 4096, 2, 902300, 200, 0, 0, 0};
    const int rc = ostra_wren_spec_scan(&req);
    const int retries = sleeps_of(kRetryNs);
    const char out[3] = {char(rc == 0 && status == 0 ? 'y' : 'n'), char(retries > 0 ? 'r' : '0'),
                         char(sandbox().open_device_count() == 0 ? 'c' : 'o')};
    ::_exit(::write(result[1], out, 3) == 3 ? 0 : 3);
  }
  ASSERT_EQ(configure_us(), 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  sem_t* tx = open_sem(crx::wren::kScanTxSem);
  ASSERT_EQ(sem_trywait(tx), 0) << "a transmission on the air when the child starts";
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  // Three more transmissions of 150 ms, 100 ms apart.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) {
    sem_post(tx);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (sem_trywait(tx) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  sem_post(tx);
  char in[3] = {};
  EXPECT_EQ(::read(result[0], in, 3), 3);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(in[0], 'y') << "the child's scan completed";
  EXPECT_EQ(in[1], 'r') << "and backed off while the parent transmitted";
  EXPECT_EQ(in[2], 'c') << "and closed the ports it opened";
  EXPECT_EQ(csv_lines().size(), 2u);
  for (int fd : {go[0], go[1], result[0], result[1]}) ::close(fd);
  crx::os::sem_close(tx);
}

}  // namespace

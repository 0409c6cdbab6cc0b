// The spectral scan on a simulated Condor NA: the levels the FPGA's power
// detector sees on each channel, the measurements the library starts, the
// CSV file it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crx.h"
#include "tests/conf/board_fixture.h"
#include "wren/energy_scan.h"

namespace crx::test {
namespace {

using sim::PowerDetector;

std::string sandbox_file(const char* host_path) {
  std::ifstream in(host_path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One CSV line: the channel frequency and the count of each level shown.
struct ScanLine {
  std::string text;
  uint64_t freq_hz = 0;
  std::map<int, int> counts;  // level as shown (dBm) -> count
  int total = 0;
  int at(int level) const {
    const auto it = counts.find(level);
    return it == counts.end() ? 0 : it->second;
  }
};

ScanLine parse_line(const std::string& text) {
  ScanLine line;
  line.text = text;
  std::vector<std::string> fields;
  std::stringstream in(text);
  for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
  if (fields.empty()) return line;
  line.freq_hz = std::stoull(fields[0]);
  for (size_t i = 1; i + 1 < fields.size(); i += 2) {
    const int count = std::stoi(fields[i + 1]);
    line.counts[std::stoi(fields[i])] = count;
    line.total += count;
  }
  return line;
}

class SpectralScanTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    board(sim::CxDatabase(6).board("Q7000101"));
  }
  void board(const sim::CxDatabase& db) { fpga_board(db); }
  PowerDetector& detector() { return fpga_port_->power_detector(); }

  std::vector<ScanLine> csv_lines() {
    std::vector<ScanLine> lines;
    std::istringstream in(sandbox().read_file("/tmp/spectralScan.csv"));
    for (std::string line; std::getline(in, line);) lines.push_back(parse_line(line));
    return lines;
  }
};

// The factory's chain 0 offset is 1.25 dB: a level L dBm is L + 1.25 dBFS,
// counted in bin round(-(L + 1.25)) and shown as that bin's level, which the
// CSV prints with no decimals: -90 dBm is shown as -90, -40 dBm as -40.
TEST_F(SpectralScanTest, FixedPlanHistogramsFollowTheLevelsOnEachChannel) {
  detector().set_noise_floor(-90.0);
  detector().set_power_dbm(902900000, -40.0, 0.25);  // 125 kHz channel 3, inside 500 kHz channel 64
  detector().set_power_dbm(914200000, -30.0);        // 500 kHz channel 71 only
  uint32_t status = 7;
  EXPECT_EQ(runSpectralScan(&status, 1, 0), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(readSpectralScanProgress(), 100);
  EXPECT_FALSE(crx_reg_isSpiInitialized()) << "the scan closes the layer it opened";
  EXPECT_TRUE(logged("BrvDBG-HAL: seems like spi has not been initialized, initializing now"));
  EXPECT_TRUE(logged("BrvDBG-HAL: Closing SPI"));
  EXPECT_TRUE(logged("scanning 500k channel 71"));

  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 72u);
  EXPECT_EQ(lines[0].freq_hz, 902300000u);
  EXPECT_EQ(lines[63].freq_hz, 914900000u);
  EXPECT_EQ(lines[64].freq_hz, 903000000u);
  EXPECT_EQ(lines[71].freq_hz, 914200000u);
  // From the lowest level (bin 100) to the highest (bin 0).
  EXPECT_EQ(lines[0].text.rfind("902300000,-101,0,-100,0,", 0), 0u);
  EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - 5), ",-1,0");
  for (const auto& line : lines) {
    EXPECT_LE(line.text.size() + 1, 1500u);
    EXPECT_EQ(line.counts.size(), 101u) << line.freq_hz;
    EXPECT_EQ(line.total, PowerDetector::kSamples) << line.freq_hz;
  }

  for (size_t i : {0, 2, 4, 63, 65}) EXPECT_EQ(lines[i].at(-90), 4096) << lines[i].freq_hz;
  for (size_t i : {3, 64}) {
    EXPECT_EQ(lines[i].at(-40), 1024) << lines[i].freq_hz;
    EXPECT_EQ(lines[i].at(-90), 3072) << lines[i].freq_hz;
  }
  EXPECT_EQ(lines[71].at(-30), 4096);

  // Every channel was measured where its line says, at the resolution of
  // the offset word, with the bandwidth of its group.
  const auto taken = detector().measurements();
  ASSERT_EQ(taken.size(), 72u);
  for (size_t i = 0; i < taken.size(); ++i) {
    EXPECT_NEAR(taken[i].freq_hz, double(lines[i].freq_hz), PowerDetector::kOffsetStepHz / 2) << i;
    EXPECT_EQ(taken[i].wide, i >= 64) << i;
    EXPECT_EQ(taken[i].chain, 0);
  }
}

TEST_F(SpectralScanTest, SilenceCountsInTheLowestBinAndCannedOffsetsWithoutRxTable) {
  board(sim::CxDatabase(6).board("Q7000101").drop_table("Rx"));
  // A board whose chain 1 gain is the figure the library assumes.
  detector().set_dbfs_to_dbm_offset(1, 37.0);
  detector().set_power_dbm(910200000, -60.0);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 1, 2, 910000, 200, 0, 0, 0), 0);
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text.rfind("910000000,-137,4096,-136,0,", 0), 0u);
  EXPECT_EQ(lines[0].text.substr(lines[0].text.size() - 6), ",-37,0");
  EXPECT_EQ(lines[1].at(-60), 4096);
  EXPECT_EQ(lines[1].at(-137), 0);
  EXPECT_TRUE(logged("supplying canned data"));
}

TEST_F(SpectralScanTest, MeasurementProgramsChainBandwidthDwellAndLoOffset) {
  board(sim::CxDatabase(6).board("Q7000101").set("Rx", "DBFS_TO_DBM_GAIN_RX1", 3.0));
  detector().set_dbfs_to_dbm_offset(1, 3.0);  // chain 0 keeps 1.25 dB
  detector().set_power_dbm(914200000, -70.0);  // inside the 500 kHz channel
  detector().set_power_dbm(914300000, -20.0);  // just outside it
  uint32_t status = 0;
  // One 500 kHz channel 1 MHz below the 915 MHz LO, on chain 1.
  EXPECT_EQ(runSpectralScanFlexible(&status, 3, 1, 0, 0, 0, 1, 914000, 0), 0);
  const auto taken = detector().measurements();
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].chain, 1);
  EXPECT_TRUE(taken[0].wide);
  EXPECT_EQ(taken[0].dwell, 3);
  EXPECT_EQ(taken[0].offset_word, 256);  // 1 MHz / 3906.25 Hz
  EXPECT_EQ(taken[0].freq_hz, 914000000.0);
  // (3 + 1) / 2 × 4096 + 1000 µs between start and read-out.
  const auto sleeps = sandbox().sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), int64_t{9192000}), sleeps.end());
  // Read through chain 1's gain and shown with chain 1's offset.
  const auto line = csv_lines().at(0);
  EXPECT_EQ(line.at(-70), 4096) << line.text;

  // The longest dwell asks for more than the wait's 32 bits of µs: the
  // longest wait they hold, not a wrapped short one.
  sandbox().set_fast_clock(true);
  sandbox().clear_sleeps();
  EXPECT_EQ(runSpectralScanFlexible(&status, UINT32_MAX, 1, 0, 0, 0, 1, 914000, 0), 0);
  const auto long_sleeps = sandbox().sleeps();
  EXPECT_NE(std::find(long_sleeps.begin(), long_sleeps.end(), int64_t{UINT32_MAX} * 1000), long_sleeps.end());
}

// Counts straight from the caller: a plan no memory can hold fails the scan
// like any other failure instead of ending the process.
TEST_F(SpectralScanTest, PlanTooLargeForMemoryFailsTheScan) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators abort on a request this size";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizers' allocators abort on a request this size";
#endif
#endif
  if (std::ifstream("/proc/sys/vm/overcommit_memory").get() == '1') GTEST_SKIP() << "memory is never refused here";
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, UINT32_MAX, 915000, 0, UINT32_MAX, 915000, 0), 1);
  EXPECT_EQ(status, 1u);
  EXPECT_TRUE(logged("no memory for 8589934590 histograms"));
  EXPECT_EQ(readSpectralScanProgress(), 100);
  EXPECT_FALSE(crx_reg_isSpiInitialized());
  EXPECT_TRUE(detector().measurements().empty());
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
}

// The offset word holds 13 bits: a channel a full 16 MHz below the LO must
// not wrap around to 16 MHz above it.
TEST_F(SpectralScanTest, ChannelsSixteenMegahertzFromTheLoAreMeasuredOnTheirOwnSide) {
  detector().set_power_dbm(899000000, -50.0);
  detector().set_power_dbm(931000000, -45.0);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, 2, 899000, 32000, 0, 0, 0), 0);
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].freq_hz, 899000000u);
  EXPECT_EQ(lines[0].at(-50), 4096) << lines[0].text;
  EXPECT_EQ(lines[1].at(-45), 4096) << lines[1].text;
  const auto taken = detector().measurements();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].offset_word, 4095);
  EXPECT_NEAR(taken[0].freq_hz, 899000000.0, PowerDetector::kOffsetStepHz);
  EXPECT_EQ(taken[1].offset_word, -4096);
  EXPECT_EQ(taken[1].freq_hz, 931000000.0);
}

TEST_F(SpectralScanTest, ChannelTooFarFromTheLoFailsWithoutAFile) {
  detector().set_noise_floor(-60.0);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, 2, 868100, 200, 0, 0, 0), 1);
  EXPECT_EQ(status, 1u);
  EXPECT_TRUE(logged("ERROR: Desired frequency (868100000) too far from LO (915000000). Max offset: 16000000, "
                     "calculated offset 46900000"));
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
  EXPECT_TRUE(detector().measurements().empty()) << "nothing is started";
  EXPECT_EQ(readSpectralScanProgress(), 100);
  EXPECT_FALSE(crx_reg_isSpiInitialized());
}

TEST_F(SpectralScanTest, FailedReadEndsTheScanAndLeavesAnOpenLayerOpen) {
  ASSERT_EQ(crx_reg_setup(0), 0);
  detector().set_noise_floor(-60.0);
  fpga_port_->fail_next(1);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScan(&status, 0, 0), 1);
  EXPECT_EQ(status, 1u);
  EXPECT_TRUE(logged("startSpectralScanMeasurement failed with code"));
  EXPECT_TRUE(logged("BrvDBG-HAL: seems like spi was already initialized"));
  EXPECT_TRUE(crx_reg_isSpiInitialized());
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
}

TEST_F(SpectralScanTest, RequestsWhileAScanRunsAndWithoutStatusAreRefused) {
  progress = 40;
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScan(&status, 0, 0), 2);
  EXPECT_EQ(status, 2u);
  EXPECT_TRUE(logged("got request to start, but we already have a scan running"));
  EXPECT_FALSE(crx_reg_isSpiInitialized());
  EXPECT_TRUE(detector().measurements().empty());
  progress = 100;
  EXPECT_EQ(runSpectralScan(nullptr, 0, 0), 1);
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
}

// A scan of another thread still in its first channel (progress 0) holds
// the process's scan claim: a second request is refused without touching
// the hardware, and goes through once that scan has ended.
TEST_F(SpectralScanTest, ARequestDuringAnotherScansFirstChannelIsRefused) {
  ASSERT_TRUE(crx::scan_claim());
  ASSERT_EQ(progress, 0);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, 1, 902300, 200, 0, 0, 0), 2);
  EXPECT_EQ(status, 2u);
  EXPECT_TRUE(detector().measurements().empty());
  crx::scan_release();
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, 1, 902300, 200, 0, 0, 0), 0);
  EXPECT_EQ(detector().measurements().size(), 1u);
}

// Leaves a large stretch of the stack holding a plausible LO of some
// 12 690 MHz, where the next call's locals will lie.
[[gnu::noinline]] void dirty_stack() {
  volatile unsigned char junk[16384];
  for (auto& c : junk) c = 0x46;
}

// A version 3 database has no LO column: its record must not lend the LO
// whatever the stack held.
TEST_F(SpectralScanTest, ReceiveLoFallsBackToTheConfiguredFrequency) {
  board(sim::CxDatabase(3).board("Q7000101"));
  sandbox().write_file("/etc/default/config.json", sandbox_file(CRX_TEST_DATA "/config/condor_na.json"));
  dirty_stack();
  const uint32_t lo = readRxLoFreq();
  EXPECT_TRUE(logged("INFO: Couldn't read RX LO from DB, read config.json"));
  EXPECT_EQ(lo, 908600000u) << "read from config.json when nothing is applied";
}

}  // namespace
}  // namespace crx::test

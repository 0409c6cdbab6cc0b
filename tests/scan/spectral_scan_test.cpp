// The spectral scan on a simulated Condor NA: the detector samples the FPGA
// returns, the registers a measurement programs, the CSV file it leaves.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crx.h"
#include "tests/conf/board_fixture.h"

namespace crx::test {
namespace {

constexpr uint8_t kFpga = 8;
constexpr uint8_t kNoPage = 0xFF;
// FPGA byte addresses the detector uses.
constexpr uint16_t kChainSelect = 263;
constexpr uint16_t kFreqOffset = 512;
constexpr uint16_t kBandwidth = 1120;
constexpr uint16_t kDwell = 1123;
constexpr uint16_t kSample = 1126;

std::string sandbox_file(const char* host_path) {
  std::ifstream in(host_path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SpectralScanTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    board(sim::CxDatabase(6).board("Q7000101"));
  }
  void board(const sim::CxDatabase& db) { fpga_board(db); }

  // Every read of the detector returns this sample.
  void sample(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    fpga_port_->poke(kFpga, kNoPage, kSample, b);
  }
  uint32_t fpga(uint16_t address, size_t length = 1) {
    const auto b = fpga_port_->peek(kFpga, kNoPage, address, length);
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i) v |= uint32_t(b[i]) << (8 * i);
    return v;
  }
  std::vector<std::string> csv_lines() {
    std::vector<std::string> lines;
    std::istringstream in(sandbox().read_file("/tmp/spectralScan.csv"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

TEST_F(SpectralScanTest, FixedPlanWritesOneLinePerChannelFromLowestToHighestLevel) {
  sample(0x80000000u);  // 3 dB below full scale
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
  EXPECT_EQ(lines[0].rfind("902300000,", 0), 0u);
  EXPECT_EQ(lines[63].rfind("914900000,", 0), 0u);
  EXPECT_EQ(lines[64].rfind("903000000,", 0), 0u);
  EXPECT_EQ(lines[71].rfind("914200000,", 0), 0u);
  // Chain 0's database offset is 1.25 dB: levels -101 ... -1, every sample
  // in bin 3 (level -4).
  EXPECT_EQ(lines[0].find(",-101,0,-100,0,"), 9u);
  EXPECT_NE(lines[0].find(",-4,4096,"), std::string::npos);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 5), ",-1,0");
  for (const auto& line : lines) EXPECT_LE(line.size() + 1, 1500u);
}

TEST_F(SpectralScanTest, SilenceCountsInTheLowestBinAndCannedOffsetsWithoutRxTable) {
  board(sim::CxDatabase(6).board("Q7000101").drop_table("Rx"));
  sample(0);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 1, 1, 910000, 200, 0, 0, 0), 0);
  const auto lines = csv_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("910000000,-137,4096,-136,0,", 0), 0u);
  EXPECT_EQ(lines[0].substr(lines[0].size() - 6), ",-37,0");
  EXPECT_TRUE(logged("supplying canned data"));
}

TEST_F(SpectralScanTest, MeasurementProgramsChainBandwidthDwellAndLoOffset) {
  sample(1);
  uint32_t status = 0;
  // One 500 kHz channel 1 MHz below the 915 MHz LO, on chain 1.
  EXPECT_EQ(runSpectralScanFlexible(&status, 3, 1, 0, 0, 0, 1, 914000, 0), 0);
  EXPECT_EQ(fpga(kChainSelect) & 1u, 1u);
  EXPECT_EQ(fpga(kBandwidth) & 1u, 1u);
  EXPECT_EQ(fpga(kDwell, 2) & 0xFFFu, 3u);
  EXPECT_EQ(fpga(kFreqOffset, 2) & 0x1FFFu, 256u);  // 1 MHz / 3906.25 Hz
  // (3 + 1) / 2 × 4096 + 1000 µs between start and read-out.
  const auto sleeps = sandbox().sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), int64_t{9192000}), sleeps.end());
  // A sample of 1 is 96.3 dB below full scale; chain 1's offset is 2.5 dB.
  EXPECT_NE(csv_lines().at(0).find(",-98,4096,"), std::string::npos);
}

TEST_F(SpectralScanTest, ChannelTooFarFromTheLoFailsWithoutAFile) {
  sample(1);
  uint32_t status = 0;
  EXPECT_EQ(runSpectralScanFlexible(&status, 0, 0, 2, 868100, 200, 0, 0, 0), 1);
  EXPECT_EQ(status, 1u);
  EXPECT_TRUE(logged("ERROR: Desired frequency (868100000) too far from LO (915000000). Max offset: 16000000, "
                     "calculated offset 46900000"));
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
  EXPECT_EQ(readSpectralScanProgress(), 100);
  EXPECT_FALSE(crx_reg_isSpiInitialized());
}

TEST_F(SpectralScanTest, FailedReadEndsTheScanAndLeavesAnOpenLayerOpen) {
  ASSERT_EQ(crx_reg_setup(0), 0);
  sample(1);
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
  progress = 100;
  EXPECT_EQ(runSpectralScan(nullptr, 0, 0), 1);
  EXPECT_FALSE(sandbox().exists("/tmp/spectralScan.csv"));
}

TEST_F(SpectralScanTest, ReceiveLoFallsBackToTheConfiguredFrequency) {
  board(sim::CxDatabase(3).board("Q7000101").set("Configuration", "Rx_LO_MHz", 0.0));
  sandbox().write_file("/etc/default/config.json", sandbox_file(CRX_TEST_DATA "/config/condor_na.json"));
  const uint32_t lo = readRxLoFreq();
  EXPECT_TRUE(logged("INFO: Couldn't read RX LO from DB, read config.json"));
  EXPECT_EQ(lo, 908600000u) << "read from config.json when nothing is applied";

}

}  // namespace
}  // namespace crx::test

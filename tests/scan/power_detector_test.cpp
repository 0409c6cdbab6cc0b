// The simulated power detector on its own, driven byte by byte as the FPGA
// port drives it: what a sample and the peak read as, when they are ready,
// and the read address.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "device/spi.h"
#include "sim/boards.h"
#include "sim/testing.h"

namespace crx::test {
namespace {

using sim::PowerDetector;

// The level a sample stands for, as the library reads it back.
double level_of(uint32_t sample, double offset_db) {
  return 10.0 * std::log10(double(sample) / 4294967296.0) - offset_db;
}

class PowerDetectorBlock : public ::testing::Test {
 protected:
  int64_t now_us = 0;
  uint64_t tuned_lo = 0;
  PowerDetector det{[this] { return now_us; }, [this] { return tuned_lo; }};

  void put(uint16_t address, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) det.write(uint16_t(address + i), uint8_t(value >> (8 * i)));
  }
  uint32_t get(uint16_t address) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(det.read(uint16_t(address + i))) << (8 * i);
    return v;
  }
  // A measurement of the 125 kHz channel `word` steps below the LO, one
  // sample per microsecond (dwell 1), started now.
  void start(int16_t word, int chain = 0) {
    det.write(PowerDetector::kChainSelect, uint8_t(chain));
    det.write(PowerDetector::kBandwidth, 0);
    put(PowerDetector::kDwell, 1, 2);
    put(PowerDetector::kFreqOffset, uint16_t(word), 2);
    det.write(PowerDetector::kStart, 1);
    det.write(PowerDetector::kStart, 0);
  }
  void rewind() {
    det.write(PowerDetector::kAddressReset, 1);
    det.write(PowerDetector::kAddressReset, 0);
  }
};

TEST_F(PowerDetectorBlock, SamplesReadBackAsTheirLevelNeverAbove) {
  for (int chain : {0, 1}) {
    const double offset = PowerDetector::kFactoryDbfsToDbm[size_t(chain)];
    for (double dbm : {-95.0, -80.0, -79.5, -61.3, -40.0, -3.0}) {
      const uint32_t v = det.sample_for(dbm, chain);
      EXPECT_LE(level_of(v, offset), dbm) << dbm;
      EXPECT_GT(level_of(v + 1, offset), dbm) << "the largest sample at or below " << dbm;
    }
  }
  EXPECT_EQ(det.sample_for(0.0, 0), UINT32_MAX) << "at full scale and above";
  EXPECT_EQ(det.sample_for(-200.0, 0), 0u) << "below the smallest count";
  EXPECT_EQ(det.sample_for(PowerDetector::kSilence, 1), 0u);
}

TEST_F(PowerDetectorBlock, SamplesAreReadyOneByOneAndTheAddressRewinds) {
  det.set_power_dbm(915000000, -50.0);
  start(0);
  const uint32_t level = det.sample_for(-50.0, 0);
  now_us = 100;  // samples 0 to 99 are ready
  rewind();
  for (int n = 0; n < 100; ++n) ASSERT_EQ(get(PowerDetector::kSample), level) << n;
  EXPECT_EQ(get(PowerDetector::kSample), 0u) << "not measured yet";

  now_us = 1000000;
  rewind();
  int read = 0;
  for (; read < PowerDetector::kSamples; ++read) ASSERT_EQ(get(PowerDetector::kSample), level) << read;
  EXPECT_EQ(get(PowerDetector::kSample), 0u) << "past the last sample";
  rewind();
  EXPECT_EQ(get(PowerDetector::kSample), level);

  // A new measurement leaves the read address where it was.
  start(1000);
  now_us += 1000000;
  EXPECT_EQ(get(PowerDetector::kSample), 0u) << "a channel 3.9 MHz away, nothing there";
}

TEST_F(PowerDetectorBlock, PeakHoldsTheLargestReadySampleUntilOverwritten) {
  det.set_noise_floor(-90.0);
  det.set_power_dbm(915000000, -30.0, 0.5);  // every second sample
  start(0);
  EXPECT_EQ(get(PowerDetector::kPeakHold), 0u) << "nothing measured yet";
  now_us = 1;
  EXPECT_EQ(get(PowerDetector::kPeakHold), det.sample_for(-90.0, 0));
  now_us = 2;
  const uint32_t loud = get(PowerDetector::kPeakHold);
  EXPECT_NEAR(level_of(loud, 1.25), -30.0, 0.001);
  put(PowerDetector::kPeakHold, 0, 4);
  EXPECT_EQ(get(PowerDetector::kPeakHold), 0u) << "cleared, no new sample yet";
  now_us = 4;
  EXPECT_EQ(get(PowerDetector::kPeakHold), loud);
  start(0);
  EXPECT_EQ(get(PowerDetector::kPeakHold), 0u) << "a start clears it";
}

TEST_F(PowerDetectorBlock, MeasuredChannelFollowsTheLoOffsetAndBandwidth) {
  det.set_rx_lo_hz(868000000);
  start(-256);  // 1 MHz above the LO
  tuned_lo = 915000000;
  start(256);  // 1 MHz below the tuned LO
  det.write(PowerDetector::kBandwidth, 1);
  put(PowerDetector::kFreqOffset, 0x1FFF, 2);  // -1 in 13 bits
  det.write(PowerDetector::kStart, 1);
  det.write(PowerDetector::kStart, 1);
  const auto taken = det.measurements();
  ASSERT_EQ(taken.size(), 3u) << "the start bit must be cleared before it starts again";
  EXPECT_EQ(taken[0].freq_hz, 869000000.0);
  EXPECT_EQ(taken[1].freq_hz, 914000000.0);
  EXPECT_TRUE(taken[2].wide);
  EXPECT_EQ(taken[2].freq_hz, 915003906.25);
}

// On a board the detector is part of the FPGA: its registers answer through
// the port, and a soft reset restores their power-up values.
class PowerDetectorOnBoard : public sim::SandboxTest {};

TEST_F(PowerDetectorOnBoard, AnswersThroughThePortAndResetsWithTheFpga) {
  auto port = sim::install_fpga_board(sandbox());
  auto& det = port->power_detector();
  det.set_noise_floor(-60.0);
  int fd = -1;
  ASSERT_EQ(spi_linuxdev_open("/dev/spifpga32766.1", -1, &fd), 0);
  auto put = [&](uint16_t address, std::vector<uint8_t> bytes) {
    ASSERT_EQ(spi_linuxdev_write(8, -1, fd, address, bytes.data(), uint16_t(bytes.size()), nullptr), 0);
  };
  auto get = [&](uint16_t address, size_t length) {
    std::vector<uint8_t> bytes(length);
    EXPECT_EQ(spi_linuxdev_read(8, -1, fd, address, bytes.data(), uint16_t(length), nullptr), 0);
    uint32_t v = 0;
    for (size_t i = 0; i < length; ++i) v |= uint32_t(bytes[i]) << (8 * i);
    return v;
  };
  put(PowerDetector::kFreqOffset, {0, 1});  // 256 steps: 1 MHz below the 915 MHz LO
  put(PowerDetector::kStart, {1});
  put(PowerDetector::kStart, {0});
  ASSERT_EQ(det.measurements().size(), 1u);
  EXPECT_EQ(det.measurements()[0].freq_hz, 914000000.0);

  port->advance(10000);
  EXPECT_EQ(get(PowerDetector::kSample, 4), det.sample_for(-60.0, 0));

  put(0, {0x80});  // soft reset
  EXPECT_EQ(get(PowerDetector::kFreqOffset, 2), 384u);
  EXPECT_EQ(get(PowerDetector::kDwell, 2), 2u);
  EXPECT_EQ(get(PowerDetector::kSample, 4), 0u) << "the result memory is gone";
  spi_linuxdev_close(fd);
}

}  // namespace
}  // namespace crx::test

// Listen-before-talk measured by the FPGA's power detector: the verdict for
// levels at, above and below the governing entry's threshold, on each
// receive chain with its own calibration, over the packet's bandwidth.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "sim/cxdb.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

using sim::PowerDetector;

constexpr uint32_t kFreq = 923300000;
constexpr int kBusy = 62;

class LbtMeasurement : public RadioBoardTest {
 protected:
  void SetUp() override {
    RadioBoardTest::SetUp();
    sandbox().set_fast_clock(true);
    // Whole-dB calibrations, distinct per chain, in the database and on the
    // board alike.
    sim::cx_put_file(sandbox(), sim::CxDatabase(6)
                                    .set("Rx", "DBFS_TO_DBM_GAIN_RX0", 3.0)
                                    .set("Rx", "DBFS_TO_DBM_GAIN_RX1", 6.0)
                                    .image());
    detector().set_dbfs_to_dbm_offset(0, 3.0);
    detector().set_dbfs_to_dbm_offset(1, 6.0);
    brd_cfg_priv.lbt = {};
    brd_cfg_priv.lbt.enabled = 1;
    brd_cfg_priv.lbt.count = 2;
    brd_cfg_priv.lbt.entries[0] = {14, 915000000, 928000000, 4000, 3000, -90};
    brd_cfg_priv.lbt.entries[1] = {27, 915000000, 928000000, 4000, 5000, -80};
  }
  PowerDetector& detector() { return port_->power_detector(); }

  static crx_tx_pkt_t packet(uint8_t rf_chain = 0, uint8_t bandwidth = BW_125KHZ, float power = 20.0f) {
    crx_tx_pkt_t p;
    crx_init_tx_pkt(&p);
    p.freq_hz = kFreq;
    p.rf_chain = rf_chain;
    p.rf_power = power;
    p.modulation = MOD_LORA;
    p.bandwidth = bandwidth;
    p.datarate = DR_LORA_SF7;
    p.coderate = CR_LORA_4_5;
    p.preamble = 8;
    p.size = 12;
    return p;
  }
  int send(crx_tx_pkt_t p) {
    crx_errno = 0;
    const int rc = crx_send(0, &p);
    EXPECT_EQ(crx_errno, 0);
    return rc;
  }
};

TEST_F(LbtMeasurement, VerdictAtAboveAndBelowTheThresholdOnEachChain) {
  struct Case {
    double level;
    int result;
  };
  // The level is truncated towards zero: up to a dB below the threshold
  // still counts as at it.
  const Case cases[] = {{-80.0, kBusy}, {-79.5, kBusy}, {-60.0, kBusy}, {-80.6, kBusy},
                        {-81.0, 0},     {-95.0, 0},     {PowerDetector::kSilence, 0}};
  for (uint8_t chain : {0, 1}) {
    for (const Case& c : cases) {
      detector().set_power_dbm(kFreq, c.level);
      EXPECT_EQ(send(packet(chain)), c.result) << "chain " << int(chain) << " at " << c.level << " dBm";
      const auto taken = detector().measurements();
      ASSERT_FALSE(taken.empty());
      EXPECT_EQ(taken.back().chain, chain);
    }
  }
  EXPECT_EQ(detector().measurements().size(), 2 * std::size(cases));
}

TEST_F(LbtMeasurement, TheMeasuredBandwidthFollowsThePacket) {
  detector().set_noise_floor(-100.0);
  detector().set_power_dbm(kFreq + 200000, -60.0);  // outside 125 kHz, inside 500 kHz
  EXPECT_EQ(send(packet(0, BW_125KHZ)), 0);
  EXPECT_EQ(send(packet(0, BW_500KHZ)), kBusy);
  EXPECT_EQ(send(packet(0, BW_250KHZ)), kBusy) << "250 kHz packets are measured over 500 kHz";
  const auto taken = detector().measurements();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_FALSE(taken[0].wide);
  EXPECT_TRUE(taken[1].wide);
  EXPECT_TRUE(taken[2].wide);
  for (const auto& m : taken) EXPECT_NEAR(m.freq_hz, double(kFreq), PowerDetector::kOffsetStepHz / 2);
}

TEST_F(LbtMeasurement, TheGoverningEntryGivesThresholdAndListenTime) {
  detector().set_power_dbm(kFreq, -85.0);
  sandbox().clear_sleeps();
  EXPECT_EQ(send(packet(0, BW_125KHZ, 20.0f)), 0) << "the 27 dBm entry listens for -80 dBm";
  EXPECT_EQ(send(packet(0, BW_125KHZ, 10.0f)), kBusy) << "the 14 dBm entry listens for -90 dBm";
  const auto taken = detector().measurements();
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].dwell, 5000 / 2048);
  EXPECT_EQ(taken[1].dwell, 3000 / 2048);
  const auto sleeps = sandbox().sleeps();
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), int64_t{5000000}), sleeps.end());
  EXPECT_NE(std::find(sleeps.begin(), sleeps.end(), int64_t{3000000}), sleeps.end());
}

// A signal that starts only once the listening is under way is still heard:
// the peak covers the whole listening time, not its first sample.
TEST_F(LbtMeasurement, AnIntermittentSignalIsHeardThroughThePeak) {
  detector().set_noise_floor(-100.0);
  detector().set_power_dbm(kFreq, -70.0, 0.01);  // one sample in a hundred
  EXPECT_EQ(send(packet()), kBusy);
}

}  // namespace
}  // namespace crx::test

// crx_send against the simulated chips' TX buffers and the FPGA.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/support/checks.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

using Trigger = sim::Transmission::Trigger;

class SendTest : public RadioBoardTest {
 protected:
  void SetUp() override {
    RadioBoardTest::SetUp();
    sandbox().set_fast_clock(true);
    crx_reset_txrx_packet_statistics();
    port_->clear_accesses();
  }
  static crx_tx_pkt_t packet() {
    crx_tx_pkt_t p;
    crx_init_tx_pkt(&p);
    p.freq_hz = 923300000;
    p.rf_power = 20.0f;
    p.modulation = MOD_LORA;
    p.bandwidth = BW_500KHZ;
    p.datarate = DR_LORA_SF10;
    p.coderate = CR_LORA_4_5;
    p.preamble = 8;
    p.invert_pol = true;
    p.size = 12;
    for (int i = 0; i < 12; ++i) p.payload[i] = uint8_t(0xA0 + i);
    return p;
  }
  // Chip accesses since the last clear.
  size_t chip_accesses() const {
    size_t n = 0;
    for (const auto& a : port_->accesses()) n += a.target < 8 ? 1 : 0;
    return n;
  }
  bool nothing_armed() const {
    for (const auto& t : port_->tx)
      if (t.last()) return false;
    return true;
  }
  uint32_t downlinks() const {
    uint32_t n = 0;
    crx_get_downlink_pakets(&n);
    return n;
  }
};

TEST_F(SendTest, ImmediateOnEachChainAndCarrier) {
  const std::pair<uint8_t, uint8_t> paths[] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
  for (const auto& [chain, carrier] : paths) {
    crx_tx_pkt_t p = packet();
    p.rf_chain = chain;
    p.carrier = carrier;
    ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
    const uint8_t chip = crx_tx_path2chip(chain, carrier);
    const auto t = port_->tx[chip].last();
    ASSERT_TRUE(t) << int(chip);
    EXPECT_EQ(t->trigger, Trigger::kImmediate);
    EXPECT_NEAR(t->frequency_hz(p.freq_hz), 923300000.0, 1.0);
    EXPECT_EQ(t->sf, 10);
    EXPECT_EQ(t->bandwidth_hz(), 500000u);
    EXPECT_TRUE(t->invert_iq);
    EXPECT_EQ(t->payload, std::vector<uint8_t>(p.payload, p.payload + 12));
  }
  EXPECT_EQ(downlinks(), 4u);
  // The FPGA: a 500 kHz bandwidth on both chains and an IF word per path.
  EXPECT_EQ(port_->peek(8, 0xFF, 1176, 1)[0] & 3, 0);
  for (uint16_t address : {59, 61, 1162, 1164}) {
    const auto w = port_->peek(8, 0xFF, address, 2);
    const int16_t word = int16_t(uint16_t(w[0] | w[1] << 8) << 1) >> 1;
    EXPECT_EQ(word, 2150) << address << ": (925.4 - 923.3) MHz at 1024 steps per MHz";
  }
}

TEST_F(SendTest, TimedTriggers) {
  crx_tx_pkt_t p = packet();
  p.tx_mode = TX_TIMESTAMPED;
  p.count_us = 5000000;
  ASSERT_EQ(crx_send(0, &p), 0);
  auto t = port_->tx[0].last();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->trigger, Trigger::kTimestamped);
  EXPECT_EQ(t->trigger_count, 5000000u - 1500 - 88);
  // The chip's status follows its counter: scheduled, emitting, free.
  port_->tx[0].set_airtime_us(20000);
  EXPECT_EQ(port_->tx[0].status(4000000), sim::TxBufferModel::kScheduled);
  EXPECT_EQ(port_->tx[0].status(t->trigger_count + 5), sim::TxBufferModel::kEmitting);
  EXPECT_EQ(port_->tx[0].status(t->trigger_count + 30000), sim::TxBufferModel::kFree);

  p.tx_mode = TX_ON_GPS;
  p.rf_chain = 1;
  ASSERT_EQ(crx_send(0, &p), 0);
  t = port_->tx[2].last();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->trigger, Trigger::kOnPps);
  EXPECT_EQ(t->trigger_count, 5000000u - 1500 + 88);
  EXPECT_EQ(t->start_delay_us, 1500 - 88);
  EXPECT_EQ(port_->tx[2].status(9000000), sim::TxBufferModel::kScheduled);
  port_->tx[2].pps(9000001);
  EXPECT_EQ(port_->tx[2].status(9000002), sim::TxBufferModel::kEmitting);
  EXPECT_EQ(downlinks(), 2u);
}

TEST_F(SendTest, TooLateWritesTheBufferButArmsNothing) {
  crx_tx_pkt_t p = packet();
  p.tx_mode = TX_TIMESTAMPED;
  p.count_us = 1500;  // the counter has just started: no lead left
  EXPECT_FAILS_WITH(crx_send(0, &p), ERR_TOO_LATE);
  EXPECT_TRUE(nothing_armed());
  EXPECT_GT(chip_accesses(), 0u);
  EXPECT_TRUE(sandbox().syslog_contains("it is already too late to send this packet("));
  EXPECT_EQ(downlinks(), 0u);
}

// The counter wraps every 2^32 us: a start past the wrap is ahead, not
// behind, and one just before "now" across the wrap is behind.
TEST_F(SendTest, TooLateTestAcrossTheCounterWrap) {
  port_->chip(0).set_counter_base(0xFFFFFFFFu - 500000u);  // 0.5 s before the wrap
  uint32_t now = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &now), 0);
  for (uint32_t ahead : {1000000u, 5000000u}) {
    crx_tx_pkt_t p = packet();
    p.tx_mode = TX_TIMESTAMPED;
    p.count_us = now + ahead;  // wraps past 0
    ASSERT_LT(p.count_us, now);
    ASSERT_EQ(crx_send(0, &p), 0) << ahead << "\n" << syslog_dump();
    const auto t = port_->tx[0].last();
    ASSERT_TRUE(t);
    EXPECT_EQ(t->trigger_count, p.count_us - 1500 - 88);
  }
  EXPECT_FALSE(sandbox().syslog_contains("too late"));

  // Once the counter has wrapped, a start just before the wrap is behind.
  port_->chip(0).set_counter_base(200000u - 0u);
  ASSERT_EQ(crx_get_instcnt(0, 0, &now), 0);
  crx_tx_pkt_t late = packet();
  late.tx_mode = TX_TIMESTAMPED;
  late.count_us = now - 300000u;
  EXPECT_FAILS_WITH(crx_send(0, &late), ERR_TOO_LATE);
  EXPECT_TRUE(sandbox().syslog_contains("it is already too late to send this packet("));
  EXPECT_EQ(downlinks(), 2u);
}

TEST_F(SendTest, RefusalsArmNothing) {
  struct Case {
    const char* what;
    std::function<void(crx_tx_pkt_t&)> change;
    int code;
  };
  const std::vector<Case> cases = {
      {"below the band", [](auto& p) { p.freq_hz = 922999999; }, ERR_FREQ_OUT_OF_BAND},
      {"above the band", [](auto& p) { p.freq_hz = 928000001; }, ERR_FREQ_OUT_OF_BAND},
      {"no such chain", [](auto& p) { p.rf_chain = 2; }, ERR_BAD_RFCHAIN_NB},
      {"coding rate", [](auto& p) { p.coderate = 7; }, ERR_BAD_BITRATE},
      {"spreading factor", [](auto& p) { p.datarate = DR_LORA_MULTI; }, ERR_BAD_SF},
      {"bandwidth", [](auto& p) { p.bandwidth = BW_62K5HZ; }, ERR_BAD_BW},
      {"modulation", [](auto& p) { p.modulation = 0; }, ERR_BAD_MODULATION},
      {"FSK bit rate", [](auto& p) { p.modulation = MOD_FSK, p.datarate = 0; }, ERR_BAD_BITRATE},
      {"FSK too long", [](auto& p) { p.modulation = MOD_FSK, p.datarate = 50000, p.size = 255; }, ERR_UNSPECIFIED},
      {"mode", [](auto& p) { p.tx_mode = 3; }, ERR_BAD_TX_MODE},
  };
  for (const Case& c : cases) {
    crx_tx_pkt_t p = packet();
    c.change(p);
    EXPECT_FAILS_WITH(crx_send(0, &p), c.code);
    EXPECT_EQ(chip_accesses(), 0u) << c.what;
  }
  crx_tx_pkt_t p = packet();
  EXPECT_FAILS_WITH(crx_send(1, &p), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_send(0, nullptr), ERR_NULL_PTR);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL: crx_send E R R O R  p = NULL"));
  EXPECT_EQ(crx_get_fault_status(1), 0);
  brd_cfg_priv.running = false;
  EXPECT_FAILS_WITH(crx_send(0, &p), ERR_WRONG_STATE);
  EXPECT_EQ(crx_get_fault_status(1), 1) << "code 30 raised";
  EXPECT_TRUE(nothing_armed());
  EXPECT_EQ(downlinks(), 0u);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL: crx_send E R R O R  OUT of Band freq = 922999999"));
  EXPECT_TRUE(sandbox().syslog_contains("             Acceptable range is 923000000 to 928000000"));
  // The bounds themselves are in the band.
  brd_cfg_priv.running = true;
  for (uint32_t f : {923000000u, 928000000u}) {
    p.freq_hz = f;
    EXPECT_EQ(crx_send(0, &p), 0) << f;
  }
}

TEST_F(SendTest, SplitBandBoardsRefuseTheWrongChain) {
  board_type = CRX_BOARD_CALDER_CONDOR;
  region_limits.tx_min = 860000000;
  crx_tx_pkt_t p = packet();
  p.freq_hz = 868000000;
  p.rf_chain = 0;
  crx_errno = 1234;
  EXPECT_EQ(crx_send(0, &p), 61);
  EXPECT_EQ(crx_errno, 1234);
  EXPECT_TRUE(nothing_armed());
  p.freq_hz = 915000000;
  EXPECT_EQ(crx_send(0, &p), 0);
  p.freq_hz = 900000000;
  for (uint8_t chain : {0, 1}) {
    p.rf_chain = chain;
    EXPECT_EQ(crx_send(0, &p), 0) << "exactly at the split, chain " << int(chain);
  }
  board_type = CRX_BOARD_PLOVER;
  p.freq_hz = 925000000;
  p.rf_chain = 1;
  EXPECT_EQ(crx_send(0, &p), 61);
  p.freq_hz = 915000000;
  EXPECT_EQ(crx_send(0, &p), 0);
}

TEST_F(SendTest, TransmitIfAndBandwidthFollowBandAndRegionRecord) {
  // The FPGA's IF word of a path: 15 bits signed, 1024 steps per MHz.
  auto if_word = [&](uint16_t address) {
    const auto w = port_->peek(8, 0xFF, address, 2);
    return int16_t(uint16_t(w[0] | w[1] << 8) << 1) >> 1;
  };
  auto peek16 = [&](uint16_t address) {
    const auto w = port_->peek(8, 0xFF, address, 2);
    return w[0] | w[1] << 8;
  };
  region_limits.tx_min = 860000000;
  region_limits.tx_max = 930000000;
  struct Case {
    uint32_t band, freq_hz;
    int word;
  };
  const Case cases[] = {
      {FREQ_BAND_EU868, 867900000, -1536},        // 866.4 MHz centre
      {FREQ_BAND_US915, 923300000, 2150},         // 925.4
      {FREQ_BAND_US_FULL_ISM, 914000000, 1024},   // 915.0
      {FREQ_BAND_923_933, 923500000, -2048},      // 921.5
      {FREQ_BAND_UNDEFINED, 923500000, 0},        // not understood: IF 0, still sent
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "band " << c.band);
    brd_cfg_priv.freq_band = crx_freq_band_t(c.band);
    crx_tx_pkt_t p = packet();
    p.freq_hz = c.freq_hz;
    p.bandwidth = BW_125KHZ;
    ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
    EXPECT_EQ(if_word(59), c.word);
    EXPECT_EQ(port_->peek(8, 0xFF, 1176, 1)[0] & 3, 1) << "125 kHz";
  }
  EXPECT_EQ(peek16(1167), 2) << "the 923-933 MHz band selects its transmit path";
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL: crx_setup_if_reg E R R O R Frequency band 0 not understood"));

  // A bandwidth the FPGA has no filter for is logged and leaves the setting.
  crx_tx_pkt_t p = packet();
  p.bandwidth = BW_250KHZ;
  ASSERT_EQ(crx_send(0, &p), 0);
  EXPECT_EQ(port_->peek(8, 0xFF, 1176, 1)[0] & 3, 1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL: crx_setup_bandwidth_reg E R R O R Packet Bandwidth not supported. BW enum 2"));

  // A region record of version 4 names the transmit LO itself.
  rfRegionInfo.Version = 4;
  rfRegionInfo.Tx_LO_MHz = 925.0f;
  p = packet();
  p.freq_hz = 923500000;
  p.rf_chain = 1;
  ASSERT_EQ(crx_send(0, &p), 0);
  EXPECT_EQ(if_word(1162), 1536);

  // Below 900 MHz the Calder board mixes on the high side of its LO.
  board_type = CRX_BOARD_CALDER_CONDOR;
  rfRegionInfo.Tx_LO_MHz = 1066.5f;
  p.freq_hz = 867600000;
  ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
  EXPECT_EQ(if_word(1162), 1536) << "867.6 + 200.4 - 1066.5 MHz";
}

TEST_F(SendTest, ListenBeforeTalk) {
  brd_cfg_priv.lbt.enabled = 1;
  brd_cfg_priv.lbt.count = 1;
  brd_cfg_priv.lbt.entries[0] = {27, 923000000, 928000000, 400, 5000, -80};
  // Without a database the library reads the detector in dBFS: a board
  // whose gain is 0 dB shows it the levels as they are.
  auto& detector = port_->power_detector();
  detector.set_dbfs_to_dbm_offset(0, 0.0);
  detector.set_dbfs_to_dbm_offset(1, 0.0);
  detector.set_power_dbm(924000000, -30.0);  // another channel, never heard
  struct Case {
    double level;
    int result;
  };
  // Busy at the threshold and above.
  const Case cases[] = {{-80.0, 62}, {-79.0, 62}, {-50.0, 62}, {-81.0, 0}, {sim::PowerDetector::kSilence, 0}};
  for (const Case& c : cases) {
    detector.set_power_dbm(923300000, c.level);
    crx_tx_pkt_t p = packet();
    crx_errno = 0;
    EXPECT_EQ(crx_send(0, &p), c.result) << c.level;
    EXPECT_EQ(crx_errno, 0);
  }
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL: crx_send reading dbfs2dbmOffsets"));
  const auto taken = detector.measurements();
  ASSERT_EQ(taken.size(), 5u);
  EXPECT_NEAR(taken[0].freq_hz, 923300000.0, sim::PowerDetector::kOffsetStepHz / 2);
  EXPECT_TRUE(taken[0].wide);
  EXPECT_EQ(taken[0].dwell, 2);  // 5000 µs / 2048
  EXPECT_EQ(downlinks(), 2u) << "only the free channel's packets go";

  detector.clear_measurements();
  crx_tx_pkt_t slow = packet();
  slow.datarate = DR_LORA_SF12;
  slow.bandwidth = BW_125KHZ;
  slow.size = 200;
  EXPECT_EQ(crx_send(0, &slow), 63);
  crx_tx_pkt_t loud = packet();
  loud.rf_power = 30.0f;
  EXPECT_EQ(crx_send(0, &loud), 64);
  EXPECT_TRUE(detector.measurements().empty()) << "refused before listening";
  EXPECT_EQ(downlinks(), 2u);
}

TEST(TxPaths, ChipOfChainAndCarrier) {
  EXPECT_EQ(crx_tx_path2chip(0, 0), 0);
  EXPECT_EQ(crx_tx_path2chip(0, 1), 1);
  EXPECT_EQ(crx_tx_path2chip(1, 0), 2);
  EXPECT_EQ(crx_tx_path2chip(1, 1), 3);
  EXPECT_EQ(crx_tx_path2chip(1, 7), 2);
  EXPECT_EQ(crx_tx_path2chip(2, 0), 0);
}

}  // namespace
}  // namespace crx::test

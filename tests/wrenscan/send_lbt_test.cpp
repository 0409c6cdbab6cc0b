// Listen-before-talk measured for a send: the verdict against the entry's
// threshold, the side radio retuned to the packet's channel on both kinds
// of side radio, and a measurement that never completes.
#include <gtest/gtest.h>

#include "crx_hal/brd_cfg.h"
#include "tests/wrensend/send_fixture.h"

namespace {

using crx::sim::SideRadioTuning;

class WrenSendMeasure : public crx::test::WrenSendTest {
 protected:
  // One LBT entry over the board's band: 27 dBm, 400 ms of talk, 5 ms of
  // listening, busy from -80 dBm.
  void start_with_lbt(const char* pcba = crx::test::kTddPcba) {
    const bool outdoor = std::string(pcba) == crx::test::kOutdoorPcba;
    install(pcba);
    board().environment->set_noise_floor(-120);
    sandbox().write_file("/etc/default/tx_lut.json", crx::test::kFourGains);
    ASSERT_EQ(outdoor ? configure_eu() : configure_us(), 0) << syslog_dump();
    crx_lbt_cfg_t& lbt = crx::brd_cfg_priv.lbt;
    lbt = {};
    lbt.enabled = 1;
    lbt.count = 1;
    lbt.entries[0] = {27, outdoor ? 863000000u : 902000000u, outdoor ? 870000000u : 910000000u, 400, 5000, -80};
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  }

  SideRadioTuning last_lbt_tuning() {
    const auto m = board().gpio_fpga->measurements();
    return m.empty() || !m.back().lbt ? SideRadioTuning{} : m.back().tuning;
  }
};

TEST_F(WrenSendMeasure, ThresholdDecidesBetweenBusyAndSent) {
  start_with_lbt();
  struct Case {
    double level;
    int result;
  };
  for (const Case c : {Case{-80, 62}, Case{-79, 62}, Case{-81, 0}}) {
    SCOPED_TRACE(c.level);
    board().environment->clear_signals();
    board().environment->add_signal(903000000, c.level);
    const size_t before = sent().size();
    crx_tx_pkt_t p = lora(903000000);
    EXPECT_EQ(crx_send(0, &p), c.result) << syslog_dump();
    EXPECT_EQ(sent().size(), before + (c.result == 0 ? 1 : 0));
    EXPECT_EQ(board().gpio_fpga->measurements().back().length, 1000) << "5000 us in units of 5 us";
  }
  EXPECT_TRUE(has_line("BrvDBG-HAL, measured_rssi_value_dbm: -80, LBT threshold dbm -80"));
}

TEST_F(WrenSendMeasure, Sx127xIsRetunedToThePacketsChannel) {
  start_with_lbt();
  struct Case {
    uint32_t bw;
    uint32_t freq;
    uint32_t listen_hz;
  };
  for (const Case c : {Case{BW_125KHZ, 902500000, 62500}, Case{BW_500KHZ, 904600000, 250000},
                       Case{BW_250KHZ, 903300000, 125000}}) {
    SCOPED_TRACE(c.freq);
    crx_tx_pkt_t p = lora(c.freq, DR_LORA_SF9, c.bw);
    EXPECT_EQ(crx_send(0, &p), 0) << syslog_dump();
    const SideRadioTuning t = last_lbt_tuning();
    EXPECT_NEAR(double(t.freq_hz), double(c.freq), 62.0);
    EXPECT_EQ(t.bandwidth_hz, c.listen_hz);
  }
}

// The outdoor board listens with its SX126x: the scan's codes for 125 and
// 500 kHz packets (58.6 and 234.3 kHz), the nearest code otherwise.
TEST_F(WrenSendMeasure, Sx126xIsRetunedToThePacketsChannel) {
  start_with_lbt(crx::test::kOutdoorPcba);
  ASSERT_TRUE(board().sx126x);
  board().environment->add_signal(868300000, -70);
  struct Case {
    uint32_t bw;
    uint32_t freq;
    uint8_t code;
    uint32_t listen_hz;
  };
  for (const Case c : {Case{BW_125KHZ, 868100000, 12, 58600}, Case{BW_500KHZ, 868500000, 10, 234300},
                       Case{BW_250KHZ, 868300000, 0x0B, 117300}}) {
    SCOPED_TRACE(c.freq);
    crx_tx_pkt_t p = lora(c.freq, DR_LORA_SF9, c.bw);
    const int expected = c.freq == 868300000 ? 62 : 0;  // the carrier sits there
    EXPECT_EQ(crx_send(0, &p), expected) << syslog_dump();
    EXPECT_EQ(board().sx126x->rx_bandwidth_code(), c.code);
    const SideRadioTuning t = last_lbt_tuning();
    EXPECT_NEAR(double(t.freq_hz), double(c.freq), 1.0);
    EXPECT_EQ(t.bandwidth_hz, c.listen_hz);
  }
}

TEST_F(WrenSendMeasure, AMeasurementThatNeverCompletesFailsTheSend) {
  start_with_lbt();
  board().gpio_fpga->set_lbt_never_done(true);
  crx_tx_pkt_t p = lora(903000000);
  EXPECT_EQ(crx_send(0, &p), -1);
  EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(board().gpio_fpga->peek(0x08) & 1, 0);
  board().gpio_fpga->set_lbt_never_done(false);
  EXPECT_EQ(crx_send(0, &p), 0) << "the next send measures afresh";
}

}  // namespace

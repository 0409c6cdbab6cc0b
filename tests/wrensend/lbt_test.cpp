// Listen-before-talk through the Wren send: the entry that governs the
// packet, its talk time, the side radio it needs, and the verdicts of the
// measurement.
#include <gtest/gtest.h>

#include "send_fixture.h"
#include "wren/start.h"

namespace {

class WrenSendLbt : public crx::test::WrenSendTest {
 protected:
  // The board's band with one LBT entry, not started yet.
  void start_with_lbt(const char* pcba = crx::test::kTddPcba) {
    install(pcba);
    configure_with_lbt(pcba);
  }

  void expect_tuned_to_packets(const char* pcba, uint32_t f, double bw125, double bw500);

  // Sends `p` with the air at `level` dBm everywhere.
  int send_at(crx_tx_pkt_t p, double level) {
    board().environment->clear_signals();
    board().environment->set_noise_floor(level);
    return crx_send(0, &p);
  }
};

TEST_F(WrenSendLbt, NoEntryAndTooLongAreAnsweredWithoutAMeasurement) {
  start_with_lbt();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  const uint64_t gpio_before = board().gpio_fpga->message_total();
  crx_errno = 0;
  crx_tx_pkt_t p = lora(915000000);
  EXPECT_EQ(crx_send(0, &p), 64) << "outside every entry";
  crx_tx_pkt_t slow = lora(903000000, DR_LORA_SF12, BW_125KHZ, 40);
  ASSERT_GT(crx_time_on_air(&slow), 400u);
  EXPECT_EQ(crx_send(0, &slow), 63);
  EXPECT_TRUE(has_line("BrvDBG-HAL ostra_wren_send: Packet time on air " +
                       std::to_string(crx_time_on_air(&slow)) + " ms exceeds maximum allowed time on air of 400 ms"));
  EXPECT_EQ(crx_errno, 0) << "LBT results leave crx_errno alone";
  EXPECT_EQ(board().gpio_fpga->message_total(), gpio_before) << "no measurement started";
  int held = -1;
  sem_getvalue(crx::wren::scan_tx_sem(), &held);
  EXPECT_EQ(held, 1) << "a refused packet holds no scan off";
  EXPECT_TRUE(sent().empty());
}

TEST_F(WrenSendLbt, WithoutTheSideRadioLbtFails) {
  start_with_lbt();
  board().gpio_fpga->set_build(0x10);  // too old for LBT: no side radio
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  crx_tx_pkt_t p = lora(903000000);
  EXPECT_EQ(crx_send(0, &p), -1);
  EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
  EXPECT_TRUE(has_line("BrvDBG-HAL: ostra_wren_send ERROR: GPIO FPGA Version not compatible with Listen Before Talk"));
  EXPECT_TRUE(sent().empty());
  int held = -1;
  sem_getvalue(crx::wren::scan_tx_sem(), &held);
  EXPECT_EQ(held, 1) << "a refused packet holds no scan off";
}

TEST_F(WrenSendLbt, VerdictsAgainstTheThreshold) {
  start_with_lbt();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  const crx_tx_pkt_t p = lora(903000000);
  crx_errno = 0;
  EXPECT_EQ(send_at(p, -80), 62) << "equal to the threshold is busy";
  EXPECT_TRUE(has_line("BrvDBG-HAL, measured_rssi_value_dbm: -80, LBT threshold dbm -80"));
  EXPECT_EQ(send_at(p, -60), 62);
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(crx_errno, 0);
  EXPECT_EQ(send_at(p, -81), 0) << syslog_dump();
  EXPECT_EQ(sent().size(), 1u);
  // A carrier on another channel does not make this one busy.
  board().environment->add_signal(906000000, -40);
  EXPECT_EQ(crx_send(0, const_cast<crx_tx_pkt_t*>(&p)), 0);
  EXPECT_EQ(sent().size(), 2u);

  // Each measurement: the packet's frequency, 5000 us in 5 us steps.
  const auto m = board().gpio_fpga->measurements();
  ASSERT_EQ(m.size(), 4u);
  for (const auto& e : m) {
    EXPECT_TRUE(e.lbt);
    EXPECT_NEAR(e.tuning.freq_hz, 903000000u, 62);
    EXPECT_EQ(e.length, 1000);
  }
}

// The side radio retuned to the packet: the SX127x at the packet's index
// (14: 62.5 kHz, 20: 250 kHz); the SX126x at the scan's codes for 125 and
// 500 kHz (58.6 and 234.3 kHz).
void WrenSendLbt::expect_tuned_to_packets(const char* pcba, uint32_t f, double bw125, double bw500) {
  start_with_lbt(pcba);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_TRUE(crx::wren::side_radio_available()) << syslog_dump();
  for (uint32_t bw : {BW_125KHZ, BW_500KHZ}) {
    EXPECT_EQ(send_at(lora(f, DR_LORA_SF7, bw), -100), 0) << syslog_dump();
    const auto m = board().gpio_fpga->measurements().back();
    EXPECT_NEAR(m.tuning.freq_hz, f, 62) << "within the radio's frequency step";
    EXPECT_NEAR(m.tuning.bandwidth_hz, bw == BW_125KHZ ? bw125 : bw500, 200) << "bandwidth " << bw;
  }
}

TEST_F(WrenSendLbt, Sx127xTunedToThePacket) { expect_tuned_to_packets(crx::test::kTddPcba, 904100000, 62500, 250000); }

TEST_F(WrenSendLbt, Sx126xTunedToThePacket) {
  expect_tuned_to_packets(crx::test::kOutdoorPcba, 868300000, 58600, 234300);
  // A 250 kHz packet, measured by an SX127x at 125 kHz, gets the SX126x
  // code nearest to that: 117.3 kHz.
  board().environment->add_signal(868300000, -70);
  crx_tx_pkt_t p = lora(868300000, DR_LORA_SF9, BW_250KHZ);
  EXPECT_EQ(crx_send(0, &p), 62) << syslog_dump();
  EXPECT_EQ(board().sx126x->rx_bandwidth_code(), 0x0B);
  const auto m = board().gpio_fpga->measurements().back();
  EXPECT_TRUE(m.lbt);
  EXPECT_NEAR(double(m.tuning.freq_hz), 868300000.0, 1.0);
  EXPECT_EQ(m.tuning.bandwidth_hz, 117300u);
}

TEST_F(WrenSendLbt, MeasurementThatNeverEndsFailsTheSend) {
  start_with_lbt();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  board().gpio_fpga->set_lbt_never_done(true);
  crx_tx_pkt_t p = lora(903000000);
  EXPECT_EQ(crx_send(0, &p), -1);
  EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
  EXPECT_TRUE(sent().empty());
  // The engine answers again: the next packet goes.
  board().gpio_fpga->set_lbt_never_done(false);
  EXPECT_EQ(send_at(p, -100), 0) << syslog_dump();
}

}  // namespace

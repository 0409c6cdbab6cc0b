// Listen-before-talk through the Wren send: the entry that governs the
// packet, its talk time, the side radio it needs, and the verdicts of the
// measurement.
#include <gtest/gtest.h>

#include "send_fixture.h"

namespace {

class WrenSendLbt : public crx::test::WrenSendTest {
 protected:
  // The US plan with one LBT entry over 902-910 MHz: 27 dBm, 400 ms of
  // talk, 5 ms of listening, busy from -80 dBm.
  void start_with_lbt() {
    install();
    sandbox().write_file("/etc/default/tx_lut.json", crx::test::kFourGains);
    ASSERT_EQ(configure_us(), 0) << syslog_dump();
    crx_lbt_cfg_t& lbt = crx::brd_cfg_priv.lbt;
    lbt = {};
    lbt.enabled = 1;
    lbt.count = 1;
    lbt.entries[0] = {27, 902000000, 910000000, 400, 5000, -80};
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
}

}  // namespace

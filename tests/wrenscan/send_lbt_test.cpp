// Listen-before-talk on an SX126x board for packets whose bandwidth the
// scan's codes do not cover: the SX126x listens with the nearest code.
#include <gtest/gtest.h>

#include "crx_hal/brd_cfg.h"
#include "tests/wrensend/send_fixture.h"

namespace {

using crx::sim::SideRadioTuning;

class WrenSendMeasure : public crx::test::WrenSendTest {
 protected:
  // The board's band with one LBT entry, started in a quiet air.
  void start_with_lbt(const char* pcba = crx::test::kTddPcba) {
    install(pcba);
    board().environment->set_noise_floor(-120);
    configure_with_lbt(pcba);
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  }

  SideRadioTuning last_lbt_tuning() {
    const auto m = board().gpio_fpga->measurements();
    return m.empty() || !m.back().lbt ? SideRadioTuning{} : m.back().tuning;
  }
};

// 125 and 500 kHz packets listen with the scan's codes (the send's tests
// check those); a 250 kHz packet, measured by an SX127x at 125 kHz, gets
// the SX126x code nearest to that: 117.3 kHz.
TEST_F(WrenSendMeasure, Sx126xListensWithTheNearestCodeForOtherBandwidths) {
  start_with_lbt(crx::test::kOutdoorPcba);
  ASSERT_TRUE(board().sx126x);
  board().environment->add_signal(868300000, -70);
  crx_tx_pkt_t p = lora(868300000, DR_LORA_SF9, BW_250KHZ);
  EXPECT_EQ(crx_send(0, &p), 62) << syslog_dump();
  EXPECT_EQ(board().sx126x->rx_bandwidth_code(), 0x0B);
  const SideRadioTuning t = last_lbt_tuning();
  EXPECT_NEAR(double(t.freq_hz), 868300000.0, 1.0);
  EXPECT_EQ(t.bandwidth_hz, 117300u);
}

}  // namespace

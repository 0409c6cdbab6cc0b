// The Wren start with an SX126x side radio: a variant-1 board and the
// outdoor board set it up for FSK reception at radio A's centre; a radio
// that does not take its set-up leaves the board running without it.
#include <gtest/gtest.h>

#include "../wrenstart/wren_fixture.h"
#include "wren/start.h"

namespace {

class Sx126xStart : public crx::test::WrenStartTest {};

TEST_F(Sx126xStart, AVariantOneBoardListensOnRadioACentre) {
  install(crx::test::kTddPcba, 1, crx::sim::WrenSideRadio::kSx126x);
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(crx::wren::read_wren_variant(), 1);
  EXPECT_TRUE(crx::wren::side_radio_is_sx126x());
  EXPECT_TRUE(crx::wren::side_radio_available());
  auto& radio = *board().sx126x;
  EXPECT_EQ(radio.mode(), 5);
  EXPECT_EQ(radio.rx_timeout_word(), 0xFFFFFFu);
  EXPECT_EQ(radio.frequency_word(), uint32_t((uint64_t{ostra_wren_prv_cfg.radio[0].freq_hz} << 25) / 32000000));
  EXPECT_EQ(radio.rx_bandwidth_code(), 10);
  EXPECT_EQ(radio.bit_rate(), 1200u);
}

TEST_F(Sx126xStart, ARadioThatStaysBusyLeavesTheBoardWithoutSideRadio) {
  install(crx::test::kOutdoorPcba);
  board().sx126x->hold_busy_for_reads(1 << 30);
  ASSERT_EQ(configure_eu(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(status(), 2);
  EXPECT_FALSE(crx::wren::side_radio_available());
  EXPECT_TRUE(has_line("BrvDBG-HAL: ostra_wren_start WARNING: SX126x set-up failed, side radio unavailable."));
  EXPECT_EQ(board().sx126x->commands().size(), 0u);
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_FALSE(crx::wren::side_radio_available());
}

}  // namespace

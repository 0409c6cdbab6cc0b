// Chips whose multi-SF channels span more than 2.6 MHz: the 2x4 grouping
// of chips 6 and 7 and its refusals elsewhere.
#include <gtest/gtest.h>

#include "crx_hal/if_conv.h"
#include "start_fixture.h"

namespace {

class Grouping : public crx::test::StartTest {
 protected:
  // Condor NA (8 chips, receive LO 908.6 MHz) with only the chips below
  // enabled; each gets eight multi-SF channels.
  void SetUp() override {
    StartTest::SetUp();
    configure_records(crx::test::kCondorNa);
    crx_board_cfg_t b;
    crx_init_board_cfg(&b);
    b.freq_band = FREQ_BAND_US915;
    b.rx_freq = 908600000;
    b.full_start = true;
    ASSERT_EQ(crx_conf_board(0, &b), 0) << syslog_dump();
    rx_ = int32_t(priv().rx_freq);
  }
  void chip(int c, uint32_t centre, uint8_t chain, const uint32_t (&freqs)[8]) {
    crx_chip_cfg_t cc{true, centre, chain};
    ASSERT_EQ(crx_conf_chip(0, uint8_t(c), &cc), 0) << syslog_dump();
    for (int n = 0; n < 8; ++n) {
      crx_chan_cfg_t ch{true, freqs[n], DR_LORA_MULTI, BW_125KHZ};
      ASSERT_EQ(crx_conf_chan(0, uint8_t(c << 4 | n), &ch), 0) << c << "/" << n << syslog_dump();
    }
  }
  // Eight channels 200 kHz apart, the upper four shifted by `gap`.
  static void spread(uint32_t first, uint32_t gap, uint32_t (&out)[8]) {
    for (int n = 0; n < 8; ++n) out[n] = first + 200000u * n + (n > 3 ? gap : 0);
  }
  int32_t rx_ = 0;
};

TEST_F(Grouping, ChipsSixAndSevenSplitIntoTwoCentredGroups) {
  uint32_t f6[8], f7[8];
  spread(909500000, 1200000, f6);  // 909.5-910.1 and 911.5-912.1 MHz
  spread(905000000, 1400000, f7);  // 905.0-905.6 and 907.2-907.8 MHz
  chip(6, 910800000, 0, f6);
  chip(7, 906400000, 1, f7);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();

  EXPECT_EQ(board().grouping_bits(), 3);
  struct Case {
    int chip, chain, lower_slot, upper_slot;
    const uint32_t* f;
  } cases[] = {{6, 0, 6, 7, f6}, {7, 1, 7, 6, f7}};
  for (const auto& k : cases) {
    const int32_t lower = int32_t(k.f[3]) + 100000;  // highest of the lower group + 100 kHz
    const int32_t upper = int32_t(k.f[4]) - 100000;  // lowest of the upper group - 100 kHz
    EXPECT_EQ(board().if_word(k.chain, k.lower_slot), crx::IFreg(lower - rx_)) << k.chip;
    EXPECT_EQ(board().if_word(k.chain, k.upper_slot), crx::IFreg(upper - rx_)) << k.chip;
    for (int n = 0; n < 8; ++n) {
      const int32_t centre = n <= 3 ? lower : upper;
      EXPECT_EQ(board().channel_word(k.chip, n), crx::ChanReg(centre - int32_t(k.f[n]))) << k.chip << "/" << n;
    }
  }
}

TEST_F(Grouping, OnlyChipSixOnChainZeroAndChipSevenOnChainOne) {
  uint32_t f[8];
  spread(909500000, 1200000, f);
  chip(7, 910800000, 0, f);
  EXPECT_FAILS_WITH(crx_start(0), ERR_BAD_CHAN_GROUPING);
  EXPECT_TRUE(has_line("BrvDBG-HAL: E R R O R  chip 7 only supports 2x4 chan grouping on ant 1"));
  EXPECT_EQ(status(), 1);
  EXPECT_FALSE(crx::timers::dl_idle_exists()) << "a failed start leaves no timer behind";
  EXPECT_FALSE(crx::timers::housekeeping_exists());

  crx_chip_cfg_t off{false, 0, 0};
  ASSERT_EQ(crx_conf_chip(0, 7, &off), 0);
  chip(6, 910800000, 1, f);
  EXPECT_FAILS_WITH(crx_start(0), ERR_BAD_CHAN_GROUPING);
  EXPECT_TRUE(has_line("BrvDBG-HAL: E R R O R  chip 6 only supports 2x4 chan grouping on ant 0"));

  // Fixed: chip 6 back on chain 0, and the same process starts.
  chip(6, 910800000, 0, f);
  EXPECT_EQ(crx_start(0), 0) << syslog_dump();
}

TEST_F(Grouping, LowerChipsRefuseASpanAboveTwoPointSixMegahertz) {
  uint32_t f[8];
  spread(908000000, 1300000, f);  // 908.0 to 910.7 MHz: 2.7 MHz
  chip(2, 909350000, 0, f);
  EXPECT_FAILS_WITH(crx_start(0), ERR_BAD_CHAN_CONFIG);
  EXPECT_TRUE(has_line("BrvDBG-HAL: E R R O R  chip 0 - 5 only support standard 8 channel configuration (chip: 2)"));

  spread(908000000, 1199999, f);  // a span of 2599999 Hz still fits one IF
  chip(2, 909350000, 0, f);
  EXPECT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(board().grouping_bits(), 0);
}

// Channels never configured hold no frequency; they must not widen the
// span (a chip with five channels starts).
TEST_F(Grouping, UnconfiguredChannelsDoNotCountTowardTheSpan) {
  crx_chip_cfg_t cc{true, 908700000, 0};
  ASSERT_EQ(crx_conf_chip(0, 1, &cc), 0);
  for (uint8_t n = 0; n < 5; ++n) {
    crx_chan_cfg_t ch{true, 908000000u + 200000u * n, DR_LORA_MULTI, BW_125KHZ};
    ASSERT_EQ(crx_conf_chan(0, uint8_t(0x10 | n), &ch), 0);
  }
  EXPECT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(board().multisf_mask(1, 6), 0) << "a disabled channel's demodulator is off";
}

}  // namespace

// Whole starts and stops of each large-board family from its example
// configuration, read back from the simulated hardware.
#include <gtest/gtest.h>

#include "crx_hal/firmware.h"
#include "crx_hal/if_conv.h"
#include "start_fixture.h"

namespace {

using crx::test::Family;
using crx::test::StartTest;

class FamilyStart : public StartTest, public ::testing::WithParamInterface<Family> {};

// What every enabled chip must hold after start: its IF word on its chain's
// slot, a channel word per enabled channel that puts the channel back on
// its configured frequency, and the multi-SF masks.
TEST_P(FamilyStart, ProgramsEveryChipAndRunsUntilStopped) {
  const Family& f = GetParam();
  configure(f);
  EXPECT_EQ(status(), 1);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(status(), 2);

  const auto& p = priv();
  const int32_t rx = int32_t(p.rx_freq);
  uint8_t enabled = 0, mux = 0;
  for (int c = 0; c < f.chips; ++c) {
    if (p.chip_rf_chain[c] == 1) mux |= uint8_t(1u << (7 - c));
    if (!p.chip_enable[c]) continue;
    enabled |= uint8_t(1u << c);
    const int16_t r = crx::IFreg(int32_t(p.chip_freq[c]) - rx);
    EXPECT_EQ(board().if_word(p.chip_rf_chain[c], c), r) << "chip " << c;
    const int32_t centre = rx - crx::IFinv(r);
    for (int n = 0; n < 10; ++n) {
      if (!p.chan_enable[c][n]) continue;
      const int16_t w = board().channel_word(c, n);
      // The word is the offset from the centre in steps of 488.28125 Hz, negated.
      const double back = centre + w * 488.28125;
      EXPECT_NEAR(back, double(p.chan_freq[c][n]), 489.0) << "chip " << c << " channel " << n;
    }
    for (int n = 0; n < 8; ++n)
      EXPECT_EQ(board().multisf_mask(c, n), p.chan_enable[c][n] ? p.multisf_mask[c][n] : 0);
  }
  EXPECT_EQ(board().enabled_mask(), enabled);
  EXPECT_EQ(board().radio_mux(), mux);
  EXPECT_EQ(board().grouping_bits(), 0);
  EXPECT_TRUE(crx::timers::housekeeping_armed());
  EXPECT_TRUE(crx::timers::dl_idle_exists());
  EXPECT_FALSE(crx::timers::dl_idle_armed()) << "armed by the transmit path only";

  // Firmware: the AGC image in the first chips first, then per enabled chip
  // (AGC for the late ones) its arbiter, in chip order.
  const int first = (board_type >= 7 && board_type <= 11) || board_type == 14 ? f.chips : std::min(4, f.chips);
  std::vector<std::pair<int, int>> expected;
  for (int c = 0; c < first; ++c) expected.emplace_back(c, crx::firmware::kAgc);
  for (int c = 0; c < f.chips; ++c) {
    if (!p.chip_enable[c]) continue;
    if (c >= first) expected.emplace_back(c, crx::firmware::kAgc);
    expected.emplace_back(c, crx::firmware::kArbiter);
  }
  EXPECT_EQ(board().firmware_releases(), expected);
  for (int c = 0; c < f.chips; ++c) {
    if (!p.chip_enable[c]) continue;
    EXPECT_EQ(board().chip(c).firmware_version(crx::firmware::kAgc), 9) << c;
    EXPECT_EQ(board().chip(c).firmware_version(crx::firmware::kArbiter), 1) << c;
  }
  EXPECT_FALSE(sandbox().syslog_contains("E R R O R")) << syslog_dump();

  ASSERT_EQ(crx_stop(0), 0) << syslog_dump();
  EXPECT_EQ(status(), 1);
  EXPECT_FALSE(crx::timers::housekeeping_exists());
  EXPECT_FALSE(crx::timers::dl_idle_exists());
  EXPECT_FALSE(crx_reg_isSpiInitialized());
}

INSTANTIATE_TEST_SUITE_P(Families, FamilyStart,
                         ::testing::Values(crx::test::kCondorNa, crx::test::kCondorEu, crx::test::kHeron,
                                           crx::test::kPlover),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

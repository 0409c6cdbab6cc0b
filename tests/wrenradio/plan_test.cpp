// Channel planning on the Wren boards: which radio takes each channel and
// where each radio is tuned, from the chip's channel settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "sim/testing.h"

namespace {

using crx::brd_cfg_priv;

constexpr uint32_t kRxMin = 902000000;
constexpr uint32_t kRxMax = 928000000;

class Plan : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    ostra_wren_prv_cfg.rx_freq_min = kRxMin;
    ostra_wren_prv_cfg.rx_freq_max = kRxMax;
    brd_cfg_priv.std_bandwidth[0] = BW_125KHZ;
    brd_cfg_priv.fsk_bandwidth[0] = BW_125KHZ;
  }
  // Enables channel `chan` of chip 0 at `freq`.
  static void channel(int chan, uint32_t freq) {
    brd_cfg_priv.chan_enable[0][chan] = 1;
    brd_cfg_priv.chan_freq[0][chan] = freq;
  }
  static std::pair<uint32_t, uint32_t> centres() {
    return {ostra_wren_prv_cfg.radio[0].freq_hz, ostra_wren_prv_cfg.radio[1].freq_hz};
  }
  static std::array<uint8_t, 10> radio_bytes() {
    std::array<uint8_t, 10> out{};
    for (int i = 0; i < 10; ++i) out[i] = ostra_wren_prv_cfg.chan_radio[i];
    return out;
  }
  static bool in_band(uint32_t f) { return f >= kRxMin && f <= kRxMax; }
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
  bool logged_unsupported() { return sandbox().syslog_contains("Could not select sx125x frequency"); }
};

TEST_F(Plan, EightChannelUsPlanSplitsFourAndFourAndCentresOnSinglePrecisionMeans) {
  for (int i = 0; i < 8; ++i) channel(i, 902300000 + 200000 * i);
  EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
  EXPECT_EQ(radio_bytes(), (std::array<uint8_t, 10>{0, 0, 0, 0, 1, 1, 1, 1, 0, 0}));
  EXPECT_EQ(centres(), std::pair(902600000u, 903400000u));
  EXPECT_FALSE(logged_unsupported()) << syslog_dump();
  EXPECT_TRUE(logged("BrvDBG-HAL wren_assign_sx1301_channels_to_RF - SX125x 0 set to 902.60 MHz."));
  EXPECT_TRUE(logged("BrvDBG-HAL wren_assign_sx1301_channels_to_RF - SX125x 1 set to 903.40 MHz."));
}

TEST_F(Plan, MeansAreTakenInSinglePrecision) {
  // 868.3 MHz is not a float: the three-channel mean lands 32 Hz below it,
  // and the shift for the wide LoRa channel is measured from there.
  ostra_wren_prv_cfg.rx_freq_min = 863000000;
  ostra_wren_prv_cfg.rx_freq_max = 870000000;
  brd_cfg_priv.std_bandwidth[0] = BW_250KHZ;
  channel(0, 868100000);
  channel(1, 868300000);
  channel(2, 868500000);
  channel(8, 868800000);
  EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
  EXPECT_EQ(radio_bytes(), (std::array<uint8_t, 10>{}));
  // Mean 868299968 Hz; the LoRa channel's upper edge 868925000 Hz lies
  // 75032 Hz past the window, so the centre moves up by that much; the sum
  // is a float again, 24 Hz short, which leaves that edge just outside.
  EXPECT_EQ(centres().first, 868374976u);
  EXPECT_EQ(centres().second, 866500000u) << "nothing on radio 1: its default centre";
  EXPECT_TRUE(logged("E R R O R auto_determine_sx125x_freq - Channel 8: 868.80 MHz can not be supported, "
                     "425.02 kHz from 868.37 MHz LO"))
      << syslog_dump();
}

// Plans whose outcome follows from the channels alone: which radio takes
// each channel and where both radios are centred. Plans with no multi-SF
// channel on a radio, or nothing on it, used to give a 0/0 mean (a radio
// tuned to 0 Hz); they must give in-band centres.
TEST_F(Plan, RadiosAndCentresOfSimplePlans) {
  struct Case {
    const char* what;
    std::vector<std::pair<int, uint32_t>> channels;
    uint32_t std_bandwidth;
    std::array<uint8_t, 10> radios;
    std::pair<uint32_t, uint32_t> centres;
  };
  const uint32_t mid = (kRxMin + kRxMax) / 2;
  const Case cases[] = {
      {"one channel: radio 0 centred on it", {{3, 904000000}}, BW_125KHZ, {}, {904000000, mid}},
      {"3 MHz apart: a radio each", {{0, 906000000}, {1, 903000000}}, BW_125KHZ, {1, 0}, {903000000, 906000000}},
      {"FSK far above the multi-SF channels: radio 1",
       {{0, 902300000}, {1, 902500000}, {9, 905000000}},
       BW_125KHZ,
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
       {902400000, 905000000}},
      {"LoRa standard channel alone: centred on it", {{8, 904600000}}, BW_500KHZ, {}, {904600000, mid}},
      // Both on radio 0, centred between them, both inside its window.
      {"LoRa standard and FSK alone: covered together",
       {{8, 904300000}, {9, 904900000}},
       BW_250KHZ,
       {},
       {904600000, mid}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sandbox().clear_logs();
    for (int i = 0; i < 10; ++i) brd_cfg_priv.chan_enable[0][i] = 0;
    brd_cfg_priv.std_bandwidth[0] = c.std_bandwidth;
    for (const auto& [chan, freq] : c.channels) channel(chan, freq);
    EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
    EXPECT_EQ(radio_bytes(), c.radios);
    EXPECT_EQ(centres(), c.centres);
    EXPECT_TRUE(in_band(centres().first) && in_band(centres().second));
    EXPECT_FALSE(logged_unsupported()) << syslog_dump();
  }
}

TEST_F(Plan, ChannelBelowTenMegahertzGivesDefaultCentresAndKeepsRadioBytes) {
  ostra_wren_prv_cfg.chan_radio[0] = 1;
  ostra_wren_prv_cfg.chan_radio[5] = 1;
  channel(0, 902300000);
  channel(5, 9999999);
  EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
  EXPECT_EQ(centres(), std::pair(kRxMin + 375000, (kRxMin + kRxMax) / 2));
  EXPECT_EQ(radio_bytes(), (std::array<uint8_t, 10>{1, 0, 0, 0, 0, 1}));
  EXPECT_TRUE(logged("BrvDBG-HAL wren_assign_sx1301_channels_to_RF WARNING - No valid Rx channels specified. "
                     "Setting SX125x 0 to 902.375000 MHz, and SX125x 1 to 915.000000 MHz."))
      << syslog_dump();

  // No channel at all: the same.
  sandbox().clear_logs();
  brd_cfg_priv.chan_enable[0][0] = brd_cfg_priv.chan_enable[0][5] = 0;
  EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
  EXPECT_TRUE(logged("No valid Rx channels specified."));
}

TEST_F(Plan, DisabledChannelsLeaveHolesOutOfTheList) {
  ostra_wren_prv_cfg.chan_radio[2] = 1;  // from an earlier plan
  channel(0, 902500000);
  channel(1, 902700000);
  brd_cfg_priv.chan_freq[0][2] = 930000000;  // disabled: neither planned nor averaged
  channel(3, 902300000);
  EXPECT_EQ(wren_assign_sx1301_channels_to_RF(0), 0);
  EXPECT_EQ(radio_bytes(), (std::array<uint8_t, 10>{}));
  EXPECT_EQ(centres().first, 902500032u) << "single-precision mean of the three";

  std::array<wren_chan_entry_t, 3> list = {{{0, 0, -1, 902500000}, {0, 1, -1, 902700000}, {0, 3, -1, 902300000}}};
  sort_channel_array(list.data(), 3);
  EXPECT_EQ(std::tuple(list[0].chan, list[1].chan, list[2].chan), std::tuple(3, 0, 1));
}

TEST_F(Plan, EqualFrequenciesKeepChannelOrder) {
  std::array<wren_chan_entry_t, 4> list = {
      {{0, 0, -1, 903000000}, {0, 1, -1, 902000000}, {0, 2, -1, 903000000}, {0, 3, -1, 902000000}}};
  sort_channel_array(list.data(), 4);
  EXPECT_EQ(std::tuple(list[0].chan, list[1].chan, list[2].chan, list[3].chan), std::tuple(1, 3, 0, 2));
}

TEST_F(Plan, OuterEdgeExactly550kHzFromTheCentreFitsOneHertzMoreDoesNot) {
  const uint32_t c = 903000000;
  // Multi-SF channels: 62.5 kHz half-width.
  std::array<wren_chan_entry_t, 4> list = {{{0, 0, -1, c - 487500},
                                            {0, 1, -1, c + 487500},
                                            {0, 2, -1, c - 487501},
                                            {0, 3, -1, c + 487501}}};
  std::array<uint8_t, 4> flags;
  flags.fill(7);
  EXPECT_EQ(auto_sx125x_count_ok_channels(0, c, list.data(), flags.data(), 0, 4), 2);
  EXPECT_EQ(flags, (std::array<uint8_t, 4>{0, 0, 1, 1}));
  EXPECT_EQ(auto_sx125x_count_ok_channels(0, c, list.data(), nullptr, 2, 4), 0);

  EXPECT_EQ(adjust_avg_sx125x_frequency(c, c - 487500, 125000), 0);
  EXPECT_EQ(adjust_avg_sx125x_frequency(c, c - 487501, 125000), -1);
  EXPECT_EQ(adjust_avg_sx125x_frequency(c, c + 487500, 125000), 0);
  EXPECT_EQ(adjust_avg_sx125x_frequency(c, c + 487501, 125000), 1);
  EXPECT_EQ(adjust_avg_sx125x_frequency(c, c + 700000, 250000), 275000);
}

TEST_F(Plan, ChannelsThatCannotAllFitAreListed) {
  std::array<wren_chan_entry_t, 2> list = {{{0, 0, 0, 868100000}, {0, 4, 0, 869500000}}};
  uint32_t centre = 1;
  EXPECT_EQ(auto_determine_sx125x_freq(0, &centre, list.data(), 0, 2), 0);
  EXPECT_EQ(centre, 868800000u) << "the mean stays the centre";
  EXPECT_TRUE(logged("E R R O R auto_determine_sx125x_freq - Could not select sx125x frequency to receive all "
                     "channels in current channel plan."));
  EXPECT_TRUE(logged("E R R O R auto_determine_sx125x_freq - Channel 0: 868.10 MHz can not be supported, "
                     "700.00 kHz from 868.80 MHz LO"));
  EXPECT_TRUE(logged("E R R O R auto_determine_sx125x_freq - Channel 4: 869.50 MHz can not be supported, "
                     "700.00 kHz from 868.80 MHz LO"));
}

}  // namespace

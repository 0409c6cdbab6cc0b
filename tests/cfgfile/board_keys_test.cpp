// The board object's keys one at a time, and what the field sends instead
// of them: wrong types, strange texts, out-of-range numbers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "board_fixture.h"

namespace {

using crx::test::BoardFile;
using nlohmann::json;

// A board object on the default database (US915 limits 902-928 MHz, receive
// LO 915 MHz, 10 MHz of receive bandwidth, 8 chips), with `extra` merged in.
class BoardKeys : public BoardFile {
 protected:
  void SetUp() override {
    BoardFile::SetUp();
    fpga_board(crx::test::CxDatabase(6), 8);
  }
  static json board(json extra = json::object()) {
    json b = {{"board_freq_band", "US915"}, {"board_rx_freq", 915000000}};
    b.update(extra);
    return b;
  }
  static json chip(json extra = json::object()) {
    json c = {{"chip_enable", true}, {"chip_center_freq", 915000000}, {"chip_rf_chain", 0}};
    c.update(extra);
    return c;
  }
  static json multi_sf(json sf) { return {{"chan_rx_freq", 915100000}, {"spread_factor", sf}}; }
  crx_gw_cfg_t* read_board(const json& b) {
    return read(json{{"crx_conf", json::array({b})}, {"gateway_conf", json::object()}}.dump());
  }
  crx_gw_cfg_t* read_chips(const json& chips) { return read_board(board({{"SX1301_conf", chips}})); }
  bool failed_board(const std::string& why) {
    return logged(why) && logged("ERROR: failed to parse configuration crx_conf from JSON file") &&
           !logged("INFO: parsing gateway parameters");
  }
  // Reads a file with board object `b`, which must fail the read because of `why`.
  void expect_refused(const json& b, const std::string& why) {
    sandbox().clear_logs();
    EXPECT_EQ(read_board(b), nullptr) << b.dump();
    EXPECT_TRUE(failed_board(why)) << b.dump() << "\n" << syslog_dump();
  }
  void expect_chips_refused(const json& chips, const std::string& why) {
    expect_refused(board({{"SX1301_conf", chips}}), why);
  }
  static std::string conf_failed(const char* call, int code) {
    return std::string("ERROR: ") + call + "; " + crx_err_message(code);
  }
};

TEST_F(BoardKeys, BandNamesMatchOnTheLengthOfTheText) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"US", FREQ_BAND_US915},       {"", FREQ_BAND_EU868},   {"EU868", FREQ_BAND_EU868},
      {"US_F", FREQ_BAND_US_FULL_ISM}, {"AS923_J", FREQ_BAND_AS923_J}, {"AS", FREQ_BAND_AS923_J},
      {"AU915", FREQ_BAND_UNDEFINED}, {"EU868X", FREQ_BAND_UNDEFINED}, {"eu868", FREQ_BAND_UNDEFINED}};
  for (const auto& [text, band] : cases) {
    ASSERT_NE(read_board(board({{"board_freq_band", text}})), nullptr) << text << syslog_dump();
    EXPECT_EQ(priv().freq_band, band) << text;
  }
}

TEST_F(BoardKeys, BandAndReceiveFrequencyAreMandatory) {
  json b = board();
  b.erase("board_freq_band");
  expect_refused(b, "ERROR: impossible to parse mandatory parameter 'board_freq_band'");
  expect_refused(board({{"board_freq_band", 2}}), "ERROR: impossible to parse mandatory parameter 'board_freq_band'");
  expect_refused(board({{"board_rx_freq", "915000000"}}),
                 "ERROR: impossible to parse mandatory parameter 'board_rx_freq'");
}

TEST_F(BoardKeys, RfChainsTakeTwoElementsWithTheirDefaults) {
  ASSERT_NE(read_board(board()), nullptr);
  EXPECT_TRUE(logged("WARNING: no rf_chain configured"));
  sandbox().clear_logs();
  const json chains = json::array({json::object(),
                                   {{"rx_enable", false}, {"tx_enable", "no"}, {"rssi_offset", -170.25},
                                    {"rssi_offset_coeff_a", 40000.7}, {"rssi_offset_coeff_b", -12.9}},
                                   {{"rx_enable", false}}});
  ASSERT_NE(read_board(board({{"rf_chain_conf", chains}})), nullptr);
  // Absent booleans and non-booleans count as true, an absent offset as 0
  // (not the record default); 40000 keeps its low 16 bits.
  EXPECT_EQ(rf_chain(0), std::tuple(true, true, 0.0f, 0, 0));
  EXPECT_EQ(rf_chain(1), std::tuple(false, true, -170.25f, -25536, -12));
  EXPECT_TRUE(logged("INFO: rf_chain 0: RSSI offset configured at 0.0, a=0, b=0"));
  EXPECT_TRUE(logged("INFO: rf_chain 1: RSSI offset configured at -170.2, a=-25536, b=-12"));
  EXPECT_TRUE(logged("ERROR: rf_chain 2 not supported, skip it"));

  ASSERT_NE(read_board(board({{"rf_chain_conf", json::array({{{"rssi_offset", 1e300}}})}})), nullptr);
  EXPECT_FLOAT_EQ(priv().rf_chain[0].rssi_offset, 3.4028235e38f) << "saturated, not infinite";
}

TEST_F(BoardKeys, FskSyncIsAnEvenRunOfTwoToSixteenHexDigits) {
  ASSERT_NE(read_board(board({{"FSK_sync", "C194C1"}})), nullptr);
  EXPECT_EQ(priv().fsk_sync_size, 3);
  EXPECT_EQ(crx::fsk_sync_word(), 0xC194C1ull << 40);
  ASSERT_NE(read_board(board({{"FSK_sync", "0123456789abcdef"}})), nullptr);
  EXPECT_EQ(priv().fsk_sync_size, 8);
  EXPECT_EQ(crx::fsk_sync_word(), 0x0123456789ABCDEFull);
  ASSERT_NE(read_board(board({{"FSK_sync", 12}})), nullptr) << "not a string: not read";

  for (const char* bad : {"C194C", "", "C", "0123456789ABCDEF01", " C194C1", "0x0123456789ABCDEF"})
    expect_refused(board({{"FSK_sync", bad}}), "ERROR: impossible to parse parameter 'FSK_sync'");
  for (const char* bad : {"-1", "+C194C", "C1 4C1", "C194C1  ", "C194CZ", "zz", "0x", "  ", "0xZZ", "x1", "0x0xC1",
                          " 0xABC"})
    expect_refused(board({{"FSK_sync", bad}}), "ERROR: failed to parse hex string for 'FSK_sync'");
  EXPECT_FALSE(logged("BrvDBG-HAL: rx_freq =915000000")) << "refused before the board is configured";
}

// The key has always been read with a hexadecimal scan, which takes leading
// blanks and a "0x"; the word is as long as its digits.
TEST_F(BoardKeys, FskSyncTakesLeadingBlanksAndAHexPrefix) {
  const struct {
    const char* text;
    int size;
    uint64_t word;
  } cases[] = {
      {"0xC194C1", 3, 0xC194C1ull << 40},
      {"0XC194C1", 3, 0xC194C1ull << 40},
      {"  C194C1", 3, 0xC194C1ull << 40},
      {"\tC194C1 ", 0, 0},  // a blank after the digits is not part of the scan's number
      {"  0xC1", 1, 0xC1ull << 56},
      {"0x0123456789ABCD", 7, 0x0123456789ABCDull << 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.size == 0) {
      expect_refused(board({{"FSK_sync", c.text}}), "ERROR: failed to parse hex string for 'FSK_sync'");
      continue;
    }
    ASSERT_NE(read_board(board({{"FSK_sync", c.text}})), nullptr) << syslog_dump();
    EXPECT_EQ(priv().fsk_sync_size, c.size);
    EXPECT_EQ(crx::fsk_sync_word(), c.word);
  }
}

TEST_F(BoardKeys, CalibrationTemperaturesDefaultToZeroAndKeepTheirLowBits) {
  ASSERT_NE(read_board(board()), nullptr);
  // Not the record's defaults (22 and 77); loramac_public absent counts as true.
  EXPECT_EQ(std::tuple(int{priv().calibration_temperature_celsius_room},
                       int{priv().calibration_temperature_code_ad9361}, priv().loramac_public),
            std::tuple(0, 0, true));
  ASSERT_NE(read_board(board({{"calibration_temperature_celsius_room", -5},
                              {"calibration_temperature_code_ad9361", 300}, {"loramac_public", false}})),
            nullptr);
  EXPECT_EQ(std::tuple(int{priv().calibration_temperature_celsius_room},
                       int{priv().calibration_temperature_code_ad9361}, priv().loramac_public),
            std::tuple(0xFB, 44, false));
}

TEST_F(BoardKeys, ARunningBoardFailsTheRead) {
  crx::brd_cfg_priv.running = true;
  expect_refused(board(), conf_failed("crx_conf_board failed", ERR_BOARD_RUNNING));
}

TEST_F(BoardKeys, AnEnabledChipNeedsItsFrequencyAndChain) {
  // No chip_enable counts as enabled.
  expect_chips_refused(json::array({json::object()}),
                       "ERROR: failed to parse mandatory parameter chip_center_freq for chip 0");
  json c = chip();
  c.erase("chip_rf_chain");
  expect_chips_refused(json::array({chip(), c}), "ERROR: failed to parse mandatory parameter chip_rf_chain for chip 1");
  EXPECT_TRUE(priv().chip_enable[0]) << "what was applied stays applied";
  expect_chips_refused(json::array({chip({{"chip_center_freq", 940000000}})}),
                       conf_failed("crx_conf_chip failed for chip 0", ERR_FREQ_OUT_OF_BAND));
}

TEST_F(BoardKeys, ChipsBeyondEightAreSkipped) {
  json chips = json::array();
  for (int c = 0; c < 9; ++c) chips.push_back(chip({{"chan_multiSF_0", multi_sf(7)}}));
  ASSERT_NE(read_chips(chips), nullptr) << syslog_dump();
  EXPECT_TRUE(logged("ERROR: SX1301 chip 8 not supported, skip it"));
  for (int c = 0; c < 8; ++c) EXPECT_TRUE(priv().chan_enable[c][0]) << c;
}

TEST_F(BoardKeys, EveryChannelOfAnEnabledChipIsAppliedEvenWhenAbsent) {
  json full = chip();
  for (int n = 0; n < 8; ++n) full["chan_multiSF_" + std::to_string(n)] = multi_sf("7-12");
  full["chan_LoRa_std"] = {{"chan_rx_freq", 915000000}, {"bandwidth", 250000}, {"spread_factor", 9}};
  full["chan_FSK"] = {{"chan_rx_freq", 915200000}, {"bandwidth", 125000}, {"bit_rate", 50000}};
  ASSERT_NE(read_chips(json::array({full})), nullptr) << syslog_dump();
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(priv().chan_enable[0][n]) << n;
  // The same chip again, without channel objects (or with ones of other
  // types): all ten are now disabled.
  ASSERT_NE(read_chips(json::array({chip({{"chan_multiSF_3", 5}, {"chan_FSK", "on"}})})), nullptr);
  for (int n = 0; n < 10; ++n) EXPECT_FALSE(priv().chan_enable[0][n]) << n;
  // A disabled chip's channels are left as they were.
  ASSERT_NE(read_chips(json::array({full})), nullptr);
  ASSERT_NE(read_chips(json::array({{{"chip_enable", false}}})), nullptr);
  EXPECT_FALSE(priv().chip_enable[0]);
  EXPECT_TRUE(priv().chan_enable[0][9]);
}

TEST_F(BoardKeys, SpreadFactorsComeAsRangesSingleTextsOrNumbers) {
  const std::pair<json, uint8_t> cases[] = {
      {"7-12", 0x7E}, {"12-7", 0x7E}, {"8-9", 0x0C}, {"9", 0x08}, {7, 0x02}, {12.9, 0x40},
      {"0x7-0xC", 0x7E},  // read as integers of any base
      {"SF7", 0x1E}, {"", 0x1E}, {"13-20", 0x1E}, {"99999999999-7", 0x1E}, {true, 0x1E}, {json(), 0x1E}};
  for (const auto& [sf, mask] : cases) {
    SCOPED_TRACE(sf.dump());
    ASSERT_NE(read_chips(json::array({chip({{"chan_multiSF_0", multi_sf(sf)}})})), nullptr) << syslog_dump();
    EXPECT_EQ(priv().multisf_mask[0][0], mask) << "undefined stores the default 0x1E";
  }
}

TEST_F(BoardKeys, ChannelFrequenciesAreMandatoryAndChecked) {
  expect_chips_refused(json::array({chip(), chip({{"chan_LoRa_std", {{"bandwidth", 125000}}}})}),
                       "ERROR: failed to parse mandatory parameter chan_rx_freq for chip 0x18");
  const std::pair<json, std::string> cases[] = {
      {-915100000, conf_failed("crx_conf_chan failed for channel 0x02", ERR_BAD_CONFIG)},   // read as 0
      {1e300, conf_failed("crx_conf_chan failed for channel 0x02", ERR_FREQ_OUT_OF_BAND)},  // saturated
      {"915100000", "ERROR: failed to parse mandatory parameter chan_rx_freq for chip 0x02"}};
  for (const auto& [freq, why] : cases)
    expect_chips_refused(json::array({chip({{"chan_multiSF_2", {{"chan_rx_freq", freq}}}})}), why);
}

TEST_F(BoardKeys, StandAloneAndFskChannelsConvertTheirNumbers) {
  ASSERT_NE(read_chips(json::array({chip({{"chan_LoRa_std", {{"chan_rx_freq", 915000000}}},
                                          {"chan_FSK", {{"chan_rx_freq", 915200000}}}})})),
            nullptr)
      << syslog_dump();
  // Absent: the call's defaults.
  EXPECT_EQ(std::tuple(priv().std_bandwidth[0], int{priv().std_sf[0]}, priv().fsk_bitrate[0]),
            std::tuple(BW_125KHZ, 10, 64000));
  ASSERT_NE(read_chips(json::array({chip({{"chan_LoRa_std", {{"chan_rx_freq", 915000000}, {"bandwidth", 500000},
                                                             {"spread_factor", 12}}},
                                          {"chan_FSK", {{"chan_rx_freq", 915200000}, {"bandwidth", 250000},
                                                        {"bit_rate", 250000}}}})})),
            nullptr);
  EXPECT_EQ(std::tuple(priv().std_bandwidth[0], int{priv().std_sf[0]}, priv().fsk_bandwidth[0], priv().fsk_bitrate[0]),
            std::tuple(BW_500KHZ, 12, BW_250KHZ, 250000));
  // Negative numbers read as 0 in unsigned fields (as the gateway's own
  // conversion does), which here means the default; huge ones saturate and
  // are refused.
  ASSERT_NE(read_chips(json::array({chip({{"chan_FSK", {{"chan_rx_freq", 915200000}, {"bit_rate", -1}}}})})),
            nullptr);
  EXPECT_EQ(priv().fsk_bitrate[0], 64000u);
  expect_chips_refused(json::array({chip({{"chan_FSK", {{"chan_rx_freq", 915200000}, {"bit_rate", 1e10}}}})}),
                       conf_failed("crx_conf_chan failed for channel 0x09", ERR_BAD_BITRATE));
}

TEST_F(BoardKeys, OnlyTheFirstBoardIsRead) {
  const json second = {{"board_freq_band", 5}};  // would fail if it were read
  ASSERT_NE(read(json{{"crx_conf", json::array({board(), second})}, {"gateway_conf", json::object()}}.dump()),
            nullptr);
  EXPECT_TRUE(logged("INFO: parsing concentrator parameters for board #0"));
  EXPECT_TRUE(logged("ERROR: board 1 not supported, skip it"));
  EXPECT_FALSE(logged("ERROR: impossible to parse mandatory parameter 'board_freq_band'"));
}

TEST_F(BoardKeys, RepeatedReadsApplyEachFileOverThePrevious) {
  ASSERT_NE(read_chips(json::array({chip({{"chan_multiSF_0", multi_sf("7-12")}}), chip()})), nullptr);
  ASSERT_NE(read_chips(json::array({chip({{"chip_center_freq", 916000000}})})), nullptr);
  EXPECT_EQ(priv().chip_freq[0], 916000000u);
  EXPECT_FALSE(priv().chan_enable[0][0]);
  EXPECT_TRUE(priv().chip_enable[1]) << "chips the file leaves out keep their settings";
}

}  // namespace

namespace {

// The same object on a Wren board, whose driver reads less of it.
class WrenKeys : public crx::test::BoardFile {
 protected:
  void SetUp() override {
    BoardFile::SetUp();
    wren_board(crx::test::wren_tdd_db());
  }
  crx_gw_cfg_t* read_board(const json& b) {
    return read(json{{"crx_conf", json::array({b})}, {"gateway_conf", json::object()}}.dump());
  }
};

TEST_F(WrenKeys, OnlyTheFirstThreeBandNamesAreKnown) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"US_F", FREQ_BAND_US_FULL_ISM}, {"", FREQ_BAND_EU868}, {"US", FREQ_BAND_US915}, {"AS923_J", FREQ_BAND_UNDEFINED}};
  for (const auto& [text, band] : cases) {
    ASSERT_NE(read_board({{"board_freq_band", text}}), nullptr) << text << syslog_dump();
    EXPECT_EQ(priv().freq_band, band) << text;
  }
  EXPECT_EQ(read_board({{"board_rx_freq", 915000000}}), nullptr);
  EXPECT_TRUE(logged("ERROR: impossible to parse mandatory parameter 'board_freq_band'"));
}

TEST_F(WrenKeys, OneChipWithoutFrequencyOrChainAndNoMore) {
  const json chip = {{"chan_multiSF_0", {{"chan_rx_freq", 904300000}, {"spread_factor", "7-9"}}},
                     {"chan_FSK", {{"chan_rx_freq", 904600000}, {"bit_rate", 299}}}};
  const json ok_chip = {{"chan_multiSF_0", {{"chan_rx_freq", 904300000}, {"spread_factor", "7-9"}}}};
  ASSERT_NE(read_board({{"board_freq_band", "US915"}, {"SX1301_conf", json::array({ok_chip, {{"x", 1}}})}}), nullptr)
      << syslog_dump();
  EXPECT_TRUE(logged("ERROR: SX1301 chip 1 not supported, skip it"));
  EXPECT_EQ(std::tuple(priv().chip_enable[0], int{priv().multisf_mask[0][0]}, priv().chan_enable[0][9]),
            std::tuple(true, 0x0E, 0));
  EXPECT_EQ(read_board({{"board_freq_band", "US915"}, {"SX1301_conf", json::array({chip})}}), nullptr);
  EXPECT_TRUE(logged(std::string("ERROR: crx_conf_chan failed for channel 0x09; ") + crx_err_message(ERR_BAD_BITRATE)));
}

}  // namespace

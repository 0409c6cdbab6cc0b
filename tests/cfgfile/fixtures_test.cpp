// Each example configuration file of tests/data/config on its board: what
// reaches the board state, the gateway record and the filter list.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_fixture.h"

namespace {

using crx::test::BoardFile;

constexpr uint32_t kAllMultiSf = DR_LORA_MULTI;  // "7-12"
constexpr uint32_t kSf7To10 = 0x1E;

// The channels a fixture gives one chip: the eight multi-SF frequencies
// (all with one mask), then the stand-alone LoRa and FSK channels (0 for
// a channel that is not used).
struct ChipPlan {
  uint32_t centre;
  uint32_t multi_sf[8];
  uint32_t mask;
  uint32_t lora_std;
  uint32_t std_bw;
  uint8_t std_sf;
  uint32_t fsk;
};

void expect_chip(int c, const ChipPlan& plan, bool wren = false) {
  SCOPED_TRACE("chip " + std::to_string(c));
  const auto& p = crx::brd_cfg_priv;
  EXPECT_TRUE(p.chip_enable[c]);
  if (!wren) {
    EXPECT_EQ(p.chip_freq[c], plan.centre);
  }
  EXPECT_EQ(p.chip_rf_chain[c], 0);
  for (int n = 0; n < 8; ++n) {
    EXPECT_TRUE(p.chan_enable[c][n]) << n;
    EXPECT_EQ(p.chan_freq[c][n], plan.multi_sf[n]) << n;
    EXPECT_EQ(p.multisf_mask[c][n], plan.mask) << n;
  }
  EXPECT_EQ(bool(p.chan_enable[c][8]), plan.lora_std != 0);
  if (plan.lora_std) {
    EXPECT_EQ(std::tuple(p.chan_freq[c][8], p.std_bandwidth[c], p.std_sf[c]),
              std::tuple(plan.lora_std, plan.std_bw, plan.std_sf));
  }
  EXPECT_EQ(bool(p.chan_enable[c][9]), plan.fsk != 0);
  if (plan.fsk) {
    EXPECT_EQ(std::tuple(p.chan_freq[c][9], p.fsk_bandwidth[c], p.fsk_bitrate[c]),
              std::tuple(plan.fsk, BW_125KHZ, 50000));
  }
}

// Eight channels 200 kHz apart from `first`.
ChipPlan spaced(uint32_t centre, uint32_t first, uint32_t mask) {
  ChipPlan plan{centre, {}, mask, 0, 0, 0, 0};
  for (int n = 0; n < 8; ++n) plan.multi_sf[n] = first + 200000u * n;
  return plan;
}

TEST_F(BoardFile, CondorNaTakesAllSeventyTwoUsChannels) {
  fpga_board(crx::test::condor_na_db(), 8);
  const crx_gw_cfg_t* gw = read(fixture("condor_na.json"));
  ASSERT_NE(gw, nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_CONDOR_NA);
  const auto& p = priv();
  EXPECT_EQ(p.freq_band, uint32_t{FREQ_BAND_US915});
  EXPECT_EQ(p.rx_freq, 908600000u);
  EXPECT_EQ(rf_chain(0), std::tuple(true, true, -166.0f, 0, 0));
  EXPECT_EQ(rf_chain(1), std::tuple(true, false, -167.5f, 0, 0));
  EXPECT_EQ(std::tuple(p.loramac_public, int{p.fsk_sync_size}, int{p.calibration_temperature_celsius_room},
                       int{p.calibration_temperature_code_ad9361}),
            std::tuple(true, 0, 25, 77));
  for (int c = 0; c < 8; ++c) {
    ChipPlan plan = spaced(903000000u + 1600000u * c, 902300000u + 1600000u * c, kSf7To10);
    plan.lora_std = plan.centre;
    plan.std_bw = BW_500KHZ;
    plan.std_sf = 8;
    expect_chip(c, plan);
  }
  EXPECT_TRUE(logged("INFO: rf_chain 1: RSSI offset configured at -167.5, a=0, b=0"));
  EXPECT_EQ(std::tuple(std::string(gw->server_address), std::string(gw->serv_port_up), int{gw->beacon_freq_nb}),
            std::tuple("router.us.example.net", "1700", 8));
  EXPECT_TRUE(is_multi_antenna_enabled());
  EXPECT_TRUE(logged("INFO: led_intensity is set to 2048"));
}

TEST_F(BoardFile, CondorEuUsesTwoOfItsFourChipsAndFillsTheFilter) {
  fpga_board(crx::test::condor_eu_db(), 4);
  const crx_gw_cfg_t* gw = read(fixture("condor_eu.json"));
  ASSERT_NE(gw, nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_CONDOR_EU);
  const auto& p = priv();
  EXPECT_EQ(p.freq_band, uint32_t{FREQ_BAND_EU868});
  EXPECT_EQ(std::tuple(int{p.fsk_sync_size}, crx::fsk_sync_word()), std::tuple(3, 0xC194C1ull << 40)) << "left-aligned";
  ChipPlan chip0{867500000, {868100000, 868300000, 868500000, 867100000, 867300000, 867500000, 867700000, 867900000},
                 kAllMultiSf, 868300000, BW_250KHZ, 7, 868800000};
  expect_chip(0, chip0);
  expect_chip(1, spaced(865000000, 864300000, kAllMultiSf));
  EXPECT_FALSE(p.chip_enable[2] || p.chip_enable[3]);
  EXPECT_EQ(p.lbt.enabled, 0);
  EXPECT_EQ(gw->beacon_period, 128u);
  EXPECT_EQ(crx_loc_del_mote(0x26011BDA), 0);
  EXPECT_EQ(crx_loc_del_mote(0x26011F3C), 0);
}

TEST_F(BoardFile, HeronTakesItsListenBeforeTalkTable) {
  fpga_board(crx::test::heron_db(), 2);
  ASSERT_NE(read(fixture("heron.json")), nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_HERON_FDD);
  const auto& p = priv();
  EXPECT_EQ(p.freq_band, uint32_t{FREQ_BAND_AS923_J});
  EXPECT_FALSE(p.rf_chain[1].rx_enable);
  EXPECT_FLOAT_EQ(p.rf_chain[1].rssi_offset, 0.0f) << "absent from a present element";
  expect_chip(0, ChipPlan{922700000, {923200000, 923400000, 922000000, 922200000, 922400000, 922600000, 922800000, 923000000},
                          kAllMultiSf, 922100000, BW_250KHZ, 7, 0});
  EXPECT_FALSE(p.chip_enable[1]);
  EXPECT_EQ(p.lbt.enabled, 1);
  ASSERT_EQ(p.lbt.count, 2);
  EXPECT_EQ(std::tuple(p.lbt.entries[0].max_tx_power_dbm, p.lbt.entries[0].listen_time_us), std::tuple(13, 5000));
  EXPECT_EQ(std::tuple(p.lbt.entries[1].max_tx_power_dbm, p.lbt.entries[1].min_freq_hz), std::tuple(20, 922300000u));
}

TEST_F(BoardFile, PloverReadsEveryFormOfSpreadingFactor) {
  fpga_board(crx::test::plover_db(), 8);
  const crx_gw_cfg_t* gw = read(fixture("plover.json"));
  ASSERT_NE(gw, nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_PLOVER);
  const auto& p = priv();
  EXPECT_EQ(p.freq_band, uint32_t{FREQ_BAND_US_FULL_ISM});
  EXPECT_FALSE(p.loramac_public);
  EXPECT_THAT(p.multisf_mask[0], ::testing::ElementsAre(0x7E, 0x7E, 0x7E, 0x7E, 0x0E, 0x0E, 0x10, 0x40));
  for (int c = 1; c < 4; ++c) {
    ChipPlan plan = spaced(910000000u + 3000000u * c, 909300000u + 3000000u * c, kAllMultiSf);
    plan.lora_std = plan.centre;
    plan.std_bw = BW_500KHZ;
    plan.std_sf = 8;
    plan.fsk = plan.centre + 900000;
    expect_chip(c, plan);
  }
  for (int c = 4; c < 8; ++c) EXPECT_FALSE(p.chip_enable[c]) << c;
  EXPECT_EQ(std::tuple(gw->forward_crc_error, gw->autoquit_threshold, gw->link_mote),
            std::tuple(true, 20u, 0xFFFF0001u));
  EXPECT_EQ(std::tuple(int{gw->use_utc_timestamp}, int{gw->use_gps_timestamp}, int{gw->report_count}),
            std::tuple(1, 0, 10));
  EXPECT_FALSE(is_multi_antenna_enabled());
}

TEST_F(BoardFile, WrenTddHandsItsChipToTheWrenDriverAndSetsTheLeds) {
  wren_board(crx::test::wren_tdd_db());
  ASSERT_NE(read(fixture("wren_tdd.json")), nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_WREN_TDD);
  EXPECT_EQ(priv().freq_band, uint32_t{FREQ_BAND_US915});
  ChipPlan plan = spaced(0, 903900000, kSf7To10);
  plan.lora_std = 904600000;
  plan.std_bw = BW_500KHZ;
  plan.std_sf = 8;
  expect_chip(0, plan, true);
  EXPECT_THAT(wren().gpio_fpga->register_writes(), ::testing::Contains(std::make_pair(uint8_t{0x15}, uint16_t{1024})));
}

TEST_F(BoardFile, WrenOutdoorTakesSyncWordAndListenBeforeTalk) {
  wren_board(crx::test::wren_outdoor_db());
  ASSERT_NE(read(fixture("wren_outdoor.json")), nullptr) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_WREN_OUTDOOR);
  const auto& p = priv();
  EXPECT_EQ(p.freq_band, uint32_t{FREQ_BAND_EU868});
  EXPECT_EQ(std::tuple(int{p.fsk_sync_size}, crx::fsk_sync_word()), std::tuple(3, 0xC194C1ull << 40));
  expect_chip(0, ChipPlan{0, {868100000, 868300000, 868500000, 867100000, 867300000, 867500000, 867700000, 867900000},
                          kAllMultiSf, 868300000, BW_250KHZ, 7, 868800000}, true);
  EXPECT_EQ(p.lbt.enabled, 1);
  EXPECT_EQ(std::tuple(p.lbt.count, p.lbt.entries[0].threshold_dbm), std::tuple(1, -85));
}

}  // namespace

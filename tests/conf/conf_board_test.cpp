// crx_conf_board on the large boards: refusals with their codes and texts,
// the regional limits from the database or the band table, and what the
// board record leaves in the private state.
#include <gtest/gtest.h>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "tests/conf/board_fixture.h"

namespace {

using crx::brd_cfg_priv;
using crx::region_limits;
using crx::sim::CxDatabase;

class ConfBoard : public crx::test::BoardTest {};

TEST_F(ConfBoard, RecordChecksComeBeforeTheRegionAndRefuseWithTheirCodes) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 868000000);
  EXPECT_EQ(crx_conf_board(1, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_BOARD_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong board #"));

  cfg.rx_freq = 9999999;
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_board rx_freq_hz 9999999"));
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong freq  10000000   cfg = 9999999"));

  cfg.rx_freq = 868000000;
  cfg.fsk_sync_size = 9;
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong fsk_sync_size 9"));
  EXPECT_EQ(crx::rfRegionInfo.Version, -1) << "region read before the record was checked";

  EXPECT_EQ(crx_conf_board(0, nullptr), -1);
  EXPECT_EQ(crx_errno, ERR_NULL_PTR);
}

TEST_F(ConfBoard, WithoutDatabaseLimitsOnlyBandsOneToFiveAreAccepted) {
  fpga_board(CxDatabase(3));
  for (uint32_t band : {0u, 6u, 7u, 0xFFFFFFFFu}) {
    crx_board_cfg_t cfg = board_cfg(band, 868000000);
    EXPECT_EQ(crx_conf_board(0, &cfg), -1) << band;
    EXPECT_EQ(crx_errno, ERR_BAD_CONFIG);
  }
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong band 6"));
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong band -1"));
  // A refused band does not leave the board unconfigurable.
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 868000000);
  EXPECT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
}

TEST_F(ConfBoard, BandTableGivesTheLimitsOfEachBandAndFollowsABandChange) {
  fpga_board(CxDatabase(3));
  struct Row {
    uint32_t band, rx_min, rx_max, tx_min, tx_max;
  };
  const Row rows[] = {{1, 863000000, 870000000, 863000000, 870000000},
                      {2, 902300000, 914900000, 923300000, 927500000},
                      {3, 902000000, 928000000, 902000000, 928000000},
                      {4, 923000000, 933000000, 915000000, 928000000},
                      {5, 900000000, 930000000, 900000000, 930000000}};
  for (const Row& r : rows) {
    crx_board_cfg_t cfg = board_cfg(r.band, r.rx_min);
    ASSERT_EQ(crx_conf_board(0, &cfg), 0) << r.band << syslog_dump();
    EXPECT_EQ(region_limits.rx_min, r.rx_min);
    EXPECT_EQ(region_limits.rx_max, r.rx_max);
    uint32_t tx_min = 0, tx_max = 0;
    ASSERT_EQ(crx_get_tx_freq(&tx_min, &tx_max), 0);
    EXPECT_EQ(tx_min, r.tx_min);
    EXPECT_EQ(tx_max, r.tx_max);
    EXPECT_EQ(cfg.rx_freq, r.rx_min) << "no database LO to take";
  }
  EXPECT_TRUE(logged("BrvDBG-HAL: freq_band 2 rx_freq_min 902300000 rx_freq_max 914900000"));
  EXPECT_FALSE(logged("BrvDBG-HAL: RF regional info read from database."));
}

TEST_F(ConfBoard, ReceiveFrequencyOutsideTheBandIsRefusedAfterModeAndBandAreStored) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 870000001);
  cfg.full_start = true;
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_FREQ_OUT_OF_BAND);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong out of band  - freq_hz 870000001 min "
                     "freq_band 863000000 max freq_band 870000000"));
  EXPECT_TRUE(brd_cfg_priv.full_start);
  EXPECT_EQ(brd_cfg_priv.freq_band, 1u);
  EXPECT_EQ(brd_cfg_priv.rx_freq, 0u);
  cfg.rx_freq = 870000000;  // bounds are inclusive
  EXPECT_EQ(crx_conf_board(0, &cfg), 0);
  cfg.rx_freq = 863000000;
  EXPECT_EQ(crx_conf_board(0, &cfg), 0);
}

TEST_F(ConfBoard, DatabaseRegionRecordSetsLimitsAndOverridesTheReceiveFrequency) {
  fpga_board(CxDatabase(4)
                 .set("Configuration", "Rx_LO_MHz", 915.1234)
                 .set("Configuration", "Min_UL_Frequency_MHz", 902.3)
                 .set("Configuration", "Max_UL_Frequency_MHz", 927.5)
                 .set("Configuration", "Operating_Band", "AU915"));
  crx_board_cfg_t cfg = board_cfg(0, 12345678);  // band 0 and any frequency: the database decides
  ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  EXPECT_EQ(cfg.rx_freq, 915123000u);
  EXPECT_EQ(brd_cfg_priv.rx_freq, 915123000u);
  EXPECT_EQ(region_limits.rx_min, 902300000u);
  EXPECT_EQ(region_limits.rx_max, 927500000u);
  EXPECT_EQ(region_limits.tx_min, 923300000u);
  EXPECT_EQ(region_limits.tx_max, 927500000u);
  EXPECT_TRUE(logged("BrvDBG-HAL: RF regional info read from database."));
  EXPECT_TRUE(logged("BrvDBG-HAL: Operating band: AU915"));
  EXPECT_TRUE(logged("BrvDBG-HAL: tx freq min: 923300000Hz, max: 927500000Hz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: rx freq min: 902300000Hz, max: 927500000Hz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: tx bw: 20.000000MHz, rx bw: 10.000000MHz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: tx Lo: 925.000000MHz, rx Lo: 915.123413MHz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: tx FIR index: 1, rx FIR index: 2"));

  // The record is read once per process.
  sandbox().clear_logs();
  cfg = board_cfg(3, 0x7FFFFFFF);
  ASSERT_EQ(crx_conf_board(0, &cfg), 0);
  EXPECT_EQ(cfg.rx_freq, 915123000u);
  EXPECT_FALSE(logged("BrvDBG-HAL: RF regional info read from database."));
}

TEST_F(ConfBoard, DatabaseLoOutsideItsOwnLimitsIsRefusedAsOutOfBand) {
  fpga_board(CxDatabase(5).set("Configuration", "Rx_LO_MHz", -3.0));
  crx_board_cfg_t cfg = board_cfg(2, 915000000);
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_FREQ_OUT_OF_BAND);
  EXPECT_EQ(cfg.rx_freq, 0u);
}

TEST_F(ConfBoard, UnreadableRegionRecordFailsWithBadConfig) {
  sandbox().add_device("/dev/spifpga32766.1", std::make_shared<crx::sim::FpgaPortDevice>());
  crx_board_cfg_t cfg = board_cfg(1, 868000000);
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);  // no database at all
  EXPECT_EQ(crx_errno, ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: can't read the RF region info."));
}

TEST_F(ConfBoard, RunningBoardIsRefusedWithoutChangingTheState) {
  fpga_board(CxDatabase(6));
  brd_cfg_priv.running = true;
  crx_board_cfg_t cfg = board_cfg(2, 915000000);
  cfg.full_start = false;
  EXPECT_EQ(crx_conf_board(0, &cfg), -1);
  EXPECT_EQ(crx_errno, ERR_BOARD_RUNNING);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - board is running."));
  EXPECT_EQ(brd_cfg_priv.freq_band, 0u);
  EXPECT_EQ(brd_cfg_priv.rx_freq, 0u);
  EXPECT_EQ(cfg.rx_freq, 915000000u);
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(ConfBoard, AcceptedRecordIsCopiedWithTheSyncWordLeftAligned) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_US915, 910000000);
  cfg.rf_chain[1].rx_enable = true;
  cfg.rf_chain[1].tx_enable = true;
  cfg.rf_chain[1].rssi_offset = -160.5f;
  cfg.rf_chain[1].rssi_offset_coeff_a = -12;
  cfg.rf_chain[1].rssi_offset_coeff_b = 34;
  cfg.calibration_temperature_celsius_room = 25;
  cfg.calibration_temperature_code_ad9361 = 80;
  cfg.fsk_sync = 0xC194C1;
  cfg.fsk_sync_size = 3;
  cfg.loramac_public = true;
  brd_cfg_priv.lbt.enabled = 1;
  ASSERT_EQ(sandbox().open_device_count(), 0);
  ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  EXPECT_EQ(sandbox().open_device_count(), 1) << "the register path is open on the FPGA port";
  EXPECT_TRUE(logged("BrvDBG-HAL: rx_freq =910000000"));
  EXPECT_EQ(brd_cfg_priv.rx_freq, 910000000u);
  EXPECT_EQ(brd_cfg_priv.freq_band, 2u);
  EXPECT_FALSE(brd_cfg_priv.rf_chain[0].rx_enable);
  EXPECT_TRUE(brd_cfg_priv.rf_chain[1].rx_enable);
  EXPECT_TRUE(brd_cfg_priv.rf_chain[1].tx_enable);
  EXPECT_FLOAT_EQ(brd_cfg_priv.rf_chain[1].rssi_offset, -160.5f);
  EXPECT_EQ(brd_cfg_priv.rf_chain[1].rssi_offset_coeff_a, -12);
  EXPECT_EQ(brd_cfg_priv.rf_chain[1].rssi_offset_coeff_b, 34);
  EXPECT_EQ(brd_cfg_priv.calibration_temperature_celsius_room, 25);
  EXPECT_EQ(brd_cfg_priv.calibration_temperature_code_ad9361, 80);
  EXPECT_EQ(brd_cfg_priv.fsk_sync_size, 3);
  EXPECT_EQ(brd_cfg_priv.fsk_sync[0], 0xC194C100u);
  EXPECT_EQ(brd_cfg_priv.fsk_sync[1], 0u);
  EXPECT_TRUE(brd_cfg_priv.loramac_public);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 0) << "no source enables LBT";

  cfg.fsk_sync = 0x0102030405060708ull;
  cfg.fsk_sync_size = 8;
  ASSERT_EQ(crx_conf_board(0, &cfg), 0);
  EXPECT_EQ(crx::fsk_sync_word(), 0x0102030405060708ull);
  cfg.fsk_sync = 0xABCD;
  cfg.fsk_sync_size = 0;
  ASSERT_EQ(crx_conf_board(0, &cfg), 0);
  EXPECT_EQ(crx::fsk_sync_word(), 0xABCDull);
}

TEST(RegionConversion, MegahertzBecomeHertzRoundedToWholeKilohertz) {
  EXPECT_EQ(crx::mhz_to_hz(868.1f), 868100000u);
  EXPECT_EQ(crx::mhz_to_hz(923.3f), 923300000u);
  EXPECT_EQ(crx::mhz_to_hz(915.0004f), 915000000u);
  EXPECT_EQ(crx::mhz_to_hz(915.0006f), 915001000u);
  EXPECT_EQ(crx::mhz_to_hz(0.0f), 0u);
  EXPECT_EQ(crx::mhz_to_hz(-1.0f), 0u);
  EXPECT_EQ(crx::mhz_to_hz(__builtin_nanf("")), 0u);
  EXPECT_EQ(crx::mhz_to_hz(1.0e30f), 4294967000u);
  EXPECT_EQ(crx::mhz_to_hz(__builtin_inff()), 4294967000u);
}

}  // namespace

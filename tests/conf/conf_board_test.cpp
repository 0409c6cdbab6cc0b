// crx_conf_board on the large boards: refusals with their codes and texts,
// the regional limits from the database or the band table, and what the
// board record leaves in the private state.
#include <gtest/gtest.h>

#include <tuple>

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
  EXPECT_FAILS_WITH(crx_conf_board(1, &cfg), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong board #"));

  cfg.rx_freq = 9999999;
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_conf_board rx_freq_hz 9999999"));
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong freq  10000000   cfg = 9999999"));

  cfg.rx_freq = 868000000;
  cfg.fsk_sync_size = 9;
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - wrong fsk_sync_size 9"));
  EXPECT_EQ(crx::rfRegionInfo.Version, -1) << "region read before the record was checked";

  EXPECT_FAILS_WITH(crx_conf_board(0, nullptr), ERR_NULL_PTR);
}

TEST_F(ConfBoard, WithoutDatabaseLimitsOnlyBandsOneToFiveAreAccepted) {
  fpga_board(CxDatabase(3));
  for (uint32_t band : {0u, 6u, 7u, 0xFFFFFFFFu}) {
    crx_board_cfg_t cfg = board_cfg(band, 868000000);
    EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BAD_CONFIG);
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
    EXPECT_EQ(std::pair(region_limits.rx_min, region_limits.rx_max), std::pair(r.rx_min, r.rx_max));
    EXPECT_EQ(tx_freq(), std::pair(r.tx_min, r.tx_max));
    EXPECT_EQ(cfg.rx_freq, r.rx_min) << "no database LO to take";
  }
  EXPECT_TRUE(logged("BrvDBG-HAL: freq_band 2 rx_freq_min 902300000 rx_freq_max 914900000"));
  EXPECT_FALSE(logged("BrvDBG-HAL: RF regional info read from database."));
}

TEST_F(ConfBoard, ReceiveFrequencyOutsideTheBandIsRefusedAfterModeAndBandAreStored) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 870000001);
  cfg.full_start = true;
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_FREQ_OUT_OF_BAND);
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
  EXPECT_EQ(std::pair(region_limits.rx_min, region_limits.rx_max), std::pair(902300000u, 927500000u));
  EXPECT_EQ(std::pair(region_limits.tx_min, region_limits.tx_max), std::pair(923300000u, 927500000u));
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

TEST_F(ConfBoard, RefusedCallsKeepTheBandTableLimitsOfTheConfiguredBoard) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_EU868, 868000000);
  ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  const auto limits = [] {
    return std::tuple(region_limits.rx_min, region_limits.rx_max, region_limits.tx_min, region_limits.tx_max);
  };
  const auto eu868 = limits();
  cfg = board_cfg(0, 868000000);
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BAD_CONFIG);
  EXPECT_EQ(limits(), eu868);
  brd_cfg_priv.running = true;
  cfg = board_cfg(FREQ_BAND_US915, 915000000);
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BOARD_RUNNING);
  EXPECT_EQ(limits(), eu868) << "a running board keeps working in its own band";
}

TEST_F(ConfBoard, DatabaseLoOutsideItsOwnLimitsIsRefusedAsOutOfBand) {
  fpga_board(CxDatabase(5).set("Configuration", "Rx_LO_MHz", -3.0));
  crx_board_cfg_t cfg = board_cfg(2, 915000000);
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_FREQ_OUT_OF_BAND);
  EXPECT_EQ(cfg.rx_freq, 0u);
}

TEST_F(ConfBoard, UnreadableRegionRecordFailsWithBadConfig) {
  sandbox().add_device("/dev/spifpga32766.1", std::make_shared<crx::sim::FpgaPortDevice>());
  crx_board_cfg_t cfg = board_cfg(1, 868000000);
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BAD_CONFIG);  // no database at all
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: can't read the RF region info."));
}

TEST_F(ConfBoard, RunningBoardIsRefusedWithoutChangingTheState) {
  fpga_board(CxDatabase(6));
  brd_cfg_priv.running = true;
  crx_board_cfg_t cfg = board_cfg(2, 915000000);
  cfg.full_start = false;
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BOARD_RUNNING);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in crx_conf_board - board is running."));
  EXPECT_EQ(std::pair(brd_cfg_priv.freq_band, brd_cfg_priv.rx_freq), std::pair(0u, 0u));
  EXPECT_EQ(cfg.rx_freq, 915000000u);
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

// The copy of the chains, temperatures and flags is checked through the
// configuration file reader, which hands them to crx_conf_board.
TEST_F(ConfBoard, AcceptedRecordIsCopiedWithTheSyncWordLeftAligned) {
  fpga_board(CxDatabase(3));
  crx_board_cfg_t cfg = board_cfg(FREQ_BAND_US915, 910000000);
  cfg.fsk_sync = 0xC194C1;
  cfg.fsk_sync_size = 3;
  cfg.loramac_public = true;
  brd_cfg_priv.lbt.enabled = 1;
  ASSERT_EQ(sandbox().open_device_count(), 0);
  ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  EXPECT_EQ(sandbox().open_device_count(), 1) << "the register path is open on the FPGA port";
  EXPECT_TRUE(logged("BrvDBG-HAL: rx_freq =910000000"));
  EXPECT_EQ(std::pair(brd_cfg_priv.rx_freq, brd_cfg_priv.freq_band), std::pair(910000000u, 2u));
  EXPECT_EQ(brd_cfg_priv.fsk_sync_size, 3);
  EXPECT_EQ(std::pair(brd_cfg_priv.fsk_sync[0], brd_cfg_priv.fsk_sync[1]), std::pair(0xC194C100u, 0u));
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
  const std::pair<float, uint32_t> cases[] = {
      {868.1f, 868100000u}, {923.3f, 923300000u}, {915.0004f, 915000000u}, {915.0006f, 915001000u},
      {0.0f, 0u}, {-1.0f, 0u}, {__builtin_nanf(""), 0u}, {1.0e30f, 4294967000u}, {__builtin_inff(), 4294967000u}};
  for (const auto& [mhz, hz] : cases) EXPECT_EQ(crx::mhz_to_hz(mhz), hz) << mhz;
}

}  // namespace

// Board, chip and channel configuration on the Wren boards, reached through
// the generic entry points: the region loader hand-over, the frequency
// limits by database version, and every refusal with its code and text.
#include <gtest/gtest.h>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "tests/conf/board_fixture.h"
#include "wren/tx_lut.h"
#include "wren/wren_conf.h"

namespace {

using crx::brd_cfg_priv;
using crx::sim::CxDatabase;
using crx::test::wren_database;

class WrenConf : public crx::test::BoardTest {
 protected:
  int configure(uint32_t band, uint8_t sync_size = 0) {
    crx_board_cfg_t cfg = board_cfg(band, 915000000);
    cfg.fsk_sync_size = sync_size;
    cfg.fsk_sync = 0xC194C1;
    cfg.loramac_public = true;
    return crx_conf_board(0, &cfg);
  }
  // The receive and transmit limits of the Wren's private configuration.
  static std::pair<uint32_t, uint32_t> rx_limits() {
    return {ostra_wren_prv_cfg.rx_freq_min, ostra_wren_prv_cfg.rx_freq_max};
  }
  static std::pair<uint32_t, uint32_t> tx_limits() {
    return {ostra_wren_prv_cfg.tx_freq_min, ostra_wren_prv_cfg.tx_freq_max};
  }
  const ostra_wren_prv_cfg_t& p = ostra_wren_prv_cfg;
};

TEST_F(WrenConf, BoardTakesLimitsGainTableAndOpensTheWrenPorts) {
  wren_board(wren_database(6));
  EXPECT_FALSE(crx::wren::priv_cfg_initialised());
  ASSERT_EQ(configure(0, 3), 0) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_WREN_TDD);
  EXPECT_NE(ostra_wren_function_pointers.get_region_info, nullptr);
  EXPECT_TRUE(crx::wren::priv_cfg_initialised());
  EXPECT_EQ(p.board_configured, 1);
  EXPECT_EQ(p.radio_number[1], 1);
  EXPECT_EQ(p.reserved_m40, -40);
  EXPECT_EQ(rx_limits(), std::pair(902000000u, 928000000u));
  EXPECT_EQ(tx_limits(), std::pair(923300000u, 927500000u));
  EXPECT_EQ(tx_freq(), tx_limits());
  EXPECT_EQ(ostra_indoor_db_config.region_set, 1);
  EXPECT_EQ(std::pair(int{crx::wren::tx_lut.size}, int{crx::wren::tx_lut.lut[0].rf_power}), std::pair(1, 14));
  EXPECT_EQ(brd_cfg_priv.fsk_sync_size, 3);
  EXPECT_EQ(crx::fsk_sync_word(), 0xC194C10000000000ull);
  EXPECT_TRUE(brd_cfg_priv.loramac_public);
  EXPECT_EQ(sandbox().open_device_count(), 3) << "SX1301, side radio and GPIO FPGA ports";
  EXPECT_TRUE(logged("BrvDBG-HAL: RF regional info read from database."));
}

TEST_F(WrenConf, OldDatabasesTakeTheBandTableForBandsOneToThreeOnly) {
  wren_board(wren_database(3));
  ASSERT_EQ(configure(FREQ_BAND_EU868), 0) << syslog_dump();
  EXPECT_EQ(rx_limits(), std::pair(863000000u, 870000000u));
  for (uint32_t band : {0u, 4u, 5u, 77u}) {
    SCOPED_TRACE(band);
    EXPECT_FAILS_WITH(configure(band), ERR_BAD_CONFIG);
    EXPECT_EQ(rx_limits(), std::pair(863000000u, 870000000u)) << "a refused band keeps the configured limits";
  }
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in ostra_wren_conf_board_priv - wrong band 4 "));
  ASSERT_EQ(configure(FREQ_BAND_US915), 0);
  EXPECT_EQ(std::pair(p.rx_freq_min, p.tx_freq_max), std::pair(902300000u, 927500000u));
  EXPECT_EQ(brd_cfg_priv.freq_band, 2u);
}

TEST_F(WrenConf, BoardRefusals) {
  wren_board(wren_database(6));
  EXPECT_FAILS_WITH(configure(1, 9), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in ostra_wren_conf_board_priv - wrong fsk_sync_size 9"));
  EXPECT_FAILS_WITH(crx_conf_board(0, nullptr), ERR_NULL_PTR);

  sandbox().remove("/etc/default/tx_lut.json");
  EXPECT_FAILS_WITH(configure(1), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_load_tx_lut E R R O R - Unable to open TX Look Up Table "
                     "/etc/default/tx_lut.json"));
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_board_priv E R R O R - Unable to populate Tx LUT."));

  sandbox().write_file("/etc/default/tx_lut.json", "{\"txgain_lut\": [{\"dig_gain\": 1}]}");
  EXPECT_FAILS_WITH(configure(1), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_load_tx_lut E R R O R - Unable to populate the Tx Look Up Table"));
}

TEST_F(WrenConf, RunningBoardKeepsItsLbtAndGainTables) {
  wren_board(wren_database(6));
  ASSERT_EQ(configure(1), 0);
  brd_cfg_priv.running = true;
  sandbox().write_file("/etc/default/tx_lut.json", R"({"txgain_lut": [
    {"dig_gain": 0, "pa_gain": 0, "dac_gain": 0, "mix_gain": 8, "rf_power": 2},
    {"dig_gain": 0, "pa_gain": 0, "dac_gain": 0, "mix_gain": 8, "rf_power": 3}]})");
  crx_board_cfg_t cfg = board_cfg(1, 915000000);
  cfg.lbt.enabled = 1;
  cfg.lbt.count = 1;
  cfg.lbt.entries[0] = {14, 1, 2, 3, 4, -5};
  EXPECT_FAILS_WITH(crx_conf_board(0, &cfg), ERR_BOARD_RUNNING);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R in ostra_wren_conf_board_priv - board is running"));
  EXPECT_EQ(crx::wren::tx_lut.size, 1);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 0);
}

TEST_F(WrenConf, MandatoryLbtOfTheDatabaseBecomesTheBoardTable) {
  wren_board(wren_database(5)
                 .set("Tx", "Tx_LBT_enable", 1)
                 .add_lbt({"US915", 27, 915.0, 928.0, 4000, 5000, -80})
                 .add_lbt({"US915", 14, 915.0, 928.0, 400, 128, -85}));
  crx_board_cfg_t cfg = board_cfg(2, 910000000);
  cfg.lbt.enabled = 1;
  cfg.lbt.count = 1;
  ASSERT_EQ(crx_conf_board(0, &cfg), 0) << syslog_dump();
  EXPECT_TRUE(logged("INFO: LBT is mandatory in this region"));
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  ASSERT_EQ(brd_cfg_priv.lbt.count, 2);
  EXPECT_EQ(std::pair(brd_cfg_priv.lbt.entries[0].max_tx_power_dbm, brd_cfg_priv.lbt.entries[1].max_tx_power_dbm),
            std::pair(14, 27));
}

TEST_F(WrenConf, RegionLoaderMissingOrFailingRefusesTheBoard) {
  wren_board(wren_database(3));
  crx_board_cfg_t cfg = board_cfg(1, 868000000);
  EXPECT_FAILS_WITH(ostra_wren_conf_board(&cfg), ERR_BAD_CONFIG);  // nobody installed the loader
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: can't read the RF region info."));
  EXPECT_EQ(ostra_indoor_db_config.region_set, 0);

  ostra_wren_function_pointers.get_region_info = [](uint32_t) { return -1; };
  EXPECT_FAILS_WITH(ostra_wren_conf_board(&cfg), ERR_BAD_CONFIG);
  EXPECT_EQ(ostra_wren_get_region_info(1), -1);
}

TEST_F(WrenConf, RegionInfoFromTheSnapshotOrThroughTheLoader) {
  use_database(wren_database(4)
                   .set("Configuration", "Min_UL_Frequency_MHz", 863.1)
                   .set("Configuration", "Max_DL_Frequency_MHz", 869.65));
  ASSERT_EQ(ostra_wren_get_region_info(0), 0) << syslog_dump();
  EXPECT_EQ(std::pair(p.rx_freq_min, p.tx_freq_max), std::pair(863100000u, 869650000u));
  EXPECT_TRUE(logged("BrvDBG-HAL: tx freq min: 923300000Hz, max: 869650000Hz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: rx freq min: 863100000Hz, max: 928000000Hz"));
  EXPECT_TRUE(logged("BrvDBG-HAL: Operating band: US915"));
}

TEST_F(WrenConf, RegionInfoWithoutADatabaseFails) {
  EXPECT_EQ(ostra_wren_set_region_info_from_db(1), -1);
  EXPECT_TRUE(logged("ostra_wren_db_rf_region:  Could not access config database."));
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: can't read the RF region info."));
}

TEST_F(WrenConf, PrivateConfigurationIsInitialisedOncePerProcess) {
  brd_cfg_priv.running = true;
  brd_cfg_priv.chan_freq[0][3] = 5;
  brd_cfg_priv.rx_freq = 7;
  ostra_wren_priv_cfg_init();
  EXPECT_FALSE(brd_cfg_priv.running);
  EXPECT_EQ(brd_cfg_priv.chan_freq[0][3], 0u);
  EXPECT_EQ(brd_cfg_priv.rx_freq, 7u) << "only chip and channel settings are cleared";
  ostra_wren_prv_cfg.chan_radio[2] = 1;
  brd_cfg_priv.chip_enable[0] = true;
  ostra_wren_priv_cfg_init();
  EXPECT_EQ(ostra_wren_prv_cfg.chan_radio[2], 1);
  EXPECT_TRUE(brd_cfg_priv.chip_enable[0]);
}

class WrenChipChan : public WrenConf {
 protected:
  void SetUp() override {
    WrenConf::SetUp();
    wren_board(wren_database(6));
    ASSERT_EQ(configure(2), 0) << syslog_dump();
  }
  int chan(uint8_t id, const crx_chan_cfg_t& cfg) { return crx_conf_chan(0, id, &cfg); }
  void enable_chip() {
    crx_chip_cfg_t cfg = chip_cfg(true, 0);
    ASSERT_EQ(crx_conf_chip(0, 0, &cfg), 0);
  }
};

TEST_F(WrenChipChan, OnlyChipZeroOnRfChainZero) {
  crx_chip_cfg_t cfg = chip_cfg(true, 123, 1);
  EXPECT_FAILS_WITH(crx_conf_chip(0, 1, &cfg), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chip_priv E R R O R - Accessed sx1301s 1, 1 max chips."));
  ASSERT_EQ(crx_conf_chip(0, 0, &cfg), 0);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chip_priv Note - cfg->rf_chain = 1, only rf_chain 0 supported."));
  EXPECT_TRUE(brd_cfg_priv.chip_enable[0]);
  EXPECT_EQ(brd_cfg_priv.chip_rf_chain[0], 0);
  EXPECT_EQ(brd_cfg_priv.chip_freq[0], 0u) << "the radios' frequencies are planned at start";
  EXPECT_EQ(ostra_wren_prv_cfg.chip_configured[0], 1);

  brd_cfg_priv.running = true;
  cfg.enable = false;
  EXPECT_FAILS_WITH(crx_conf_chip(0, 0, &cfg), ERR_BOARD_RUNNING);
  EXPECT_TRUE(brd_cfg_priv.chip_enable[0]);
  EXPECT_FAILS_WITH(crx_conf_chip(0, 0, nullptr), ERR_NULL_PTR);
}

TEST_F(WrenChipChan, ChannelRefusalsInTheirOrder) {
  crx_chan_cfg_t cfg = chan_cfg(true, 915000000);
  EXPECT_FAILS_WITH(chan(0x10, cfg), ERR_BAD_CHAN_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - CRX_BOARD_CHIPS_NB."));
  EXPECT_FAILS_WITH(chan(0x0A, cfg), ERR_BAD_CHAN_NB);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - CRX_CHIP_CHAN_NB."));
  EXPECT_FAILS_WITH(chan(0x03, chan_cfg(true, 9999999)), ERR_BAD_CONFIG);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - enable = true && freq_hz 9999999 < "
                     "CRX_MIN_FREQ  10000000."));

  EXPECT_FAILS_WITH(chan(0x03, cfg), ERR_CHIP_DISABLED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - sx1301 is disabled."));
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][3], 1u);

  enable_chip();
  EXPECT_FAILS_WITH(chan(0x03, chan_cfg(true, 928000001)), ERR_FREQ_OUT_OF_BAND);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - freq_hz = 928000001 , < 902000000 > "
                     "928000000."));
  EXPECT_EQ(chan(0x03, chan_cfg(true, 928000000)), 0);
  EXPECT_EQ(chan(0x04, chan_cfg(true, 902000000)), 0);
  EXPECT_EQ(brd_cfg_priv.chan_freq[0][4], 902000000u);

  brd_cfg_priv.running = true;
  EXPECT_FAILS_WITH(chan(0x03, chan_cfg(false, 0)), ERR_BOARD_RUNNING);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - board already running."));
  EXPECT_EQ(brd_cfg_priv.chan_enable[0][3], 1u);
}

TEST_F(WrenChipChan, ModemSettingsOfTheThreeChannelKinds) {
  enable_chip();
  EXPECT_EQ(chan(0x00, chan_cfg(true, 915000000)), 0);
  EXPECT_EQ(brd_cfg_priv.multisf_mask[0][0], 0x1E);
  EXPECT_FAILS_WITH(chan(0x01, chan_cfg(true, 915000000, 0x80)), ERR_BAD_SF);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - modrate 128 != MR_UNDEFINED 0."));
  EXPECT_FAILS_WITH(chan(0x01, chan_cfg(true, 915000000, 0, BW_500KHZ)), ERR_BAD_BW);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_conf_chan_priv E R R O R - bandwidth = 1 != 3."));

  EXPECT_EQ(chan(0x08, chan_cfg(true, 915000000, DR_LORA_SF12, BW_250KHZ)), 0);
  EXPECT_EQ(std::pair(int{brd_cfg_priv.std_sf[0]}, brd_cfg_priv.std_bandwidth[0]), std::pair(12, 2u));
  EXPECT_FAILS_WITH(chan(0x08, chan_cfg(true, 915000000, 0x06)), ERR_BAD_SF);

  EXPECT_FAILS_WITH(chan(0x09, chan_cfg(true, 915000000, 299)), ERR_BAD_BITRATE);
  EXPECT_EQ(chan(0x09, chan_cfg(true, 915000000, 250000)), 0);
  EXPECT_EQ(std::pair(brd_cfg_priv.fsk_bitrate[0], brd_cfg_priv.fsk_bandwidth[0]), std::pair(250000u, 3u));
}

}  // namespace

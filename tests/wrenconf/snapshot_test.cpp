// The Wren snapshot of the commissioning database: what each database
// version yields, the per-band RSSI offsets, and reads that must fail
// without leaving a half-loaded snapshot.
#include <gtest/gtest.h>

#include <string>

#include "crx.h"
#include "tests/conf/board_fixture.h"
#include "wren/db_snapshot.h"

namespace {

using crx::sim::CxDatabase;
using crx::test::wren_database;

class WrenSnapshot : public crx::test::BoardTest {
 protected:
  // Replaces the database and forgets the snapshot, so one test can read
  // several databases.
  void reload(const CxDatabase& db) {
    use_database(db);
    ostra_indoor_db_configured = 0;
  }
  const ostra_indoor_db_config_t& s = ostra_indoor_db_config;
};

TEST_F(WrenSnapshot, EachDatabaseVersionYieldsItsFields) {
  struct Expected {
    int version;
    bool clock_radio1;
    bool radio1_tx;
    float rssi0, rssi1;
    const char* lut;
    int lbt_enable;
    int lbt_count;
  };
  const Expected rows[] = {
      {1, true, false, -168.0f, -168.0f, "/etc/default/tx_lut.json", 0, 0},
      {2, false, false, -168.0f, -168.0f, "/data/lut_v2.json", 0, 0},
      {3, false, false, -168.0f, -168.0f, "/data/lut_v3.json", 1, 0},
      {4, false, true, -168.0f, -168.0f, "/data/lut_v4.json", 1, 0},
      {5, false, true, -168.0f, -168.0f, "/data/lut_v5.json", 1, 1},
      {6, false, true, -166.0f, -167.5f, "/data/lut_v6.json", 1, 1},
  };
  for (const Expected& want : rows) {
    SCOPED_TRACE(want.version);
    CxDatabase db = wren_database(want.version);
    db.set("Tx", "Tx_LUT_JSON_Location", "/data/lut_v" + std::to_string(want.version) + ".json");
    if (want.version >= 2) db.set("Configuration", "RF_Clock_Source", 0).set("Configuration", "RF_Type", "SX1255");
    db.set("Tx", "Tx_LBT_enable", 1).set("Configuration", "RF_TX_EN_1", 3);
    db.add_lbt({"US915", 20, 915.0, 928.0, 400, 5000, -80}).add_lbt({"EU868", 14, 863.0, 870.0, 400, 5000, -80});
    reload(db);
    sandbox().clear_logs();
    ASSERT_EQ(ostra_wren_get_db_config(), 0) << syslog_dump();
    EXPECT_EQ(ostra_indoor_db_configured, 1);
    EXPECT_EQ(std::tuple(s.config_version, s.rx_table_version, s.tx_table_version),
              std::tuple(want.version, want.version, want.version));
    EXPECT_STREQ(s.PCBA_Product_Code, "Q7000112");
    EXPECT_STREQ(s.Operating_Band, "US915");
    EXPECT_STREQ(s.Customer_Runtime_Configuration, "RUN1");
    EXPECT_FLOAT_EQ(s.Min_DL_Frequency_MHz, 923.3f);
    EXPECT_EQ(s.Tested_Week, 13);
    EXPECT_EQ(s.Num_of_SX1301s, 1);
    EXPECT_STREQ(s.RF_Type, want.version < 2 ? "SX1257" : "SX1255");
    EXPECT_EQ(std::tuple(s.radio[0].clk_src, s.radio[1].clk_src), std::tuple(!want.clock_radio1, want.clock_radio1));
    EXPECT_EQ(std::tuple(s.radio[0].tx_enable, s.radio[1].tx_enable), std::tuple(1, want.radio1_tx));
    EXPECT_FLOAT_EQ(s.radio[0].rssi_offset, want.rssi0);
    EXPECT_FLOAT_EQ(s.radio[1].rssi_offset, want.rssi1);
    EXPECT_STREQ(s.Tx_LUT_JSON_Location, want.lut);
    EXPECT_EQ(std::tuple(s.lbt.enabled, s.lbt.count), std::tuple(want.lbt_enable, want.lbt_count));
    if (want.lbt_count) {
      EXPECT_EQ(s.lbt.entries[0].max_tx_power_dbm, 20);
    }
    EXPECT_EQ(s.lbt_status, 0);
    const std::string source = want.version < 6 ? "table" : "db";
    EXPECT_TRUE(logged("BrvDBG-HAL wren_cx_get_rx_table Info - Db version: " + std::to_string(want.version) +
                       ", read rssi offset from " + source));
    EXPECT_EQ(logged("BrvDBG: wren_cx_get_tx_table - Database version 1 detected, using hard-coded TX Look UP "
                     "Table value"),
              want.version == 1);
    EXPECT_EQ(logged("using hard-coded LBT values"), want.version < 3);
    EXPECT_EQ(CxGetDatabaseVersion(), -1);
    for (auto query : {ostra_wren_db_rf_region, ostra_wren_region_info_version}) {
      uint8_t flag = 9;
      EXPECT_EQ(query(&flag), 0);
      EXPECT_EQ(flag, want.version >= 4 ? 1 : 0);
    }
  }
}

TEST_F(WrenSnapshot, ReadFailuresCloseTheDatabaseAndLeaveNothingLoaded) {
  const std::pair<CxDatabase, const char*> cases[] = {
      {wren_database(4).set("Configuration", "Num_of_SX1301s", 2),
       "BrvDBG-HAL wren_cx_get_config_table E R R O R - No. of SX1301s chips specified in the dB (2) exceeds the "
       "maximum (1)."},
      {wren_database(4).user_version(0), "ostra_wren_get_db_config:  Failed to open database"},
      {wren_database(4).table_version("Configuration", 0),
       "BrvDBG-HAL wren_cx_get_config_table E R R O R - Empty configuration table"},
      {wren_database(4).table_version("Rx", 0), "BrvDBG-HAL wren_cx_get_rx_table E R R O R - Empty Rx table"},
      {wren_database(6).drop_column("Rx", "RSSI_OFFSET_RX1"), ""},
      {wren_database(4).drop_column("Configuration", "RF_TX_EN_1"), ""},
      {wren_database(3).drop_column("Tx", "Tx_LBT_enable"), ""},
      {wren_database(2).drop_column("Configuration", "Customer_Key2"), ""},
  };
  for (const auto& [db, line] : cases) {
    SCOPED_TRACE(line);
    reload(db);
    EXPECT_FAILS_WITH(ostra_wren_get_db_config(), ERR_UNSPECIFIED);
    EXPECT_EQ(ostra_indoor_db_configured, 0);
    EXPECT_EQ(CxGetDatabaseVersion(), -1) << "the database is closed again";
    if (*line) {
      EXPECT_TRUE(logged(line)) << syslog_dump();
    }
    EXPECT_STREQ(s.Module_Name, "") << "nothing of a failed read reaches the snapshot";
  }
  // After all that, a good database loads.
  reload(wren_database(4));
  EXPECT_EQ(ostra_wren_get_db_config(), 0) << syslog_dump();

  uint8_t flag = 0;
  EXPECT_EQ(ostra_wren_db_rf_region(nullptr), -1);
  reload(wren_database(4).drop_table("Rx"));
  EXPECT_FAILS_WITH(ostra_wren_db_rf_region(&flag), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("ostra_wren_db_rf_region:  Could not access config database."));
}

TEST_F(WrenSnapshot, LongDatabaseStringsAreCutToTheirFieldsWithTheirTerminator) {
  reload(wren_database(6)
             .set("Configuration", "Module_Name", std::string(40, 'N'))
             .set("Configuration", "PCBA_IP_Address", "255.255.255.255")
             .set("Configuration", "Module_Revision", "ABCDEF")
             .set("Tx", "Tx_LUT_JSON_Location", "/" + std::string(300, 'p')));
  ASSERT_EQ(ostra_wren_get_db_config(), 0);
  EXPECT_EQ(std::string(s.Module_Name), std::string(16, 'N'));
  EXPECT_STREQ(s.PCBA_IP_Address, "255.255.255.25");
  EXPECT_STREQ(s.Module_Revision, "AB");
  EXPECT_EQ(std::string(s.Tx_LUT_JSON_Location).size(), 255u);
}

TEST_F(WrenSnapshot, OldDatabasesTakeTheRssiOffsetOfTheirBand) {
  struct Row {
    const char* band;
    float offset;
  };
  for (const Row& r : {Row{"EU868", -162}, Row{"CN470", -177}, Row{"AS923_TW", -163}, Row{"AU915", -163},
                       Row{"PLOVER933", -163}, Row{"US915", -168}, Row{"AS923_BCIL", -163}}) {
    reload(wren_database(5).set("Configuration", "Operating_Band", r.band));
    ASSERT_EQ(ostra_wren_get_db_config(), 0) << r.band;
    EXPECT_FLOAT_EQ(s.radio[0].rssi_offset, r.offset) << r.band;
    EXPECT_FLOAT_EQ(s.radio[1].rssi_offset, r.offset) << r.band;
  }
  EXPECT_TRUE(logged("BrvDBG-HAL wren_cx_get_rx_table Info - Db version: rssi offset: -162.000000"));

  for (const char* band : {"EU868x", "", static_cast<const char*>(nullptr)})
    EXPECT_FLOAT_EQ(crx::wren::get_rssi_offset_from_table(band), -168.0f);
  EXPECT_TRUE(logged("BrvDBG-HAL get_rssi_offset_from_table WARNING - Unknown band: EU868x, default to NA"));
  EXPECT_TRUE(logged("BrvDBG-HAL get_rssi_offset_from_table WARNING - No band, default to NA"));
}

TEST_F(WrenSnapshot, ModuleIdentityComesFromTheSnapshotOnWrenBoards) {
  use_database(wren_database(6).set("Configuration", "Customer_Gateway_ID", "0080000000ABCDEF99"));
  crx_module_id_t id;
  ASSERT_EQ(crx_get_module_id(&id), 0) << syslog_dump();
  EXPECT_EQ(board_type, CRX_BOARD_WREN_TDD);
  EXPECT_EQ(ostra_indoor_db_configured, 1);
  EXPECT_EQ(
      std::tuple(std::string(id.module_name), std::string(id.module_product_code), std::string(id.module_revision),
                 std::string(id.module_serial_number), std::string(id.gateway_id)),
      std::tuple("Ostra Gateway", "Q7000201", "A1", "MS0000123", "0080000000ABCDEF"));
  EXPECT_FAILS_WITH(crx_get_module_id(nullptr), ERR_NULL_PTR);
}

TEST_F(WrenSnapshot, ModuleIdentityFailsWhenTheSnapshotCannotBeRead) {
  crx_module_id_t id;
  EXPECT_FAILS_WITH(ostra_wren_get_module_id(&id), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_get_module_id E R R O R - Can't read the configuration database info."));
}

}  // namespace

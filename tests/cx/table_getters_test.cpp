// The record getters on databases of the old (3) and the extended (4+) layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crx.h"
#include "cx_fixture.h"

namespace {

using crx::sim::CxDatabase;

class CxTables : public CxTest {};

TEST_F(CxTables, ConfigurationRecordOfAnExtendedDatabase) {
  with_file(CxDatabase(6).set("Configuration", "Num_of_SX1301s", 4));
  cx_config_table_t t;
  std::memset(&t, 0x55, sizeof t);
  ASSERT_TRUE(CxGetConfigTable(&t));
  const std::pair<const char*, const char*> texts[] = {{t.Module_Name, "Ostra Gateway"},
                                                       {t.Module_Product_Code, "Q7000201"},
                                                       {t.PCBA_Product_Code, "Q7000101"},
                                                       {t.Duplexer1_Product_Code, "D1000001"},
                                                       {t.Duplexer2_Serial_Number, "DS2000002"},
                                                       {t.M3G_4G_Modem_Product_Code, "M4000004"},
                                                       {t.M3G_4G_Modem_Revision, "M1"},
                                                       {t.M3G_4G_Modem_Serial_Number, "MD4000004"},
                                                       {t.Factory_ID, "FAC1"},
                                                       {t.Vendor_ID, "VEND01"},
                                                       {t.Operating_Band, "US915"},
                                                       {t.Test_Station_ID, "TS-07"},
                                                       {t.PCBA_MAC_Address, "0002F7A1B2C3"},
                                                       {t.PCBA_IP_Address, "192.168.10.20"},
                                                       {t.Customer_Gateway_ID, "00800000A0001234"},
                                                       {t.Customer_Inventory_Serial_Number, "CIS-0042"},
                                                       {t.Customer_Key2, "KEY-TWO"},
                                                       {t.Customer_Runtime_Configuration, "RUN1"}};
  for (const auto& [got, want] : texts) EXPECT_STREQ(got, want);
  EXPECT_EQ(
      std::tuple(t.Min_UL_Frequency_MHz, t.Max_DL_Frequency_MHz, t.Max_DL_Power_dBm, t.Tx_Bandwidth_MHz, t.Rx_LO_MHz),
      std::tuple(902.0f, 927.5f, 30.0f, 20.0f, 915.0f));
  EXPECT_EQ(std::tuple(t.Version, t.Mfg_Week, t.Tested_Year, t.Num_of_SX1301s, t.Tx_FIR_Index, t.Rx_FIR_Index,
                       t.Tx_Lbt_required, t.Tx_Lbt_max_threshold),
            std::tuple(6, 12, 2019, 4, 1, 2, 0, -80));
  // Each getter closes the database again.
  EXPECT_EQ(CxGetDatabaseVersion(), -1);
}

TEST_F(CxTables, VersionThreeConfigurationLeavesTheExtendedFieldsAlone) {
  with_file(CxDatabase(3));
  cx_config_table_t t;
  std::memset(&t, 0, sizeof t);
  t.Num_of_SX1301s = 77;
  t.Tx_FIR_Index = 78;
  t.Tx_Lbt_max_threshold = 79;
  ASSERT_TRUE(CxGetConfigTable(&t));
  EXPECT_STREQ(t.Customer_Boot_Configuration, "BOOT1");
  EXPECT_EQ(std::tuple(t.Version, t.Num_of_SX1301s, t.Tx_FIR_Index, t.Tx_Lbt_max_threshold), std::tuple(3, 77, 78, 79));

  cx_rf_region_info_t r;
  std::memset(&r, 0x55, sizeof r);
  ASSERT_TRUE(CxGetRfRegioInfo(&r));
  EXPECT_STREQ(r.Operating_Band, "US915");
  EXPECT_FLOAT_EQ(r.Min_DL_Frequency_MHz, 923.3f);
  EXPECT_EQ(std::tuple(r.Version, r.Tx_Bandwidth_MHz, r.Rx_Bandwidth_MHz, r.Tx_LO_MHz, r.Rx_LO_MHz, r.Tx_FIR_Index,
                       r.Rx_FIR_Index),
            std::tuple(3, 0.0f, 0.0f, 0.0f, 0.0f, -1, -1));

  int chips = 5;
  EXPECT_FALSE(CxGetNumofChips(&chips));
  EXPECT_EQ(chips, 5);
  EXPECT_TRUE(sandbox().syslog_contains("CxGetNumofChips: Number of chips not supported in database < version: 4"));
  crx_lbt_cfg_t lbt{};
  EXPECT_FALSE(CxGetLbtParameters(&lbt));
  EXPECT_TRUE(sandbox().syslog_contains(
      "CxGetLbtParameters: Listen before talk not supported in database < version: 4"));
}

TEST_F(CxTables, RegionChipCountAndModuleOfAnExtendedDatabase) {
  with_file(CxDatabase(4).set("Configuration", "Num_of_SX1301s", 0));
  cx_rf_region_info_t r{};
  ASSERT_TRUE(CxGetRfRegioInfo(&r));
  EXPECT_EQ(std::tuple(r.Version, r.Tx_Bandwidth_MHz, r.Rx_Bandwidth_MHz, r.Tx_LO_MHz, r.Rx_FIR_Index),
            std::tuple(4, 20.0f, 10.0f, 925.0f, 2));
  int chips = -1;
  ASSERT_TRUE(CxGetNumofChips(&chips));
  EXPECT_EQ(chips, 0);

  cx_module_id_t m{};
  ASSERT_TRUE(CxGetModuleId(&m));
  EXPECT_EQ(std::tuple(std::string(m.Module_Name), std::string(m.Module_Product_Code), std::string(m.Module_Revision),
                       std::string(m.Module_Serial_Number), std::string(m.Customer_Gateway_ID)),
            std::tuple("Ostra Gateway", "Q7000201", "A1", "MS0000123", "00800000A0001234"));

  char code[18];
  ASSERT_TRUE(CxGetPcbaCode(code, sizeof code));
  EXPECT_STREQ(code, "Q7000101");
  char cut[4];
  ASSERT_TRUE(CxGetPcbaCode(cut, sizeof cut));
  EXPECT_STREQ(cut, "Q70");
  EXPECT_FALSE(CxGetPcbaCode(code, 1));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetPcbaCode: invalid parameter"));
  EXPECT_EQ(CxGetDatabaseVersion(), -1);
}

// The calibration tables carry the same columns in every version, and the
// module identity is read the same way before and after the extended region
// columns arrived.
TEST_F(CxTables, TransmitAndReceiveCalibrationAndModuleOfEveryVersion) {
  for (int version : {1, 3, 4, 6}) {
    SCOPED_TRACE(version);
    with_file(CxDatabase(version));
    cx_tx_dig_gain_table_t tx{};
    ASSERT_TRUE(CxGetTxDigGainTable(&tx));
    EXPECT_EQ(std::tuple(tx.Version, tx.AD936x_TX1_Atten_MSB, tx.AD936x_TX2_Atten_LSB, tx.Temperature_degC),
              std::tuple(version, 0, 44, 25.5f));
    EXPECT_EQ(std::tuple(tx.TX1_Phase_Corr, tx.TX1_Gain_Corr, tx.TX1_Offset_I, tx.TX1_Offset_Q, tx.TX2_Phase_Corr,
                         tx.TX2_Offset_Q, tx.VCXO_CAL_VOLTAGE),
              std::tuple(11, 12, -13, 14, 21, -24, 1650));

    cx_ad9361_tx_attens_t at{};
    ASSERT_TRUE(CxGetAd9361TxAttens(&at));
    EXPECT_EQ(std::tuple(at.TX1_Atten_MSB, at.TX1_Atten_LSB, at.TX2_Atten_MSB, at.TX2_Atten_LSB),
              std::tuple(0, 40, 0, 44));

    cx_rx_table_t rx{};
    ASSERT_TRUE(CxGetRxTable(&rx));
    EXPECT_EQ(std::tuple(rx.Version, rx.RSSI_OFFSET_RX0, rx.RSSI_OFFSET_RX1, rx.DBFS_TO_DBM_GAIN_RX0,
                         rx.DBFS_TO_DBM_GAIN_RX1),
              std::tuple(version, -166.0f, -167.5f, 1.25f, 2.5f));

    cx_module_id_t m{};
    ASSERT_TRUE(CxGetModuleId(&m));
    EXPECT_STREQ(m.Module_Product_Code, "Q7000201");
    char code[18];
    ASSERT_TRUE(CxGetPcbaCode(code, sizeof code));
    EXPECT_STREQ(code, "Q7000101");
  }
}

TEST_F(CxTables, TableVersionZeroMeansEmpty) {
  with_file(CxDatabase(6).table_version("Configuration", 0).table_version("Tx", 0).table_version("Rx", 0));
  cx_config_table_t c;
  cx_tx_dig_gain_table_t tx;
  cx_rx_table_t rx;
  cx_ad9361_tx_attens_t at;
  cx_module_id_t m;
  char code[18];
  const std::pair<bool, const char*> getters[] = {
      {CxGetConfigTable(&c), "CxGetConfigTable: empty configuration table"},
      {CxGetTxDigGainTable(&tx), "CxGetTxDigGainTable: empty Tx gain table"},
      {CxGetRxTable(&rx), "CxGetRxTable: empty Rx table"},
      {CxGetAd9361TxAttens(&at), "CxGetAd9361TxAttens: empty Tx table"},
      {CxGetModuleId(&m), "CxGetModuleId: empty configuration table"},
      {CxGetPcbaCode(code, sizeof code), "CxGetPcbaCode: empty configuration table"}};
  for (const auto& [ok, line] : getters) {
    EXPECT_FALSE(ok) << line;
    EXPECT_TRUE(sandbox().syslog_contains(line));
  }
}

TEST_F(CxTables, FailedReadEndsTheGetterAndLeavesTheDatabaseOpen) {
  with_file(CxDatabase(6).drop_column("Configuration", "Mfg_Week"));
  cx_config_table_t t;
  std::memset(&t, 0, sizeof t);
  EXPECT_FALSE(CxGetConfigTable(&t));
  EXPECT_EQ(t.Mfg_Year, 2019);
  EXPECT_EQ(t.Test_Station_ID[0], '\0');  // nothing after the failing column was read
  EXPECT_EQ(CxGetDatabaseVersion(), 6);   // still open; the next getter reuses it
  cx_module_id_t m{};
  EXPECT_TRUE(CxGetModuleId(&m));
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: already initialized"));
  EXPECT_EQ(CxGetDatabaseVersion(), -1);

  EXPECT_FALSE(CxGetConfigTable(nullptr));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetConfigTable: invalid parameter"));
}

TEST_F(CxTables, LongValuesAreCutToTheirFields) {
  const std::string long_text(40, 'Z');
  with_file(CxDatabase(6)
                .set("Configuration", "Module_Name", long_text)
                .set("Configuration", "Module_Revision", "REV-LONG")
                .set("Configuration", "PCBA_MAC_Address", "0002F7A1B2C3D4E5F6")
                .set("Configuration", "Factory_ID", "FACTORY-9"));
  cx_config_table_t t;
  ASSERT_TRUE(CxGetConfigTable(&t));
  EXPECT_EQ(std::string(t.Module_Name), std::string(17, 'Z'));
  EXPECT_STREQ(t.Module_Revision, "REV");
  EXPECT_STREQ(t.PCBA_MAC_Address, "0002F7A1B2C3D");
  EXPECT_STREQ(t.Factory_ID, "FACTO");
  EXPECT_STREQ(t.Vendor_ID, "VEND01");  // the neighbour is intact
}

TEST_F(CxTables, DatabaseVersionMustBePositiveForEveryGetter) {
  with_file(CxDatabase(6).user_version(-2));
  cx_rx_table_t rx;
  EXPECT_FALSE(CxGetRxTable(&rx));
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: database version -2 is not supported"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetRxTable:  Failed to open database"));
  // A file that was already there is not removed for failing its checks.
  EXPECT_TRUE(sandbox().exists("/tmp/commissioning.db"));
}

}  // namespace

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
  EXPECT_EQ(t.Version, 6);
  EXPECT_STREQ(t.Module_Name, "Ostra Gateway");
  EXPECT_STREQ(t.Module_Product_Code, "Q7000201");
  EXPECT_STREQ(t.PCBA_Product_Code, "Q7000101");
  EXPECT_STREQ(t.Duplexer1_Product_Code, "D1000001");
  EXPECT_STREQ(t.Duplexer2_Serial_Number, "DS2000002");
  EXPECT_STREQ(t.M3G_4G_Modem_Product_Code, "M4000004");
  EXPECT_STREQ(t.M3G_4G_Modem_Revision, "M1");
  EXPECT_STREQ(t.M3G_4G_Modem_Serial_Number, "MD4000004");
  EXPECT_STREQ(t.Factory_ID, "FAC1");
  EXPECT_STREQ(t.Vendor_ID, "VEND01");
  EXPECT_STREQ(t.Operating_Band, "US915");
  EXPECT_FLOAT_EQ(t.Min_UL_Frequency_MHz, 902.0f);
  EXPECT_FLOAT_EQ(t.Max_DL_Frequency_MHz, 927.5f);
  EXPECT_FLOAT_EQ(t.Max_DL_Power_dBm, 30.0f);
  EXPECT_EQ(t.Mfg_Week, 12);
  EXPECT_STREQ(t.Test_Station_ID, "TS-07");
  EXPECT_EQ(t.Tested_Year, 2019);
  EXPECT_STREQ(t.PCBA_MAC_Address, "0002F7A1B2C3");
  EXPECT_STREQ(t.PCBA_IP_Address, "192.168.10.20");
  EXPECT_STREQ(t.Customer_Gateway_ID, "00800000A0001234");
  EXPECT_STREQ(t.Customer_Inventory_Serial_Number, "CIS-0042");
  EXPECT_STREQ(t.Customer_Key2, "KEY-TWO");
  EXPECT_STREQ(t.Customer_Runtime_Configuration, "RUN1");
  EXPECT_EQ(t.Num_of_SX1301s, 4);
  EXPECT_FLOAT_EQ(t.Tx_Bandwidth_MHz, 20.0f);
  EXPECT_FLOAT_EQ(t.Rx_LO_MHz, 915.0f);
  EXPECT_EQ(t.Tx_FIR_Index, 1);
  EXPECT_EQ(t.Rx_FIR_Index, 2);
  EXPECT_EQ(t.Tx_Lbt_required, 0);
  EXPECT_EQ(t.Tx_Lbt_max_threshold, -80);
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
  EXPECT_EQ(t.Version, 3);
  EXPECT_STREQ(t.Customer_Boot_Configuration, "BOOT1");
  EXPECT_EQ(t.Num_of_SX1301s, 77);
  EXPECT_EQ(t.Tx_FIR_Index, 78);
  EXPECT_EQ(t.Tx_Lbt_max_threshold, 79);

  cx_rf_region_info_t r;
  std::memset(&r, 0x55, sizeof r);
  ASSERT_TRUE(CxGetRfRegioInfo(&r));
  EXPECT_EQ(r.Version, 3);
  EXPECT_STREQ(r.Operating_Band, "US915");
  EXPECT_FLOAT_EQ(r.Min_DL_Frequency_MHz, 923.3f);
  EXPECT_EQ(r.Tx_Bandwidth_MHz, 0.0f);
  EXPECT_EQ(r.Rx_Bandwidth_MHz, 0.0f);
  EXPECT_EQ(r.Tx_LO_MHz, 0.0f);
  EXPECT_EQ(r.Rx_LO_MHz, 0.0f);
  EXPECT_EQ(r.Tx_FIR_Index, -1);
  EXPECT_EQ(r.Rx_FIR_Index, -1);

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
  EXPECT_EQ(r.Version, 4);
  EXPECT_FLOAT_EQ(r.Tx_Bandwidth_MHz, 20.0f);
  EXPECT_FLOAT_EQ(r.Rx_Bandwidth_MHz, 10.0f);
  EXPECT_FLOAT_EQ(r.Tx_LO_MHz, 925.0f);
  EXPECT_EQ(r.Rx_FIR_Index, 2);
  int chips = -1;
  ASSERT_TRUE(CxGetNumofChips(&chips));
  EXPECT_EQ(chips, 0);

  cx_module_id_t m{};
  ASSERT_TRUE(CxGetModuleId(&m));
  EXPECT_STREQ(m.Module_Name, "Ostra Gateway");
  EXPECT_STREQ(m.Module_Product_Code, "Q7000201");
  EXPECT_STREQ(m.Module_Revision, "A1");
  EXPECT_STREQ(m.Module_Serial_Number, "MS0000123");
  EXPECT_STREQ(m.Customer_Gateway_ID, "00800000A0001234");

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

TEST_F(CxTables, TransmitAndReceiveCalibration) {
  with_file(CxDatabase(1));
  cx_tx_dig_gain_table_t tx{};
  ASSERT_TRUE(CxGetTxDigGainTable(&tx));
  EXPECT_EQ(tx.Version, 1);
  EXPECT_EQ(tx.AD936x_TX1_Atten_MSB, 1);
  EXPECT_EQ(tx.AD936x_TX2_Atten_LSB, 4);
  EXPECT_FLOAT_EQ(tx.Temperature_degC, 25.5f);
  EXPECT_EQ(tx.TX1_Phase_Corr, 11);
  EXPECT_EQ(tx.TX1_Gain_Corr, 12);
  EXPECT_EQ(tx.TX1_Offset_I, -13);
  EXPECT_EQ(tx.TX1_Offset_Q, 14);
  EXPECT_EQ(tx.TX2_Phase_Corr, 21);
  EXPECT_EQ(tx.TX2_Offset_Q, -24);
  EXPECT_EQ(tx.VCXO_CAL_VOLTAGE, 1650);

  cx_ad9361_tx_attens_t at{};
  ASSERT_TRUE(CxGetAd9361TxAttens(&at));
  EXPECT_EQ(at.TX1_Atten_MSB, 1);
  EXPECT_EQ(at.TX1_Atten_LSB, 2);
  EXPECT_EQ(at.TX2_Atten_MSB, 3);
  EXPECT_EQ(at.TX2_Atten_LSB, 4);

  cx_rx_table_t rx{};
  ASSERT_TRUE(CxGetRxTable(&rx));
  EXPECT_EQ(rx.Version, 1);
  EXPECT_FLOAT_EQ(rx.RSSI_OFFSET_RX0, -166.0f);
  EXPECT_FLOAT_EQ(rx.RSSI_OFFSET_RX1, -167.5f);
  EXPECT_FLOAT_EQ(rx.DBFS_TO_DBM_GAIN_RX0, 1.25f);
  EXPECT_FLOAT_EQ(rx.DBFS_TO_DBM_GAIN_RX1, 2.5f);
}

TEST_F(CxTables, TableVersionZeroMeansEmpty) {
  with_file(CxDatabase(6).table_version("Configuration", 0).table_version("Tx", 0).table_version("Rx", 0));
  cx_config_table_t c;
  cx_tx_dig_gain_table_t tx;
  cx_rx_table_t rx;
  cx_ad9361_tx_attens_t at;
  cx_module_id_t m;
  char code[18];
  EXPECT_FALSE(CxGetConfigTable(&c));
  EXPECT_FALSE(CxGetTxDigGainTable(&tx));
  EXPECT_FALSE(CxGetRxTable(&rx));
  EXPECT_FALSE(CxGetAd9361TxAttens(&at));
  EXPECT_FALSE(CxGetModuleId(&m));
  EXPECT_FALSE(CxGetPcbaCode(code, sizeof code));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetConfigTable: empty configuration table"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetTxDigGainTable: empty Tx gain table"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetRxTable: empty Rx table"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetAd9361TxAttens: empty Tx table"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetModuleId: empty configuration table"));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetPcbaCode: empty configuration table"));
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

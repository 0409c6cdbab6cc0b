#include "cxdb.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "mtd.h"
#include "power_detector.h"
#include "sandbox.h"
#include "spi_flash.h"

namespace crx::sim {

CxValue::CxValue(int v) : literal(std::to_string(v)) {}
CxValue::CxValue(double v) {
  std::ostringstream s;
  s.precision(17);
  s << v;
  literal = s.str();
  if (literal.find_first_of(".eEn") == std::string::npos) literal += ".0";  // keep it a REAL
}
CxValue::CxValue(const char* text) : CxValue(std::string(text ? text : "")) {}
CxValue::CxValue(const std::string& text) : literal(1, '\'') {
  for (char c : text) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  literal += "'";
}
CxValue CxValue::null() {
  CxValue v;
  v.literal = "NULL";
  return v;
}

const std::vector<CxBoardCodes>& cx_board_codes() {
  static const std::vector<CxBoardCodes> codes = {
      {"Condor NA", "Q7000101", "Q7000201"},       {"Condor EU", "Q7000102", "Q7000202"},
      {"Condor JP", "Q7000102", "Q7000122"},       {"Calder Condor", "Q7000120", "Q7000220"},
      {"OPAL 104", "Q7000104", "Q7000204"},        {"OPAL 105", "Q7000105", "Q7000205"},
      {"Plover", "Q7000103", "Q7000203"},          {"Heron FDD 106", "Q7000106", "Q7000206"},
      {"Heron FDD 107", "Q7000107", "Q7000207"},   {"Heron TDD 108", "Q7000108", "Q7000208"},
      {"Heron TDD 109", "Q7000109", "Q7000209"},   {"Heron Plover Norvik", "Q7000110", "Q7000210"},
      {"Heron Calder", "Q7000111", "Q7000211"},    {"Heron Rail 108", "Q7000108", "Q7000123"},
      {"Heron Rail 109", "Q7000109", "Q7000123"},  {"Wren TDD 112", "Q7000112", "Q7000212"},
      {"Wren TDD 113", "Q7000113", "Q7000213"},    {"Wren TDD 114", "Q7000114", "Q7000214"},
      {"Wren TDD 115", "Q7000115", "Q7000215"},    {"Wren TDD 116", "Q7000116", "Q7000216"},
      {"Wren TDD 117", "Q7000117", "Q7000217"},    {"SCM", "Q7000000", "Q7000200"},
      {"Tamar", "Q7000121", "Q7000221"},           {"Wren Outdoor 118", "Q7000118", "Q7000218"},
      {"Wren Outdoor 119", "Q7000119", "Q7000219"},
  };
  return codes;
}

CxDatabase::CxDatabase(int version) : user_version_(version) {
  const auto cfg = [&](const char* name, const char* type, const CxValue& v) { column("Configuration", name, type, v); };
  cfg("Version", "INTEGER", version);
  cfg("Module_Name", "TEXT", "Ostra Gateway");
  cfg("Module_Product_Code", "TEXT", "Q7000201");
  cfg("Module_Revision", "TEXT", "A1");
  cfg("Module_Serial_Number", "TEXT", "MS0000123");
  cfg("PCBA_Product_Code", "TEXT", "Q7000101");
  cfg("PCBA_Revision", "TEXT", "B2");
  cfg("PCBA_Serial_Number", "TEXT", "PS0000456");
  cfg("Duplexer1_Product_Code", "TEXT", "D1000001");
  cfg("Duplexer1_Revision", "TEXT", "C1");
  cfg("Duplexer1_Serial_Number", "TEXT", "DS1000001");
  cfg("Duplexer2_Product_Code", "TEXT", "D2000002");
  cfg("Duplexer2_Revision", "TEXT", "C2");
  cfg("Duplexer2_Serial_Number", "TEXT", "DS2000002");
  cfg("3G_4G_Modem_Product_Code", "TEXT", "M4000004");
  cfg("3G_4G_Modem_Revision", "TEXT", "M1");
  cfg("3G_4G_Modem_Serial_Number", "TEXT", "MD4000004");
  cfg("Factory_ID", "TEXT", "FAC1");
  cfg("Vendor_ID", "TEXT", "VEND01");
  cfg("Operating_Band", "TEXT", "US915");
  cfg("Min_UL_Frequency_MHz", "REAL", 902.0);
  cfg("Max_UL_Frequency_MHz", "REAL", 928.0);
  cfg("Min_DL_Frequency_MHz", "REAL", 923.3);
  cfg("Max_DL_Frequency_MHz", "REAL", 927.5);
  cfg("Min_DL_Power_dBm", "REAL", 10.0);
  cfg("Max_DL_Power_dBm", "REAL", 30.0);
  cfg("Mfg_Year", "INTEGER", 2019);
  cfg("Mfg_Week", "INTEGER", 12);
  cfg("Test_Station_ID", "TEXT", "TS-07");
  cfg("Tested_Year", "INTEGER", 2019);
  cfg("Tested_Week", "INTEGER", 13);
  cfg("PCBA_MAC_Address", "TEXT", "0002F7A1B2C3");
  cfg("PCBA_IP_Address", "TEXT", "192.168.10.20");
  cfg("Customer_Gateway_ID", "TEXT", "00800000A0001234");
  cfg("Customer_Inventory_Name", "TEXT", "GW-NORTH");
  cfg("Customer_Inventory_Product_Code", "TEXT", "CIP-100");
  cfg("Customer_Inventory_Revision", "TEXT", "R3");
  cfg("Customer_Inventory_Serial_Number", "TEXT", "CIS-0042");
  cfg("Customer_Key1", "TEXT", "KEY-ONE");
  cfg("Customer_Key2", "TEXT", "KEY-TWO");
  cfg("Customer_Boot_Configuration", "TEXT", "BOOT1");
  cfg("Customer_Runtime_Configuration", "TEXT", "RUN1");
  if (version >= 2) {
    cfg("Num_of_SX1301s", "INTEGER", 8);
    cfg("RF_Type", "TEXT", "SX1257");
    cfg("RF_Clock_Source", "INTEGER", 1);
  }
  if (version >= 4) {
    cfg("Tx_Bandwidth_MHz", "REAL", 20.0);
    cfg("Rx_Bandwidth_MHz", "REAL", 10.0);
    cfg("Tx_LO_MHz", "REAL", 925.0);
    cfg("Rx_LO_MHz", "REAL", 915.0);
    cfg("Tx_FIR_Index", "INTEGER", 1);
    cfg("Rx_FIR_Index", "INTEGER", 2);
    cfg("Tx_Lbt_required", "INTEGER", 0);
    cfg("Tx_Lbt_max_threshold", "INTEGER", -80);
    cfg("RF_TX_EN_0", "INTEGER", 1);
    cfg("RF_TX_EN_1", "INTEGER", 0);
  }

  const auto tx = [&](const char* name, const char* type, const CxValue& v) { column("Tx", name, type, v); };
  tx("Version", "INTEGER", version);
  // Plausible factory attenuations (quarter dB): 10 dB and 11 dB.
  tx("AD936x_TX1_Atten_MSB", "INTEGER", 0);
  tx("AD936x_TX1_Atten_LSB", "INTEGER", 40);
  tx("AD936x_TX2_Atten_MSB", "INTEGER", 0);
  tx("AD936x_TX2_Atten_LSB", "INTEGER", 44);
  tx("Temperature_degC", "REAL", 25.5);
  tx("Ad936x_TX1_OUT_1_PHASE_CORR", "INTEGER", 11);
  tx("Ad936x_TX1_OUT_1_GAIN_CORR", "INTEGER", 12);
  tx("Ad936x_TX1_OUT_1_OFFSET_I", "INTEGER", -13);
  tx("Ad936x_TX1_OUT_1_OFFSET_Q", "INTEGER", 14);
  tx("Ad936x_TX2_OUT_1_PHASE_CORR", "INTEGER", 21);
  tx("Ad936x_TX2_OUT_1_GAIN_CORR", "INTEGER", 22);
  tx("Ad936x_TX2_OUT_1_OFFSET_I", "INTEGER", 23);
  tx("Ad936x_TX2_OUT_1_OFFSET_Q", "INTEGER", -24);
  tx("VCXO_CAL_VOLTAGE", "INTEGER", 1650);
  if (version >= 2) tx("Tx_LUT_JSON_Location", "TEXT", "/etc/default/tx_lut.json");
  if (version >= 3) tx("Tx_LBT_enable", "INTEGER", 0);

  const auto rx = [&](const char* name, const char* type, const CxValue& v) { column("Rx", name, type, v); };
  rx("Version", "INTEGER", version);
  rx("RSSI_OFFSET_RX0", "REAL", -166.0);
  rx("RSSI_OFFSET_RX1", "REAL", -167.5);
  // The gain the simulated boards' power detector really has.
  rx("DBFS_TO_DBM_GAIN_RX0", "REAL", PowerDetector::kFactoryDbfsToDbm[0]);
  rx("DBFS_TO_DBM_GAIN_RX1", "REAL", PowerDetector::kFactoryDbfsToDbm[1]);

  Table& lbt = table("Lbt");
  lbt.columns = {{"Version", "INTEGER"},        {"Operating_Band", "TEXT"},    {"Max_Tx_power_dBm", "INTEGER"},
                 {"Min_Freq_MHz", "REAL"},      {"Max_Freq_MHz", "REAL"},      {"Max_talk_time_ms", "INTEGER"},
                 {"Listen_time_us", "INTEGER"}, {"LBT_Threshold_dBm", "INTEGER"}};
}

CxDatabase::Table& CxDatabase::table(const std::string& name) {
  for (auto& t : tables_)
    if (t.name == name) return t;
  tables_.push_back({name, {}, {}});
  return tables_.back();
}

void CxDatabase::column(const std::string& table_name, const std::string& name, const std::string& type,
                        const CxValue& value) {
  Table& t = table(table_name);
  if (t.rows.empty()) t.rows.emplace_back();
  t.columns.emplace_back(name, type);
  for (auto& r : t.rows) r.push_back(value.literal);
}

CxDatabase& CxDatabase::user_version(int v) {
  user_version_ = v;
  return *this;
}

CxDatabase& CxDatabase::set(const std::string& table_name, const std::string& column_name, const CxValue& value,
                            size_t row) {
  Table& t = table(table_name);
  size_t index = 0;
  while (index < t.columns.size() && t.columns[index].first != column_name) ++index;
  if (index == t.columns.size()) {
    const char* type = "TEXT";
    if (value.literal.front() != '\'' && value.literal != "NULL")
      type = value.literal.find('.') != std::string::npos ? "REAL" : "INTEGER";
    t.columns.emplace_back(column_name, type);
    for (auto& r : t.rows) r.push_back("NULL");
  }
  while (t.rows.size() <= row) t.rows.emplace_back(t.columns.size(), "NULL");
  t.rows[row][index] = value.literal;
  return *this;
}

CxDatabase& CxDatabase::drop_column(const std::string& table_name, const std::string& column_name) {
  Table& t = table(table_name);
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (t.columns[i].first != column_name) continue;
    t.columns.erase(t.columns.begin() + static_cast<long>(i));
    for (auto& r : t.rows) r.erase(r.begin() + static_cast<long>(i));
    break;
  }
  return *this;
}

CxDatabase& CxDatabase::add_row(const std::string& table_name) {
  Table& t = table(table_name);
  if (t.rows.empty()) t.rows.emplace_back(t.columns.size(), "NULL");
  else t.rows.push_back(t.rows.back());
  return *this;
}

CxDatabase& CxDatabase::clear_rows(const std::string& table_name) {
  table(table_name).rows.clear();
  return *this;
}

CxDatabase& CxDatabase::drop_table(const std::string& table_name) {
  for (size_t i = 0; i < tables_.size(); ++i)
    if (tables_[i].name == table_name) tables_.erase(tables_.begin() + static_cast<long>(i));
  return *this;
}

CxDatabase& CxDatabase::add_lbt(const CxLbtRow& r) {
  Table& t = table("Lbt");
  t.rows.push_back({CxValue(user_version_).literal, CxValue(r.band).literal, CxValue(r.max_tx_power_dbm).literal,
                    CxValue(r.min_freq_mhz).literal, CxValue(r.max_freq_mhz).literal,
                    CxValue(r.max_talk_time_ms).literal, CxValue(r.listen_time_us).literal,
                    CxValue(r.threshold_dbm).literal});
  return *this;
}

CxDatabase& CxDatabase::board(const std::string& pcba, const std::string& module) {
  set("Configuration", "PCBA_Product_Code", pcba);
  if (!module.empty()) set("Configuration", "Module_Product_Code", module);
  return *this;
}

CxDatabase& CxDatabase::extra_sql(const std::string& sql) {
  extra_ += sql;
  extra_ += "\n";
  return *this;
}

std::string CxDatabase::sql() const {
  std::string out = "BEGIN;\n";
  for (const auto& t : tables_) {
    out += "CREATE TABLE \"" + t.name + "\" (";
    for (size_t i = 0; i < t.columns.size(); ++i)
      out += (i ? ", \"" : "\"") + t.columns[i].first + "\" " + t.columns[i].second;
    out += ");\n";
    for (const auto& r : t.rows) {
      out += "INSERT INTO \"" + t.name + "\" VALUES (";
      for (size_t i = 0; i < r.size(); ++i) out += (i ? ", " : "") + r[i];
      out += ");\n";
    }
  }
  out += extra_;
  out += "PRAGMA user_version = " + std::to_string(user_version_) + ";\nCOMMIT;\n";
  return out;
}

std::vector<uint8_t> CxDatabase::image() const { return cx_build_image(sql()); }

std::vector<uint8_t> cx_build_image(const std::string& sql) {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/crx-cxdb-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("cannot create a database file");
  ::close(fd);
  sqlite3* db = nullptr;
  std::string error;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    error = db ? sqlite3_errmsg(db) : "out of memory";
  } else {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      error = message ? message : "SQL error";
      sqlite3_free(message);
    }
  }
  sqlite3_close(db);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::unlink(path.c_str());
  if (!error.empty()) throw std::runtime_error("database build failed: " + error);
  return bytes;
}

void cx_put_in_raw_flash(SpiNorFlash& chip, const std::vector<uint8_t>& image) { chip.load(0x300000, image); }

void cx_put_in_mtd(MtdPartition& part, const std::vector<uint8_t>& image) { part.load(0, image); }

void cx_put_file(Sandbox& sandbox, const std::vector<uint8_t>& image) {
  sandbox.write_file("/tmp/commissioning.db", std::string(image.begin(), image.end()), 0660);
}

}  // namespace crx::sim

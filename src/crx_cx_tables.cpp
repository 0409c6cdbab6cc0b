// The table getters: each opens the database, checks versions, fills one
// record column by column, and closes the database again. Any failing read
// ends the getter with false and leaves the database open for the next
// caller, which then reuses the connection.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "crx.h"
#include "crx_cx.h"
#include "crx_cx_internal.h"
#include "log.h"

namespace crx::cx {
namespace {

// Reads columns of one table in order, stopping at the first failure.
class Columns {
 public:
  explicit Columns(const char* table) : table_(table) {}
  Columns& integer(const char* column, int& out) {
    ok_ = ok_ && CxGetInt(column, table_, &out);
    return *this;
  }
  Columns& real(const char* column, float& out) {
    ok_ = ok_ && CxGetFloat(column, table_, &out);
    return *this;
  }
  template <size_t N>
  Columns& text(const char* column, char (&out)[N]) {
    ok_ = ok_ && CxGetString(column, table_, static_cast<int>(N), out);
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  const char* table_;
  bool ok_ = true;
};

// Opens the database and reads the table's Version (0 means empty).
bool begin(const char* who, const char* table, int& version, const char* empty_text) {
  if (!CxInit()) {
    log_line("%s:  Failed to open database", who);
    return false;
  }
  const int db_version = CxGetDatabaseVersion();
  if (db_version <= 0) {
    log_line("%s: database version %d is not supported", who, db_version);
    return false;
  }
  if (!CxGetInt("Version", table, &version)) return false;
  if (version == 0) {
    log_line(empty_text, who);
    return false;
  }
  return true;
}

constexpr const char* kEmptyConfig = "%s: empty configuration table";

// Closes the database; `on_failure` is what the getter then reports.
bool finish(const char* who, bool on_failure) {
  if (CxCleanup()) return true;
  log_line("%s E R R O R Failed to clean up database\n", who);
  return on_failure;
}

// Database tables of version 4 and later carry the SX1301 count, the
// radio front-end settings and the listen-before-talk options.
constexpr int kFirstExtendedVersion = 4;

uint32_t lbt_hz(double mhz) {
  // Guard the conversions themselves; the limit proper is tested in float.
  if (!(mhz > 0.0 && mhz < 1.0e4)) return 0;
  const float f = static_cast<float>(mhz);
  if (!(f < 1500.0f)) return 0;
  const float centi = f * 100.0f;
  return static_cast<uint32_t>(static_cast<double>(centi) * 10000.0);
}

bool column_is(const char* name, const char* key) { return std::strncmp(name, key, std::strlen(name)) == 0; }

void lbt_row(sqlite3_stmt* st, void* arg, int) {
  auto* lbt = static_cast<crx_lbt_cfg_t*>(arg);
  if (!lbt) {
    log_line("%s: struct pointer is NULL", "cxGetLbtCallback");
    return;
  }
  crx_lbt_entry_t e{};
  const int columns = sqlite3_column_count(st);
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(st, i);
    if (!name) continue;
    if (column_is(name, "Max_Tx_power_dBm")) e.max_tx_power_dbm = sqlite3_column_int(st, i);
    else if (column_is(name, "Min_Freq_MHz")) e.min_freq_hz = lbt_hz(sqlite3_column_double(st, i));
    else if (column_is(name, "Max_Freq_MHz")) e.max_freq_hz = lbt_hz(sqlite3_column_double(st, i));
    else if (column_is(name, "Max_talk_time_ms")) e.max_talk_time_ms = sqlite3_column_int(st, i);
    else if (column_is(name, "Listen_time_us")) e.listen_time_us = sqlite3_column_int(st, i);
    else if (column_is(name, "LBT_Threshold_dBm")) e.threshold_dbm = sqlite3_column_int(st, i);
  }
  const bool usable = e.min_freq_hz && e.max_freq_hz && e.max_talk_time_ms != 0 && e.listen_time_us >= 1 &&
                      e.threshold_dbm < 0;
  // Accepted rows are packed at the front: consumers read entries 0 to
  // count - 1, whatever rows were skipped in between.
  if (usable && lbt->count < CRX_LBT_MAX_ENTRIES) lbt->entries[lbt->count++] = e;
}

}  // namespace
}  // namespace crx::cx

using namespace crx;
using namespace crx::cx;

extern "C" {

bool CxGetConfigTable(cx_config_table_t* t) {
  constexpr const char* who = "CxGetConfigTable";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  if (!begin(who, "Configuration", t->Version, kEmptyConfig)) return false;
  Columns c("Configuration");
  c.text("Module_Name", t->Module_Name)
      .text("Module_Product_Code", t->Module_Product_Code)
      .text("Module_Revision", t->Module_Revision)
      .text("Module_Serial_Number", t->Module_Serial_Number)
      .text("PCBA_Product_Code", t->PCBA_Product_Code)
      .text("PCBA_Revision", t->PCBA_Revision)
      .text("PCBA_Serial_Number", t->PCBA_Serial_Number)
      .text("Duplexer1_Product_Code", t->Duplexer1_Product_Code)
      .text("Duplexer1_Revision", t->Duplexer1_Revision)
      .text("Duplexer1_Serial_Number", t->Duplexer1_Serial_Number)
      .text("Duplexer2_Product_Code", t->Duplexer2_Product_Code)
      .text("Duplexer2_Revision", t->Duplexer2_Revision)
      .text("Duplexer2_Serial_Number", t->Duplexer2_Serial_Number)
      .text("3G_4G_Modem_Product_Code", t->M3G_4G_Modem_Product_Code)
      .text("3G_4G_Modem_Revision", t->M3G_4G_Modem_Revision)
      .text("3G_4G_Modem_Serial_Number", t->M3G_4G_Modem_Serial_Number)
      .text("Factory_ID", t->Factory_ID)
      .text("Vendor_ID", t->Vendor_ID)
      .text("Operating_Band", t->Operating_Band)
      .real("Min_UL_Frequency_MHz", t->Min_UL_Frequency_MHz)
      .real("Max_UL_Frequency_MHz", t->Max_UL_Frequency_MHz)
      .real("Min_DL_Frequency_MHz", t->Min_DL_Frequency_MHz)
      .real("Max_DL_Frequency_MHz", t->Max_DL_Frequency_MHz)
      .real("Min_DL_Power_dBm", t->Min_DL_Power_dBm)
      .real("Max_DL_Power_dBm", t->Max_DL_Power_dBm)
      .integer("Mfg_Year", t->Mfg_Year)
      .integer("Mfg_Week", t->Mfg_Week)
      .text("Test_Station_ID", t->Test_Station_ID)
      .integer("Tested_Year", t->Tested_Year)
      .integer("Tested_Week", t->Tested_Week)
      .text("PCBA_MAC_Address", t->PCBA_MAC_Address)
      .text("PCBA_IP_Address", t->PCBA_IP_Address)
      .text("Customer_Gateway_ID", t->Customer_Gateway_ID)
      .text("Customer_Inventory_Name", t->Customer_Inventory_Name)
      .text("Customer_Inventory_Product_Code", t->Customer_Inventory_Product_Code)
      .text("Customer_Inventory_Revision", t->Customer_Inventory_Revision)
      .text("Customer_Inventory_Serial_Number", t->Customer_Inventory_Serial_Number)
      .text("Customer_Key1", t->Customer_Key1)
      .text("Customer_Key2", t->Customer_Key2)
      .text("Customer_Boot_Configuration", t->Customer_Boot_Configuration)
      .text("Customer_Runtime_Configuration", t->Customer_Runtime_Configuration);
  if (t->Version >= kFirstExtendedVersion) {
    c.integer("Num_of_SX1301s", t->Num_of_SX1301s)
        .real("Tx_Bandwidth_MHz", t->Tx_Bandwidth_MHz)
        .real("Rx_Bandwidth_MHz", t->Rx_Bandwidth_MHz)
        .real("Tx_LO_MHz", t->Tx_LO_MHz)
        .real("Rx_LO_MHz", t->Rx_LO_MHz)
        .integer("Tx_FIR_Index", t->Tx_FIR_Index)
        .integer("Rx_FIR_Index", t->Rx_FIR_Index)
        .integer("Tx_Lbt_required", t->Tx_Lbt_required)
        .integer("Tx_Lbt_max_threshold", t->Tx_Lbt_max_threshold);
  }
  if (!c.ok()) return false;
  return finish(who, false);
}

bool CxGetTxDigGainTable(cx_tx_dig_gain_table_t* t) {
  constexpr const char* who = "CxGetTxDigGainTable";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  if (!begin(who, "Tx", t->Version, "%s: empty Tx gain table")) return false;
  Columns c("Tx");
  c.integer("AD936x_TX1_Atten_MSB", t->AD936x_TX1_Atten_MSB)
      .integer("AD936x_TX1_Atten_LSB", t->AD936x_TX1_Atten_LSB)
      .integer("AD936x_TX2_Atten_MSB", t->AD936x_TX2_Atten_MSB)
      .integer("AD936x_TX2_Atten_LSB", t->AD936x_TX2_Atten_LSB)
      .real("Temperature_degC", t->Temperature_degC)
      .integer("Ad936x_TX1_OUT_1_PHASE_CORR", t->TX1_Phase_Corr)
      .integer("Ad936x_TX1_OUT_1_GAIN_CORR", t->TX1_Gain_Corr)
      .integer("Ad936x_TX1_OUT_1_OFFSET_I", t->TX1_Offset_I)
      .integer("Ad936x_TX1_OUT_1_OFFSET_Q", t->TX1_Offset_Q)
      .integer("Ad936x_TX2_OUT_1_PHASE_CORR", t->TX2_Phase_Corr)
      .integer("Ad936x_TX2_OUT_1_GAIN_CORR", t->TX2_Gain_Corr)
      .integer("Ad936x_TX2_OUT_1_OFFSET_I", t->TX2_Offset_I)
      .integer("Ad936x_TX2_OUT_1_OFFSET_Q", t->TX2_Offset_Q)
      .integer("VCXO_CAL_VOLTAGE", t->VCXO_CAL_VOLTAGE);
  if (!c.ok()) return false;
  return finish(who, false);
}

bool CxGetRxTable(cx_rx_table_t* t) {
  constexpr const char* who = "CxGetRxTable";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  if (!begin(who, "Rx", t->Version, "%s: empty Rx table")) return false;
  Columns c("Rx");
  c.real("RSSI_OFFSET_RX0", t->RSSI_OFFSET_RX0)
      .real("RSSI_OFFSET_RX1", t->RSSI_OFFSET_RX1)
      .real("DBFS_TO_DBM_GAIN_RX0", t->DBFS_TO_DBM_GAIN_RX0)
      .real("DBFS_TO_DBM_GAIN_RX1", t->DBFS_TO_DBM_GAIN_RX1);
  if (!c.ok()) return false;
  return finish(who, true);
}

bool CxGetAd9361TxAttens(cx_ad9361_tx_attens_t* t) {
  constexpr const char* who = "CxGetAd9361TxAttens";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  int version = 0;
  if (!begin(who, "Tx", version, "%s: empty Tx table")) return false;
  Columns c("Tx");
  c.integer("AD936x_TX1_Atten_MSB", t->TX1_Atten_MSB)
      .integer("AD936x_TX1_Atten_LSB", t->TX1_Atten_LSB)
      .integer("AD936x_TX2_Atten_MSB", t->TX2_Atten_MSB)
      .integer("AD936x_TX2_Atten_LSB", t->TX2_Atten_LSB);
  if (!c.ok()) return false;
  return finish(who, true);
}

bool CxGetModuleId(cx_module_id_t* t) {
  constexpr const char* who = "CxGetModuleId";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  int version = 0;
  if (!begin(who, "Configuration", version, kEmptyConfig)) return false;
  Columns c("Configuration");
  c.text("Module_Name", t->Module_Name)
      .text("Module_Product_Code", t->Module_Product_Code)
      .text("Module_Revision", t->Module_Revision)
      .text("Module_Serial_Number", t->Module_Serial_Number)
      .text("Customer_Gateway_ID", t->Customer_Gateway_ID);
  if (!c.ok()) return false;
  return finish(who, true);
}

bool CxGetPcbaCode(char* buf, int size) {
  constexpr const char* who = "CxGetPcbaCode";
  if (!buf || size <= 1) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  int version = 0;
  if (!begin(who, "Configuration", version, kEmptyConfig)) return false;
  if (!CxGetString("PCBA_Product_Code", "Configuration", size, buf)) return false;
  return finish(who, true);
}

bool CxGetRfRegioInfo(cx_rf_region_info_t* t) {
  constexpr const char* who = "CxGetRfRegioInfo";
  if (!t) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  if (!begin(who, "Configuration", t->Version, kEmptyConfig)) return false;
  Columns c("Configuration");
  c.text("Operating_Band", t->Operating_Band)
      .real("Min_UL_Frequency_MHz", t->Min_UL_Frequency_MHz)
      .real("Max_UL_Frequency_MHz", t->Max_UL_Frequency_MHz)
      .real("Min_DL_Frequency_MHz", t->Min_DL_Frequency_MHz)
      .real("Max_DL_Frequency_MHz", t->Max_DL_Frequency_MHz)
      .real("Min_DL_Power_dBm", t->Min_DL_Power_dBm)
      .real("Max_DL_Power_dBm", t->Max_DL_Power_dBm);
  if (t->Version >= kFirstExtendedVersion) {
    c.real("Tx_Bandwidth_MHz", t->Tx_Bandwidth_MHz)
        .real("Rx_Bandwidth_MHz", t->Rx_Bandwidth_MHz)
        .real("Tx_LO_MHz", t->Tx_LO_MHz)
        .real("Rx_LO_MHz", t->Rx_LO_MHz)
        .integer("Tx_FIR_Index", t->Tx_FIR_Index)
        .integer("Rx_FIR_Index", t->Rx_FIR_Index);
  } else {
    t->Tx_Bandwidth_MHz = t->Rx_Bandwidth_MHz = t->Tx_LO_MHz = t->Rx_LO_MHz = 0.0f;
    t->Tx_FIR_Index = t->Rx_FIR_Index = -1;
  }
  if (!c.ok()) return false;
  return finish(who, true);
}

bool CxGetNumofChips(int* out) {
  constexpr const char* who = "CxGetNumofChips";
  if (!out) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  int version = 0;
  if (!begin(who, "Configuration", version, kEmptyConfig)) return false;
  if (version < kFirstExtendedVersion) {
    log_line("%s: Number of chips not supported in database < version: %d", who, kFirstExtendedVersion);
    return false;
  }
  if (!CxGetInt("Num_of_SX1301s", "Configuration", out)) return false;
  return finish(who, true);
}

bool CxGetLbtParameters(crx_lbt_cfg_t* lbt) {
  constexpr const char* who = "CxGetLbtParameters";
  if (!lbt) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  int version = 0;
  if (!begin(who, "Configuration", version, kEmptyConfig)) return false;
  if (version < kFirstExtendedVersion) {
    log_line("%s: Listen before talk not supported in database < version: %d", who, kFirstExtendedVersion);
    return false;
  }
  if (!CxGetInt("Tx_Lbt_required", "Configuration", &lbt->enabled)) return false;
  lbt->count = 0;
  if (lbt->enabled == 0) return true;
  char band[128];
  if (!CxGetString("Operating_Band", "Configuration", sizeof band, band)) return false;
  int rows = CRX_LBT_MAX_ENTRIES;
  (void)CxGetLbtWholeTable(lbt, band, "Lbt", &rows);  // an unusable table leaves the defaults
  return finish(who, true);
}

bool CxGetLbtWholeTable(crx_lbt_cfg_t* lbt, const char* band, const char* table, int* rows) {
  constexpr const char* who = "CxGetLbtWholeTable";
  if (!lbt || !band || !table || !rows) {
    log_line("%s: invalid parameter", who);
    return false;
  }
  // The limit applies to the query as it reads with the band written in,
  // although the band travels as a bound parameter: it comes from the
  // database and must never become part of the SQL text.
  const int needed = std::snprintf(nullptr, 0, "SELECT * FROM %s WHERE Operating_Band = '%s'\n", table, band);
  if (needed < 0 || needed >= kQuerySize) {
    log_line("%s: Not enough space for query. Required: %d, available: %d", who, needed + 1, kQuerySize);
    return false;
  }
  char q[kQuerySize + 8];
  std::snprintf(q, sizeof q, "SELECT * FROM %s WHERE Operating_Band = ?1\n", table);
  lbt->count = 0;
  // The record has room for CRX_LBT_MAX_ENTRIES rows, whatever was asked.
  const int max_rows = std::min(*rows, CRX_LBT_MAX_ENTRIES);
  *rows = exec_locked(who, q, band, lbt_row, lbt, max_rows);
  if (*rows < 0) {
    log_line("%s: error, could not execute query %s", who, q);
    return false;
  }
  if (lbt->count == 0) {
    log_line("%s: Empty database LBT LUT detected. Using default values.", who);
    const int32_t required = lbt->enabled;
    std::memset(lbt, 0, sizeof *lbt);
    lbt->enabled = required;
  }
  return true;
}

}  // extern "C"

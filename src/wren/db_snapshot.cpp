// Reading the Wren snapshot of the commissioning database: one CxInit, the
// generic getters for "Configuration", "Rx", "Tx" and "Lbt", one CxCleanup.
// The snapshot is filled only when every step succeeded, so a failed read
// leaves nothing half-loaded and the next consumer tries again.
#include "wren/db_snapshot.h"

#include <cstdio>
#include <cstring>

#include "crx.h"
#include "errors.h"
#include "log.h"

ostra_indoor_db_config_t ostra_indoor_db_config{};
uint8_t ostra_indoor_db_configured = 0;

namespace crx::wren {
namespace {

constexpr const char* kConfiguration = "Configuration";
constexpr const char* kDefaultTxLutPath = "/etc/default/tx_lut.json";
constexpr int kMaxChips = 1;
constexpr int kRadios = 2;
constexpr int kFirstTableRssiVersion = 6;  // database versions holding RSSI offsets
constexpr int kFirstTxLutVersion = 2;
constexpr int kFirstLbtEnableVersion = 3;
constexpr int kFirstLbtTableVersion = 5;

// Reads columns of one table in order; the first failure sticks.
class Columns {
 public:
  explicit Columns(const char* table) : table_(table) {}
  template <size_t N>
  Columns& text(const char* column, char (&out)[N]) {
    ok_ = ok_ && CxGetString(column, table_, static_cast<int>(N), out);
    return *this;
  }
  Columns& integer(const char* column, int32_t& out) {
    ok_ = ok_ && CxGetInt(column, table_, &out);
    return *this;
  }
  Columns& real(const char* column, float& out) {
    ok_ = ok_ && CxGetFloat(column, table_, &out);
    return *this;
  }
  bool ok() const { return ok_; }

 private:
  const char* table_;
  bool ok_ = true;
};

bool read_config_table(ostra_indoor_db_config_t& s) {
  constexpr const char* who = "wren_cx_get_config_table";
  if (!CxGetInt("Version", kConfiguration, &s.config_version)) return false;
  if (s.config_version == 0) {
    log_line("BrvDBG-HAL %s E R R O R - Empty configuration table", who);
    return false;
  }
  Columns c(kConfiguration);
  c.text("Module_Name", s.Module_Name)
      .text("Module_Product_Code", s.Module_Product_Code)
      .text("Module_Revision", s.Module_Revision)
      .text("Module_Serial_Number", s.Module_Serial_Number)
      .text("PCBA_Product_Code", s.PCBA_Product_Code)
      .text("PCBA_Revision", s.PCBA_Revision)
      .text("PCBA_Serial_Number", s.PCBA_Serial_Number)
      .text("3G_4G_Modem_Product_Code", s.M3G_4G_Modem_Product_Code)
      .text("3G_4G_Modem_Revision", s.M3G_4G_Modem_Revision)
      .text("3G_4G_Modem_Serial_Number", s.M3G_4G_Modem_Serial_Number)
      .text("Factory_ID", s.Factory_ID)
      .text("Vendor_ID", s.Vendor_ID)
      .text("Operating_Band", s.Operating_Band)
      .real("Min_UL_Frequency_MHz", s.Min_UL_Frequency_MHz)
      .real("Max_UL_Frequency_MHz", s.Max_UL_Frequency_MHz)
      .real("Min_DL_Frequency_MHz", s.Min_DL_Frequency_MHz)
      .real("Max_DL_Frequency_MHz", s.Max_DL_Frequency_MHz)
      .real("Min_DL_Power_dBm", s.Min_DL_Power_dBm)
      .real("Max_DL_Power_dBm", s.Max_DL_Power_dBm)
      .integer("Mfg_Year", s.Mfg_Year)
      .integer("Mfg_Week", s.Mfg_Week)
      .text("Test_Station_ID", s.Test_Station_ID)
      .integer("Tested_Year", s.Tested_Year)
      .integer("Tested_Week", s.Tested_Week)
      .text("PCBA_MAC_Address", s.PCBA_MAC_Address)
      .text("PCBA_IP_Address", s.PCBA_IP_Address)
      .text("Customer_Gateway_ID", s.Customer_Gateway_ID)
      .text("Customer_Inventory_Name", s.Customer_Inventory_Name)
      .text("Customer_Inventory_Product_Code", s.Customer_Inventory_Product_Code)
      .text("Customer_Inventory_Revision", s.Customer_Inventory_Revision)
      .text("Customer_Inventory_Serial_Number", s.Customer_Inventory_Serial_Number)
      .text("Customer_Key1", s.Customer_Key1)
      .text("Customer_Key2", s.Customer_Key2)
      .text("Customer_Boot_Configuration", s.Customer_Boot_Configuration)
      .text("Customer_Runtime_Configuration", s.Customer_Runtime_Configuration);
  if (!c.ok()) return false;

  if (s.config_version < 2) {
    // The first Wren units: one chip, SX1257 radios, radio 1 drives the clock.
    s.Num_of_SX1301s = 1;
    std::snprintf(s.RF_Type, sizeof s.RF_Type, "%s", "SX1257");
    s.radio[0].clk_src = 0;
    s.radio[1].clk_src = 1;
  } else {
    if (!CxGetInt("Num_of_SX1301s", kConfiguration, &s.Num_of_SX1301s)) return false;
    if (s.Num_of_SX1301s > kMaxChips) {
      log_line("BrvDBG-HAL %s E R R O R - No. of SX1301s chips specified in the dB (%d) exceeds the maximum (%d).",
               who, s.Num_of_SX1301s, kMaxChips);
      return false;
    }
    int32_t clock_source = -1;
    if (!CxGetString("RF_Type", kConfiguration, sizeof s.RF_Type, s.RF_Type) ||
        !CxGetInt("RF_Clock_Source", kConfiguration, &clock_source))
      return false;
    for (int r = 0; r < kRadios; ++r) s.radio[r].clk_src = clock_source == r;
  }

  if (s.config_version < kRegionVersion) {
    s.radio[0].tx_enable = 1;
    s.radio[1].tx_enable = 0;
  } else {
    for (int r = 0; r < kRadios; ++r) {
      char column[16];
      std::snprintf(column, sizeof column, "RF_TX_EN_%d", r);
      int32_t enable = 0;
      if (!CxGetInt(column, kConfiguration, &enable)) return false;
      s.radio[r].tx_enable = enable > 0;
    }
  }
  return true;
}

bool read_rx_table(ostra_indoor_db_config_t& s, int db_version) {
  constexpr const char* who = "wren_cx_get_rx_table";
  if (!CxGetInt("Version", "Rx", &s.rx_table_version) || s.rx_table_version == 0) {
    log_line("BrvDBG-HAL %s E R R O R - Empty Rx table", who);
    return false;
  }
  const bool from_db = db_version >= kFirstTableRssiVersion;
  log_line(from_db ? "BrvDBG-HAL %s Info - Db version: %d, read rssi offset from db"
                   : "BrvDBG-HAL %s Info - Db version: %d, read rssi offset from table",
           who, db_version);
  for (int r = 0; r < kRadios; ++r) {
    float& offset = s.radio[r].rssi_offset;
    if (from_db) {
      char column[20];
      std::snprintf(column, sizeof column, "RSSI_OFFSET_RX%d", r);
      if (!CxGetFloat(column, "Rx", &offset)) return false;
    } else {
      offset = get_rssi_offset_from_table(s.Operating_Band);
    }
    log_line("BrvDBG-HAL %s Info - Db version: rssi offset: %f", who, offset);
  }
  return true;
}

bool read_tx_table(ostra_indoor_db_config_t& s) {
  constexpr const char* who = "wren_cx_get_tx_table";
  if (!CxGetInt("Version", "Tx", &s.tx_table_version)) return false;
  if (s.tx_table_version < kFirstTxLutVersion) {
    log_line("BrvDBG: %s - Database version %d detected, using hard-coded TX Look UP Table value", who,
             s.tx_table_version);
    std::snprintf(s.Tx_LUT_JSON_Location, sizeof s.Tx_LUT_JSON_Location, "%s", kDefaultTxLutPath);
  } else if (!CxGetString("Tx_LUT_JSON_Location", "Tx", sizeof s.Tx_LUT_JSON_Location, s.Tx_LUT_JSON_Location)) {
    return false;
  }
  if (s.tx_table_version < kFirstLbtEnableVersion) {
    log_line("BrvDBG: %s - Database version %d detected, using hard-coded LBT values", who, s.tx_table_version);
    s.lbt.enabled = 0;
  } else if (!CxGetInt("Tx_LBT_enable", "Tx", &s.lbt.enabled)) {
    return false;
  }
  return true;
}

// The LBT rows of the unit's band; a missing or unusable table leaves the
// defaults (an empty table) with the enable word kept.
void read_common_lbt(ostra_indoor_db_config_t& s) {
  s.lbt_status = 0;
  if (s.tx_table_version == 0) (void)CxGetInt("Version", "Tx", &s.tx_table_version);
  const int32_t enabled = s.lbt.enabled;
  init_lbt_structure(&s.lbt);
  s.lbt.enabled = enabled;
  if (s.tx_table_version < kFirstLbtTableVersion) return;
  int rows = CRX_LBT_MAX_ENTRIES;
  if (!CxGetLbtWholeTable(&s.lbt, s.Operating_Band, "Lbt", &rows)) {
    init_lbt_structure(&s.lbt);
    s.lbt.enabled = enabled;
  }
}

int abandon_read() {
  (void)wren_cx_err_close_and_cleanup();
  return fail(ERR_UNSPECIFIED);
}

struct BandOffset {
  const char* band;
  float offset_db;
};
constexpr BandOffset kBandOffsets[] = {
    {"US915", -168.0f},      {"CN470", -177.0f},    {"AS923_BCIL", -163.0f}, {"AS923_J", -163.0f},
    {"AS923_NZ", -163.0f},   {"AS923_SI", -163.0f}, {"AS923_TW", -163.0f},   {"AU915", -163.0f},
    {"PLOVER933", -163.0f},  {"EU868", -162.0f},
};
constexpr float kDefaultBandOffset = -168.0f;

}  // namespace

float get_rssi_offset_from_table(const char* band) {
  constexpr const char* who = "get_rssi_offset_from_table";
  if (!band || !*band) {
    log_line("BrvDBG-HAL %s WARNING - No band, default to NA", who);
    return kDefaultBandOffset;
  }
  for (const BandOffset& row : kBandOffsets)
    if (std::strcmp(band, row.band) == 0) return row.offset_db;
  log_line("BrvDBG-HAL %s WARNING - Unknown band: %s, default to NA", who, band);
  return kDefaultBandOffset;
}

bool ensure_snapshot(const char* who) {
  if (ostra_indoor_db_configured == 1 || ostra_wren_get_db_config() == 0) return true;
  log_line("BrvDBG-HAL %s E R R O R - Can't read the configuration database info.", who);
  set_errno(ERR_UNSPECIFIED);
  return false;
}

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

int wren_cx_err_close_and_cleanup(void) {
  if (CxCleanup()) return 0;
  log_line("BrvDBG-HAL %s E R R O R - Failed to clean up database", "wren_cx_err_close_and_cleanup");
  return -1;
}

int ostra_wren_get_db_config(void) {
  constexpr const char* who = "ostra_wren_get_db_config";
  if (!CxInit()) {
    log_line("%s:  Failed to open database", who);
    return abandon_read();
  }
  const int db_version = CxGetDatabaseVersion();
  if (db_version < 1) {
    log_line("BrvDBG-HAL %s E R R O R - Database version %d is not supported.", who, db_version);
    return abandon_read();
  }
  ostra_indoor_db_config_t s{};
  if (!read_config_table(s) || !read_rx_table(s, db_version) || !read_tx_table(s)) return abandon_read();
  read_common_lbt(s);
  if (!CxCleanup()) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to clean up database", who);
    return fail(ERR_UNSPECIFIED);
  }
  s.region_set = ostra_indoor_db_config.region_set;
  ostra_indoor_db_config = s;
  ostra_indoor_db_configured = 1;
  return 0;
}

static int region_flag(const char* who, uint8_t* flag) {
  if (!flag) return fail(ERR_NULL_PTR);
  if (ostra_indoor_db_configured != 1 && ostra_wren_get_db_config() != 0) {
    log_line("%s:  Could not access config database.", who);
    return fail(ERR_UNSPECIFIED);
  }
  *flag = ostra_indoor_db_config.config_version >= kRegionVersion;
  return 0;
}

int ostra_wren_db_rf_region(uint8_t* flag) { return region_flag("ostra_wren_db_rf_region", flag); }

int ostra_wren_region_info_version(uint8_t* flag) { return region_flag("ostra_wren_region_info_version", flag); }

}  // extern "C"

// crxdiag info: identity, region, versions and devices of the gateway.
#include <cmath>
#include <cstring>

#include "crx.h"
#include "diag.h"
#include "sources.h"

namespace crxdiag {
namespace {

constexpr const char* kDatabasePath = "/tmp/commissioning.db";

bool wren(uint32_t type) { return type == CRX_BOARD_WREN_TDD || type == CRX_BOARD_WREN_OUTDOOR; }

// Receive-status lines of the chips, by board type.
std::vector<int> rx_status_lines(uint32_t type) {
  switch (type) {
    case 2: case 3: case 14: return {23, 26, 27, 44};
    case 7: case 8: case 9: case 10: return {59, 58};
    case 12: case 15: return {51};
    default: return {23, 26, 27, 44, 45, 46, 47, 114};
  }
}

struct Device {
  const char* path;
  const char* role;
};

std::vector<Device> devices_of(uint32_t type) {
  if (wren(type))
    return {{"/dev/spidev32766.1", "SX1301 concentrator"},
            {"/dev/spidev32766.4", "side radio (SX127x/SX126x)"},
            {"/dev/spidev32766.6", "GPIO FPGA"}};
  return {{"/dev/spifpga32766.1", "FPGA port (FPGA, SX1301 chips, AD9361)"},
          {"/dev/spidev32766.2", "temperature sensor"},
          {"/dev/spidev32766.5", "sync block"}};
}

Json number_or_null(float v) { return std::isfinite(v) ? Json(std::round(double(v) * 1000.0) / 1000.0) : Json(); }

void add_database(Host& host, Json& doc, std::vector<std::string>& missing, int& db_version) {
  Json db;
  db["path"] = kDatabasePath;
  db["file_present"] = present(host, kDatabasePath);
  db_version = -1;
  if (CxInit()) {
    db_version = CxGetDatabaseVersion();
    CxCleanup();
  }
  db["version"] = db_version > 0 ? Json(db_version) : Json();
  if (db_version <= 0) {
    const std::string why = db["file_present"].get<bool>()
                                ? "the commissioning database " + std::string(kDatabasePath) +
                                      " cannot be opened or fails its checks"
                                : "no commissioning database: " + std::string(kDatabasePath) +
                                      " is missing and no image could be copied from flash";
    db["problem"] = why;
    missing.push_back(why);
  }
  doc["database"] = db;
}

void add_identity(Json& doc, std::vector<std::string>& missing, int db_version) {
  crx_module_id_t mid;
  std::memset(&mid, 0, sizeof mid);
  const bool have_module = crx_get_module_id(&mid) == 0;  // identifies the board first
  Json board;
  board["type"] = board_type;
  board["name"] = board_name(board_type);
  board["chips"] = num_sx1301_chips;
  board["identified_from"] = db_version > 0 ? "database" : "default (no database: the library assumes a Condor NA)";
  doc["board"] = board;

  Json module;
  if (have_module) {
    module["name"] = field(mid.module_name);
    module["product_code"] = field(mid.module_product_code);
    module["revision"] = field(mid.module_revision);
    module["serial"] = field(mid.module_serial_number);
    module["gateway_id"] = field(mid.gateway_id);
  } else if (db_version > 0) {
    missing.push_back("the module identity cannot be read from the database");
  }
  doc["module"] = have_module ? module : Json();

  cx_config_table_t cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.Num_of_SX1301s = -1;
  Json pcba;
  if (db_version > 0 && CxGetConfigTable(&cfg)) {
    pcba["product_code"] = field(cfg.PCBA_Product_Code);
    pcba["revision"] = field(cfg.PCBA_Revision);
    pcba["serial"] = field(cfg.PCBA_Serial_Number);
    pcba["mac"] = field(cfg.PCBA_MAC_Address);
    pcba["configuration_version"] = cfg.Version;
    if (cfg.Version < 4)
      doc["database"]["note"] = "configuration table version " + std::to_string(cfg.Version) +
                                ": the chip count, LOs, bandwidths, FIR indexes and listen-before-talk "
                                "table came with version 4 and are not in this database";
    doc["pcba"] = pcba;
  } else {
    doc["pcba"] = Json();
    if (db_version > 0) missing.push_back("the configuration table cannot be read from the database");
  }
}

void add_region(Json& doc, int db_version) {
  cx_rf_region_info_t r;
  std::memset(&r, 0, sizeof r);
  if (db_version <= 0 || !CxGetRfRegioInfo(&r)) {
    doc["region"] = Json();
    return;
  }
  Json region;
  region["band"] = field(r.Operating_Band);
  region["uplink_mhz"] = {number_or_null(r.Min_UL_Frequency_MHz), number_or_null(r.Max_UL_Frequency_MHz)};
  region["downlink_mhz"] = {number_or_null(r.Min_DL_Frequency_MHz), number_or_null(r.Max_DL_Frequency_MHz)};
  region["downlink_power_dbm"] = {number_or_null(r.Min_DL_Power_dBm), number_or_null(r.Max_DL_Power_dBm)};
  // Version 4 brought these; older databases report them as 0 and -1.
  const bool v4 = r.Version >= 4;
  region["tx_lo_mhz"] = v4 ? number_or_null(r.Tx_LO_MHz) : Json();
  region["rx_lo_mhz"] = v4 ? number_or_null(r.Rx_LO_MHz) : Json();
  region["tx_bandwidth_mhz"] = v4 ? number_or_null(r.Tx_Bandwidth_MHz) : Json();
  region["rx_bandwidth_mhz"] = v4 ? number_or_null(r.Rx_Bandwidth_MHz) : Json();
  region["tx_fir_index"] = v4 ? Json(r.Tx_FIR_Index) : Json();
  region["rx_fir_index"] = v4 ? Json(r.Rx_FIR_Index) : Json();

  crx_lbt_cfg_t lbt;
  std::memset(&lbt, 0, sizeof lbt);
  if (v4 && CxGetLbtParameters(&lbt)) {
    Json l;
    l["required"] = lbt.enabled != 0;
    Json entries = Json::array();
    for (int i = 0; i < lbt.count && i < CRX_LBT_MAX_ENTRIES; ++i) {
      const crx_lbt_entry_t& e = lbt.entries[i];
      entries.push_back({{"min_freq_hz", e.min_freq_hz},
                         {"max_freq_hz", e.max_freq_hz},
                         {"max_tx_power_dbm", e.max_tx_power_dbm},
                         {"max_talk_time_ms", e.max_talk_time_ms},
                         {"listen_time_us", e.listen_time_us},
                         {"threshold_dbm", e.threshold_dbm}});
    }
    l["entries"] = entries;
    region["lbt"] = l;
  } else {
    region["lbt"] = Json();
  }
  doc["region"] = region;
}

void add_versions(Host& host, Json& doc, std::vector<std::string>& missing, const BoardUse& use) {
  Json lib;
  lib["version"] = crx_version_info(0, nullptr, nullptr);
  Json fw = Json::array();
  for (int kind : {1, 0}) {
    crx_fw_image_t img;
    std::memset(&img, 0, sizeof img);
    if (crx_get_fw_image(kind, &img) != 0) continue;
    fw.push_back({{"image", kind == 1 ? "AGC" : "arbiter"},
                  {"size", img.size},
                  {"version", img.version},
                  {"stand_in", img.stand_in},
                  {"checksum", printf_string("0x%08X", img.checksum)}});
  }
  lib["firmware"] = fw;
  doc["library"] = lib;

  Json fpga;
  if (wren(board_type)) {
    fpga["version"] = Json();
    fpga["why"] = "the Wren boards have no front-end FPGA";
  } else if (use.elsewhere) {
    fpga["version"] = Json();
    fpga["why"] = "not read: another process has the concentrator started";
  } else if (!present(host, "/dev/spifpga32766.1")) {
    fpga["version"] = Json();
    fpga["why"] = "not read: the FPGA port /dev/spifpga32766.1 is missing";
  } else {
    int32_t v = 0;
    const bool opened = crx_reg_setup(0) == 0;
    if (opened && crx_reg_brd_r(0, 2, &v) == 0) {
      fpga["version"] = v;
    } else {
      fpga["version"] = Json();
      fpga["why"] = std::string("not read: ") + crx_err_message(crx_errno);
      missing.push_back("the FPGA does not answer on /dev/spifpga32766.1");
    }
    if (opened) crx_reg_close();
  }
  doc["fpga"] = fpga;
}

void add_devices(Host& host, Json& doc, std::vector<std::string>& missing) {
  Json devs = Json::array();
  for (const Device& d : devices_of(board_type)) {
    const bool here = present(host, d.path);
    devs.push_back({{"path", d.path}, {"role", d.role}, {"present", here}});
    if (!here) missing.push_back(std::string("device ") + d.path + " (" + d.role + ") is missing");
  }
  doc["devices"] = devs;

  Json gpio;
  const bool sysfs = present(host, "/sys/class/gpio/export");
  gpio["sysfs"] = sysfs;
  if (!sysfs) missing.push_back("sysfs GPIO (/sys/class/gpio/export) is missing");
  Json lines = Json::array();
  const std::vector<int> pins = rx_status_lines(board_type);
  for (size_t c = 0; c < pins.size() && int(c) < std::max(num_sx1301_chips, 0); ++c)
    lines.push_back({{"line", pins[c]},
                     {"role", "chip " + std::to_string(c) + " receive status"},
                     {"exported", present(host, "/sys/class/gpio/gpio" + std::to_string(pins[c]))}});
  gpio["lines"] = lines;
  doc["gpio"] = gpio;
}

std::string mhz_pair(const Json& j) {
  auto one = [](const Json& v) { return v.is_null() ? std::string("?") : printf_string("%.3f", v.get<double>()); };
  return one(j[0]) + " - " + one(j[1]);
}

std::string or_dash(const Json& v) {
  if (v.is_null()) return "-";
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_float()) return printf_string("%.3f", v.get<double>());
  return v.dump();
}

}  // namespace

Report info(Host& host) {
  Report r;
  std::vector<std::string> missing;
  const BoardUse use = board_use(host);
  int db_version = -1;
  add_database(host, r.doc, missing, db_version);
  add_identity(r.doc, missing, db_version);
  add_region(r.doc, db_version);
  add_versions(host, r.doc, missing, use);
  add_devices(host, r.doc, missing);
  r.doc["board_in_use_elsewhere"] = use.elsewhere ? Json(use.text) : Json();
  r.doc["missing"] = missing;
  r.status = missing.empty() ? kExitOk : kExitMissing;
  return r;
}

std::string info_text(const Json& d) {
  std::string s;
  auto line = [&s](const std::string& k, const std::string& v) {
    s += printf_string("%-22s %s\n", k.empty() ? "" : (k + ":").c_str(), v.c_str());
  };
  for (const auto& m : d["missing"]) s += "MISSING: " + m.get<std::string>() + "\n";
  if (!d["board_in_use_elsewhere"].is_null()) s += "NOTE: " + d["board_in_use_elsewhere"].get<std::string>() + "\n";
  const Json& b = d["board"];
  line("Board", printf_string("%s (type %d), %d SX1301 chip%s, identified from the %s", b["name"].get<std::string>().c_str(),
                              b["type"].get<int>(), b["chips"].get<int>(), b["chips"].get<int>() == 1 ? "" : "s",
                              b["identified_from"].get<std::string>().c_str()));
  const Json& db = d["database"];
  line("Database", db["version"].is_null() ? "none" : db["path"].get<std::string>() + ", version " + db["version"].dump());
  if (db.contains("note")) line("", db["note"].get<std::string>());
  const Json& m = d["module"];
  if (!m.is_null()) {
    line("Module", m["name"].get<std::string>() + ", product code " + m["product_code"].get<std::string>() +
                       ", revision " + m["revision"].get<std::string>() + ", serial " + m["serial"].get<std::string>());
    line("Gateway id", m["gateway_id"].get<std::string>());
  }
  const Json& p = d["pcba"];
  if (!p.is_null()) {
    line("PCBA", "product code " + p["product_code"].get<std::string>() + ", revision " +
                     p["revision"].get<std::string>() + ", serial " + p["serial"].get<std::string>());
    line("MAC", p["mac"].get<std::string>());
  }
  const Json& r = d["region"];
  if (!r.is_null()) {
    line("Region", r["band"].get<std::string>());
    line("  uplink MHz", mhz_pair(r["uplink_mhz"]));
    line("  downlink MHz", mhz_pair(r["downlink_mhz"]));
    line("  downlink power dBm", mhz_pair(r["downlink_power_dbm"]));
    line("  RX LO / bandwidth", or_dash(r["rx_lo_mhz"]) + " MHz / " + or_dash(r["rx_bandwidth_mhz"]) + " MHz");
    line("  TX LO / bandwidth", or_dash(r["tx_lo_mhz"]) + " MHz / " + or_dash(r["tx_bandwidth_mhz"]) + " MHz");
    line("  FIR index RX / TX", or_dash(r["rx_fir_index"]) + " / " + or_dash(r["tx_fir_index"]));
    const Json& l = r["lbt"];
    if (l.is_null()) {
      line("  LBT", "not in this database");
    } else {
      line("  LBT", l["required"].get<bool>() ? printf_string("required, %zu sub-band%s", l["entries"].size(), l["entries"].size() == 1 ? "" : "s")
                                             : "not required");
      for (const auto& e : l["entries"])
        line("", printf_string("%.3f-%.3f MHz: %d dBm max, talk %d ms, listen %d us, threshold %d dBm",
                               e["min_freq_hz"].get<double>() / 1e6, e["max_freq_hz"].get<double>() / 1e6,
                               e["max_tx_power_dbm"].get<int>(), e["max_talk_time_ms"].get<int>(),
                               e["listen_time_us"].get<int>(), e["threshold_dbm"].get<int>()));
    }
  }
  line("Library", d["library"]["version"].get<std::string>());
  for (const auto& f : d["library"]["firmware"])
    line("  " + f["image"].get<std::string>() + " firmware",
         printf_string("%u bytes, version %u, checksum %s%s", f["size"].get<unsigned>(), f["version"].get<unsigned>(),
                       f["checksum"].get<std::string>().c_str(),
                       f["stand_in"].get<bool>() ? ", STAND-IN (runs on the simulator only)" : ""));
  const Json& fpga = d["fpga"];
  line("FPGA", fpga["version"].is_null() ? fpga["why"].get<std::string>() : "version " + fpga["version"].dump());
  for (const auto& dev : d["devices"])
    line("Device", printf_string("%-20s %-8s %s", dev["path"].get<std::string>().c_str(),
                                 dev["present"].get<bool>() ? "present" : "MISSING", dev["role"].get<std::string>().c_str()));
  line("GPIO", d["gpio"]["sysfs"].get<bool>() ? "sysfs present" : "sysfs MISSING");
  for (const auto& l : d["gpio"]["lines"])
    line("", printf_string("line %3d %-13s %s", l["line"].get<int>(), l["exported"].get<bool>() ? "exported" : "not exported",
                           l["role"].get<std::string>().c_str()));
  return s;
}

}  // namespace crxdiag

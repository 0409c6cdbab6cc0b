#include "setup.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "crx.h"
#include "sim/cxdb.h"
#include "sim/sync_block.h"
#include "sim/ublox.h"

namespace simgw {

namespace {

constexpr Family kFamilies[] = {
    {"condor_na", "condor_na.json", "Q7000101", "US915", 902.0, 928.0, 8},
    {"condor_eu", "condor_eu.json", "Q7000102", "EU868", 863.0, 870.0, 4},
    {"plover", "plover.json", "Q7000103", "US_FULL_ISM", 902.0, 928.0, 8},
    {"heron", "heron.json", "Q7000106", "AS923_J", 920.0, 928.0, 2},
    {"wren_tdd", "wren_tdd.json", "Q7000112", "US915", 902.0, 928.0, 1, true},
    {"wren_outdoor", "wren_outdoor.json", "Q7000118", "EU868", 863.0, 870.0, 1, true},
};

bool is_dir(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The database of the family, with the receive LO the configuration tunes
// the board to, so that its channels sit where the file puts them.
crx::sim::CxDatabase database(const Family& f, double rx_lo_mhz) {
  crx::sim::CxDatabase db(6);
  db.board(f.pcba);
  const char* t = "Configuration";
  db.set(t, "Operating_Band", f.band).set(t, "Min_UL_Frequency_MHz", f.ul_min_mhz);
  db.set(t, "Max_UL_Frequency_MHz", f.ul_max_mhz).set(t, "Min_DL_Frequency_MHz", f.ul_min_mhz);
  db.set(t, "Max_DL_Frequency_MHz", f.ul_max_mhz).set(t, "Rx_LO_MHz", rx_lo_mhz);
  db.set(t, "Num_of_SX1301s", f.chips);
  // Each family's simulated unit has a gateway EUI of its own.
  char eui[17];
  std::snprintf(eui, sizeof eui, "00800000A0%06X", unsigned(f.chips * 0x100 + f.pcba[7]));
  db.set(t, "Customer_Gateway_ID", eui);
  // The transmitter's calibration: 10 dB of attenuation on both outputs.
  db.set("Tx", "AD936x_TX1_Atten_MSB", 0).set("Tx", "AD936x_TX1_Atten_LSB", 40);
  db.set("Tx", "AD936x_TX2_Atten_MSB", 0).set("Tx", "AD936x_TX2_Atten_LSB", 40);
  return db;
}

// The second half of the chips become chain-1 copies of the first half, so
// that every uplink reaches two chips on different RF chains.
nlohmann::json with_diversity(nlohmann::json doc, int chips) {
  auto& conf = doc["crx_conf"][0]["SX1301_conf"];
  const int half = chips / 2;
  for (int c = half; c < chips && c < int(conf.size()); ++c) {
    conf[size_t(c)] = conf[size_t(c - half)];
    conf[size_t(c)]["chip_rf_chain"] = 1;
  }
  return doc;
}

// The Wren's TX gain file, which its board configuration loads.
constexpr const char* kWrenTxLut = R"({"txgain_lut": [
  {"dig_gain": 0, "pa_gain": 1, "dac_gain": 3, "mix_gain": 10, "rf_power": 14},
  {"dig_gain": 0, "pa_gain": 2, "dac_gain": 3, "mix_gain": 12, "rf_power": 20}]})";

// A Wren board: its three ports, the receive line, the gain file; it
// places its radios itself.
bool bring_up_wren(const Family& f, Gateway& gw, std::string& error) {
  crx::sim::cx_put_file(*gw.sandbox, database(f, 0).image());
  // The outdoor board's side radio is an SX126x.
  const bool outdoor = std::string(f.name) == "wren_outdoor";
  gw.wren = crx::sim::install_wren_board(*gw.sandbox, outdoor ? crx::sim::WrenSideRadio::kSx126x
                                                              : crx::sim::WrenSideRadio::kSx127x);
  gw.gpio = crx::sim::SysfsGpio::install(*gw.sandbox);
  crx::sim::wire_wren_rx_status(gw.wren, gw.gpio);
  crx::sim::wire_sx126x_busy(gw.wren, gw.gpio);
  gw.sandbox->write_file("/etc/default/tx_lut.json", kWrenTxLut);
  gw.sandbox->write_file("/etc/default/config.json", gw.config_text);
  if (!crx_read_cfg_json(nullptr)) {
    error = "the configuration was refused (crx_errno " + std::to_string(crx_errno) + ")";
    return false;
  }
  if (crx_start(0) != 0) {
    error = "crx_start failed (crx_errno " + std::to_string(crx_errno) + ")";
    return false;
  }
  gw.sandbox->set_fast_clock(false);
  return true;
}

}  // namespace

const Family* find_family(const std::string& name) {
  for (const Family& f : kFamilies)
    if (name == f.name) return &f;
  return nullptr;
}

std::string family_names() {
  std::string s;
  for (const Family& f : kFamilies) s += (s.empty() ? "" : ", ") + std::string(f.name);
  return s;
}

std::string config_dir() {
  if (is_dir(SIMGW_SOURCE_CONFIG_DIR)) return SIMGW_SOURCE_CONFIG_DIR;
  return SIMGW_INSTALLED_CONFIG_DIR;
}

bool bring_up(const Family& f, const std::string& path, bool diversity, Localization loc, Gateway& gw,
              std::string& error, const std::function<void(nlohmann::json&)>& adjust) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json doc;
  try {
    doc = nlohmann::json::parse(text.str(), nullptr, true, true);
    if (diversity) doc = with_diversity(doc, f.chips);
    if (adjust) adjust(doc);
  } catch (const std::exception& e) {
    error = path + ": " + e.what();
    return false;
  }
  const double rx_lo_mhz = doc["crx_conf"][0].value("board_rx_freq", 0.0) / 1e6;
  gw.config_text = diversity || adjust ? doc.dump(2) : text.str();

  gw.sandbox = std::make_unique<crx::sim::Sandbox>();
  gw.sandbox->install();
  // Bring-up waits are skipped; the traffic then runs in real time.
  gw.sandbox->set_fast_clock(true);
  if (f.wren) return bring_up_wren(f, gw, error);
  crx::sim::cx_put_file(*gw.sandbox, database(f, rx_lo_mhz).image());
  gw.board = crx::sim::install_fpga_board(*gw.sandbox, f.chips);
  gw.gpio = crx::sim::SysfsGpio::install(*gw.sandbox);
  if (f.chips == 2)
    crx::sim::wire_rx_status(*gw.board, gw.gpio, crx::sim::kHeronRxLines);
  else
    crx::sim::wire_rx_status(*gw.board, gw.gpio, crx::sim::kLargeBoardRxLines);
  gw.sandbox->write_file("/etc/default/config.json", gw.config_text);
  gw.record = crx_read_cfg_json(nullptr);
  if (!gw.record) {
    error = "the configuration was refused (crx_errno " + std::to_string(crx_errno) + ")";
    return false;
  }
  // A GPS fix and a sync block in sync, so the housekeeping timer takes its
  // time reference at the PPS and packets get UTC and GPS times.
  crx::sim::write_position_file(*gw.sandbox, true, 45.4642, 9.19, 120);
  crx::sim::install_sync_block(*gw.sandbox);
  crx::sim::set_fpga_sync_block(*gw.board, crx::sim::kSyncStateLocked, 0);
  // The FPGA's geolocation block, second version: it answers each request
  // with peaks of an arrival 150 samples (4.7 µs) late and 900 Hz off.
  gw.geoloc = crx::sim::GeolocBlock::install(*gw.board, gw.gpio, 2);
  gw.geoloc->set_truth(150.0, 900.0, 0.3);
  loc_use_thread = 1;
  if (loc == Localization::kDirect && crx_loc_config() != 0) {
    error = "direct-mode localization needs the second geolocation block version";
    return false;
  }
  if (crx_start(0) != 0) {
    error = "crx_start failed (crx_errno " + std::to_string(crx_errno) + ")";
    return false;
  }
  // The first reference is taken some seconds after start: let the fast
  // clock run towards it for at most ten seconds of real time; packets get
  // their UTC and GPS times from the reference on.
  crx::sim::run_to_time_reference(*gw.sandbox, std::chrono::seconds(10));
  gw.sandbox->set_fast_clock(false);
  if (loc != Localization::kOff && crx_loc_enable(1) != 0) {
    error = "crx_loc_enable failed";
    return false;
  }
  return true;
}

void shut_down(Gateway& gw) {
  if (!gw.sandbox) return;
  gw.sandbox->set_fast_clock(true);
  crx_stop(0);
  if (!gw.is_wren()) crx_loc_enable(0);
  if (gw.geoloc) gw.geoloc->stop();
  crx_reg_close();
  gw.sandbox->uninstall();
}

}  // namespace simgw

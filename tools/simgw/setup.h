// The simulated gateway the demo runs on: a sandbox with a large board or
// a Wren board, its commissioning database and the family's example
// configuration, applied and started through the library.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "crx.h"
#include "sim/boards.h"
#include "sim/geoloc.h"
#include "sim/sandbox.h"
#include "sim/traffic.h"

namespace simgw {

struct Family {
  const char* name;
  const char* config_file;  // in the configuration folder
  const char* pcba;         // product code the database identifies the board by
  const char* band;
  double ul_min_mhz, ul_max_mhz;
  int chips;
  bool wren = false;  // a small gateway
};

// Condor NA first: the default.
const Family* find_family(const std::string& name);
std::string family_names();

// Where the example configurations are: the source tree's when it is
// still there, else the installed copies.
std::string config_dir();

// Fine timestamps: none, through the shared result queue (the engine's
// own thread) or written into the packets (direct mode).
enum class Localization { kOff, kThread, kDirect };

struct Gateway {
  std::unique_ptr<crx::sim::Sandbox> sandbox;
  std::shared_ptr<crx::sim::FpgaBoardPort> board;  // large boards
  crx::sim::WrenBoard wren;                         // Wren boards
  bool is_wren() const { return wren.sx1301 != nullptr; }
  int64_t now_us() const { return is_wren() ? wren.sx1301->now_us() : board->now_us(); }
  crx::sim::Sx1301Chip& chip(int c) const { return is_wren() ? wren.sx1301->chip() : board->chip(c); }
  int chip_count() const { return is_wren() ? 1 : board->chip_count(); }
  std::shared_ptr<crx::sim::SysfsGpio> gpio;
  std::shared_ptr<crx::sim::GeolocBlock> geoloc;
  std::string config_text;  // as applied
  crx_gw_cfg_t* record = nullptr;  // the library's, from the configuration
};

// Builds the board, applies the configuration (with chips 4-7 turned into
// chain-1 copies of chips 0-3 when `diversity`) and starts it, with the
// localization engine in the mode asked. Returns false with a message on
// `error` when a step fails.
// `adjust`, when given, changes the configuration before it is applied.
bool bring_up(const Family& family, const std::string& config_path, bool diversity, Localization loc,
              Gateway& gw, std::string& error, const std::function<void(nlohmann::json&)>& adjust = {});
// Stops the board and takes the sandbox away.
void shut_down(Gateway& gw);

}  // namespace simgw

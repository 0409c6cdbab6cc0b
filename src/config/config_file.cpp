// crx_read_cfg_json: one JSON file configures board, chips and channels and
// gives the forwarder its own settings.
#include <cstdio>
#include <optional>
#include <string>

#include "board.h"
#include "config/config_parse.h"
#include "log.h"
#include "platform/os.h"

namespace crx::config {

namespace {

constexpr const char* kDefaultPath = "/etc/default/config.json";

std::optional<std::string> read_file(const char* path) {
  FILE* f = os::fopen(path, "rb");
  if (!f) return std::nullopt;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;  // a directory, for one
  std::fclose(f);
  if (failed) return std::nullopt;
  return text;
}

// Element 0 of "crx_conf", the one board of a gateway.
int apply_board(const Json& boards) {
  if (boards.empty() || !boards[0].is_object()) {
    log_line("ERROR: configuration file does not contain a JSON object named %s", "crx_conf");
    return -1;
  }
  log_line("INFO: parsing concentrator parameters for board #%zu", size_t{0});
  const int rc = is_wren_board(board_type) ? parse_ostra_wren_configuration(&boards[0]) : parse_board_conf(boards[0], 0);
  if (rc != 0) {
    log_line("ERROR: failed to parse configuration %s from JSON file", "crx_conf");
    return -1;
  }
  // A second element is a leftover of multi-board files and is not read.
  if (boards.size() > 1) log_line("ERROR: board %zu not supported, skip it", size_t{1});
  return 0;
}

crx_gw_cfg_t* read_cfg(const char* path) {
  const auto text = read_file(path);
  if (!text) {
    log_line("ERROR: failed to find any configuration file named %s", path);
    return nullptr;
  }
  identify_board();
  log_line("INFO: found configuration file %s", path);

  const Json root = Json::parse(*text, nullptr, false, true);
  if (!root.is_object()) {
    log_line("ERROR: %s is not a valid JSON file", path);
    return nullptr;
  }

  const Json* boards = member(root, "crx_conf");
  if (!boards || !boards->is_array()) {
    log_line("***** WARNING: %s no sx1301 conf_array", "crx_read_cfg_json");
  } else if (apply_board(*boards) != 0) {
    return nullptr;
  }

  const Json* gateway = member(root, "gateway_conf");
  if (!gateway || !gateway->is_object()) {
    log_line("ERROR: configuration file does not contain a JSON object named %s", "gateway_conf");
    return nullptr;
  }
  log_line("INFO: parsing gateway parameters");
  if (parse_gateway_conf(*gateway, gateway_record()) != 0) {
    log_line("ERROR: failed to parse configuration %s from JSON file", "gateway_conf");
    return nullptr;
  }

  const Json* filter = member(root, "filter_conf");
  if (filter && filter->is_array()) {
    log_line("INFO: parsing packet filter parameters.");
    if (parse_filter_conf(*filter) != 0) {
      log_line("ERROR: failed to parse configuration filter_conf from JSON file\n");
      return nullptr;
    }
  }
  return &gateway_record();
}

}  // namespace

}  // namespace crx::config

extern "C" {

crx_gw_cfg_t* crx_read_cfg_json(const char* path) {
  try {
    return crx::config::read_cfg(path ? path : crx::config::kDefaultPath);
  } catch (const std::exception& e) {
    // Only memory exhaustion gets here: every value is type-checked first.
    crx::log_line("ERROR: configuration file not read: %s", e.what());
    return nullptr;
  }
}

bool is_multi_antenna_enabled(void) { return crx::config::gateway_record().multi_antenna == 1; }

}  // extern "C"

// crx_read_cfg_json: one JSON file configures board, chips and channels and
// gives the forwarder its own settings.
#include <cstdio>
#include <string>

#include "board.h"
#include "config/config_parse.h"
#include "log.h"
#include "platform/os.h"

namespace crx::config {

namespace {

constexpr const char* kDefaultPath = "/etc/default/config.json";
// A real file is a few kilobytes and nests five or six levels deep. The
// bounds keep a damaged or hostile file from taking the memory and the
// time of a gateway that has a few hundred megabytes: the parser's tree
// costs many times the file's size.
constexpr size_t kMaxFileBytes = 1024 * 1024;
constexpr int kMaxNesting = 32;

enum class ReadResult { ok, missing, too_large };

// At most one byte past the bound is read, so a huge file costs nothing.
ReadResult read_file(const char* path, std::string& text) {
  FILE* f = os::fopen(path, "rb");
  if (!f) return ReadResult::missing;
  char buf[4096];
  size_t n;
  while (text.size() <= kMaxFileBytes && (n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;  // a directory, for one
  std::fclose(f);
  if (failed) return ReadResult::missing;
  return text.size() > kMaxFileBytes ? ReadResult::too_large : ReadResult::ok;
}

// True when no array or object of the text nests deeper than kMaxNesting.
// Brackets inside strings and comments do not count; the text need not be
// valid JSON (the parser judges that afterwards).
bool nesting_within_bound(const std::string& text) {
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i)
        if (text[i] == '\\') ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 1;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
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
  std::string text;
  const ReadResult read = read_file(path, text);
  if (read == ReadResult::missing) {
    log_line("ERROR: failed to find any configuration file named %s", path);
    return nullptr;
  }
  identify_board();
  log_line("INFO: found configuration file %s", path);
  if (read == ReadResult::too_large) {
    log_line("ERROR: configuration file %s is larger than %zu bytes", path, kMaxFileBytes);
    return nullptr;
  }
  if (!nesting_within_bound(text)) {
    log_line("ERROR: configuration file %s nests deeper than %d levels", path, kMaxNesting);
    return nullptr;
  }

  const Json root = Json::parse(text, nullptr, false, true);
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

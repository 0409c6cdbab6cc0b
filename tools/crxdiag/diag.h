// crxdiag: the gateway's radio side in one command. Each subcommand builds
// one JSON document (what --json prints) and renders its text from it, so
// both forms always say the same.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host.h"
#include "parse.h"

namespace crxdiag {

using Json = nlohmann::ordered_json;

// Exit statuses, for scripts.
enum Exit {
  kExitOk = 0,
  kExitFailed = 1,   // start: the board did not start (or stop) cleanly
  kExitFound = 2,    // faults: a fault is active; gps: no fix
  kExitMissing = 3,  // a source is missing or damaged: the output is partial
  kExitRefused = 4,  // start: another process has the concentrator started
  kExitUsage = 64,
};

struct Options {
  std::string command;
  bool json = false;
  std::string svg, prometheus;  // stats
  std::string config;           // start -c
  double seconds = 3;           // start --seconds
  bool verbose = false;         // start: every library line as it comes
};

struct Report {
  Json doc;
  int status = kExitOk;
};

// The whole program, from the arguments after the program's name.
int run(const std::vector<std::string>& args, Host& host, std::FILE* out, std::FILE* err);

Report info(Host& host);
Report faults(Host& host);
Report gps(Host& host);
// Also writes the SVG and Prometheus files the options name.
Report stats(Host& host, const Options& options);
// `live` receives packets and (verbose) log lines as they come; null for none.
Report start(Host& host, const Options& options, std::FILE* live);

std::string info_text(const Json& doc);
std::string faults_text(const Json& doc);
std::string gps_text(const Json& doc);
std::string stats_text(const Json& doc);
std::string start_text(const Json& doc);

// The pictures and the metrics of `stats`, from the parsed sources.
struct StatsSources {
  PacketCounters counters;  // decoded or not
  History hourly, daily;
  time_t hourly_mtime = 0, daily_mtime = 0;
  FaultMemory faults;
  bool have_current = false;
  StatRecord current;
};
Json faults_json(const FaultMemory& m);
std::string stats_svg(const StatsSources& s);
std::string stats_prometheus(const StatsSources& s);

// Writes `content` to `path` under a temporary name in the same folder, then
// renames it, so a reader never sees it half-written. Empty, or the error.
std::string replace_file(const std::string& path, const std::string& content);

// Names for the reports.
const char* board_name(uint32_t type);
const char* fault_name(int id);
const char* fault_text(int id);
const char* alarm_name(int id);
int sf_of_index(int index);  // 7-12

std::string printf_string(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace crxdiag

namespace crxdiag {
// A fixed-size text field of a library record as printable text: up to its
// terminator, anything unprintable as '?'.
std::string field(const char* text, size_t size);
template <size_t N>
std::string field(const char (&text)[N]) {
  return field(text, N);
}
// The text form of a JSON document for the terminal (bad UTF-8 replaced).
std::string dump(const Json& doc);
}  // namespace crxdiag

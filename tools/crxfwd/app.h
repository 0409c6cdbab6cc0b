// What both programs (crxfwd on the unit, crxfwd-sim on a simulated board)
// share: the options, the help text, and serving until a signal or an
// auto-quit once the board runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "crx.h"
#include "forwarder.h"

namespace crxfwd {

struct Options {
  std::string config;  // empty: "/etc/default/config.json"
  bool gateway_id_set = false;
  uint64_t gateway_id = 0;
  bool library_log = false;
  // crxfwd-sim only
  std::string board = "condor_na";
  int devices = 20;
  std::string keys_file;
  double seconds = 0;  // 0: until a signal
  unsigned seed = 1;
};

// Parses the command line. Returns -1 to go on, or the exit status (0 after
// --help, 2 for a usage error, with the message printed).
int parse_options(int argc, char** argv, bool sim, Options& out);
void print_help(bool sim);

// Blocks SIGINT and SIGTERM in the calling thread and every thread started
// after it, so that serve() takes them with sigtimedwait. Call first thing.
void block_stop_signals();

// Prints one log line of the program.
void print_line(const std::string& line);

// False, with the configuration line printed, when the gateway EUI (the
// record's, or --gateway-id) is 0: no server could tell the gateway apart.
bool gateway_id_usable(const Options& options, const crx_gw_cfg_t& record);

// Checks what the record asks for, then forwards until SIGINT/SIGTERM (0),
// an auto-quit (1), or `seconds` when non-zero (0). `tick`, when given, is
// called about every 100 ms from the serving thread. The board must run;
// the caller stops it afterwards.
int serve(const Options& options, const crx_gw_cfg_t& record, double seconds, const std::function<void()>& tick = {});

}  // namespace crxfwd

// crxfwd: the packet forwarder on the unit. Options, the configuration
// file, the board's start and stop, exit statuses; the work is serve()'s.
#include <cstdio>
#include <string>

#include "app.h"
#include "crx.h"

int main(int argc, char** argv) {
  crxfwd::block_stop_signals();
  crxfwd::Options options;
  if (const int rc = crxfwd::parse_options(argc, argv, false, options); rc >= 0) return rc;
  // The library's own lines of configuration and start go to the journal
  // too: they name the key or the step that failed.
  crx_console_log_enable(1);

  const char* path = options.config.empty() ? nullptr : options.config.c_str();
  const std::string shown = path ? path : "/etc/default/config.json";
  const crx_gw_cfg_t* record = crx_read_cfg_json(path);
  if (!record) {
    crxfwd::print_line("configuration: " + shown + " was refused" +
                       (crx_errno ? std::string(": ") + crx_err_message(crx_errno) : std::string()) +
                       " (the library's line above says why)");
    return 1;
  }
  // Refused before the board is touched.
  if (!crxfwd::gateway_id_usable(options, *record)) return 1;
  if (crx_start(0) != 0) {
    crxfwd::print_line(std::string("start: crx_start failed: ") + crx_err_message(crx_errno));
    crx_reg_close();
    return 1;
  }
  crx_console_log_enable(options.library_log ? 1 : 0);
  const int status = crxfwd::serve(options, *record, 0);
  if (crx_stop(0) != 0) crxfwd::print_line(std::string("stop: crx_stop failed: ") + crx_err_message(crx_errno));
  else crxfwd::print_line("concentrator stopped");
  crx_reg_close();
  return status;
}

// Options, help and the subcommand dispatch.
#include "diag.h"

#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace crxdiag {

int Host::tai_offset() const {
  struct timex tx {};
  if (::adjtimex(&tx) < 0) return -1;
  return tx.tai;
}

double Host::monotonic() const {
  struct timespec t {};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

time_t Host::now() const { return ::time(nullptr); }

void Host::sleep_ms(int ms) const {
  struct timespec t {ms / 1000, long(ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

namespace {

constexpr const char* kHelp =
    R"(Usage: crxdiag COMMAND [OPTIONS]

Shows the state of the gateway's radio side. Reads only: the commissioning
database, the fault memory, the statistics and the history files are never
written; only "start" drives the board.

Commands:
  info      board type and name, chip count, module and PCBA identity, MAC,
            gateway id, the region record (bands, LOs, bandwidths, power
            limits, listen-before-talk), library, firmware and FPGA versions,
            and the devices (SPI ports, GPIO lines) present or missing.
  faults    the fault and alarm memory: each fault by name, active or clear,
            and the alarm word. Exit status 0 when no fault is active, 2 when
            one is.
  gps       the GPS fix (from /tmp/position), the counter latched at the last
            PPS, the library's time reference, and the kernel's TAI offset.
  stats     the packet counters, the current hour per channel and per
            spreading factor (when this process runs the board), and the 24
            hourly and 31 daily history records.
              --svg FILE         also draw them as an SVG picture
              --prometheus FILE  also write them, with the faults, in the
                                 Prometheus text format (for the node
                                 exporter's textfile collector)
  start     applies the configuration, starts the board with the library's
            log on, prints what arrives, stops, and lists each start step with
            its time. On a failure it names the step, the error code and its
            message, the last log lines, and what to check. Refuses while
            another process has the concentrator started (stop the packet
            forwarder first).
              -c FILE            configuration file (/etc/default/config.json)
              --seconds S        how long to receive (3)
              --verbose          every library log line as it comes

Every command takes --json: one JSON document instead of the text.

Exit status:
  0   done, nothing wrong found
  1   start: the board did not start or stop cleanly; a file was not written
  2   faults: a fault is active; gps: no GPS fix
  3   something is missing or damaged (the rest is still shown)
  4   start: refused, another process has the concentrator started
  64  wrong command line
)";

bool parse(const std::vector<std::string>& args, Options& o, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) {
        error = a + " needs " + what;
        return nullptr;
      }
      return &args[++i];
    };
    if (a == "--json") {
      o.json = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--svg" || a == "--prometheus" || a == "-c" || a == "--config") {
      const std::string* v = value("a file name");
      if (!v) return false;
      if (v->empty()) {
        error = a + " needs a file name";
        return false;
      }
      (a == "--svg" ? o.svg : a == "--prometheus" ? o.prometheus : o.config) = *v;
    } else if (a == "--seconds") {
      const std::string* v = value("a number of seconds");
      if (!v) return false;
      char* end = nullptr;
      errno = 0;
      const double s = std::strtod(v->c_str(), &end);
      if (v->empty() || *end || errno || !(s >= 0 && s <= 86400)) {
        error = "--seconds takes a number of seconds from 0 to 86400, not \"" + *v + "\"";
        return false;
      }
      o.seconds = s;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option " + a;
      return false;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      error = "unexpected argument " + a;
      return false;
    }
  }
  const bool known = o.command == "info" || o.command == "faults" || o.command == "gps" || o.command == "stats" ||
                     o.command == "start";
  if (!known) {
    error = o.command.empty() ? "no command given" : "unknown command " + o.command;
    return false;
  }
  if ((!o.svg.empty() || !o.prometheus.empty()) && o.command != "stats") {
    error = "--svg and --prometheus belong to stats";
    return false;
  }
  if ((!o.config.empty() || o.verbose) && o.command != "start") {
    error = "-c and --verbose belong to start";
    return false;
  }
  return true;
}

}  // namespace

int run(const std::vector<std::string>& args, Host& host, std::FILE* out, std::FILE* err) {
  for (const auto& a : args)
    if (a == "--help" || a == "-h" || a == "help") {
      std::fputs(kHelp, out);
      return kExitOk;
    }
  Options o;
  std::string error;
  if (!parse(args, o, error)) {
    std::fprintf(err, "crxdiag: %s\nRun crxdiag --help for the commands and options.\n", error.c_str());
    return kExitUsage;
  }
  Report r;
  std::string (*text)(const Json&) = nullptr;
  if (o.command == "info") r = info(host), text = info_text;
  else if (o.command == "faults") r = faults(host), text = faults_text;
  else if (o.command == "gps") r = gps(host), text = gps_text;
  else if (o.command == "stats") r = stats(host, o), text = stats_text;
  else r = start(host, o, o.json ? nullptr : out), text = start_text;
  r.doc["status"] = r.status;
  if (o.json)
    std::fprintf(out, "%s\n", dump(r.doc).c_str());
  else
    std::fputs(text(r.doc).c_str(), out);
  std::fflush(out);
  return r.status;
}

}  // namespace crxdiag

// simgw: a small gateway on a simulated board. The library receives the
// traffic generator's LoRaWAN uplinks, the loop answers confirmed uplinks
// with an acknowledgement and join requests with a join accept in the
// device's first receive window, and at the end the packet counters and
// the per-channel statistics of the hour are printed.
//
//   simgw [--board NAME] [--devices N] [--seconds S] [--diversity]
//         [--localize thread|direct] [--config FILE] [--seed N] [--quiet]
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crx.h"
#include "gateway.h"
#include "health/pkt_stats.h"
#include "setup.h"

namespace {

struct Options {
  std::string board = "condor_na";
  std::string config;
  int devices = 20;
  double seconds = 10;
  bool diversity = false;
  simgw::Localization loc = simgw::Localization::kOff;
  bool quiet = false;
  bool log = false;
  unsigned seed = 1;
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: simgw [options]\n"
               "  --board NAME    simulated board: %s (default condor_na)\n"
               "  --devices N     LoRaWAN devices sending uplinks (default 20)\n"
               "  --seconds S     how long the gateway runs (default 10)\n"
               "  --diversity     the second half of the chips repeat the first half's\n"
               "                  channels on RF chain 1: each uplink is heard twice\n"
               "  --localize MODE fine timestamps of eligible uplinks: 'thread' (results\n"
               "                  through the shared queue) or 'direct' (in the packets)\n"
               "  --config FILE   configuration file (default: the board's example)\n"
               "  --seed N        seed of the traffic (default 1)\n"
               "  --quiet         no line per packet, the summary only\n"
               "  --log           print the library's log lines at the end\n",
               simgw::family_names().c_str());
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "simgw: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--board") o.board = value();
    else if (a == "--devices") o.devices = std::atoi(value());
    else if (a == "--seconds") o.seconds = std::atof(value());
    else if (a == "--config") o.config = value();
    else if (a == "--seed") o.seed = unsigned(std::strtoul(value(), nullptr, 0));
    else if (a == "--diversity") o.diversity = true;
    else if (a == "--localize") {
      const std::string m = value();
      if (m == "thread") o.loc = simgw::Localization::kThread;
      else if (m == "direct") o.loc = simgw::Localization::kDirect;
      else {
        std::fprintf(stderr, "simgw: --localize takes thread or direct\n");
        return false;
      }
    }
    else if (a == "--quiet") o.quiet = true;
    else if (a == "--log") o.log = true;
    else if (a == "--help" || a == "-h") {
      usage(stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "simgw: unknown option %s\n", a.c_str());
      usage(stderr);
      return false;
    }
  }
  if (o.devices < 0 || o.devices > 10000 || !(o.seconds > 0) || o.seconds > 3600) {
    std::fprintf(stderr, "simgw: devices must be 0 to 10000 and seconds above 0 (at most 3600)\n");
    return false;
  }
  return true;
}

void print_log(const simgw::Gateway& gw) {
  if (gw.sandbox)
    for (const auto& line : gw.sandbox->syslog_texts()) std::printf("log: %s\n", line.c_str());
}

void print_statistics() {
  const crx::health::StatRecord r = crx::health::current_statistics();
  std::printf("\nPer-channel statistics of the hour (IF chains with traffic: chip x 10 + IF channel):\n");
  std::printf("  chain  frequency      bw    CRC ok  other\n");
  for (int c = 0; c < crx::health::kChannels; ++c) {
    const auto& s = r.chan[c];
    if (s.crc_ok + s.other == 0) continue;
    std::printf("  %5d  %9.3f MHz %4u k %7u %6u\n", c, s.freq_hz / 1e6, s.bandwidth_hz / 1000, s.crc_ok, s.other);
  }
  std::printf("Per spreading factor:");
  for (int i = 0; i < crx::health::kSfEntries; ++i)
    std::printf("  SF%d %u/%u", 7 + i, r.sf[i].crc_ok, r.sf[i].crc_ok + r.sf[i].other);
  std::printf("  (CRC ok/all)\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) return 2;
  const simgw::Family* family = simgw::find_family(o.board);
  if (!family) {
    std::fprintf(stderr, "simgw: unknown board %s (one of %s)\n", o.board.c_str(), simgw::family_names().c_str());
    return 2;
  }
  const std::string path = o.config.empty() ? simgw::config_dir() + "/" + family->config_file : o.config;

  // The library's own log lines go to the sandbox, not the terminal.
  crx_console_log_enable(0);
  simgw::Gateway gw;
  std::string error;
  std::printf("simgw: %s board, %s%s%s, %d devices, %.0f s\n", family->name, path.c_str(),
              o.diversity ? " with diversity" : "",
              o.loc == simgw::Localization::kThread   ? ", fine timestamps (thread mode)"
              : o.loc == simgw::Localization::kDirect ? ", fine timestamps (direct mode)"
                                                      : "",
              o.devices, o.seconds);
  if (!simgw::bring_up(*family, path, o.diversity, o.loc, gw, error)) {
    std::fprintf(stderr, "simgw: %s\n", error.c_str());
    simgw::shut_down(gw);
    if (o.log) print_log(gw);
    return 1;
  }
  crx::sim::TrafficOptions traffic;
  traffic.devices = o.devices;
  traffic.seed = o.seed;
  auto plan = crx::sim::receivers_from_config(gw.config_text);
  // The Wren adds 35 dB to a multi-SF channel's raw RSSI where the large
  // boards add 19.5: the devices' levels then read back as sent.
  if (family->wren)
    for (auto& r : plan)
      if (r.if_chan < 8) r.rssi_offset += 35.0f;
  simgw::Loop loop(gw, std::move(plan), traffic, o.quiet);
  std::printf("simgw: started, %zu receive channels\n", loop.channels());
  std::printf("\n");
  loop.run(o.seconds);

  loop.print_summary();
  print_statistics();
  simgw::shut_down(gw);
  if (o.log) print_log(gw);
  return 0;
}

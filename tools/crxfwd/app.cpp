#include "app.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace crxfwd {

namespace {

const char* const kHelp =
    "NAME\n"
    "    crxfwd - LoRaWAN packet forwarder for Ostra gateways (UDP protocol, version 2)\n"
    "\n"
    "SYNOPSIS\n"
    "    crxfwd [-c FILE] [--gateway-id HEX] [--library-log]\n"
    "\n"
    "DESCRIPTION\n"
    "    Configures the concentrator from FILE (default /etc/default/config.json),\n"
    "    starts it, and forwards every received packet to the network server named\n"
    "    in the file's \"gateway_conf\" (PUSH_DATA to serv_port_up); downlinks the\n"
    "    server sends (PULL_RESP on serv_port_down, kept open by a PULL_DATA every\n"
    "    keepalive_interval seconds) are queued and handed to the transmitter just\n"
    "    before they are due. Runs until SIGINT or SIGTERM, then stops the\n"
    "    concentrator.\n"
    "\n"
    "OPTIONS\n"
    "    -c FILE          configuration file (default /etc/default/config.json)\n"
    "    --gateway-id HEX gateway EUI, 16 hex digits; needed when the unit's\n"
    "                     commissioning database holds none (the EUI is then 0)\n"
    "    --library-log    keep printing the library's own log lines once running (they\n"
    "                     always go to syslog; those of configuration and start\n"
    "                     are printed in any case)\n"
    "    -h, --help       this text\n"
    "\n"
    "CONFIGURATION (\"gateway_conf\")\n"
    "    server_address   name or address of the network server (IPv4 or IPv6);\n"
    "                     looked up again after stat_no_ack_timeout_cnt\n"
    "                     unanswered statistics reports\n"
    "    serv_port_up     UDP port for uplinks and statistics (PUSH_DATA)\n"
    "    serv_port_down   UDP port for keep-alives and downlinks (PULL_DATA)\n"
    "    keepalive_interval  seconds between PULL_DATA\n"
    "    stat_interval    seconds between statistics reports\n"
    "    push_timeout_ms  time a PUSH_DATA waits for its PUSH_ACK\n"
    "    forward_crc_valid, forward_crc_error, forward_crc_disabled\n"
    "                     which packets go to the server, by CRC state\n"
    "    autoquit_threshold  quit (exit 1) after this many PULL_DATA in a row\n"
    "                     without PULL_ACK; 0 never\n"
    "    link_mote        device address (hex) whose uplinks get a link report line\n"
    "    multi_antenna    1: each uplink carries one \"rsig\" entry per antenna\n"
    "    use_utc_timestamp, use_gps_timestamp\n"
    "                     1: uplinks carry \"time\" (UTC) / \"tmms\" (GPS) once the\n"
    "                     GPS time reference is valid\n"
    "    beacon_*, antenna_schedule and report_count are not supported: a line\n"
    "    says so when they are set.\n"
    "\n"
    "DOWNLINKS\n"
    "    A downlink is refused (TX_ACK error) when it is due too soon (TOO_LATE),\n"
    "    more than 130 s ahead (TOO_EARLY), overlaps another on the same RF chain\n"
    "    (COLLISION_PACKET), is timed in GPS time without a time reference\n"
    "    (GPS_UNLOCKED), lies outside the board's transmit band (TX_FREQ) or above\n"
    "    its power (TX_POWER). On split-band boards the RF chain follows the\n"
    "    frequency. Listen-before-talk refusals: channel busy COLLISION_PACKET,\n"
    "    too long for the entry TX_POWER, no entry TX_FREQ (or TX_POWER when the\n"
    "    frequency has entries for lower powers).\n"
    "\n"
    "EXIT STATUS\n"
    "    0 stopped by SIGINT or SIGTERM; 1 a failure at start (the line names the\n"
    "    step: configuration, start or socket) or an auto-quit; 2 a usage error.\n"
    "\n"
    "FILES\n"
    "    /etc/default/config.json    configuration\n"
    "    crxfwd.service              systemd unit (restarts on failure)\n";

const char* const kSimHelp =
    "\n"
    "SIMULATED MODE\n"
    "    crxfwd-sim --board condor_na|condor_eu|plover|heron [--devices N]\n"
    "               [--keys FILE] [--seconds S] [--seed N] [--with-server]\n"
    "               [-c FILE] [--gateway-id HEX]\n"
    "\n"
    "    The same forwarder on a simulated board (in a private sandbox): N LoRaWAN\n"
    "    1.0.x devices (default 20) send uplinks with encrypted payloads and real\n"
    "    MICs, and every downlink the server schedules is printed as the chip's TX\n"
    "    buffer shows it. Without -c the board's example configuration is used,\n"
    "    with the server at 127.0.0.1, ports 1700. The device keys (DevEUI,\n"
    "    DevAddr, NwkSKey, AppSKey, AppKey) are printed at start, or read from\n"
    "    --keys FILE (lines: DEVEUI DEVADDR NWKSKEY APPSKEY APPKEY, hex). Register\n"
    "    the devices with your network server (ABP with those session keys) and\n"
    "    point the file's server_address at it. --seconds S ends the run after S\n"
    "    seconds (default: until SIGINT or SIGTERM). --with-server runs a small\n"
    "    network-server stand-in on the loopback in the same process and points\n"
    "    the forwarder at it: it prints what it receives and answers confirmed\n"
    "    uplinks (ACK in RX1) and join requests (join accept after 5 s).\n";

std::mutex& print_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

void print_help(bool sim) {
  std::fputs(kHelp, stdout);
  if (sim) std::fputs(kSimHelp, stdout);
}

void print_line(const std::string& line) {
  std::lock_guard lock(print_mutex());
  std::fprintf(stdout, "crxfwd: %s\n", line.c_str());
  std::fflush(stdout);
}

int parse_options(int argc, char** argv, bool sim, Options& o) {
  const char* prog = sim ? "crxfwd-sim" : "crxfwd";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char*& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value (see --help)\n", prog, a.c_str());
        return false;
      }
      out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (a == "-h" || a == "--help") {
      print_help(sim);
      return 0;
    } else if (a == "-c" || a == "--config") {
      if (!value(v)) return 2;
      o.config = v;
    } else if (a == "--gateway-id") {
      if (!value(v)) return 2;
      char* end = nullptr;
      errno = 0;
      const unsigned long long id = std::strtoull(v, &end, 16);
      // strtoull alone would also take a sign or leading blanks: "-1" is no EUI.
      if (!std::isxdigit(static_cast<unsigned char>(*v)) || *end || errno || std::strlen(v) > 18) {
        std::fprintf(stderr, "%s: --gateway-id takes up to 16 hex digits, not \"%s\"\n", prog, v);
        return 2;
      }
      o.gateway_id = id;
      o.gateway_id_set = true;
    } else if (a == "--library-log") {
      o.library_log = true;
    } else if (sim && a == "--board") {
      if (!value(v)) return 2;
      o.board = v;
    } else if (sim && a == "--devices") {
      if (!value(v)) return 2;
      o.devices = std::atoi(v);
      if (o.devices < 0 || o.devices > 10000) {
        std::fprintf(stderr, "%s: --devices takes 0 to 10000\n", prog);
        return 2;
      }
    } else if (sim && a == "--keys") {
      if (!value(v)) return 2;
      o.keys_file = v;
    } else if (sim && a == "--seconds") {
      if (!value(v)) return 2;
      o.seconds = std::atof(v);
      if (!(o.seconds >= 0)) {
        std::fprintf(stderr, "%s: --seconds takes a positive number\n", prog);
        return 2;
      }
    } else if (sim && a == "--seed") {
      if (!value(v)) return 2;
      o.seed = unsigned(std::strtoul(v, nullptr, 0));
    } else {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", prog, a.c_str());
      return 2;
    }
  }
  return -1;
}

void block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool gateway_id_usable(const Options& options, const crx_gw_cfg_t& record) {
  if ((options.gateway_id_set ? options.gateway_id : record.gateway_id) != 0) return true;
  print_line("configuration: the gateway EUI is 0 (no Customer_Gateway_ID in the commissioning database); "
             "give one with --gateway-id HEX");
  return false;
}

int serve(const Options& options, const crx_gw_cfg_t& record, double seconds, const std::function<void()>& tick) {
  Settings settings = Settings::from(record);
  if (options.gateway_id_set) settings.gateway_id = options.gateway_id;
  if (!gateway_id_usable(options, record)) return 1;
  print_line([&] {
    char b[96];
    std::snprintf(b, sizeof b, "gateway EUI %016llX", static_cast<unsigned long long>(settings.gateway_id));
    return std::string(b);
  }());
  if (record.beacon_period) print_line("beacon_period is set: beacons are not supported, none is sent");
  if (record.antenna_schedule) print_line("antenna_schedule is set: not supported, ignored");
  if (record.report_count) print_line("report_count is set: not supported, ignored");

  // A gateway without a UDP socket cannot do anything: fail at start.
  int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    print_line(std::string("socket: cannot open a UDP socket: ") + std::strerror(errno));
    return 1;
  }
  ::close(probe);

  // Listen-before-talk listens inside crx_send: the hand-over comes that
  // much earlier.
  crx_lbt_cfg_t lbt{};
  if (crx_get_lbt_configuration(&lbt) == 0 && lbt.enabled == 1) {
    int32_t longest = 0;
    for (int i = 0; i < lbt.count && i < CRX_LBT_MAX_ENTRIES; ++i) longest = std::max(longest, lbt.entries[i].listen_time_us);
    settings.lead_us += longest;
  }

  SystemClock clock;
  Forwarder fwd(settings, clock, print_line);
  fwd.start();
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(seconds * 1000));
  int status = 0;
  for (;;) {
    const struct timespec step = {0, 100000000L};
    const int sig = sigtimedwait(&set, nullptr, &step);
    if (sig == SIGINT || sig == SIGTERM) {
      print_line(sig == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
      break;
    }
    if (fwd.outcome() == Forwarder::Outcome::kAutoQuit) {
      print_line("auto-quit: the server stopped answering PULL_DATA");
      status = 1;
      break;
    }
    if (seconds > 0 && std::chrono::steady_clock::now() >= end) break;
    if (tick) tick();
  }
  fwd.stop();
  const Totals t = fwd.totals();
  print_line("totals: " + std::to_string(t.fetched) + " packets received, " + std::to_string(t.forwarded) +
             " forwarded, " + std::to_string(t.push_acked) + "/" + std::to_string(t.push_sent) +
             " PUSH_DATA acknowledged, " + std::to_string(t.pull_resp) + " downlink requests, " +
             std::to_string(t.downlinks_sent) + " sent");
  return status;
}

}  // namespace crxfwd

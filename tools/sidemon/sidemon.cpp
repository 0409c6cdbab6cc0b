#include "sidemon.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "crx.h"

namespace sidemon {

namespace {

constexpr const char* kDefaultConfig = "/etc/default/config.json";
constexpr const char* kLogDir = "/var/lib/utilResults/";
constexpr const char* kLink = "/var/lib/utilResults/rssiLog.csv";
constexpr uint32_t kDefaultFreqHz = 902300000;
constexpr unsigned kDefaultBandwidthKhz = 200;
constexpr unsigned kDefaultRxBwIndex = 16;
constexpr int8_t kDefaultOffsetDb = -25;
constexpr double kMinFreqMhz = 800.0;
constexpr double kMaxFreqMhz = 1000.0;
constexpr int kMaxReadFailures = 15;
constexpr int kRotationSeconds = 3600;
constexpr int kPassesPerRotationCheck = 10;
constexpr uint8_t kFskModulation = 2;
constexpr uint8_t kRegRssiValue = 0x11;  // the same address on both chips
constexpr int kSx1272 = 1;
constexpr int kSx1276 = 2;
constexpr size_t kTildeLine = 75;

// Channel bandwidth (kHz) to the SX127x receiver-bandwidth index of half
// of it.
struct Bandwidth {
  unsigned channel_khz;
  unsigned rx_bw_index;
};
constexpr Bandwidth kBandwidths[] = {{25, 7},   {50, 10},  {100, 13}, {125, 14},
                                     {200, 16}, {250, 17}, {500, 20}};

// Set by sig_handler, read by the sampling loop.
volatile sig_atomic_t exit_sig = 0;
volatile sig_atomic_t quit_sig = 0;
struct sigaction sigact;

void sig_handler(int sig) {
  if (sig == SIGQUIT) quit_sig = 1;
  else if (sig == SIGINT || sig == SIGTERM) exit_sig = 1;
}

void tildes(const char* head) {
  std::string line = head;
  if (line.size() < kTildeLine) line.append(kTildeLine - line.size(), '~');
  std::printf("%s\n", line.c_str());
}

void usage() {
  tildes("~~~ Library version string");
  std::printf(" %s\n", crx_version_info(0, nullptr, nullptr));
  tildes("~~~ Available options ");
  std::printf(" -d (Deleg) Delegate concentrator hw initialization to another app\n");
  std::printf(" -c <filename>  use config file other than 'config.json'\n");
  std::printf(" -f <float> Center Frequency in MHz ( %3.3f <= f <= %3.3f\n", kMinFreqMhz, kMaxFreqMhz);
  std::printf(" -b <uint>  Channel bandwidth in KHz [25,50,100,125,200,250,500]\n");
  std::printf(" -o <int>   Offset in dB to be applied to the SX127x RSSI [-128..127]\n");
  tildes("");
}

int sx127x_read_RSSI(int* rssi) {
  const int type = sx127x_cfg.radio_type;
  if (type != kSx1272 && type != kSx1276) {
    std::printf("%s: ERROR: Could not identify sx127x radio type\n", __func__);
    return -1;
  }
  uint8_t value = 0;
  const int result = sx127x_reg_r(kRegRssiValue, &value);
  if (result != 0) return result;
  *rssi = -(value / 2);
  return 0;
}

// Opens a new log file stamped with `when` and points the link at it.
FILE* open_log(time_t when, const Env& env) {
  char path[128];
  std::snprintf(path, sizeof path, "%s", kLogDir);
  const std::string dir = env.locate(kLogDir);
  if (access(dir.c_str(), F_OK) != 0 && mkdir(dir.c_str(), 0777) != 0) return nullptr;
  char stamp[20];
  struct tm utc {};
  gmtime_r(&when, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const size_t used = std::strlen(path);
  std::snprintf(path + used, sizeof path - used, "rssiLog_%s.csv", stamp);
  std::printf(" FILE @ %s \n", path);
  const std::string file = env.locate(path);
  FILE* log = std::fopen(file.c_str(), "a");
  if (!log) {
    std::printf("ERROR: impossible to create log file %s\n", path);
    return nullptr;
  }
  if (std::fprintf(log, "\"sys time (UTC)\",\"RSSI (dBm)\" \n") < 0 || std::fflush(log) != 0) {
    std::printf("ERROR: impossible to write to log file %s\n", path);
    std::fclose(log);
    return nullptr;
  }
  const std::string link = env.locate(kLink);
  unlink(link.c_str());
  if (symlink(file.c_str(), link.c_str()) != 0) {
    // Not examined: the samples still reach the file itself.
  }
  std::printf("INFO: Now writing to log file %s\n", path);
  return log;
}

void write_row(FILE* log, int rssi, const Env& env) {
  const struct timespec t = env.realtime();
  struct tm utc {};
  gmtime_r(&t.tv_sec, &utc);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "%04i-%02i-%02i %02i:%02i:%02i.%03liZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, t.tv_nsec / 1000000);
  std::fprintf(log, "\"%s\",%d", stamp, rssi);
  std::fprintf(log, "\n");
  std::fflush(log);
}

struct Settings {
  uint32_t freq_hz = kDefaultFreqHz;
  unsigned bandwidth_khz = kDefaultBandwidthKhz;
  unsigned rx_bw_index = kDefaultRxBwIndex;
  int8_t offset_db = kDefaultOffsetDb;
  const char* config = kDefaultConfig;
  bool start_concentrator = true;
};

// -1 to go on, else the exit status.
int parse_options(int argc, char** argv, Settings& s) {
  opterr = 0;  // the program's own texts say what went wrong
  optind = 1;
  int opt;
  while ((opt = getopt(argc, argv, "hdc:f:b:o:")) != -1) {
    switch (opt) {
      case 'h':
        usage();
        return 0;
      case 'd':
        s.start_concentrator = false;
        break;
      case 'c':
        s.config = optarg;
        break;
      case 'f': {
        double mhz = 0;
        if (std::sscanf(optarg, "%lf", &mhz) != 1 || !(mhz >= kMinFreqMhz && mhz <= kMaxFreqMhz)) {
          std::printf("ERROR: argument parsing of -f argument. -h for help.\n");
          return 1;
        }
        s.freq_hz = uint32_t(mhz * 1e6 + 0.5);
        break;
      }
      case 'b': {
        unsigned khz = 0;
        if (std::sscanf(optarg, "%u", &khz) != 1) {
          usage();
          return 1;
        }
        const Bandwidth* found = nullptr;
        for (const Bandwidth& b : kBandwidths)
          if (b.channel_khz == khz) found = &b;
        if (!found) {
          std::printf("ERROR: argument parsing of -b argument.\n");
          usage();
          return 1;
        }
        s.bandwidth_khz = found->channel_khz;
        s.rx_bw_index = found->rx_bw_index;
        break;
      }
      case 'o': {
        int offset = 0;
        if (std::sscanf(optarg, "%i", &offset) != 1 || offset < -128 || offset > 127) {
          std::printf("ERROR: argument parsing of -o argument.\n");
          usage();
          return 1;
        }
        s.offset_db = int8_t(offset);
        break;
      }
      default:
        std::printf("ERROR: argument parsing options. -h for help.\n");
        return 1;
    }
  }
  return -1;
}

}  // namespace

int run(int argc, char** argv, const Env& env) {
  Settings s;
  exit_sig = 0;
  quit_sig = 0;
  sigemptyset(&sigact.sa_mask);
  sigact.sa_flags = 0;
  sigact.sa_handler = sig_handler;
  sigaction(SIGQUIT, &sigact, nullptr);
  sigaction(SIGINT, &sigact, nullptr);
  sigaction(SIGTERM, &sigact, nullptr);

  crx_console_log_enable(1);
  const crx_board_type_t type = get_board_type();
  if (const int status = parse_options(argc, argv, s); status >= 0) return status;
  if (type != CRX_BOARD_WREN_TDD && type != CRX_BOARD_WREN_OUTDOOR) {
    std::printf("   This utility is only supported by the Ostra Wren gateway.\n");
    return 1;
  }
  crx_read_cfg_json(s.config);

  time_t opened = env.now();
  FILE* log = open_log(opened, env);
  if (!log) return 1;
  std::printf("INFO: log file will be rotated every %i seconds\n", kRotationSeconds);

  crx_reg_setup(0);
  if (s.start_concentrator) {
    const int started = crx_start(0);
    if (started != 0) {
      std::printf("ERROR: crx_start returned %d\n", started);
      std::fclose(log);
      return 1;
    }
  }
  const int setup = sx127x_setup(s.freq_hz, kFskModulation, s.rx_bw_index, s.offset_db);
  std::printf("+++ Start of the sidemon Utility +++\n");
  std::printf("crx library version string: %s\n", crx_version_info(0, nullptr, nullptr));
  std::printf("Configuration Settings:\n");
  std::printf("Center Frequency: %3.3f MHz \n", s.freq_hz / 1000000.0);
  std::printf("Channel Bandwidth: %u kHz \n", s.bandwidth_khz);
  std::printf("RSSI Offset: %i dB \n", s.offset_db);
  if (setup != 0) {
    std::printf("Error: sx127x_setup() could not configure the sx127x\n");
    if (s.start_concentrator) crx_stop(0);
    std::fclose(log);
    return 1;
  }

  auto stop_library = [&] {
    if (s.start_concentrator) crx_stop(0);
    crx_reg_close();
  };
  int failures = 0;
  int passes = 0;
  for (;;) {
    if (quit_sig == 1 || exit_sig == 1) {
      std::fclose(log);
      std::printf("+++  Exiting sidemon +++\n");
      stop_library();
      return 0;
    }
    int rssi = 0;
    if (sx127x_read_RSSI(&rssi) != 0) {
      std::printf("Error: Could not read from the sx127x \n");
      ++failures;
    } else {
      std::printf("%d\n", rssi);
      write_row(log, rssi, env);
    }
    if (failures > kMaxReadFailures) {
      std::printf("Error: Could not read from the sx127x after %d tries. Exiting.\n", failures);
      std::fclose(log);
      stop_library();
      return 1;
    }
    ++passes;
    if (kRotationSeconds > 0 && passes > kPassesPerRotationCheck - 1) {
      passes = 0;
      const time_t now = env.now();
      if (difftime(now, opened) > kRotationSeconds) {
        std::fclose(log);
        std::printf("INFO: log file closed\n");
        opened = now;
        log = open_log(opened, env);
        if (!log) {
          stop_library();
          return 1;
        }
      }
    }
    crx_wait_ms(1000);
  }
}

}  // namespace sidemon

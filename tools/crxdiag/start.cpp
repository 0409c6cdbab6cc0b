// crxdiag start: applies the configuration, starts the board with the
// library's log on, receives for a while, stops, and tells what each step
// took; when a step fails, which one, why, and what to look at.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "crx.h"
#include "diag.h"
#include "sources.h"

namespace crxdiag {
namespace {

// The library's log lines that open each group of bring-up steps, in the
// order start runs them. A failure belongs to the last group whose line
// came. (The receive services, started last, have no line of their own in
// start's thread: the receive thread announces itself in its own time.)
struct Marker {
  const char* text;
  const char* step;
};
constexpr Marker kMarkers[] = {
    {"Linked HAL version", "identity and register checks"},
    {"Configure SPI bridge", "front-end reset"},
    {"Configuring radio...", "transceiver (AD9361) and FPGA PLL"},
    {"rx radio mux", "AGC firmware load"},
    {"chip_freq[", "chip set-up and arbiter firmware"},
    {"Diversity enabled", "counter offset"},
};

struct StepTime {
  std::string name;
  double t;
};

// The step a failure belongs to: the group the log reached, sharpened by
// the code where the code names its step better.
std::string failing_step(const std::vector<StepTime>& steps, const std::vector<LogLine>& log, int code) {
  if (code == ERR_FPGA_PLL_LOCK) return "FPGA PLL lock";
  if (code >= ERR_AD9361_VERSION && code <= ERR_AD9361_TDD_TEST) return "transceiver (AD9361)";
  if (code == ERR_AGC_FW_VERSION || code == ERR_ARB_FW_VERSION) return "AGC firmware load";
  for (auto it = log.rbegin(); it != log.rend() && it != log.rbegin() + 3; ++it)
    if (it->text.find("rx thread") != std::string::npos || it->text.find("rx queue semaphore") != std::string::npos)
      return "receive thread";
  return steps.empty() ? "start" : steps.back().name;
}

// What a field engineer should look at, for the step and the code.
std::string hint(const std::string& step, int code, const std::vector<LogLine>& log) {
  const bool port_missing = std::any_of(log.begin(), log.end(), [](const LogLine& l) {
    return l.text.find("Failed to open the FEFPGA device") != std::string::npos;
  });
  if (port_missing)
    return "The FPGA port /dev/spifpga32766.1 could not be opened: check the device exists (ls -l /dev/spifpga*), "
           "that its kernel driver is loaded and that this user may open it (crxdiag info lists the devices).";
  if (step == "configuration")
    return "The configuration was refused: check /etc/default/config.json (or the -c file) exists and is valid JSON, "
           "that its chips and channels match this board (crxdiag info shows the chip count and region), and read the "
           "ERROR lines above.";
  if (step == "AGC firmware load" || step == "chip set-up and arbiter firmware") {
    if (code == ERR_AGC_FW_VERSION || code == ERR_ARB_FW_VERSION)
      return "The SX1301 runs a firmware image of another version: the library was built with the wrong images. "
             "Rebuild it with -DCRX_FIRMWARE_DIR naming the folder of sx1301_agc.bin and sx1301_arb.bin.";
    return "The firmware could not be loaded into an SX1301: check the firmware files the library was built with "
           "(crxdiag info: firmware), that the chip is out of reset (reset line, board registers 16/49) and that its "
           "SPI path through the FPGA port /dev/spifpga32766.1 works; power-cycle the radio board.";
  }
  if (step == "counter offset")
    return "The concentrator's time counters could not be read to measure their offset: check that SX1301 chip 1 is "
           "fitted and answers on the FPGA port, and the PPS wiring from the GPS (board register 231, the PPS latch); "
           "power-cycle the radio board.";
  if (step == "receive thread")
    return "The receive services could not start (thread, semaphore or shared memory): check free memory and the "
           "System V limits (ipcs -l), then try again.";
  switch (code) {
    case ERR_SPI_READ:
    case ERR_SPI_WRITE:
      return "An SPI transfer failed: check the port /dev/spifpga32766.1 exists (ls -l /dev/spi*), that the FPGA is "
             "loaded and the radio board is seated and powered; power-cycle it.";
    case ERR_FPGA_VERSION_ZERO:
      return "The FPGA answered version 0: its image is not loaded or the SPI port is dead; check the FPGA load at "
             "boot and the port /dev/spifpga32766.1.";
    case ERR_FPGA_VERSION:
      return "The FPGA image is not one this library knows: update the FPGA image or the library.";
    case ERR_CHIP_VERSION_ZERO:
      return "An SX1301 answered version 0: it is held in reset or unpowered; check the chips' reset line and supply, "
             "and the chip count in the database (Num_of_SX1301s) against the chips fitted.";
    case ERR_CHIP_VERSION:
    case ERR_CHIP_ID:
      return "An SX1301 answered the wrong version or identity: check the chip count in the database against the "
             "chips fitted, and the SPI path to the chips.";
    case ERR_FPGA_PLL_LOCK:
      return "The FPGA PLL did not lock once the transceiver was set up: the reference clock is missing or off "
             "frequency; check the 40 MHz reference and VCXO (VCXO_CAL_VOLTAGE in the database), then power-cycle.";
    case ERR_AD9361_VERSION:
      return "The AD9361 answered another product id: the FPGA's SPI bridge cannot reach the transceiver; check the "
             "transceiver's supply and reset, and the bridge (board registers 7-12).";
    case ERR_AD9361_BBPLL_LOCK:
    case ERR_AD9361_RXPLL_LOCK:
    case ERR_AD9361_TXPLL_LOCK:
      return "A transceiver synthesizer did not lock: check the 40 MHz reference, and that the LOs in the database "
             "(Rx_LO_MHz, Tx_LO_MHz; crxdiag info) and board_rx_freq in the configuration lie in the band.";
    case ERR_BAD_FREQ_BAND:
      return "The frequency band is not valid for this board: check board_freq_band in the configuration and the "
             "database's Operating_Band.";
    case ERR_SPI_OPEN:
      return "An SPI port could not be opened: check the spidev nodes /dev/spidev32766.* exist (kernel spidev driver, "
             "device tree).";
    case ERR_BAD_CHAN_CONFIG:
    case ERR_BAD_CHAN_GROUPING:
      return "A chip's channels span more than 2.6 MHz: put each chip's channels within 2.6 MHz in the configuration "
             "(only chips 6 and 7 may split them in two groups of four).";
    case ERR_WRONG_STATE:
      return "The board is already started in this process.";
    default:
      break;
  }
  if (code >= ERR_AD9361_ALERT && code <= ERR_AD9361_TDD_TEST)
    return "The AD9361 transceiver failed a calibration or its start-up: check its 40 MHz reference, the antenna "
           "and RF front end, and the LOs in the database (crxdiag info); power-cycle the radio board.";
  return "Read the ERROR lines of the log above; check the database (crxdiag info) and the devices it lists.";
}

std::string sf_text(uint32_t datarate) {
  for (int sf = 7; sf <= 12; ++sf)
    if (datarate == uint32_t(1u << (sf - 6))) return "SF" + std::to_string(sf);
  return printf_string("0x%02X", datarate);
}

Json packet_json(const crx_rx_pkt_t& p, double t) {
  const char* crc = p.status == STAT_CRC_OK ? "ok" : p.status == STAT_CRC_BAD ? "bad" : p.status == STAT_NO_CRC ? "none" : "?";
  int chain = 0;
  for (int k = 0; k < 8; ++k)
    if (p.rsig[k].valid) {
      chain = k;
      break;
    }
  Json j{{"t_s", std::round(t * 1000) / 1000},
         {"chip", p.if_chain / 10},
         {"if_chain", p.if_chain},
         {"freq_hz", p.freq_hz},
         {"modulation", p.modulation == MOD_LORA ? "LoRa" : p.modulation == MOD_FSK ? "FSK" : "?"},
         {"datarate", p.modulation == MOD_LORA ? sf_text(p.datarate) : std::to_string(p.datarate)},
         {"bandwidth_hz", crx_bw_enum2nb(crx_bw_t(p.bandwidth))},
         {"crc", crc},
         {"count_us", p.count_us},
         {"size", p.size},
         {"rssi_dbm", p.rsig[chain].rssi},
         {"snr_db", p.rsig[chain].snr}};
  // The LoRaWAN device address of a data frame (little-endian, after MHDR).
  const int mtype = p.size ? p.payload[0] >> 5 : -1;
  if (mtype >= 2 && mtype <= 5 && p.size >= 5)
    j["dev_addr"] = printf_string("%08X", uint32_t(p.payload[1]) | uint32_t(p.payload[2]) << 8 | uint32_t(p.payload[3]) << 16 |
                                              uint32_t(p.payload[4]) << 24);
  return j;
}

std::string packet_line(const Json& p) {
  return printf_string("  %7.3f s  chip %d IF %2d  %9.4f MHz  %-4s %s %3d kHz  CRC %-4s RSSI %4.0f dBm  SNR %5.1f dB  %3d bytes%s\n",
                       p["t_s"].get<double>(), p["chip"].get<int>(), p["if_chain"].get<int>(), p["freq_hz"].get<double>() / 1e6,
                       p["modulation"].get<std::string>().c_str(), p["datarate"].get<std::string>().c_str(),
                       p["bandwidth_hz"].get<int>() / 1000, p["crc"].get<std::string>().c_str(), p["rssi_dbm"].get<double>(),
                       p["snr_db"].get<double>(), p["size"].get<int>(),
                       p.contains("dev_addr") ? ("  DevAddr " + p["dev_addr"].get<std::string>()).c_str() : "");
}

class Session {
 public:
  Session(Host& host, std::FILE* live, bool verbose) : host_(host), live_(live), verbose_(verbose), t0_(host.monotonic()) {}

  // Takes the log lines that came, notes the steps they open.
  void collect() {
    for (LogLine& l : host_.take_log()) {
      // The console form: "[seconds] text"; the step table matches the text.
      std::string text = l.text;
      if (text.size() > 13 && text[0] == '[' && text[11] == ']') text.erase(0, 13);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      while (!text.empty() && text.front() == '\n') text.erase(0, 1);
      if (text.empty()) continue;
      for (const Marker& m : kMarkers)
        if (text.find(m.text) != std::string::npos && (steps_.empty() || steps_.back().name != m.step))
          add_step(m.step, l.t);
      if (verbose_ && live_) std::fprintf(live_, "  | %s\n", text.c_str());
      log_.push_back({l.t, text});
    }
  }
  void add_step(const std::string& name, double t) { steps_.push_back({name, t}); }
  // The step list ends with the failing step: the code may name it more
  // precisely than the log's group (the transceiver group holds the FPGA
  // PLL), or it may have begun without a line of its own.
  void name_failed_step(const std::string& step) {
    if (!steps_.empty() && steps_.back().name == step) return;
    if (!steps_.empty() && steps_.back().name == "transceiver (AD9361) and FPGA PLL")
      steps_.back().name = step;
    else
      add_step(step, log_.empty() ? now() : log_.back().t);
  }
  double now() const { return host_.monotonic(); }
  double since(double t) const { return t - (steps_.empty() ? t0_ : steps_.front().t); }

  const std::vector<StepTime>& steps() const { return steps_; }
  const std::vector<LogLine>& log() const { return log_; }

  Json steps_json(double end) const {
    Json a = Json::array();
    for (size_t i = 0; i < steps_.size(); ++i) {
      const double next = i + 1 < steps_.size() ? steps_[i + 1].t : end;
      a.push_back({{"step", steps_[i].name},
                   {"at_ms", std::round(since(steps_[i].t) * 1000)},
                   {"took_ms", std::round(std::max(0.0, next - steps_[i].t) * 1000)}});
    }
    return a;
  }

  // The `n` lines that lead up to the failure: those before the last error
  // line and the two after it (the fault raised), not the clean-up after.
  Json last_lines(size_t n) const {
    size_t end = log_.size();
    for (size_t i = log_.size(); i-- > 0;)
      if (log_[i].text.find("E R R O R") != std::string::npos || log_[i].text.find("ERROR") != std::string::npos) {
        end = std::min(log_.size(), i + 3);
        break;
      }
    Json a = Json::array();
    for (size_t i = end > n ? end - n : 0; i < end; ++i) a.push_back(log_[i].text);
    return a;
  }

 private:
  Host& host_;
  std::FILE* live_;
  bool verbose_;
  double t0_;
  std::vector<StepTime> steps_;
  std::vector<LogLine> log_;
};

int board_status() {
  int st = 0;
  crx_brd_status(0, &st);
  return st;
}

void fail_report(Report& r, Session& s, const std::string& step, int code, double end) {
  s.name_failed_step(step);
  r.doc["result"] = "failed";
  r.doc["failure"] = {{"step", step},
                      {"code", code},
                      {"message", code ? crx_err_message(code) : "the library set no error code (see the log lines)"},
                      {"hint", hint(step, code, s.log())},
                      {"log", s.last_lines(12)}};
  r.doc["steps"] = s.steps_json(end);
  r.doc["board_stopped"] = board_status() != 2;
  r.status = kExitFailed;
}

}  // namespace

Report start(Host& host, const Options& o, std::FILE* live) {
  Report r;
  r.doc["config"] = o.config.empty() ? "/etc/default/config.json" : o.config;
  r.doc["seconds"] = o.seconds;
  const BoardUse use = board_use(host);
  if (use.elsewhere) {
    r.doc["result"] = "refused";
    r.doc["refused"] = use.text + "; stop it before running crxdiag start";
    r.doc["other_process"] = use.last;
    r.status = kExitRefused;
    return r;
  }
  Session s(host, live, o.verbose);
  host.capture_log(true);
  crx_console_log_enable(1);

  s.add_step("configuration", s.now());
  crx_errno = 0;
  const std::string config = o.config.empty() ? "/etc/default/config.json" : o.config;
  const crx_gw_cfg_t* gw = crx_read_cfg_json(o.config.empty() ? nullptr : o.config.c_str());
  s.collect();
  if (!gw) {
    fail_report(r, s, "configuration", crx_errno, s.now());
    if (!present(host, config))
      r.doc["failure"]["hint"] = "The configuration file " + config +
                                 " does not exist: write it (tests/data/config/ has one example per board family) "
                                 "or name another with -c FILE.";
  } else {
    const int started = crx_start(0);
    const int code = crx_errno;
    s.collect();
    if (started != 0) {
      fail_report(r, s, failing_step(s.steps(), s.log(), code), code, s.now());
    } else {
      host.board_started();
      s.add_step("receiving", s.now());
      if (live) std::fprintf(live, "Started; receiving for %g s\n", o.seconds);
      Json packets = Json::array();
      const double t_rx = s.now();
      crx_rx_pkt_t pkts[16];
      while (s.now() - t_rx < o.seconds && !host.interrupted()) {
        uint8_t n = 0;
        if (crx_fetch(0, pkts, 16, &n) == 0)
          for (uint8_t i = 0; i < n; ++i) {
            packets.push_back(packet_json(pkts[i], s.now() - t_rx));
            if (live) std::fputs(packet_line(packets.back()).c_str(), live);
          }
        s.collect();
        if (n == 0) host.sleep_ms(20);
      }
      r.doc["packets"] = packets;
      counters c;
      crx_get_packet_counters(&c);
      r.doc["counters"] = {{"uplink", c.uplink}, {"downlink", c.downlink}, {"crc_ok", c.crc_ok}, {"crc_error", c.crc_err}};
      uint32_t synced = 0;
      crx_tref_t ref;
      std::memset(&ref, 0, sizeof ref);
      r.doc["time_reference"] = crx_get_sync_status(&synced) == 0 && synced == 1 && crx_get_ref_time(&ref) == 0
                                    ? Json{{"count_us", ref.count_us}, {"utc_s", int64_t(ref.utc.sec)}, {"gps_s", int64_t(ref.gps.sec)}}
                                    : Json();
      host.board_stopping();
      s.add_step("stop", s.now());
      const int stopped = crx_stop(0);
      const int stop_code = crx_errno;
      s.collect();
      const double end = s.now();
      if (stopped != 0) {
        fail_report(r, s, "stop", stop_code, end);
      } else {
        r.doc["result"] = "ok";
        r.doc["steps"] = s.steps_json(end);
        r.doc["board_stopped"] = board_status() != 2;
      }
    }
  }
  crx_console_log_enable(0);
  host.capture_log(false);
  s.collect();
  return r;
}

std::string start_text(const Json& d) {
  std::string s;
  if (d["result"] == "refused") return "REFUSED: " + d["refused"].get<std::string>() + "\n";
  s += "Configuration: " + d["config"].get<std::string>() + "\n";
  s += "Steps (ms from the beginning):\n";
  const Json& steps = d["steps"];
  for (size_t i = 0; i < steps.size(); ++i) {
    const bool failed = d["result"] == "failed" && i + 1 == steps.size() && d["failure"]["step"] == steps[i]["step"];
    s += printf_string("  %8.0f  %-36s %8.0f ms%s\n", steps[i]["at_ms"].get<double>(), steps[i]["step"].get<std::string>().c_str(),
                       steps[i]["took_ms"].get<double>(), failed ? "  FAILED" : "");
  }
  if (d["result"] == "failed") {
    const Json& f = d["failure"];
    s += "FAILED at step: " + f["step"].get<std::string>() + "\n";
    s += printf_string("Code %d: %s\n", f["code"].get<int>(), f["message"].get<std::string>().c_str());
    s += "Last log lines:\n";
    for (const auto& l : f["log"]) s += "  | " + l.get<std::string>() + "\n";
    s += "Hint: " + f["hint"].get<std::string>() + "\n";
    s += d["board_stopped"].get<bool>() ? "The board is left stopped.\n" : "WARNING: the board is still running.\n";
    return s;
  }
  s += printf_string("Packets received: %zu\n", d["packets"].size());
  const Json& c = d["counters"];
  s += printf_string("Counters: uplink %u, downlink %u, CRC ok %u, CRC error %u\n", c["uplink"].get<unsigned>(),
                     c["downlink"].get<unsigned>(), c["crc_ok"].get<unsigned>(), c["crc_error"].get<unsigned>());
  const Json& t = d["time_reference"];
  s += t.is_null() ? "Time reference: not taken during the run (no PPS with the sync block in sync yet)\n"
                   : printf_string("Time reference: counter %u us at GPS %lld s\n", t["count_us"].get<unsigned>(),
                                   (long long)t["gps_s"].get<int64_t>());
  s += d["board_stopped"].get<bool>() ? "Stopped.\n" : "WARNING: the board is still running.\n";
  return s;
}

}  // namespace crxdiag

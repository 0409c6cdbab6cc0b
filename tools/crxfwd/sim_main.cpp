// crxfwd-sim: the forwarder on a simulated board. Simulated LoRaWAN devices
// send real 1.0.x frames (encrypted, with their MIC); what the server
// schedules is printed as the chips' TX buffers show it. With --with-server
// a small network-server stand-in runs on the loopback in the same process
// (the demo): it prints what it receives and answers confirmed uplinks and
// join requests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app.h"
#include "network.h"
#include "crx.h"
#include "lorawan_crypto.h"
#include "protocol.h"
#include "setup.h"
#include "sim/traffic.h"

namespace {

using Json = nlohmann::json;
namespace lw = crx::sim::lorawan;

constexpr uint64_t kFirstDevEui = 0x0004A30B00100000ull;

// The stand-in network server: two loopback sockets, acknowledgements, a
// line per datagram, and a downlink for each confirmed uplink (RX1, 1 s)
// and join request (join accept, 5 s).
class StandIn {
 public:
  StandIn() {
    up_ = crxfwd::bind_loopback_udp(up_port_);
    down_ = crxfwd::bind_loopback_udp(down_port_);
    thread_ = std::thread([this] { run(); });
  }
  ~StandIn() {
    stop_ = true;
    thread_.join();
    ::close(up_);
    ::close(down_);
  }
  uint16_t up_port() const { return up_port_; }
  uint16_t down_port() const { return down_port_; }

 private:
  static void say(const std::string& s) { std::printf("  server: %s\n", s.c_str()), std::fflush(stdout); }

  void answer(const Json& rx) {
    std::vector<uint8_t> frame;
    const std::string data = rx.value("data", "");
    if (!crxfwd::decode_base64(data, frame, 255) || frame.empty()) return;
    const int mtype = frame[0] >> 5;
    const double freq = rx.value("freq", 0.0);
    const std::string datr = rx.value("datr", "");
    const uint32_t tmst = rx.value("tmst", 0u);
    char line[200];
    if (mtype == 0 && frame.size() == 23) {
      uint64_t eui = 0;
      for (int i = 16; i >= 9; --i) eui = eui << 8 | frame[size_t(i)];
      std::snprintf(line, sizeof line, "join request from %016llX at %.1f MHz %s, RSSI %d",
                    static_cast<unsigned long long>(eui), freq, datr.c_str(), rx.value("rssi", 0));
      say(line);
      std::vector<uint8_t> accept(17, 0);
      accept[0] = 0x20;
      for (size_t i = 1; i < accept.size(); ++i) accept[i] = uint8_t(eui >> (i % 8 * 8)) ^ uint8_t(0x5A + i);
      downlink(tmst + 5000000, freq, datr, accept, "join accept");
    } else if ((mtype == 2 || mtype == 4) && frame.size() >= 12) {
      const uint32_t addr = frame[1] | frame[2] << 8 | frame[3] << 16 | uint32_t(frame[4]) << 24;
      std::snprintf(line, sizeof line, "%s uplink from %08X FCnt %u at %.1f MHz %s, RSSI %d, SNR %.1f",
                    mtype == 4 ? "confirmed" : "unconfirmed", addr, unsigned(frame[6] | frame[7] << 8), freq,
                    datr.c_str(), rx.value("rssi", 0), rx.value("lsnr", 0.0));
      say(line);
      if (mtype != 4) return;
      const uint16_t fcnt = down_fcnt_[addr]++;
      std::vector<uint8_t> ack = {0x60, frame[1], frame[2], frame[3], frame[4], 0x20, uint8_t(fcnt), uint8_t(fcnt >> 8),
                                  0, 0, 0, 0};
      downlink(tmst + 1000000, freq, datr, ack, "ACK");
    }
  }

  void downlink(uint32_t tmst, double up_mhz, const std::string& up_datr, const std::vector<uint8_t>& payload,
                const char* what) {
    // RX1: in the US band the 500 kHz downlink channel of the uplink's
    // group, elsewhere the uplink's channel.
    double mhz = up_mhz;
    std::string datr = up_datr;
    // AS923 Japan: the units' listen-before-talk table allows 13 dBm.
    int power = up_mhz >= 920.0 && up_mhz < 928.0 ? 13 : 14;
    if (up_mhz >= 902.0 && up_mhz <= 915.0) {
      const bool wide = up_datr.find("BW500") != std::string::npos;
      const int n = wide ? int((up_mhz - 903.0) / 1.6 + 0.5) : int((up_mhz - 902.3) / 0.2 + 0.5);
      mhz = 923.3 + (n % 8) * 0.6;
      datr = wide ? "SF7BW500" : up_datr.substr(0, up_datr.find("BW")) + "BW500";
      power = 20;
    }
    char b[96];
    const auto data = [&] {
      char out[400];
      bin_to_b64(payload.data(), int(payload.size()), out, sizeof out);
      return std::string(out);
    }();
    const std::string json = "{\"txpk\":{\"tmst\":" + std::to_string(tmst) + ",\"freq\":" +
                             (std::snprintf(b, sizeof b, "%.1f", mhz), std::string(b)) +
                             ",\"rfch\":0,\"powe\":" + std::to_string(power) + ",\"modu\":\"LORA\",\"datr\":\"" + datr +
                             "\",\"codr\":\"4/5\",\"ipol\":true,\"size\":" + std::to_string(payload.size()) +
                             ",\"data\":\"" + data + "\"}}";
    if (!gateway_known_) return;
    const uint16_t token = uint16_t(++tokens_);
    const auto d = crxfwd::make_datagram(crxfwd::Type::kPullResp, token, 0, json);
    ::sendto(down_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&gateway_), sizeof gateway_);
    std::snprintf(b, sizeof b, "PULL_RESP %04x: %s at tmst %u, %.1f MHz %s", token, what, tmst, mhz, datr.c_str());
    say(b);
  }

  void run() {
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      struct pollfd p[2] = {{up_, POLLIN, 0}, {down_, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(p[i].fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        const auto h = crxfwd::parse_header(std::span<const uint8_t>(buf.data(), n > 0 ? size_t(n) : 0));
        if (!h) continue;
        if (h->type == uint8_t(crxfwd::Type::kPullData) || h->type == uint8_t(crxfwd::Type::kPushData)) {
          const uint8_t ack[4] = {2, buf[1], buf[2], uint8_t(h->type == 0 ? 1 : 4)};
          ::sendto(p[i].fd, ack, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
        if (h->type == uint8_t(crxfwd::Type::kPullData)) {
          gateway_ = from;
          gateway_known_ = true;
          continue;
        }
        if (n <= 12) continue;
        const Json j = Json::parse(buf.begin() + 12, buf.begin() + n, nullptr, false);
        if (j.is_discarded()) continue;
        if (h->type == uint8_t(crxfwd::Type::kTxAck)) {
          char b[64];
          std::snprintf(b, sizeof b, "TX_ACK %04x: %s", h->token,
                        j["txpk_ack"].value("error", std::string("?")).c_str());
          say(b);
        } else if (j.contains("stat")) {
          say("stat " + j["stat"].dump());
        } else if (j.contains("rxpk")) {
          for (const auto& rx : j["rxpk"]) answer(rx);
        }
      }
    }
  }

  int up_ = -1, down_ = -1;
  uint16_t up_port_ = 0, down_port_ = 0;
  std::atomic<bool> stop_{false};
  // The rest belongs to the server's thread.
  sockaddr_in gateway_{};
  bool gateway_known_ = false;
  unsigned tokens_ = 0;
  std::map<uint32_t, uint16_t> down_fcnt_;
  std::thread thread_;
};

bool load_keys(const std::string& path, std::vector<lw::DeviceKeys>& keys) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    lw::DeviceKeys k;
    if (!lw::parse_keys_line(line, k)) {
      std::fprintf(stderr, "crxfwd-sim: %s: not DEVEUI DEVADDR NWKSKEY APPSKEY APPKEY: %s\n", path.c_str(),
                   line.c_str());
      return false;
    }
    keys.push_back(k);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  crxfwd::block_stop_signals();
  crxfwd::Options o;
  bool with_server = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--with-server") with_server = true;
    else args.push_back(argv[i]);
  }
  if (const int rc = crxfwd::parse_options(int(args.size()), args.data(), true, o); rc >= 0) return rc;
  const simgw::Family* family = simgw::find_family(o.board);
  if (!family) {
    std::fprintf(stderr, "crxfwd-sim: unknown board %s (one of %s)\n", o.board.c_str(), simgw::family_names().c_str());
    return 2;
  }
  crx_console_log_enable(o.library_log ? 1 : 0);

  std::vector<lw::DeviceKeys> keys;
  if (!o.keys_file.empty() && !load_keys(o.keys_file, keys)) {
    crxfwd::print_line("configuration: cannot read the device keys from " + o.keys_file);
    return 1;
  }
  for (int i = int(keys.size()); i < o.devices; ++i)
    keys.push_back(lw::derived_keys(i, kFirstDevEui + uint64_t(i), 0x26011000u + uint32_t(i)));
  keys.resize(size_t(o.devices));
  std::printf("crxfwd-sim: %d simulated devices (DevEUI DevAddr NwkSKey AppSKey AppKey):\n", o.devices);
  for (const auto& k : keys) std::printf("  %s\n", lw::format_keys(k).c_str());

  std::unique_ptr<StandIn> server;
  if (with_server) server = std::make_unique<StandIn>();
  const bool own_file = !o.config.empty();
  const std::string path = own_file ? o.config : simgw::config_dir() + "/" + family->config_file;
  auto adjust = [&](Json& doc) {
    auto& g = doc["gateway_conf"];
    if (server) {
      g["server_address"] = "127.0.0.1";
      g["serv_port_up"] = server->up_port();
      g["serv_port_down"] = server->down_port();
      g["stat_interval"] = 10;
    } else if (!own_file) {
      g["server_address"] = "127.0.0.1";
    }
  };

  simgw::Gateway gw;
  std::string error;
  if (!simgw::bring_up(*family, path, false, simgw::Localization::kOff, gw, error, adjust)) {
    crxfwd::print_line("start: " + error);
    simgw::shut_down(gw);
    return 1;
  }
  crxfwd::print_line(std::string("simulated ") + family->name + " board started from " + path);

  crx::sim::TrafficOptions traffic;
  traffic.devices = o.devices;
  traffic.seed = o.seed;
  traffic.seal = [&keys](crx::sim::AirFrame& f) {
    if (f.device < 0 || size_t(f.device) >= keys.size()) return;
    const lw::DeviceKeys& k = keys[size_t(f.device)];
    if (f.kind == crx::sim::FrameKind::kJoinRequest) {
      f.dev_eui = k.dev_eui;
      lw::seal_join_request(f.payload, k);
    } else {
      f.dev_addr = k.dev_addr;
      lw::seal_data_frame(f.payload, k, f.fcnt);
    }
  };
  crx::sim::TrafficGenerator gen(*gw.board, crx::sim::receivers_from_config(gw.config_text), traffic);
  std::vector<size_t> seen(size_t(family->chips), 0);
  std::deque<uint64_t> joining;  // join requests on the air, oldest first

  auto tick = [&] {
    for (const auto& f : gen.run_until(gw.board->now_us()))
      if (f.kind == crx::sim::FrameKind::kJoinRequest) joining.push_back(f.device);
    for (int c = 0; c < family->chips; ++c) {
      const auto tx = gw.board->chip(c).transmissions();
      for (; seen[size_t(c)] < tx.size(); ++seen[size_t(c)]) {
        const auto& t = tx[seen[size_t(c)]];
        std::printf("crxfwd-sim: TX buffer of chip %d: SF%u %u kHz, %zu bytes, %s %u\n", c, t.sf,
                    t.bandwidth_hz() / 1000, t.payload.size(),
                    t.trigger == crx::sim::Transmission::Trigger::kTimestamped ? "at count" : "armed at",
                    t.trigger == crx::sim::Transmission::Trigger::kTimestamped ? t.trigger_count : t.armed_at);
        // A join accept: the oldest device waiting for one has joined (the
        // simulated devices keep the session their keys give them).
        if (!t.payload.empty() && t.payload[0] >> 5 == 1 && !joining.empty()) {
          gen.joined(kFirstDevEui + joining.front());
          joining.pop_front();
        }
      }
    }
  };
  const int status = crxfwd::serve(o, *gw.record, o.seconds, tick);
  gw.sandbox->set_fast_clock(true);
  if (crx_stop(0) == 0) crxfwd::print_line("concentrator stopped");
  else crxfwd::print_line(std::string("stop: crx_stop failed: ") + crx_err_message(crx_errno));
  simgw::shut_down(gw);
  return status;
}

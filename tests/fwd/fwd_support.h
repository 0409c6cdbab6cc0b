// Test support for the forwarder: a network server on the loopback that
// records what arrives and answers as told, a clock the test moves, and a
// simulated board configured from an example file and started.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "crx.h"
#include "forwarder.h"
#include "network.h"
#include "protocol.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/gpio.h"
#include "sim/sync_block.h"
#include "sim/testing.h"
#include "sim/ublox.h"

namespace crxfwd::test {

using Json = nlohmann::json;

// One of the example configuration files (comments allowed).
inline Json example_config(const std::string& file) {
  std::ifstream in(std::string(CRX_TEST_DATA) + "/config/" + file);
  std::stringstream text;
  text << in.rdbuf();
  return Json::parse(text.str(), nullptr, true, true);
}

struct Received {
  bool down = false;  // arrived on the down port
  std::vector<uint8_t> bytes;
  Header header;
  Json json;  // the JSON part, when there is one
};

// Two UDP sockets on 127.0.0.1 (up and down), a thread that records every
// datagram and acknowledges PUSH_DATA and PULL_DATA unless told not to.
class LoopbackServer {
 public:
  LoopbackServer() {
    up_ = crxfwd::bind_loopback_udp(up_port_);
    down_ = crxfwd::bind_loopback_udp(down_port_);
    thread_ = std::thread([this] { run(); });
  }
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
    ::close(up_);
    ::close(down_);
  }

  std::string up_port() const { return std::to_string(up_port_); }
  std::string down_port() const { return std::to_string(down_port_); }
  void ack_push(bool on) { ack_push_ = on; }
  void ack_pull(bool on) { ack_pull_ = on; }

  // Waits (up to `ms`) until `pred` holds for the recorded datagrams. The
  // bound is generous: a loaded machine may take seconds, and only a
  // failing test waits it out. `pred` runs under the server's lock, so it
  // looks at its argument, never at all() or rxpk().
  bool wait(const std::function<bool(const std::vector<Received>&)>& pred, int ms = 30000) {
    // Re-checked every 10 ms too: a condition may hang on the forwarder's
    // own counters, which no datagram announces.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(mutex_);
    while (!pred(received_)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      cv_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
  }
  std::vector<Received> all() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  std::vector<Received> of_type(Type t) const {
    std::vector<Received> out;
    for (const auto& r : all())
      if (r.header.type == uint8_t(t)) out.push_back(r);
    return out;
  }
  static size_t count(const std::vector<Received>& v, Type t) {
    size_t n = 0;
    for (const auto& r : v) n += r.header.type == uint8_t(t);
    return n;
  }
  // The rxpk entries of every PUSH_DATA so far.
  std::vector<Json> rxpk() const {
    std::vector<Json> out;
    for (const auto& r : all())
      if (r.header.type == uint8_t(Type::kPushData) && r.json.contains("rxpk"))
        for (const auto& e : r.json["rxpk"]) out.push_back(e);
    return out;
  }

  // A PULL_RESP to the gateway's down socket (known from its PULL_DATA).
  bool pull_resp(uint16_t token, const std::string& json) {
    return send_down_raw(make_datagram(Type::kPullResp, token, 0, json));
  }
  bool send_down_raw(const std::vector<uint8_t>& d) {
    sockaddr_in to{};
    {
      std::lock_guard lock(mutex_);
      if (!gateway_down_known_) return false;
      to = gateway_down_;
    }
    return ::sendto(down_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           ssize_t(d.size());
  }

 private:
  void run() {
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      struct pollfd p[2] = {{up_, POLLIN, 0}, {down_, POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(p[i].fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 4) continue;
        Received r;
        r.down = i == 1;
        r.bytes.assign(buf.begin(), buf.begin() + n);
        r.header = *parse_header(r.bytes);
        const size_t skip = r.header.type == 0 || r.header.type == 2 || r.header.type == 5 ? 12 : 4;
        if (size_t(n) > skip) r.json = Json::parse(r.bytes.begin() + long(skip), r.bytes.end(), nullptr, false);
        const bool ack = (r.header.type == uint8_t(Type::kPushData) && ack_push_) ||
                         (r.header.type == uint8_t(Type::kPullData) && ack_pull_);
        {
          std::lock_guard lock(mutex_);
          if (r.down && r.header.type == uint8_t(Type::kPullData)) {
            gateway_down_ = from;
            gateway_down_known_ = true;
          }
          received_.push_back(r);
        }
        if (ack) {
          const uint8_t t = r.header.type == 0 ? uint8_t(Type::kPushAck) : uint8_t(Type::kPullAck);
          const uint8_t a[4] = {2, r.bytes[1], r.bytes[2], t};
          ::sendto(p[i].fd, a, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
        cv_.notify_all();
      }
    }
  }

  int up_ = -1, down_ = -1;
  uint16_t up_port_ = 0, down_port_ = 0;
  std::atomic<bool> stop_{false}, ack_push_{true}, ack_pull_{true};
  mutable std::mutex mutex_;  // guards received_ and the gateway's address
  std::condition_variable cv_;
  std::vector<Received> received_;
  sockaddr_in gateway_down_{};
  bool gateway_down_known_ = false;
  std::thread thread_;
};

// A clock the test moves; the forwarder sees a move within its 100 ms wait.
class ManualClock : public Clock {
 public:
  int64_t monotonic_ms() override { return ms_.load(); }
  int64_t utc_sec() override { return 1765308600 + (ms_.load() - kStart) / 1000; }  // 2025-12-09 19:30:00
  void advance_ms(int64_t ms) { ms_ += ms; }

 private:
  static constexpr int64_t kStart = 1000000;
  std::atomic<int64_t> ms_{kStart};
};

// An example board configured from its file (adjusted by `edit`) and
// started, its chips' receive-status lines wired, a GPS fix and a sync
// block in sync so the time reference comes.
class FwdBoardTest : public crx::sim::SandboxTest {
 protected:
  struct Family {
    const char* file;
    const char* pcba;
    const char* band;
    double lo_mhz, hi_mhz;
    int chips;
  };
  static constexpr Family kCondorNa{"condor_na.json", "Q7000101", "US915", 902.0, 928.0, 8};
  static constexpr Family kHeron{"heron.json", "Q7000106", "AS923_J", 920.0, 928.0, 2};

  void start_board(const Family& f, const std::function<void(Json&)>& edit = {}, bool wait_sync = false) {
    Json doc = example_config(f.file);
    if (edit) edit(doc);
    crx::sim::CxDatabase db(6);
    const char* t = "Configuration";
    db.board(f.pcba)
        .set(t, "Operating_Band", f.band)
        .set(t, "Min_UL_Frequency_MHz", f.lo_mhz)
        .set(t, "Max_UL_Frequency_MHz", f.hi_mhz)
        .set(t, "Min_DL_Frequency_MHz", f.lo_mhz)
        .set(t, "Max_DL_Frequency_MHz", f.hi_mhz)
        .set(t, "Rx_LO_MHz", doc["crx_conf"][0].value("board_rx_freq", 0.0) / 1e6)
        .set(t, "Num_of_SX1301s", f.chips);
    sandbox().set_fast_clock(true);
    crx::sim::cx_put_file(sandbox(), db.image());
    port_ = crx::sim::install_fpga_board(sandbox(), f.chips);
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
    if (f.chips == 2)
      crx::sim::wire_rx_status(*port_, gpio_, crx::sim::kHeronRxLines);
    else
      crx::sim::wire_rx_status(*port_, gpio_, crx::sim::kLargeBoardRxLines);
    sandbox().write_file("/etc/default/config.json", doc.dump());
    record_ = crx_read_cfg_json(nullptr);
    ASSERT_NE(record_, nullptr) << syslog_dump();
    crx::sim::write_position_file(sandbox(), true, 45.4642, 9.19, 120);
    crx::sim::install_sync_block(sandbox());
    crx::sim::set_fpga_sync_block(*port_, crx::sim::kSyncStateLocked, 0);
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
    // Stopped by TearDown even when a check below fails: a board left
    // running takes its threads into the program's exit.
    started_ = true;
    if (wait_sync) {
      ASSERT_TRUE(crx::sim::run_to_time_reference(sandbox())) << syslog_dump();
    }
    sandbox().set_fast_clock(false);
  }
  void TearDown() override {
    fwd_.reset();
    if (started_) {
      sandbox().set_fast_clock(true);
      crx_stop(0);
      crx_reg_close();
    }
    SandboxTest::TearDown();
  }

  Settings settings_for(const LoopbackServer& s) const {
    Settings st = Settings::from(*record_);
    st.gateway_id = 0x00800000A0001234ull;
    st.server = "127.0.0.1";
    st.port_up = s.up_port();
    st.port_down = s.down_port();
    return st;
  }
  // Created and started; `resolver` replaces the server's name look-up.
  void run_forwarder(const Settings& st, Resolver resolver = resolve_with_getaddrinfo) {
    fwd_ = std::make_unique<Forwarder>(
        st, clock_,
        [this](const std::string& line) {
          std::lock_guard lock(lines_mutex_);
          lines_.push_back(line);
        },
        std::move(resolver));
    fwd_->start();
  }
  // How many of the forwarder's lines contain `fragment`.
  int logged_count(const std::string& fragment) {
    std::lock_guard lock(lines_mutex_);
    int n = 0;
    for (const auto& l : lines_) n += l.find(fragment) != std::string::npos;
    return n;
  }
  bool logged(const std::string& fragment) { return logged_count(fragment) > 0; }
  std::string log_dump() {
    std::lock_guard lock(lines_mutex_);
    std::string s;
    for (const auto& l : lines_) s += "  " + l + "\n";
    return s;
  }

  std::shared_ptr<crx::sim::FpgaBoardPort> port_;
  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
  crx_gw_cfg_t* record_ = nullptr;
  bool started_ = false;
  ManualClock clock_;
  std::unique_ptr<Forwarder> fwd_;
  std::mutex lines_mutex_;  // guards lines_
  std::vector<std::string> lines_;
};

}  // namespace crxfwd::test

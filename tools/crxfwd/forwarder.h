// The forwarder's core: the upstream thread (uplinks from crx_fetch_v2 to
// PUSH_DATA, statistics), the downstream thread (PULL_DATA keep-alive,
// PULL_RESP into the just-in-time queue, hand-over to crx_send) and the
// server's address. It takes its clock, its log and its address look-up
// from the caller and expects a started board; main.cpp and the simulated
// variant add options, the configuration file, the board and signals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "crx.h"
#include "downlink.h"
#include "network.h"

namespace crxfwd {

// Time for the timers of the protocol (keep-alive, statistics). Tests give
// a clock they move by hand; the acknowledgement waits run on real time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual int64_t monotonic_ms() = 0;
  virtual int64_t utc_sec() = 0;
};

class SystemClock : public Clock {
 public:
  int64_t monotonic_ms() override;
  int64_t utc_sec() override;
};

struct Settings {
  uint64_t gateway_id = 0;
  std::string server = "127.0.0.1";
  std::string port_up = "1780", port_down = "1782";
  int keepalive_s = 5;
  uint32_t stat_interval_s = 30;
  int64_t push_timeout_half_us = 50000;
  bool forward_crc_valid = true, forward_crc_error = false, forward_crc_disabled = false;
  uint32_t autoquit_threshold = 0;
  uint32_t link_mote = 0;
  bool multi_antenna = false;
  uint32_t stat_no_ack_timeout_cnt = 60;
  bool use_utc_timestamp = false, use_gps_timestamp = true;
  int32_t lead_us = 40000;  // crx_send this long before a downlink starts

  static Settings from(const crx_gw_cfg_t& cfg);
};

// Cumulative figures, for the tests and the end of a run.
struct Totals {
  uint64_t fetched = 0, forwarded = 0, filtered = 0;
  uint64_t push_sent = 0, push_acked = 0;
  uint64_t stat_sent = 0;
  uint64_t pull_sent = 0, pull_acked = 0;
  uint64_t pull_resp = 0, downlinks_accepted = 0, downlinks_refused = 0, downlinks_sent = 0;
};

class Forwarder {
 public:
  enum class Outcome { kRunning, kStopped, kAutoQuit };

  Forwarder(Settings settings, Clock& clock, LogSink log, Resolver resolver = resolve_with_getaddrinfo,
            std::unique_ptr<Radio> radio = std::make_unique<LibraryRadio>());
  ~Forwarder();
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // Looks the server up and starts both threads.
  void start();
  // Asks both threads to end and waits for them.
  void stop();
  // kRunning until stop() or an auto-quit.
  Outcome outcome() const;
  // Waits up to `ms` for the outcome to leave kRunning.
  Outcome wait_for(int ms);

  Totals totals() const;

 private:
  void upstream();
  void downstream();
  void finish(Outcome o);
  void log(const std::string& s) const;

  const Settings settings_;
  Clock& clock_;
  LogSink log_;
  Server server_;
  std::unique_ptr<Radio> radio_;
  std::unique_ptr<Downlink> downlink_;  // used by the downstream thread only

  std::atomic<bool> stop_{false};
  mutable std::mutex outcome_mutex_;  // guards outcome_
  std::condition_variable outcome_cv_;
  Outcome outcome_ = Outcome::kRunning;

  // Counters shared by both threads and read by totals(): atomics.
  std::atomic<uint64_t> fetched_{0}, forwarded_{0}, filtered_{0}, push_sent_{0}, push_acked_{0}, stat_sent_{0};
  std::atomic<uint64_t> pull_sent_{0}, pull_acked_{0};
  std::atomic<uint32_t> dwnb_interval_{0};  // PULL_RESP since the last report
  std::atomic<bool> re_resolve_{false};     // upstream asks the downstream thread

  mutable std::mutex log_mutex_;  // one line at a time from both threads
  std::thread up_thread_, down_thread_;
};

}  // namespace crxfwd

#include "forwarder.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <vector>

#include "protocol.h"

namespace crxfwd {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kMaxPerDatagram = 8;  // a PUSH_DATA stays a few kilobytes
constexpr int kIdleWaitMs = 100;    // how soon a stop or a timer is seen
constexpr size_t kMaxDatagram = 65536;
// PUSH_DATA kept while the server's address is not known yet (the first
// look-up is still running, or failing): a few hundred packets at most.
constexpr size_t kMaxHeld = 32;

int errno_now() { return std::atomic_ref<int>(crx_errno).load(std::memory_order_relaxed); }

std::string format(const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// Difference of a library counter since the last report; a counter reset
// by another process (the statistics segment's request) starts again at 0.
uint32_t delta(uint32_t now, uint32_t before) { return int32_t(now - before) >= 0 ? now - before : now; }

bool wanted(const Settings& s, uint32_t status) {
  switch (status) {
    case STAT_CRC_OK: return s.forward_crc_valid;
    case STAT_CRC_BAD: return s.forward_crc_error;
    case STAT_NO_CRC: return s.forward_crc_disabled;
    default: return false;
  }
}

}  // namespace

int64_t SystemClock::monotonic_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch()).count();
}

int64_t SystemClock::utc_sec() { return int64_t(std::time(nullptr)); }

Settings Settings::from(const crx_gw_cfg_t& c) {
  Settings s;
  s.gateway_id = c.gateway_id;
  s.server.assign(c.server_address, strnlen(c.server_address, sizeof c.server_address));
  s.port_up.assign(c.serv_port_up, strnlen(c.serv_port_up, sizeof c.serv_port_up));
  s.port_down.assign(c.serv_port_down, strnlen(c.serv_port_down, sizeof c.serv_port_down));
  s.keepalive_s = c.keepalive_interval > 0 ? c.keepalive_interval : 5;
  s.stat_interval_s = c.stat_interval > 0 ? c.stat_interval : 30;
  s.push_timeout_half_us = int64_t(c.push_timeout_half.seconds) * 1000000 + c.push_timeout_half.microseconds;
  s.forward_crc_valid = c.forward_crc_valid;
  s.forward_crc_error = c.forward_crc_error;
  s.forward_crc_disabled = c.forward_crc_disabled;
  s.autoquit_threshold = c.autoquit_threshold;
  s.link_mote = c.link_mote;
  s.multi_antenna = c.multi_antenna == 1;
  s.stat_no_ack_timeout_cnt = c.stat_no_ack_timeout_cnt;
  s.use_utc_timestamp = c.use_utc_timestamp == 1;
  s.use_gps_timestamp = c.use_gps_timestamp == 1;
  return s;
}

Forwarder::Forwarder(Settings settings, Clock& clock, LogSink log, Resolver resolver, std::unique_ptr<Radio> radio)
    : settings_(std::move(settings)),
      clock_(clock),
      log_(std::move(log)),
      server_(settings_.server, settings_.port_up, settings_.port_down, std::move(resolver),
              [this](const std::string& s) { this->log(s); }),
      radio_(std::move(radio)) {
  downlink_ = std::make_unique<Downlink>(*radio_, settings_.gateway_id, settings_.lead_us,
                                         [this](const std::string& s) { this->log(s); });
}

Forwarder::~Forwarder() { stop(); }

void Forwarder::log(const std::string& s) const {
  if (!log_) return;
  std::lock_guard lock(log_mutex_);
  log_(s);
}

void Forwarder::start() {
  server_.resolve();
  up_thread_ = std::thread([this] { upstream(); });
  down_thread_ = std::thread([this] { downstream(); });
}

void Forwarder::stop() {
  stop_.store(true);
  if (up_thread_.joinable()) up_thread_.join();
  if (down_thread_.joinable()) down_thread_.join();
  server_.join();
  finish(Outcome::kStopped);
}

void Forwarder::finish(Outcome o) {
  {
    std::lock_guard lock(outcome_mutex_);
    if (outcome_ != Outcome::kRunning) return;
    outcome_ = o;
  }
  outcome_cv_.notify_all();
}

Forwarder::Outcome Forwarder::outcome() const {
  std::lock_guard lock(outcome_mutex_);
  return outcome_;
}

Forwarder::Outcome Forwarder::wait_for(int ms) {
  std::unique_lock lock(outcome_mutex_);
  outcome_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return outcome_ != Outcome::kRunning; });
  return outcome_;
}

Totals Forwarder::totals() const {
  Totals t;
  t.fetched = fetched_;
  t.forwarded = forwarded_;
  t.filtered = filtered_;
  t.push_sent = push_sent_;
  t.push_acked = push_acked_;
  t.stat_sent = stat_sent_;
  t.pull_sent = pull_sent_;
  t.pull_acked = pull_acked_;
  const DownlinkCounters& d = downlink_->counters();
  t.pull_resp = d.pull_resp;
  t.downlinks_accepted = d.accepted;
  t.downlinks_refused = d.refused;
  t.downlinks_sent = d.sent;
  return t;
}

// ---- upstream ----

void Forwarder::upstream() {
  Link link(server_, false, "upstream", [this](const std::string& s) { log(s); });
  std::mt19937 rng(std::random_device{}());
  struct Pending {
    uint16_t token;
    Steady::time_point deadline;
    bool stat;
  };
  std::vector<Pending> pending;
  // The record's two receive attempts of half the time-out each: one
  // deadline of the whole time-out, checked without ever holding up the
  // next fetch.
  const auto ack_window = std::chrono::microseconds(2 * std::max<int64_t>(settings_.push_timeout_half_us, 1000));

  counters last{};
  crx_get_packet_counters(&last);
  int64_t next_stat = clock_.monotonic_ms() + int64_t(settings_.stat_interval_s) * 1000;
  uint32_t sent_interval = 0, acked_interval = 0, forwarded_interval = 0;
  uint32_t stat_misses = 0;
  bool fetch_failing = false;
  std::vector<crx_rx_pkt_t> pkts(kMaxPerDatagram);
  std::vector<uint8_t> buf(kMaxDatagram);

  // Uplinks fetched before there is a socket to the server (the look-up
  // runs in the background and may still be going when the first packets
  // come, or fail for a while) wait here, in order, instead of being lost.
  struct Held {
    std::string json;
    uint32_t entries;
  };
  std::deque<Held> held;
  uint64_t held_dropped = 0;

  auto push = [&](const std::string& json, bool stat) {
    const uint16_t token = uint16_t(rng());
    const auto d = make_datagram(Type::kPushData, token, settings_.gateway_id, json);
    const bool sent = link.send(d.data(), d.size());
    // A report that could not even be sent counts as unanswered: that too
    // may call for a new look-up of the server.
    if (sent || stat) pending.push_back({token, Steady::now() + ack_window, stat});
    if (!sent) return false;
    if (!stat) ++sent_interval, ++push_sent_;
    return true;
  };

  auto forward = [&](std::string json, uint32_t entries) {
    if (push(json, false)) {
      forwarded_ += entries;
      forwarded_interval += entries;
    }
  };
  auto send_held = [&] {
    if (held.empty() || link.fd() < 0) return;
    if (held_dropped > 0)
      log(format("upstream: %llu uplinks dropped while the server's address was unknown",
                 static_cast<unsigned long long>(held_dropped)));
    held_dropped = 0;
    while (!held.empty()) {
      forward(std::move(held.front().json), held.front().entries);
      held.pop_front();
    }
  };

  while (!stop_.load()) {
    send_held();
    // Wait for packets no longer than the next timer needs.
    int64_t wait_ms = std::min<int64_t>(kIdleWaitMs, std::max<int64_t>(0, next_stat - clock_.monotonic_ms()));
    for (const Pending& p : pending)
      wait_ms = std::min<int64_t>(
          wait_ms, std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - Steady::now()).count() + 1));
    const struct timeval tv = {time_t(wait_ms / 1000), suseconds_t(wait_ms % 1000 * 1000)};
    uint8_t nb = 0;
    if (crx_fetch_v2(pkts.data(), kMaxPerDatagram, &nb, &tv) != 0) {
      nb = 0;
      int status = 0;
      if (errno_now() != ERR_FETCH_TIMEOUT && (crx_brd_status(0, &status) != 0 || status != 2)) {
        if (!fetch_failing) log(format("upstream: crx_fetch_v2 failed: %s; retrying", crx_err_message(errno_now())));
        fetch_failing = true;
        const struct timespec pause = {0, kIdleWaitMs * 1000000L};
        nanosleep(&pause, nullptr);
      }
    } else if (fetch_failing) {
      log("upstream: receiving again");
      fetch_failing = false;
    }

    if (nb > 0) {
      fetched_ += nb;
      std::vector<std::string> entries;
      for (uint8_t i = 0; i < nb; ++i) {
        const crx_rx_pkt_t& p = pkts[i];
        if (settings_.link_mote && p.size >= 5 && (p.payload[0] >> 5) >= 2 && (p.payload[0] >> 5) <= 5 &&
            le32(p.payload + 1) == settings_.link_mote) {
          const crx_rsig_t& r = p.rsig[0].valid ? p.rsig[0] : p.rsig[1];
          log(format("link %08X: RSSI %.0f dBm, SNR %.1f dB, %s, %.6f MHz", settings_.link_mote, double(r.rssi),
                     double(r.snr), datr_lora(p.datarate, p.bandwidth).c_str(), p.freq_hz / 1e6));
        }
        if (!wanted(settings_, p.status)) {
          ++filtered_;
          continue;
        }
        RxTime t;
        crx_tref_t ref{};
        struct timespec ts {};
        if (settings_.use_utc_timestamp && crx_cnt2utc(ref, p.count_us, &ts) == 0) {
          t.utc_valid = true;
          t.utc_sec = ts.tv_sec;
          t.utc_nsec = uint32_t(ts.tv_nsec);
        }
        uint32_t synced = 0;
        if (settings_.use_gps_timestamp && crx_get_sync_status(&synced) == 0 && synced == 1 &&
            crx_cnt2gps(p.count_us, &ts) == 0) {
          t.gps_valid = true;
          t.gps_ms = uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
        }
        std::string e;
        if (rxpk_json(p, t, RxOptions{settings_.multi_antenna}, e)) entries.push_back(std::move(e));
        else ++filtered_;
      }
      if (!entries.empty()) {
        if (link.fd() < 0) {
          if (held.empty()) log("upstream: the server's address is not known yet; holding uplinks");
          if (held.size() == kMaxHeld) {
            held_dropped += held.front().entries;
            held.pop_front();
          }
          held.push_back({push_rxpk(entries), uint32_t(entries.size())});
        } else {
          send_held();
          forward(push_rxpk(entries), uint32_t(entries.size()));
        }
      }
    }

    // Acknowledgements waiting on the socket; anything else is ignored.
    if (const int fd = link.fd(); fd >= 0) {
      for (;;) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) {
          if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) link.receive_error(errno);
          break;
        }
        const auto h = parse_header(std::span<const uint8_t>(buf.data(), size_t(n)));
        if (!h || h->version != kProtocolVersion || h->type != uint8_t(Type::kPushAck)) continue;
        link.answered();
        const auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.token == h->token; });
        if (it == pending.end()) continue;
        if (it->stat) stat_misses = 0;
        else ++acked_interval, ++push_acked_;
        pending.erase(it);
      }
    }
    const auto now = Steady::now();
    for (auto it = pending.begin(); it != pending.end();) {
      if (it->deadline > now) {
        ++it;
        continue;
      }
      if (it->stat && ++stat_misses >= settings_.stat_no_ack_timeout_cnt && settings_.stat_no_ack_timeout_cnt > 0) {
        log(format("upstream: %u statistics reports unanswered; looking the server up again", stat_misses));
        stat_misses = 0;
        re_resolve_.store(true);
      }
      it = pending.erase(it);
    }

    if (clock_.monotonic_ms() >= next_stat) {
      next_stat += int64_t(settings_.stat_interval_s) * 1000;
      if (next_stat <= clock_.monotonic_ms()) next_stat = clock_.monotonic_ms() + int64_t(settings_.stat_interval_s) * 1000;
      counters c{};
      crx_get_packet_counters(&c);
      Stat st;
      st.utc_sec = clock_.utc_sec();
      crx_coord_t pos{};
      if (crx_get_gps_position(&pos) == 0 && (pos.lat != 0 || pos.lon != 0 || pos.alt != 0)) {
        st.position_valid = true;
        st.lat = pos.lat;
        st.lon = pos.lon;
        st.alt = pos.alt;
      }
      st.rxnb = delta(c.uplink, last.uplink);
      st.rxok = delta(c.crc_ok, last.crc_ok);
      st.txnb = delta(c.downlink, last.downlink);
      st.rxfw = forwarded_interval;
      // An acknowledgement can come just after the report that counted its
      // PUSH_DATA, so the next interval may see more than it sent.
      st.ackr = sent_interval ? std::min(100.0, 100.0 * acked_interval / sent_interval) : 0.0;
      st.dwnb = dwnb_interval_.exchange(0);
      last = c;
      log(format("statistics: %u received, %u CRC ok, %u forwarded, %.1f%% acknowledged, %u downlink requests, "
                 "%u sent",
                 st.rxnb, st.rxok, st.rxfw, st.ackr, st.dwnb, st.txnb));
      sent_interval = acked_interval = forwarded_interval = 0;
      if (push(push_stat(st), true)) ++stat_sent_;
    }
  }
}

// ---- downstream ----

void Forwarder::downstream() {
  Link link(server_, true, "downstream", [this](const std::string& s) { log(s); });
  std::mt19937 rng(std::random_device{}());
  std::vector<uint8_t> buf(kMaxDatagram);
  std::vector<std::vector<uint8_t>> replies;
  const int64_t keepalive_ms = int64_t(settings_.keepalive_s) * 1000;
  int64_t next_pull = clock_.monotonic_ms();
  uint16_t pull_token = 0;
  bool pull_pending = false;
  uint32_t misses = 0;

  auto send_replies = [&] {
    for (const auto& r : replies) link.send(r.data(), r.size());
    replies.clear();
  };

  while (!stop_.load()) {
    if (re_resolve_.exchange(false)) server_.resolve();
    const int64_t now_ms = clock_.monotonic_ms();
    // Until the server's address is known there is nothing to keep alive;
    // the keep-alive goes as soon as it is.
    if (now_ms >= next_pull && !server_.resolved()) server_.resolve();
    if (now_ms >= next_pull && link.fd() >= 0) {
      next_pull = now_ms + keepalive_ms;
      if (pull_pending && ++misses >= settings_.autoquit_threshold && settings_.autoquit_threshold > 0) {
        log(format("downstream: %u PULL_DATA in a row without PULL_ACK: quitting", misses));
        finish(Outcome::kAutoQuit);
        return;
      }
      pull_token = uint16_t(rng());
      const auto d = make_datagram(Type::kPullData, pull_token, settings_.gateway_id);
      pull_pending = true;  // unanswered even when it could not be sent
      if (link.send(d.data(), d.size())) ++pull_sent_;
    }

    int64_t wait_ms = std::min<int64_t>(kIdleWaitMs, std::max<int64_t>(0, next_pull - clock_.monotonic_ms()));
    if (link.fd() < 0) wait_ms = 10;  // the address may come any moment
    const int64_t handover_us = downlink_->until_next();
    if (handover_us >= 0) wait_ms = std::min<int64_t>(wait_ms, handover_us / 1000);
    const int fd = link.fd();
    struct pollfd pfd = {fd, POLLIN, 0};
    const int rc = ::poll(&pfd, fd >= 0 ? 1 : 0, int(wait_ms));
    if (rc > 0 && (pfd.revents & (POLLIN | POLLERR))) {
      for (;;) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
          if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) link.receive_error(errno);
          break;
        }
        if (size_t(n) > buf.size()) {
          log(format("downstream: datagram of %zd bytes dropped: too large", n));
          continue;
        }
        const auto ev = downlink_->on_datagram(std::span<const uint8_t>(buf.data(), size_t(n)), pull_token, replies);
        if (ev != Downlink::Event::kDropped) link.answered();
        if (ev == Downlink::Event::kPullAck && pull_pending) {
          pull_pending = false;
          misses = 0;
          ++pull_acked_;
        } else if (ev == Downlink::Event::kPullResp) {
          ++dwnb_interval_;
        }
        send_replies();
      }
    }
    downlink_->hand_over(replies);
    send_replies();
  }
}

}  // namespace crxfwd

// The forwarder on a started eight-chip board (Condor NA) on the simulator,
// real clock, against a UDP socket on the loopback standing in for the
// network server.
//
// BM_FwdUplinkLatency: one uplink at a time, from the moment it enters a
// chip's FIFO (its receive-status line rises) to the PUSH_DATA datagram
// carrying it arriving at the server's socket. Between two uplinks the
// board stays idle for 1 to 11 ms. Counters: median and 90th percentile.
// Arg 0: lines with a rising edge (the thread wakes on the edge); arg 1:
// edge "none" (the receive thread finds packets at its 10 ms poll), the
// yardstick of forwarders that poll.
//
// BM_FwdThroughput: 15 uplinks in each of the 8 FIFOs at once, again and
// again, each batch waited for at the server before the next: uplinks per
// second through the receive thread, crx_fetch_v2, the JSON and the socket,
// with the count of packets that did not arrive (must stay 0).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/started_board.h"
#include "forwarder.h"
#include "network.h"

namespace {

using crx::bench::kChips;
using crx::bench::StartedBoard;
using Steady = std::chrono::steady_clock;

int bind_loopback(uint16_t& port) {
  const int s = crxfwd::bind_loopback_udp(port);
  int big = 8 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  return s;
}

struct Rig {
  StartedBoard board;
  crxfwd::SystemClock clock;
  int up = -1, down = -1;
  std::unique_ptr<crxfwd::Forwarder> fwd;
  Rig() {
    board.wire_rx_lines();
    uint16_t up_port = 0, down_port = 0;
    up = bind_loopback(up_port);
    down = bind_loopback(down_port);
    crxfwd::Settings s;
    s.gateway_id = 1;
    s.port_up = std::to_string(up_port);
    s.port_down = std::to_string(down_port);
    s.stat_interval_s = 3600;
    s.use_gps_timestamp = false;
    fwd = std::make_unique<crxfwd::Forwarder>(s, clock, nullptr);
    fwd->start();
  }
  ~Rig() {
    fwd.reset();
    ::close(up);
    ::close(down);
  }
  // rxpk entries in the PUSH_DATA datagrams arriving within `ms`, until
  // `want` have come.
  int receive(int want, int ms) {
    std::vector<char> buf(65536);
    int got = 0;
    const auto end = Steady::now() + std::chrono::milliseconds(ms);
    while (got < want && Steady::now() < end) {
      struct pollfd p = {up, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(up, buf.data(), buf.size(), 0);
      if (n <= 12 || buf[3] != 0) continue;
      const std::string json(buf.data() + 12, size_t(n - 12));
      for (size_t at = json.find("\"tmst\""); at != std::string::npos; at = json.find("\"tmst\"", at + 1)) ++got;
    }
    return got;
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

void BM_FwdUplinkLatency(benchmark::State& state) {
  Rig& r = rig();
  r.board.set_rx_edges(state.range(0) == 0 ? "rising" : "none");
  std::mt19937 rng(7);
  std::vector<double> us;
  uint16_t fcnt = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + rng() % 10000));
    const int chip = int(fcnt % kChips);
    const auto t0 = Steady::now();
    r.board.port->chip(chip).push_uplink(crx::bench::unique_uplink(uint32_t(state.range(0)) * 1000 + 1, ++fcnt, 0, 1000000));
    if (r.receive(1, 2000) != 1) {
      state.SkipWithError("uplink not forwarded");
      break;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Steady::now() - t0).count());
  }
  r.board.set_rx_edges("rising");
  state.counters["median_us"] = percentile(us, 0.5);
  state.counters["p90_us"] = percentile(us, 0.9);
}
BENCHMARK(BM_FwdUplinkLatency)->Arg(0)->Arg(1)->Iterations(300)->Unit(benchmark::kMicrosecond);

void BM_FwdThroughput(benchmark::State& state) {
  Rig& r = rig();
  constexpr int kPerChip = 15;  // one poll of all eight stays within the library queue's 127
  uint16_t fcnt = 0;
  int64_t lost = 0, forwarded = 0;
  for (auto _ : state) {
    for (int c = 0; c < kChips; ++c)
      for (int i = 0; i < kPerChip; ++i) {
        ++fcnt;
        r.board.port->chip(c).push_uplink(crx::bench::unique_uplink(uint32_t(100 + c), fcnt, uint8_t(i % 8), 2000000u + fcnt * 50u));
      }
    const int got = r.receive(kChips * kPerChip, 5000);
    forwarded += got;
    lost += kChips * kPerChip - got;
  }
  state.SetItemsProcessed(forwarded);
  state.counters["lost"] = double(lost);
}
BENCHMARK(BM_FwdThroughput)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the hand-over lead must cover: one crx_send of a timed downlink on
// the simulated board (buffer, IF, power and trigger writes), median and
// worst. Nothing else runs on the board meanwhile but its threads.
void BM_FwdSendPath(benchmark::State& state) {
  Rig& r = rig();
  std::vector<double> us;
  for (auto _ : state) {
    crx_tx_pkt_t p;
    crx_init_tx_pkt(&p);
    p.tx_mode = TX_TIMESTAMPED;
    uint32_t now = 0;
    crx_get_instcnt(0, 0, &now);
    p.count_us = now + 10000000;
    p.freq_hz = 923300000;
    p.rf_power = 20;
    p.modulation = MOD_LORA;
    p.bandwidth = BW_500KHZ;
    p.datarate = DR_LORA_SF10;
    p.coderate = CR_LORA_4_5;
    p.preamble = 8;
    p.size = 32;
    const auto t0 = Steady::now();
    if (crx_send(0, &p) != 0) {
      state.SkipWithError("crx_send refused");
      break;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Steady::now() - t0).count());
    crx_abort_tx(0);
  }
  (void)r;
  state.counters["median_us"] = percentile(us, 0.5);
  state.counters["max_us"] = percentile(us, 1.0);
}
BENCHMARK(BM_FwdSendPath)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

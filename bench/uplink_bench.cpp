// Uplinks through the real receive thread of a started eight-chip board
// (Condor NA) on the simulator, real clock: the chips' receive-status
// outputs drive their GPIO lines, which start exported with a rising edge.
//
// BM_UplinkLatency: one uplink at a time, from the moment it enters a
// chip's FIFO (its receive-status line rises) to the return of the
// crx_fetch_v2 that was already waiting for it. Between two uplinks the
// board stays idle for 1 to 11 ms, so they land anywhere in the thread's
// 10 ms poll period. Counters: median, 90th percentile and worst latency,
// and the bus transfers per uplink (the fewest seen: the housekeeping timer
// adds its own now and then). The thread reads only the FIFO of the chip
// whose line is high: status, burst and pop for the packet, and one more
// status read that finds the FIFO empty, 4 in all.
// With the lines' edge setting at "none" the thread sees a packet only at
// its next periodic poll: that run is the yardstick of polling alone.
//
// BM_UplinkBatches: 16 uplinks in each of the 8 FIFOs at once (the lines
// rise together), taken with crx_fetch_v2 until none is left: packets per
// second through the thread, its wake-ups and the queue's semaphore.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <sys/time.h>

#include "bench/started_board.h"

namespace {

using crx::bench::kChips;
using crx::bench::StartedBoard;
using Clock = std::chrono::steady_clock;

StartedBoard& board() {
  static StartedBoard b;
  return b;
}

// Waits up to `ms` for packets; the count taken (0 on a time-out).
int fetch_within(crx_rx_pkt_t* out, uint8_t max, int ms) {
  const struct timeval t = {ms / 1000, (ms % 1000) * 1000};
  uint8_t nb = 0;
  // A wake-up whose packet another call already took returns 0 packets.
  while (crx_fetch_v2(out, max, &nb, &t) == 0)
    if (nb > 0) return nb;
  return 0;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

void BM_UplinkLatency(benchmark::State& state) {
  StartedBoard& b = board();
  const bool edges = state.range(0) != 0;
  if (!b.set_rx_edges(edges ? "rising" : "none")) {
    state.SkipWithError("cannot set the lines' edges");
    return;
  }
  b.wire_rx_lines();
  StartedBoard::drain_queue();
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> idle_us(1000, 11000);
  std::vector<double> us;
  uint64_t transfers = UINT64_MAX;
  crx_rx_pkt_t p{};
  static uint16_t fcnt = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::microseconds(idle_us(rng)));
    ++fcnt;
    const int chip = int(fcnt % kChips);
    const crx::sim::Uplink u = crx::bench::unique_uplink(uint32_t(chip), fcnt, uint8_t(fcnt / kChips % 8), fcnt * 1000u);
    const uint64_t before = b.port->transfer_count();
    const auto t0 = Clock::now();
    b.port->chip(chip).push_uplink(u);
    const int got = fetch_within(&p, 1, 100);
    const auto t1 = Clock::now();
    transfers = std::min(transfers, b.port->transfer_count() - before);
    if (got != 1 || p.if_chain / 10 != chip) {
      state.SkipWithError("the uplink did not arrive");
      break;
    }
    const double seconds = std::chrono::duration<double>(t1 - t0).count();
    us.push_back(seconds * 1e6);
    state.SetIterationTime(seconds);
  }
  b.unwire_rx_lines();
  b.set_rx_edges("rising");
  state.counters["median_us"] = percentile(us, 0.5);
  state.counters["p90_us"] = percentile(us, 0.9);
  state.counters["max_us"] = percentile(us, 1.0);
  state.counters["xfers_per_uplink"] = double(transfers);
}
BENCHMARK(BM_UplinkLatency)->ArgName("edge")->Arg(1)->Iterations(400)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UplinkLatency)->ArgName("edge")->Arg(0)->Iterations(100)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_UplinkBatches(benchmark::State& state) {
  StartedBoard& b = board();
  b.unwire_rx_lines();
  StartedBoard::drain_queue();
  constexpr size_t kPerChip = CRX_MAX_PKT_NB / kChips;
  std::vector<crx_rx_pkt_t> out(CRX_MAX_PKT_NB);
  static uint16_t round = 0;
  size_t delivered = 0, timeouts = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++round;
    for (int c = 0; c < kChips; ++c)
      for (size_t i = 0; i < kPerChip; ++i) {
        const uint32_t n = uint32_t(c) * kPerChip + uint32_t(i);
        b.port->chip(c).push_uplink(
            crx::bench::unique_uplink(n, round, uint8_t(i % 8), uint32_t(round) * 1000000u + n * 1000u));
      }
    state.ResumeTiming();
    b.wire_rx_lines();
    size_t got = 0;
    // A full batch meets a queue that holds 127: when the thread queues all
    // 128 before this thread takes any, the oldest is overwritten. A packet
    // still on its way when 127 have arrived counts in the next round.
    while (got < CRX_MAX_PKT_NB - 1) {
      const int n = fetch_within(out.data(), CRX_MAX_PKT_NB, 20);
      if (n == 0) {
        ++timeouts;
        break;
      }
      got += size_t(n);
    }
    delivered += got;
    state.PauseTiming();
    b.unwire_rx_lines();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(delivered));
  state.counters["delivered_per_128"] = double(delivered) / double(state.iterations());
  state.counters["timeouts"] = double(timeouts);
}
BENCHMARK(BM_UplinkBatches)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

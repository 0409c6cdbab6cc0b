// A whole crx_start + crx_stop of an eight-chip board (Condor NA, its
// example configuration) on the simulator with the real clock.
//
// Figures: the wall time of one cycle against the sum of the fixed waits
// the start and stop sequences prescribe (the floor a board cannot beat),
// and the bus transfers of one cycle split into the register writes and
// reads the steps name and the reads that the register layer adds to
// write a bit field (read-modify-write).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <numeric>
#include <sstream>

#include "crx.h"
#include "started_board.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/gpio.h"

namespace {

using Bench = crx::bench::ConfiguredBoard;

Bench& bench() {
  static Bench b;
  return b;
}

void BM_StartStopEightChips(benchmark::State& state) {
  Bench& b = bench();
  double floor_s = 0, transfers = 0, writes = 0, reads = 0, rmw_reads = 0;
  for (auto _ : state) {
    b.sandbox.clear_sleeps();
    b.port->clear_accesses();
    if (crx_start(0) != 0 || crx_stop(0) != 0) {
      state.SkipWithError("start or stop failed");
      break;
    }
    state.PauseTiming();
    const auto sleeps = b.sandbox.sleeps();
    floor_s = double(std::accumulate(sleeps.begin(), sleeps.end(), int64_t{0})) / 1e9;
    const auto acc = b.port->accesses();
    transfers = double(acc.size());
    writes = reads = rmw_reads = 0;
    for (size_t i = 0; i < acc.size(); ++i) {
      if (acc[i].write) {
        ++writes;
        continue;
      }
      ++reads;
      const bool rmw = i + 1 < acc.size() && acc[i + 1].write && acc[i + 1].offset == acc[i].offset &&
                       acc[i].data.size() == 1;
      if (rmw) ++rmw_reads;
    }
    state.ResumeTiming();
  }
  state.counters["floor_s"] = floor_s;
  state.counters["transfers"] = transfers;
  state.counters["writes"] = writes;
  state.counters["reads_of_steps"] = reads - rmw_reads;
  state.counters["rmw_reads"] = rmw_reads;
}
BENCHMARK(BM_StartStopEightChips)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// The receive path from the chips' FIFOs to crx_fetch, and the bus
// transfers of a received packet and of a crx_send, on a started
// eight-chip board (Condor NA) on the simulator.
//
// What is timed. The receive thread's own scheduling (its wake-up on a
// line edge, bench_uplink) is left out: these benchmarks run the steps of
// one poll in the benchmark's thread, in the order the thread runs them:
// the FIFO walk of each chip into a batch of at most 128 packets, the ghost
// and duplicate passes, the history, the queue, then one crx_fetch of the
// whole batch. Not included: the thread's reads of the receive-status lines
// and its copy of the packet counters into shared memory, one of each per
// poll. The receive thread keeps running meanwhile, but the status lines
// are not wired to the FIFOs, so it never reads them.
//
// The yardstick is the bare traffic the FIFO walk needs for the same
// packets, done directly on the simulated FPGA port: per packet the 5-byte
// FIFO status read at chip register 11, the burst of payload + 16 metadata
// bytes at register 4 and the one-byte pop write at register 11, and per
// chip one status read that finds the FIFO empty (none when the batch fills
// up first). The simulator's cost is common to both sides, so the ratio
// shows what the library adds per packet: decoding, RSSI, statistics,
// deduplication and two queue copies.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "bench/median.h"
#include "bench/started_board.h"
#include "crx_hal/dedup.h"
#include "crx_hal/hooks.h"
#include "crx_hal/rx_fetch.h"
#include "crx_hal/rx_queue.h"
#include "device/reg_access.h"

namespace {

using crx::bench::kChips;
using crx::bench::median;
using crx::bench::StartedBoard;
using Clock = std::chrono::steady_clock;

constexpr size_t kBatch = CRX_MAX_PKT_NB;
constexpr size_t kPerChip = kBatch / kChips;
constexpr uint16_t kStatusAddress = 11;
constexpr uint16_t kDataAddress = 4;
constexpr uint8_t kAnyPage = 0xFF;

StartedBoard& board() {
  static StartedBoard b;
  return b;
}

off_t chip_offset(int chip, uint16_t address) {
  return off_t(uint32_t(chip) << 24 | uint32_t{kAnyPage} << 16 | address);
}

// 16 new uplinks in every chip's FIFO; `round` keeps them apart from the
// previous batch's so that none is a ghost.
void fill_fifos(StartedBoard& b, uint16_t round, size_t payload) {
  for (int c = 0; c < kChips; ++c)
    for (size_t i = 0; i < kPerChip; ++i) {
      const uint32_t n = uint32_t(c) * kPerChip + uint32_t(i);
      b.port->chip(c).push_uplink(
          crx::bench::unique_uplink(n, round, uint8_t(i % 8), uint32_t(round) * 1000000u + n * 1000u, payload));
    }
}

struct Pipeline {
  crx::rx::Batch batch;
  crx::rx::History history;
  std::array<crx_rx_pkt_t, kBatch> out;
};

// One poll's FIFO walk over the chips (and, when `whole`, the rest of the
// poll and the fetch); the packets delivered, or taken from the FIFOs.
size_t run_library(Pipeline& p, bool whole) {
  p.batch.n = 0;
  for (int c = 0; c < kChips; ++c)
    if (crx::rx::fetch_chip(uint8_t(c), &p.batch, p.batch.e.size() - p.batch.n) < 0) return 0;
  if (!whole) return p.batch.n;
  crx::rx::remove_ghosts(p.batch, p.history);
  crx::rx::merge_duplicates(p.batch, crx::hooks::diversity());
  crx::rx::rebuild_history(p.history, p.batch);
  for (size_t i = 0; i < p.batch.n; ++i) crx::rxq::push(p.batch.e[i].pkt);
  uint8_t nb = 0;
  if (crx_fetch(0, p.out.data(), uint8_t(kBatch), &nb) != 0) return 0;
  return nb;
}

// The same FIFO walk as bare transfers; the transfers made.
size_t run_bare(int fd) {
  std::array<uint8_t, 5> status{};
  std::array<uint8_t, 255 + 16> data{};
  const uint8_t pop = 0;
  size_t taken = 0, transfers = 0;
  for (int c = 0; c < kChips; ++c) {
    const size_t max = kBatch - taken;
    for (size_t k = 0; k < max; ++k) {
      ++transfers;
      if (crx::os::pread(fd, status.data(), status.size(), chip_offset(c, kStatusAddress)) < 0) return 0;
      if (status[0] == 0) break;
      transfers += 2;
      crx::os::pread(fd, data.data(), size_t(status[4]) + 16, chip_offset(c, kDataAddress));
      crx::os::pwrite(fd, &pop, 1, chip_offset(c, kStatusAddress));
      ++taken;
    }
  }
  benchmark::DoNotOptimize(data);
  return transfers;
}

// Each iteration fills the FIFOs, runs the library's poll, fills them
// again and runs the bare walk; the iteration time is the library's.
// Counters: ns per packet of each side (medians over the iterations),
// their ratio, and the bus transfers per packet that the library made
// (counted by the simulated port) against the bare walk's.
void rx_against_bare(benchmark::State& state, bool whole) {
  StartedBoard& b = board();
  b.unwire_rx_lines();
  StartedBoard::drain_queue();
  const size_t payload = size_t(state.range(0));
  const int fd = crx::regs::fpga_port_fd();
  auto p = std::make_unique<Pipeline>();
  std::vector<double> lib_ns, bare_ns;
  uint64_t lib_transfers = UINT64_MAX, bare_transfers = 0;
  size_t delivered = 0, last_delivered = 0;
  uint16_t round = 0;
  for (auto _ : state) {
    fill_fifos(b, ++round, payload);
    const uint64_t before = b.port->transfer_count();
    const auto t0 = Clock::now();
    last_delivered = run_library(*p, whole);
    const auto t1 = Clock::now();
    if (last_delivered == 0) {
      state.SkipWithError("the poll delivered nothing");
      break;
    }
    // Another thread (the housekeeping timer) may add its own transfers to
    // a few batches: the smallest count is the walk's.
    lib_transfers = std::min(lib_transfers, b.port->transfer_count() - before);
    delivered += last_delivered;

    fill_fifos(b, ++round, payload);
    const auto t2 = Clock::now();
    bare_transfers = run_bare(fd);
    const auto t3 = Clock::now();
    lib_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
    bare_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t3 - t2).count()));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  const double lib = median(lib_ns) / double(kBatch), bare = median(bare_ns) / double(kBatch);
  state.SetItemsProcessed(int64_t(delivered));
  state.counters["lib_ns_per_pkt"] = lib;
  state.counters["bare_ns_per_pkt"] = bare;
  state.counters["ratio"] = bare > 0 ? lib / bare : 0;
  state.counters["delivered_per_batch"] = double(last_delivered);
  state.counters["xfers_per_pkt"] = double(lib_transfers) / double(kBatch);
  state.counters["bare_xfers_per_pkt"] = double(bare_transfers) / double(kBatch);
}

// The whole poll and the fetch. A batch of 128 meets a queue that holds at
// most 127, so crx_fetch gets 127 of them: the oldest is overwritten.
void BM_RxPollToFetch(benchmark::State& state) { rx_against_bare(state, true); }
// The FIFO walk alone (reads, decoding, RSSI, statistics), to tell its
// share from that of the deduplication and the queue.
void BM_RxFifoWalk(benchmark::State& state) { rx_against_bare(state, false); }

// Payload sizes: a typical 24-byte data frame and a long 200-byte one.
BENCHMARK(BM_RxPollToFetch)->Arg(24)->Arg(200)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RxFifoWalk)->Arg(24)->Arg(200)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- transmit ----

// What a send needs on the bus, LBT off, for a LoRa packet on chain 0,
// carrier 0 of a board that mixes with a fixed TX LO (no transceiver
// tuning per packet):
//   output power word (board register 211, 13 bits)        1 write
//   transmit IF word (board register 203, 15 bits)         1 write
//   transmit bandwidth (board register 303, one bit)       1 read + 1 write
//   TX command flags reset (chip register 325, a byte)     1 write
//   TX buffer address (chip register 5)                    1 write
//   metadata and payload (chip register 6, one burst)      1 write
//   trigger (chip register 180, 181 or 182, one bit)       1 read + 1 write
// 9 in all for an immediate send; a timestamped one also reads the counter
// for the too-late check (chip register 289, one 4-byte read), one on the
// GPS pulse also writes the start delay (chip register 183, 16 bits): 10.
constexpr int kSendTransfers[] = {9, 10, 10};

crx_tx_pkt_t downlink(uint32_t mode, uint32_t now) {
  crx_tx_pkt_t p;
  crx_init_tx_pkt(&p);
  p.freq_hz = 923300000;
  p.tx_mode = mode;
  p.count_us = now + 200000;  // the class A window, far from too late
  p.rf_chain = 0;
  p.rf_power = 20.0f;
  p.modulation = MOD_LORA;
  p.bandwidth = BW_500KHZ;
  p.datarate = DR_LORA_SF10;
  p.coderate = CR_LORA_4_5;
  p.preamble = 8;
  p.invert_pol = true;
  p.size = 20;
  for (uint8_t i = 0; i < p.size; ++i) p.payload[i] = uint8_t(0xA0 + i);
  return p;
}

// One crx_send per iteration (real clock); counters: the bus transfers of a
// send (counted by the simulated port) and what the steps require.
void BM_Send(benchmark::State& state) {
  StartedBoard& b = board();
  const uint32_t mode = uint32_t(state.range(0));
  uint64_t transfers = UINT64_MAX;
  for (auto _ : state) {
    state.PauseTiming();
    uint32_t now = 0;
    crx_get_instcnt(0, 0, &now);
    crx_tx_pkt_t p = downlink(mode, now);
    const uint64_t before = b.port->transfer_count();
    state.ResumeTiming();
    if (crx_send(0, &p) != 0) {
      state.SkipWithError("crx_send failed");
      break;
    }
    state.PauseTiming();
    transfers = std::min(transfers, b.port->transfer_count() - before);
    state.ResumeTiming();
  }
  crx_abort_tx(0);
  state.counters["xfers_per_send"] = double(transfers);
  state.counters["expected"] = kSendTransfers[mode];
}
// A fixed count: the simulated chips keep every transmission armed.
BENCHMARK(BM_Send)
    ->ArgName("mode")
    ->DenseRange(TX_IMMEDIATE, TX_ON_GPS)
    ->Iterations(20000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

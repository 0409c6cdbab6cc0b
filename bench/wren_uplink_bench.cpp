// Uplinks on a started Wren board (type 12) on the simulator, real clock:
// frames enter the SX1301's FIFO, the receive-status line rises, the
// receive thread reads the FIFO, decodes with the Wren RSSI and queues,
// and crx_fetch_v2 takes them, against bare reads of the same FIFO bytes
// over the same simulated SPI port in the same run.
//
// Each iteration: with the line unwired, 64 frames go into the FIFO; the
// line is wired (it rises at once) and the clock runs until crx_fetch_v2
// has all 64. Then the line is unwired and low again, 64 more frames go
// in, and the bare walk reads them with plain spidev transfers on the
// library's own port: per frame the 5-byte status at 0x0B, the payload and
// 16 metadata bytes at 0x04 and the pop at 0x0B, and one status read that
// finds the FIFO empty. The FIFO addresses are on every page, so neither
// side selects one.
//
// Counters: ns per packet of each side (medians), their ratio, and the SPI
// messages per packet of the library's side, page writes included, with
// the bare walk's beside it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <sys/time.h>

#include "bench/median.h"
#include "bench/started_wren.h"
#include "crx.h"
#include "device/spi.h"
#include "platform/os.h"
#include "sim/traffic.h"
#include "wren/bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using crx::bench::median;
using crx::bench::StartedWren;
constexpr int kFrames = 64;

// The board with its receive thread, and the receive-status line under the
// benchmark's control.
class UplinkWren : public StartedWren {
 public:
  UplinkWren() : StartedWren(true) {}

  crx::sim::Sx1301Chip& chip() { return board.sx1301->chip(); }
  void wire() { crx::sim::wire_wren_rx_status(board, gpio); }
  void unwire() {
    chip().on_rx_status(nullptr);
    gpio->set_level(crx::sim::kWrenRxLine, false);
  }
  void fill(uint16_t round) {
    for (int i = 0; i < kFrames; ++i) {
      crx::sim::Uplink u;
      u.payload = crx::sim::lorawan_data_frame(false, 0x26010000u + uint32_t(i), round, 1,
                                               std::vector<uint8_t>(11, 0x5A));
      u.if_chan = uint8_t(i % 8);
      u.sf = uint8_t(7 + i % 4);
      u.raw_rssi = 90;
      u.snr = 6.5f;
      u.count_us = uint32_t(round) * 1000000u + uint32_t(i) * 1000u;
      chip().push_uplink(u);
    }
  }
};

UplinkWren& wren() {
  static UplinkWren w;
  return w;
}

int fetch_all(int n) {
  std::vector<crx_rx_pkt_t> out(CRX_MAX_PKT_NB);
  int got = 0;
  const struct timeval t = {2, 0};
  while (got < n) {
    uint8_t nb = 0;
    if (crx_fetch_v2(out.data(), uint8_t(CRX_MAX_PKT_NB), &nb, &t) != 0) return got;
    got += nb;
  }
  return got;
}

int bare_walk(int fd) {
  uint8_t status[5] = {};
  uint8_t data[255 + 16] = {};
  const uint8_t pop = 0;
  int messages = 0;
  for (;;) {
    ++messages;
    if (crx::spi_iodev_read(fd, 0x0B, status, 5, nullptr) < 0 || status[0] == 0) break;
    crx::spi_iodev_read(fd, 0x04, data, uint32_t(status[4]) + 16, nullptr);
    crx::spi_iodev_write(fd, 0x0B, &pop, 1, nullptr);
    messages += 2;
  }
  benchmark::DoNotOptimize(data);
  return messages;
}

void BM_WrenUplinkAgainstBare(benchmark::State& state) {
  UplinkWren& w = wren();
  std::vector<double> lib_ns, bare_ns;
  double lib_messages = 1e9, bare_messages = 0;
  uint16_t round = 0;
  for (auto _ : state) {
    w.unwire();
    w.fill(++round);
    const uint64_t before = w.board.sx1301->message_total();
    const auto t0 = Clock::now();
    w.wire();
    const int got = fetch_all(kFrames);
    const auto t1 = Clock::now();
    if (got != kFrames) {
      state.SkipWithError("the receive thread did not deliver every frame");
      return;
    }
    lib_messages = std::min(lib_messages, double(w.board.sx1301->message_total() - before) / kFrames);
    lib_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) / kFrames);

    state.PauseTiming();
    w.unwire();
    w.fill(++round);
    state.ResumeTiming();
    const auto t2 = Clock::now();
    const int messages = bare_walk(crx::wren::ports().sx1301);
    const auto t3 = Clock::now();
    bare_messages = double(messages) / kFrames;
    bare_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t3 - t2).count()) / kFrames);
  }
  const double lib = median(lib_ns), bare = median(bare_ns);
  state.counters["lib_ns_per_pkt"] = lib;
  state.counters["bare_ns_per_pkt"] = bare;
  state.counters["ratio"] = bare > 0 ? lib / bare : 0;
  state.counters["lib_spi_msgs_per_pkt"] = lib_messages;
  state.counters["bare_spi_msgs_per_pkt"] = bare_messages;
}
BENCHMARK(BM_WrenUplinkAgainstBare)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

// Downlinks on a started Wren board (type 12) on the simulator: crx_send
// of a LoRa packet (LBT off) against a bare burst write of the same
// descriptor and payload to the SX1301's TX buffer over the same simulated
// port, in the same run.
//
// The board runs without its receive thread (full_start off), so every
// SX1301 message counted during a send is the send's own: the counter
// read for the scan-TX hold, the three gain rows (TX offsets I and Q, the
// digital gain), the TX command reset, the buffer address, the burst and
// the trigger, with the page selections the register layer adds.
//
// Counters: ns per send of each side (medians), their ratio, and the SPI
// messages per send of each side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/median.h"
#include "bench/started_wren.h"
#include "crx.h"
#include "device/spi.h"
#include "wren/bus.h"
#include "wren/tx_descriptor.h"

namespace {

using Clock = std::chrono::steady_clock;
using crx::bench::median;
using crx::bench::StartedWren;

StartedWren& wren() {
  static StartedWren w(false);
  return w;
}

crx_tx_pkt_t downlink() {
  crx_tx_pkt_t p;
  std::memset(&p, 0, sizeof p);
  p.tx_mode = TX_IMMEDIATE;
  p.freq_hz = 923300000;
  p.rf_power = 20;
  p.modulation = MOD_LORA;
  p.bandwidth = BW_500KHZ;
  p.datarate = DR_LORA_SF9;
  p.coderate = CR_LORA_4_5;
  p.preamble = 8;
  p.size = 33;
  for (int i = 0; i < p.size; ++i) p.payload[i] = uint8_t(i * 7);
  return p;
}

void BM_WrenSendAgainstBare(benchmark::State& state) {
  StartedWren& w = wren();
  const crx_tx_pkt_t packet = downlink();
  std::array<uint8_t, crx::wren::kTxBufferBytes> bytes;
  const size_t length = crx::wren::encode_descriptor(packet, 1, 2, bytes);
  std::vector<double> lib_ns, bare_ns;
  double lib_messages = 0, bare_messages = 0;
  for (auto _ : state) {
    crx_tx_pkt_t p = packet;
    uint64_t before = w.board.sx1301->message_total();
    const auto t0 = Clock::now();
    const int rc = crx_send(0, &p);
    const auto t1 = Clock::now();
    if (rc != 0) {
      state.SkipWithError("crx_send failed");
      return;
    }
    lib_messages = double(w.board.sx1301->message_total() - before);
    lib_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));

    before = w.board.sx1301->message_total();
    const auto t2 = Clock::now();
    crx::spi_iodev_write(crx::wren::ports().sx1301, 0x06, bytes.data(), uint32_t(length), nullptr);
    const auto t3 = Clock::now();
    bare_messages = double(w.board.sx1301->message_total() - before);
    bare_ns.push_back(double(std::chrono::duration_cast<std::chrono::nanoseconds>(t3 - t2).count()));
  }
  const double lib = median(lib_ns), bare = median(bare_ns);
  state.counters["lib_ns_per_send"] = lib;
  state.counters["bare_ns_per_send"] = bare;
  state.counters["ratio"] = bare > 0 ? lib / bare : 0;
  state.counters["lib_spi_msgs_per_send"] = lib_messages;
  state.counters["bare_spi_msgs_per_send"] = bare_messages;
}
BENCHMARK(BM_WrenSendAgainstBare)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

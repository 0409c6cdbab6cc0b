// libFuzzer target: arbitrary datagrams into the forwarder's downstream
// handler, as the server (or anyone) could send them to the down socket.
// Nothing may crash, leak or block; a request is answered with exactly one
// TX_ACK, anything else is dropped; the queue never grows past its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "downlink.h"
#include "fuzz_sandbox.h"

namespace {

// A board whose counter moves a little with every look and which takes
// every downlink; the first byte of the input picks the board type, so the
// split-band rules are fuzzed too.
class FuzzRadio : public crxfwd::Radio {
 public:
  uint32_t now = 0xFFFF0000u;  // the wrap is near
  uint32_t type = CRX_BOARD_CONDOR_NA;
  bool counter(uint32_t& out) override {
    now += 1000;
    out = now;
    return true;
  }
  int send(crx_tx_pkt_t& pkt, int& error) override {
    error = 0;
    if (pkt.rf_chain > 1) std::abort();
    return 0;
  }
  bool gps_to_counter(uint64_t gps_ms, uint32_t& count) override {
    count = uint32_t(gps_ms * 1000);
    return (gps_ms & 1) == 0;
  }
  uint32_t board() override { return type; }
  bool tx_range(uint32_t& lo, uint32_t& hi) override {
    lo = 902000000;
    hi = 928000000;
    return true;
  }
  float max_power() override { return 27.0f; }
  bool lbt(crx_lbt_cfg_t&) override { return false; }
  int lbt_index(uint32_t, int) override { return -1; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  crx::fuzz::sandbox();
  if (size > 70000) return 0;
  FuzzRadio radio;
  if (size > 0) radio.type = data[0] % 16;
  crxfwd::Downlink handler(radio, 0x0123456789ABCDEFull, 40000, {});
  std::vector<std::vector<uint8_t>> replies;
  // The input as one datagram, then cut into datagrams at each 0xFF 0xFF
  // pair so one run can fill the queue.
  const std::span<const uint8_t> all(data, size);
  handler.on_datagram(all, 0x1234, replies);
  size_t start = 0;
  for (size_t i = 0; i + 1 < size; ++i) {
    if (data[i] == 0xFF && data[i + 1] == 0xFF) {
      handler.on_datagram(all.subspan(start, i - start), 0x1234, replies);
      start = i + 2;
      ++i;
    }
  }
  handler.on_datagram(all.subspan(start), 0x1234, replies);
  if (handler.queued() > crxfwd::JitQueue::kCapacity) std::abort();
  for (const auto& r : replies)
    if (r.size() < 12 || r[0] != 2 || r[3] != 5) std::abort();
  handler.hand_over(replies);
  return 0;
}

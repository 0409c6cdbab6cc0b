#include "crx_hal/packet_counters.h"

#include <cstring>

counters crx_packet_counters = {};

namespace {

uint32_t load(const uint32_t& counter) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(counter)).load(std::memory_order_relaxed);
}
void store(uint32_t& counter, uint32_t value) {
  std::atomic_ref<uint32_t>(counter).store(value, std::memory_order_relaxed);
}
void copy_out(const uint32_t& counter, uint32_t* out) {
  if (out) *out = load(counter);
}

}  // namespace

extern "C" void crx_get_packet_counters(counters* out) {
  if (!out) return;
  std::memset(out, 0, sizeof *out);
  const counters& c = crx_packet_counters;
  out->downlink = load(c.downlink);
  out->uplink = load(c.uplink);
  out->crc_ok = load(c.crc_ok);
  out->crc_err = load(c.crc_err);
  for (int i = 0; i < 3; ++i) out->spare[i] = load(c.spare[i]);
}

extern "C" void crx_reset_txrx_packet_statistics(void) {
  counters& c = crx_packet_counters;
  store(c.downlink, 0);
  store(c.uplink, 0);
  store(c.crc_ok, 0);
  store(c.crc_err, 0);
  for (auto& s : c.spare) store(s, 0);
}

extern "C" void crx_get_uplink_pakets(uint32_t* n) { copy_out(crx_packet_counters.uplink, n); }
extern "C" void crx_get_downlink_pakets(uint32_t* n) { copy_out(crx_packet_counters.downlink, n); }
extern "C" void crx_get_received_pkt_crc_ok(uint32_t* n) { copy_out(crx_packet_counters.crc_ok, n); }
extern "C" void crx_get_received_pkt_crc_err(uint32_t* n) { copy_out(crx_packet_counters.crc_err, n); }

// The process-wide packet counters (crx_packet_counters). Applications may
// read the exported record directly; the library's own accesses are relaxed
// atomics so the receive thread, senders and readers never race.
#pragma once

#include <atomic>
#include <cstdint>

#include "crx.h"

namespace crx::pkt_counters {

inline void add(uint32_t& counter, uint32_t n = 1) {
  std::atomic_ref<uint32_t>(counter).fetch_add(n, std::memory_order_relaxed);
}
inline void add_uplink(uint32_t n) { add(crx_packet_counters.uplink, n); }
inline void add_downlink() { add(crx_packet_counters.downlink); }
inline void add_crc_ok() { add(crx_packet_counters.crc_ok); }
inline void add_crc_bad() { add(crx_packet_counters.crc_err); }

}  // namespace crx::pkt_counters

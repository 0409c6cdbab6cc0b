// Removal of packets seen twice: ghosts (a packet read again in the next
// poll) and duplicates (copies of one uplink heard by several chips, merged
// into one packet carrying each chain's reception when diversity is on).
// Pure functions over the poll batch; the receive thread owns the state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crx_hal/rx_decode.h"

namespace crx::rx {

struct Batch {
  std::array<RxEntry, kMaxPackets> e;
  size_t n = 0;
};

struct HistoryEntry {
  uint32_t count_us;
  uint32_t datarate;  // whole, so FSK bit rates compare as they were received
  uint8_t if_chain;
  uint8_t mtype;
  uint16_t fcnt;
  uint64_t dev_id;
  // A copy with a bad CRC does not stand for a good copy read a poll later.
  bool crc_bad;
};

struct History {
  std::array<HistoryEntry, kMaxPackets> e;
  size_t n = 0;
};

// Same type, timestamps within 24 µs, same datarate and device, and the same
// frame counter unless the packet is a join request.
bool same_packet(const PacketKeys& a, uint32_t count_a, uint32_t dr_a, const PacketKeys& b, uint32_t count_b,
                 uint32_t dr_b);

// Drops every batch packet the previous poll already delivered; the order
// of the others is kept. A copy with a correct CRC still passes when the
// previous poll had only a copy with a bad one.
void remove_ghosts(Batch& batch, const History& history);
// Keeps one packet of each group of copies: a correct CRC first, then the
// higher SNR, then the earlier one.
void merge_duplicates(Batch& batch, bool diversity);
// The history for the next poll. The same-packet rule ignores the chain, so
// one entry per packet covers each of its receptions.
void rebuild_history(History& history, const Batch& batch);

}  // namespace crx::rx

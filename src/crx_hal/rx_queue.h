// The receive queue between the receive thread (its only producer) and the
// application's fetch calls: a ring of 128 packets holding at most 127, one
// mutex, and a counting semaphore posted once per packet queued.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crx.h"

namespace crx::rxq {

inline constexpr size_t kSlots = 128;
// Packets the ring holds at once: one slot stays free to tell full from empty.
inline constexpr size_t kCapacity = kSlots - 1;

// Appends a packet; a full queue loses its oldest packet instead, without
// a post of the semaphore.
void push(const crx_rx_pkt_t& pkt);

// Copies up to `max` packets, oldest first; returns the count.
size_t pop(crx_rx_pkt_t* out, size_t max);
// Takes packets from the oldest: those of `chip` are copied (up to `max`),
// others discarded, until `max` are copied or the queue is empty.
size_t pop_chip(uint8_t chip, crx_rx_pkt_t* out, size_t max);

size_t size();
// Empties the ring and sets the semaphore to 0.
void clear();

}  // namespace crx::rxq

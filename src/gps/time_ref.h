// The shared time reference: one sample of the system clock (TAI and UTC
// seconds) and of the counters latched at the same PPS, taken by the
// reference sampler while the sync block reports sync.
#pragma once

#include <cstdint>
#include <ctime>

namespace crx::gps {

struct RefSample {
  struct timespec tai;
  time_t utc;
  uint32_t count;
  uint64_t hs;
};

// Which of three samples to keep: two agree when their TAI seconds and
// counts are equal. Returns the index kept (0 to 2), or -1 when no two
// agree; logs the outcome either way.
int choose_sample(const RefSample (&samples)[3]);

// Stores an accepted sample and makes the reference valid.
void store_reference(uint32_t tai_sec, uint32_t sys_sec, uint32_t count_us, uint32_t hs);

// One tick of the housekeeping timer: samples when the period is due.
void reference_sampler();

}  // namespace crx::gps

// Arithmetic of the time scales: the 1 MHz concentrator count (wrapping
// after 2^32 us), UTC and TAI seconds of the system clock, GPS seconds, and
// the 256 MHz fine count. No I/O and no shared state.
#pragma once

#include <cstdint>
#include <ctime>

#include "crx.h"

namespace crx::gps {

// GPS epoch in Unix time plus the 19 s between TAI and GPS time.
inline constexpr int64_t kGpsEpochUnix = 315964800;
inline constexpr int64_t kTaiMinusGps = 19;
inline constexpr int64_t kTaiToGps = kGpsEpochUnix + kTaiMinusGps;  // 315964819

// Microseconds from `reference` to `count`, always in (0, 2^32]: a count
// equal to the reference is a whole wrap later, not the same instant.
uint64_t elapsed_us(uint32_t count, uint32_t reference);

// Nanoseconds to the nearest microsecond with single-precision rounding,
// as the counter conversions have always done (999999999 ns is 1000000 us).
int64_t ns_to_us(long ns);

// Seconds and microseconds to microseconds; false when it does not fit.
bool to_us(int64_t sec, long nsec, int64_t* us);

// A point `target_us` at or after `ref_us` to the count it will show, the
// reference count being `ref_count`. False for a point before it.
bool us_to_count(int64_t target_us, int64_t ref_us, uint32_t ref_count, uint32_t* count);

// A count to seconds since the reference second.
struct timespec count_to_time(uint32_t count, uint32_t ref_count, int64_t ref_sec);

// A fine count to UTC through the record's PPS; false for a crystal
// correction that is not a positive number or gives no 32-bit answer.
bool hs_to_utc(const crx_tref_t& ref, uint32_t hs, struct timespec* utc);

}  // namespace crx::gps

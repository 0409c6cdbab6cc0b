#include "gps/time_math.h"

#include <cmath>

namespace crx::gps {

uint64_t elapsed_us(uint32_t count, uint32_t reference) {
  if (count > reference) return uint64_t(count) - reference;
  return uint64_t(count) + (uint64_t{1} << 32) - reference;
}

int64_t ns_to_us(long ns) {
  // Through int64, not uint64: a negative (invalid) nanosecond field stays
  // defined instead of wrapping through an out-of-range conversion.
  return static_cast<int64_t>(static_cast<float>(ns) / 1000.0f + 0.5f);
}

bool to_us(int64_t sec, long nsec, int64_t* us) {
  if (nsec > 999999999L * 1000 || nsec < -999999999L * 1000) return false;
  int64_t whole = 0;
  if (__builtin_mul_overflow(sec, int64_t{1000000}, &whole)) return false;
  return !__builtin_add_overflow(whole, ns_to_us(nsec), us);
}

bool us_to_count(int64_t target_us, int64_t ref_us, uint32_t ref_count, uint32_t* count) {
  if (target_us < ref_us) return false;
  *count = static_cast<uint32_t>(uint64_t(ref_count) + uint64_t(target_us - ref_us));
  return true;
}

struct timespec count_to_time(uint32_t count, uint32_t ref_count, int64_t ref_sec) {
  const uint64_t e = elapsed_us(count, ref_count);
  struct timespec t {};
  t.tv_sec = static_cast<time_t>(ref_sec + int64_t(e / 1000000));
  t.tv_nsec = static_cast<long>(e % 1000000) * 1000;
  return t;
}

bool hs_to_utc(const crx_tref_t& ref, uint32_t hs, struct timespec* utc) {
  const double scale = ref.hs_xtal_err * 256000000.0;
  if (!(ref.hs_xtal_err > 0) || !std::isfinite(scale)) return false;
  const uint32_t d = hs > ref.hs_pps ? hs - ref.hs_pps : ref.hs_pps - hs;
  // Beyond 8 s apart (2048000000 ticks) the count is taken to have wrapped
  // past the PPS value; closer, it may lie on either side of it.
  double dt = 0;
  if (d > 2246967295u)
    dt = static_cast<double>(static_cast<uint32_t>(hs - ref.hs_pps)) / scale;
  else
    dt = (static_cast<double>(hs) - static_cast<double>(ref.hs_pps)) / scale;
  // The record's correction may make dt arbitrarily large; past the range
  // of the 32-bit seconds there is no answer.
  if (!(std::fabs(dt) < 2147483647.0)) return false;
  double whole = 0;
  const double fraction = std::modf(dt, &whole);
  int64_t ns = int64_t{ref.utc.nsec} + static_cast<int32_t>(fraction * 1000000000.0);
  int64_t s = int64_t{ref.utc.sec} + static_cast<int32_t>(whole);
  if (ns > 999999999) {
    s += 1;
    ns -= 1000000000;
  } else if (ns < -999999999) {
    s -= 2;
    ns += 2000000000;
  } else if (ns < 0) {
    s -= 1;
    ns += 1000000000;
  }
  utc->tv_sec = static_cast<time_t>(s);
  utc->tv_nsec = static_cast<long>(ns);
  return true;
}

}  // namespace crx::gps

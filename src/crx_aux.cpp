// Conversions between floats and the FPGA's fixed-point words, the 8-bit
// Fletcher checksum of the UBX protocol, and the sleep helpers.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "crx.h"
#include "platform/os.h"

namespace {

// A null output or impossible widths are programming errors; they are
// refused rather than written through or shifted past the word.
bool valid_args(const void* out, uint8_t total, uint8_t int_bits) {
  return out != nullptr && total <= 32U && int_bits <= total;
}

// Sleeps on the monotonic clock, resuming after every interruption with the
// time that was left. Anything at or below a microsecond is not worth a
// system call, which is also where an interrupted sleep stops.
void wait_us(uint64_t us) {
  struct timespec remaining;
  remaining.tv_sec = static_cast<time_t>(us / 1000000u);
  remaining.tv_nsec = static_cast<long>(us % 1000000u) * 1000L;
  while (remaining.tv_sec > 0 || remaining.tv_nsec > 1000) {
    struct timespec left {};
    if (crx::os::sleep(remaining, &left) != EINTR) break;
    remaining = left;
  }
}

}  // namespace

extern "C" {

int float_to_signed_fpga(int32_t* out, uint8_t total, uint8_t int_bits, float value) {
  if (!valid_args(out, total, int_bits)) return -1;
  const double scale = std::ldexp(1.0, total - int_bits - 1);
  const double half_range = std::ldexp(1.0, total - 1);
  const double v = value;
  if (!(v >= -half_range / scale && v <= (half_range - 1.0) / scale)) return -1;
  errno = 0;
  const long long r = std::llround(v * scale);
  if (errno != 0 || r < INT32_MIN || r > INT32_MAX) return -1;
  *out = static_cast<int32_t>(r);
  return 0;
}

int float_to_unsigned_fpga(uint32_t* out, uint8_t total, uint8_t int_bits, float value) {
  if (!valid_args(out, total, int_bits)) return -1;
  const double scale = std::ldexp(1.0, total - int_bits);
  const double max_raw = total == 32 ? 4294967295.0 : std::ldexp(1.0, total) - 1.0;
  const double v = value;
  if (!(v >= 0.0 && v <= max_raw / scale)) return -1;
  errno = 0;
  const long long r = std::llround(v * scale);
  if (errno != 0 || r < 0 || r > 0xFFFFFFFFLL) return -1;
  *out = static_cast<uint32_t>(r);
  return 0;
}

int signed_fpga_to_float(uint32_t raw, float* out, uint8_t total, uint8_t int_bits) {
  if (!valid_args(out, total, int_bits)) return -1;
  int32_t v = static_cast<int32_t>(raw);
  if (total > 0 && total < 32) {
    const uint32_t sign = 1u << (total - 1);
    const uint32_t mask = (1u << total) - 1u;
    const uint32_t field = raw & mask;
    v = static_cast<int32_t>((field ^ sign) - sign);
  }
  *out = static_cast<float>(static_cast<double>(v) / std::ldexp(1.0, total - int_bits));
  return 0;
}

int unsigned_fpga_to_float(uint32_t raw, float* out, uint8_t total, uint8_t int_bits) {
  if (!valid_args(out, total, int_bits)) return -1;
  *out = static_cast<float>(static_cast<double>(raw) / std::ldexp(1.0, total - int_bits));
  return 0;
}

void crx_calculate_fletcher_checksum(const uint8_t* data, unsigned len, uint8_t* ck_a, uint8_t* ck_b) {
  uint8_t a = 0, b = 0;
  if (data) {
    for (unsigned i = 0; i < len; ++i) {
      a = static_cast<uint8_t>(a + data[i]);
      b = static_cast<uint8_t>(b + a);
    }
  }
  if (ck_a) *ck_a = a;
  if (ck_b) *ck_b = b;
}

void crx_wait_us(unsigned us) { wait_us(us); }

// Widened first: 1000 x ms overflows 32 bits above about 71 minutes.
void crx_wait_ms(unsigned ms) { wait_us(uint64_t{1000} * ms); }

}  // extern "C"

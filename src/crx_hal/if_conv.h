// Frequency words of the chips and the FPGA: pure integer arithmetic, every
// division truncating toward zero.
#pragma once

#include <cstdint>

namespace crx {

inline constexpr int16_t kIfOutOfRange = -32768;
inline constexpr int32_t kIfInvalid = INT32_MIN;  // 0x80000000

// IF offset in Hz to the IF word (steps of 3906.25 Hz).
constexpr int16_t IFreg(int32_t f) {
  if (f > 16000000 || f < -15996094) return kIfOutOfRange;
  return int16_t(int64_t{f} * 4 / 15625);
}

// IF word back to Hz with the sign inverted, as the chip's centre is
// computed from it; the sentinel for words outside ±4096.
constexpr int32_t IFinv(int16_t r) {
  if (r >= 4096 || r < -4096) return kIfInvalid;
  return (-15625 * int32_t{r}) >> 2;
}

// Channel offset in Hz to the channel word (steps of 488.28125 Hz, sign
// inverted).
constexpr int16_t ChanReg(int32_t f) {
  if (f > 2000000 || f < -1999512) return kIfOutOfRange;
  return int16_t(int64_t{f} * -32 / 15625);
}

// The two decimation words of the chips from the board's receive
// frequency, capped at 63. A frequency too low to divide by gives the cap.
constexpr int32_t rx_divider(uint32_t rx_freq_hz, uint32_t div) {
  const uint64_t d = rx_freq_hz / div;
  if (d == 0) return 63;
  const uint64_t v = 4096000000ull / d;
  return v > 63 ? 63 : int32_t(v);
}

}  // namespace crx

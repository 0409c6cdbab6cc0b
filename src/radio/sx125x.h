// The SX1255/SX1257 front-end radios of the Wren boards. They have no SPI
// port of their own: each is reached through a small SPI master inside the
// SX1301, driven through four chip registers per radio (chip select,
// address, write data, read data). The exported calls are in crx.h.
#pragma once

#include <cstdint>

namespace crx::radio {

// Radio types of sx125x_radio_t.
inline constexpr uint32_t kSx1255 = 1;
inline constexpr uint32_t kSx1257 = 2;

// The PLL word of a centre frequency: registers 0x01 (integer part), 0x02
// and 0x03 (fraction, high byte first). False for an unknown radio type,
// with both parts 0.
struct Sx125xPllWord {
  uint32_t integer;
  uint32_t fraction;
};
bool sx125x_pll_word(uint32_t type, uint32_t freq_hz, Sx125xPllWord* out);

}  // namespace crx::radio

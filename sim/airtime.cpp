#include "airtime.h"

#include <algorithm>
#include <cmath>

namespace crx::sim {

uint32_t lora_airtime_us(const LoraFrame& f) {
  if (f.sf == 0 || f.bandwidth_hz == 0) return 0;
  const double symbol_us = std::ldexp(1.0, f.sf) * 1e6 / double(f.bandwidth_hz);
  // Low data rate optimisation where a symbol outlasts 16 ms.
  const int de = symbol_us > 16000.0 ? 1 : 0;
  const int sf = f.sf;
  const double bits = 8.0 * double(f.payload_bytes) - 4.0 * sf + 28 + (f.crc ? 16 : 0) - (f.implicit_header ? 20 : 0);
  const double blocks = std::max(std::ceil(bits / (4.0 * (sf - 2 * de))), 0.0);
  const double payload_symbols = 8.0 + blocks * (std::clamp<int>(f.cr, 1, 4) + 4);
  const double preamble_symbols = double(f.preamble) + 4.25;
  return uint32_t(std::ceil((preamble_symbols + payload_symbols) * symbol_us));
}

uint32_t fsk_airtime_us(uint32_t bitrate, uint16_t preamble_bytes, uint32_t payload_bytes, bool crc) {
  if (bitrate == 0) return 0;
  const uint64_t bytes = uint64_t(preamble_bytes) + 3 + 1 + payload_bytes + (crc ? 2 : 0);
  return uint32_t((bytes * 8 * 1000000 + bitrate - 1) / bitrate);
}

}  // namespace crx::sim

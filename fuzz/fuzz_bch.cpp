// libFuzzer target: arbitrary words and parities straight into decode_bch
// for several codes. Byte 0 picks the code, byte 1 the data length; the
// parity follows, then the data. Buffers are allocated to their exact sizes
// so the sanitizers see any access outside them. A decoded word, once
// corrected (parity included), must be a codeword.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "crx.h"

namespace {
struct Shape {
  int m;
  int t;
};
constexpr Shape kShapes[] = {{8, 2}, {5, 1}, {6, 5}, {7, 3}, {10, 8}, {13, 4}, {15, 3}};
constexpr size_t kCodes = sizeof kShapes / sizeof kShapes[0];
crx_bch_t* g_codec[kCodes];

void flip(uint8_t* data, unsigned len, uint8_t* parity, unsigned loc) {
  if (loc < len * 8) data[loc / 8] ^= uint8_t(1u << (loc % 8));
  else parity[(loc - len * 8) / 8] ^= uint8_t(1u << ((loc - len * 8) % 8));
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (size_t i = 0; i < kCodes; ++i)
    if (!(g_codec[i] = init_bch(kShapes[i].m, kShapes[i].t, 0))) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
  if (size < 2) return 0;
  crx_bch_t* c = g_codec[in[0] % kCodes];
  const int t = kShapes[in[0] % kCodes].t;
  const unsigned ecc_bits = unsigned(bch_parity_bits(c));
  const unsigned ecc_bytes = (ecc_bits + 7) / 8;
  const size_t avail = size - 2;
  if (avail < ecc_bytes) return 0;
  const unsigned len = std::min<unsigned>(in[1], unsigned(avail - ecc_bytes));
  auto parity = std::make_unique<uint8_t[]>(ecc_bytes);
  auto data = std::make_unique<uint8_t[]>(len ? len : 1);
  auto loc = std::make_unique<unsigned[]>(size_t(t));
  std::copy(in + 2, in + 2 + ecc_bytes, parity.get());
  std::copy(in + 2 + ecc_bytes, in + 2 + ecc_bytes + len, data.get());
  const int n = decode_bch(c, data.get(), len, parity.get(), loc.get());
  const uint64_t bits = uint64_t{len} * 8 + ecc_bits;
  if (bits > (uint64_t{1} << kShapes[in[0] % kCodes].m) - 1) {
    if (n != BCH_ERR_ARGS) std::abort();
    return 0;
  }
  if (n == BCH_ERR_UNCORRECTABLE) return 0;
  if (n < 0 || n > t) std::abort();
  // Parity locations count bit 0 as the least significant of each parity
  // byte, so they reach up to the last parity byte's end.
  const uint64_t loc_limit = uint64_t{len} * 8 + 8 * uint64_t{ecc_bytes};
  for (int i = 0; i < n; ++i) {
    if (loc[size_t(i)] >= loc_limit) std::abort();
    flip(data.get(), len, parity.get(), loc[size_t(i)]);
  }
  // Pad bits of the received parity do not take part.
  if (ecc_bits % 8) parity[ecc_bytes - 1] &= uint8_t(0xFF00u >> (ecc_bits % 8));
  auto again = std::make_unique<uint8_t[]>(ecc_bytes);
  if (encode_bch(c, data.get(), len, again.get()) != 0) std::abort();
  for (unsigned i = 0; i < ecc_bytes; ++i)
    if (again[i] != parity[i]) std::abort();
  return 0;
}

// The binary BCH codec behind init_bch and friends: the control structure
// and the pure pieces the meter receiver and the tests reach directly.
//
// Conventions shared by every call:
// - A codeword is the data bits followed by the parity bits; the first data
//   bit carries the highest power of x. Bytes go most significant bit
//   first; parity bytes are filled from the most significant bit, so the
//   pad bits of the last parity byte (when the parity is not a whole number
//   of bytes) are the low ones and are written as zero and ignored on input.
// - An error location of the byte calls is 8 * byte + bit, with bit 0 the
//   least significant bit of the byte; locations from 8 * data length on
//   name parity bits the same way, counted from the first parity byte. An
//   error location of the bit-string calls is the index of the bit in the
//   data string, or data length + index in the parity string.
// - The codec keeps work buffers: one codec serves one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "crx.h"

struct crx_bch_s {
  int m = 0;
  int t = 0;
  unsigned n = 0;          // 2^m - 1, the full code length in bits
  unsigned prim = 0;       // primitive polynomial of the field
  unsigned ecc_bits = 0;   // degree of the generator
  unsigned ecc_bytes = 0;
  unsigned ecc_words = 0;  // 32-bit words of the remainder register
  std::vector<uint16_t> exp;  // alpha^i for i in 0 .. 2n-1
  std::vector<uint16_t> log;  // log[alpha^i] = i; log[0] unused
  std::vector<uint8_t> generator;  // coefficients, index = power of x
  // Generator without its leading term, left-aligned in ecc_words words:
  // bit 31 of word 0 is the coefficient of x^(ecc_bits - 1).
  std::vector<uint32_t> gen_words;
  std::vector<uint32_t> table;  // 256 rows of ecc_words words (ecc_bits >= 8)
  // Work buffers of one decode.
  std::vector<uint32_t> rem;
  std::vector<uint16_t> syn;  // S_1 .. S_2t at index 1 .. 2t
  std::vector<uint16_t> lambda, prev, scratch;
  std::vector<unsigned> degrees;
};

namespace crx::meter {

// Result codes of decode_bch and decodebits_bch.
inline constexpr int kBchUncorrectable = BCH_ERR_UNCORRECTABLE;
inline constexpr int kBchBadArguments = BCH_ERR_ARGS;

// The default primitive polynomial for m (5 to 15), or 0.
unsigned bch_default_polynomial(int m);

}  // namespace crx::meter

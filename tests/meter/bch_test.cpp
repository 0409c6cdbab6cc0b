// The BCH codec against independent arithmetic: parity by plain polynomial
// division, every single and double error of the SCM code, words beyond
// the code's reach, and a second, larger code with random data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "crx.h"
#include "meter/bch.h"

namespace {

using Codec = std::unique_ptr<crx_bch_t, decltype(&free_bch)>;
Codec make(int m, int t, unsigned poly = 0) { return Codec(init_bch(m, t, poly), &free_bch); }

// Remainder of data(x) * x^16 by g(x), one bit at a time.
uint16_t divide_by_scm_generator(const std::vector<uint8_t>& data) {
  uint32_t r = 0;
  for (uint8_t byte : data)
    for (int b = 7; b >= 0; --b) {
      const uint32_t top = ((r >> 15) & 1) ^ ((byte >> b) & 1);
      r = (r << 1) & 0xFFFF;
      if (top) r ^= 0x6F63;
    }
  return uint16_t(r);
}

// Flips location `loc` of the byte convention in data + parity.
void flip(std::vector<uint8_t>& data, std::vector<uint8_t>& parity, unsigned loc) {
  const unsigned bits = unsigned(data.size()) * 8;
  if (loc < bits) data[loc / 8] ^= uint8_t(1u << (loc % 8));
  else parity[(loc - bits) / 8] ^= uint8_t(1u << ((loc - bits) % 8));
}

const std::vector<std::vector<uint8_t>> kScmWords = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
    {0x04, 0x5C, 0x01, 0x23, 0x45, 0xAB, 0xCD, 0xEF},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x02, 0x2D, 0x00, 0x10, 0x00, 0x9A, 0x00, 0x07},
};

TEST(BchCode, ScmGeneratorAndKnownParity) {
  auto c = make(8, 2);
  ASSERT_TRUE(c);
  ASSERT_EQ(bch_parity_bits(c.get()), 16);
  uint32_t g = 0;
  for (size_t k = 0; k < c->generator.size(); ++k) g |= uint32_t(c->generator[k]) << k;
  EXPECT_EQ(g, 0x16F63u);
  for (const auto& word : kScmWords) {
    uint8_t parity[2] = {};
    ASSERT_EQ(encode_bch(c.get(), word.data(), 8, parity), 0);
    const uint16_t expected = divide_by_scm_generator(word);
    EXPECT_EQ(parity[0], expected >> 8);
    EXPECT_EQ(parity[1], expected & 0xFF);
  }
}

TEST(BchCode, ScmEverySingleAndDoubleErrorIsCorrected) {
  auto c = make(8, 2);
  ASSERT_TRUE(c);
  for (const auto& word : kScmWords) {
    std::vector<uint8_t> parity(2);
    ASSERT_EQ(encode_bch(c.get(), word.data(), 8, parity.data()), 0);
    for (unsigned a = 0; a < 80; ++a) {
      for (unsigned b = a; b < 80; ++b) {
        std::vector<uint8_t> data = word, recv = parity;
        flip(data, recv, a);
        if (b != a) flip(data, recv, b);
        unsigned loc[2] = {};
        const int n = decode_bch(c.get(), data.data(), 8, recv.data(), loc);
        ASSERT_EQ(n, a == b ? 1 : 2) << a << "," << b;
        std::vector<unsigned> found(loc, loc + n), wanted{a};
        if (b != a) wanted.push_back(b);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, wanted);
        correct_bch(c.get(), data.data(), 8, loc, n);
        EXPECT_EQ(data, word);
      }
    }
  }
}

// Three errors exceed the distance: the decoder either refuses or lands on
// a codeword (a miscorrection), never anything else.
TEST(BchCode, ScmThreeErrorsRefusedOrMiscorrectedToACodeword) {
  auto c = make(8, 2);
  ASSERT_TRUE(c);
  std::mt19937 rng(7);
  int refused = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<uint8_t> data(8), parity(2);
    for (auto& b : data) b = uint8_t(rng());
    ASSERT_EQ(encode_bch(c.get(), data.data(), 8, parity.data()), 0);
    std::vector<unsigned> picks(80);
    for (unsigned i = 0; i < 80; ++i) picks[i] = i;
    std::shuffle(picks.begin(), picks.end(), rng);
    for (int i = 0; i < 3; ++i) flip(data, parity, picks[size_t(i)]);
    unsigned loc[2] = {};
    const int n = decode_bch(c.get(), data.data(), 8, parity.data(), loc);
    ASSERT_TRUE(n == BCH_ERR_UNCORRECTABLE || n == 1 || n == 2) << n;
    if (n < 0) {
      ++refused;
      continue;
    }
    for (int i = 0; i < n; ++i) flip(data, parity, loc[i]);
    std::vector<uint8_t> again(2);
    encode_bch(c.get(), data.data(), 8, again.data());
    EXPECT_EQ(again, parity);
  }
  EXPECT_GT(refused, 0);
}

TEST(BchCode, LargerCodeRoundTripsUpToTErrorsInBytesAndBits) {
  auto c = make(13, 4);
  ASSERT_TRUE(c);
  const unsigned ecc_bits = unsigned(bch_parity_bits(c.get()));
  EXPECT_EQ(ecc_bits, 52u);
  std::mt19937 rng(13);
  for (int trial = 0; trial < 200; ++trial) {
    const unsigned len = 1 + rng() % 512;
    std::vector<uint8_t> original(len), parity((ecc_bits + 7) / 8);
    for (auto& b : original) b = uint8_t(rng());
    ASSERT_EQ(encode_bch(c.get(), original.data(), len, parity.data()), 0);
    EXPECT_EQ(parity.back() & 0x0F, 0) << "pad bits";
    const unsigned errors = unsigned(trial % 5);
    std::vector<uint8_t> data = original, recv = parity;
    std::vector<unsigned> wanted;
    while (wanted.size() < errors) {
      const unsigned loc = rng() % (len * 8 + ecc_bits);
      const unsigned pbits = loc >= len * 8 ? loc - len * 8 : 0;
      if (loc >= len * 8 && pbits / 8 == recv.size() - 1 && pbits % 8 < 4) continue;  // a pad bit
      if (std::find(wanted.begin(), wanted.end(), loc) != wanted.end()) continue;
      wanted.push_back(loc);
      flip(data, recv, loc);
    }
    unsigned loc[4] = {};
    const int n = decode_bch(c.get(), data.data(), len, recv.data(), loc);
    ASSERT_EQ(n, int(errors));
    correct_bch(c.get(), data.data(), len, loc, n);
    EXPECT_EQ(data, original);
  }
  // The bit-string calls on the same code.
  for (int trial = 0; trial < 50; ++trial) {
    const unsigned nbits = 1 + rng() % 4000;
    std::vector<uint8_t> bits(nbits), parity(ecc_bits);
    for (auto& b : bits) b = uint8_t(rng() & 1);
    ASSERT_EQ(encodebits_bch(c.get(), bits.data(), nbits, parity.data()), 0);
    std::vector<uint8_t> data = bits;
    const unsigned a = rng() % nbits, p = rng() % ecc_bits;
    data[a] ^= 1;
    parity[p] ^= 1;
    unsigned loc[4] = {};
    const int n = decodebits_bch(c.get(), data.data(), nbits, parity.data(), loc);
    ASSERT_EQ(n, 2);
    std::vector<unsigned> found(loc, loc + 2);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<unsigned>{a, nbits + p}));
    correctbits_bch(c.get(), data.data(), nbits, loc, n);
    EXPECT_EQ(data, bits);
  }
}

// Byte and bit calls describe the same code: the bit string of a byte
// buffer gets the same parity.
TEST(BchCode, EveryFieldSizeAgreesBetweenByteAndBitCalls) {
  std::mt19937 rng(5);
  for (int m = 5; m <= 15; ++m) {
    for (int t : {1, 3}) {
      auto c = make(m, t);
      ASSERT_TRUE(c) << m;
      const unsigned ecc = unsigned(bch_parity_bits(c.get()));
      EXPECT_LE(ecc, unsigned(m * t));
      const unsigned max_len = ((1u << m) - 1 - ecc) / 8;
      const unsigned len = std::min(max_len, 40u);
      std::vector<uint8_t> data(len), parity((ecc + 7) / 8), bits(len * 8), pbits(ecc);
      for (auto& b : data) b = uint8_t(rng());
      for (unsigned i = 0; i < len * 8; ++i) bits[i] = (data[i / 8] >> (7 - i % 8)) & 1;
      ASSERT_EQ(encode_bch(c.get(), data.data(), len, parity.data()), 0);
      ASSERT_EQ(encodebits_bch(c.get(), bits.data(), len * 8, pbits.data()), 0);
      for (unsigned k = 0; k < ecc; ++k) EXPECT_EQ((parity[k / 8] >> (7 - k % 8)) & 1, pbits[k]) << m;
      unsigned loc[3] = {};
      data[0] ^= 0x80;
      EXPECT_EQ(decode_bch(c.get(), data.data(), len, parity.data(), loc), 1);
      EXPECT_EQ(loc[0], 7u);
    }
  }
}

TEST(BchCode, BadShapesAndArgumentsAreRefused) {
  EXPECT_EQ(init_bch(4, 1, 0), nullptr);
  EXPECT_EQ(init_bch(16, 1, 0), nullptr);
  EXPECT_EQ(init_bch(8, 0, 0), nullptr);
  EXPECT_EQ(init_bch(8, -3, 0), nullptr);
  EXPECT_EQ(init_bch(5, 7, 0), nullptr);   // 35 >= 31
  EXPECT_NE(make(5, 6).get(), nullptr);    // 30 < 31
  EXPECT_EQ(init_bch(8, 2, 0x11B), nullptr);  // irreducible but not primitive
  EXPECT_EQ(init_bch(8, 2, 0x1D), nullptr);   // wrong degree
  EXPECT_NE(make(8, 2, 0x11D).get(), nullptr);

  auto c = make(8, 2);
  // Exactly sized heap buffers: the sanitizer build sees any stray access.
  auto data = std::make_unique<uint8_t[]>(29);
  auto parity = std::make_unique<uint8_t[]>(2);
  auto loc = std::make_unique<unsigned[]>(2);
  std::fill(data.get(), data.get() + 29, 0x5A);
  parity[0] = 0x12;
  parity[1] = 0x34;
  const int n = decode_bch(c.get(), data.get(), 29, parity.get(), loc.get());
  EXPECT_TRUE(n == BCH_ERR_UNCORRECTABLE || (n >= 0 && n <= 2));
  EXPECT_EQ(decode_bch(c.get(), data.get(), 30, parity.get(), loc.get()), BCH_ERR_ARGS);  // 256 bits > 255
  EXPECT_EQ(decode_bch(nullptr, data.get(), 8, parity.get(), loc.get()), BCH_ERR_ARGS);
  EXPECT_EQ(decode_bch(c.get(), data.get(), 8, nullptr, loc.get()), BCH_ERR_ARGS);
  EXPECT_EQ(decode_bch(c.get(), data.get(), 8, parity.get(), nullptr), BCH_ERR_ARGS);
  EXPECT_EQ(encode_bch(c.get(), data.get(), 30, parity.get()), -1);
  // Corrections outside the data or beyond t entries are ignored.
  const unsigned far[3] = {64, 1000, 0};
  std::vector<uint8_t> word(8, 0);
  correct_bch(c.get(), word.data(), 8, far, 3);
  EXPECT_EQ(word, std::vector<uint8_t>(8, 0));
  free_bch(nullptr);
}

}  // namespace

// The block cipher against the published FIPS-197 examples, on random data
// and from many threads at once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crx.h"

namespace {

std::vector<uint8_t> hex(const std::string& s) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}

struct Vector {
  int bits;
  const char* key;
  const char* cipher;
};

// FIPS-197 appendix C: one plaintext under three keys.
constexpr const char* kPlain = "00112233445566778899aabbccddeeff";
constexpr Vector kVectors[] = {
    {128, "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {192, "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {256, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST(Aes, PublishedVectorsBothDirections) {
  for (const auto& v : kVectors) {
    SCOPED_TRACE(v.bits);
    aes_context ctx{};
    ASSERT_EQ(aes_set_key(&ctx, hex(v.key).data(), v.bits), 0);
    EXPECT_EQ(ctx.nr, 6 + v.bits / 32);
    uint8_t out[16], back[16];
    aes_encrypt(&ctx, hex(kPlain).data(), out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 16), hex(v.cipher));
    aes_decrypt(&ctx, out, back);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 16), hex(kPlain));
  }
}

// A chain of encryptions under changing keys, undone step by step: any
// table entry or key-schedule word that is wrong breaks the round trip
// somewhere along it.
TEST(Aes, LongRandomRoundTrip) {
  std::mt19937_64 rng(20261209);
  for (int bits : {128, 192, 256}) {
    uint8_t key[32];
    for (auto& b : key) b = static_cast<uint8_t>(rng());
    aes_context ctx{};
    ASSERT_EQ(aes_set_key(&ctx, key, bits), 0);
    for (int i = 0; i < 20000; ++i) {
      uint8_t block[16], enc[16], dec[16];
      for (auto& b : block) b = static_cast<uint8_t>(rng());
      aes_encrypt(&ctx, block, enc);
      ASSERT_NE(std::memcmp(block, enc, 16), 0);
      aes_decrypt(&ctx, enc, dec);
      ASSERT_EQ(std::memcmp(block, dec, 16), 0) << bits << " bits, block " << i;
    }
  }
}

TEST(Aes, RefusedKeySizesLeaveTheContextAlone) {
  const uint8_t key[32] = {1, 2, 3};
  for (int bits : {0, 64, 127, 129, 160, 224, 255, 257, 512, -128}) {
    aes_context ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    EXPECT_EQ(aes_set_key(&ctx, key, bits), 1) << bits;
    aes_context untouched;
    std::memset(&untouched, 0xA5, sizeof untouched);
    EXPECT_EQ(std::memcmp(&ctx, &untouched, sizeof ctx), 0) << bits;
  }
}

// Nobody builds the tables first: every thread's first call races for
// them, and each must still see complete tables (run under ThreadSanitizer
// too).
TEST(Aes, ManyThreadsSettingKeysAtOnce) {
  constexpr int kThreads = 16;
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const auto& v = kVectors[t % 3];
      const auto key = hex(v.key);
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (int round = 0; round < 50; ++round) {
        aes_context ctx{};
        uint8_t out[16];
        if (aes_set_key(&ctx, key.data(), v.bits) != 0) wrong.fetch_add(1);
        aes_encrypt(&ctx, hex(kPlain).data(), out);
        if (std::vector<uint8_t>(out, out + 16) != hex(v.cipher)) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

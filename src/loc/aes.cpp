// AES block cipher on 32-bit round tables. A state column is one word with
// its first byte most significant, so a table round is four lookups and
// XORs per column.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "crx.h"

namespace crx::aes {
namespace {

uint32_t FSb[256];  // forward S-box
uint32_t RSb[256];  // reverse S-box
uint32_t FT0[256], FT1[256], FT2[256], FT3[256];  // SubBytes + MixColumns
uint32_t RT0[256], RT1[256], RT2[256], RT3[256];  // InvSubBytes + InvMixColumns
// InvMixColumns alone, indexed by a key byte: turns encryption round keys
// into those of the equivalent inverse cipher.
uint32_t KT0[256], KT1[256], KT2[256], KT3[256];
uint32_t RCON[10];

std::once_flag tables_once;

constexpr uint32_t rotr8(uint32_t x) { return (x >> 8) | (x << 24); }

// Multiplication in GF(2^8) by log and antilog tables (generator 3).
struct Field {
  int pow[256];
  int log[256];
  Field() {
    int x = 1;
    for (int i = 0; i < 256; ++i) {
      pow[i] = x;
      log[x] = i;
      x ^= (x << 1) ^ ((x & 0x80) ? 0x11B : 0);  // x * 3
      x &= 0xFF;
    }
  }
  int mul(int a, int b) const { return (a && b) ? pow[(log[a] + log[b]) % 255] : 0; }
};

void build_tables() {
  const Field f;
  for (int i = 0, x = 1; i < 10; ++i) {
    RCON[i] = static_cast<uint32_t>(x) << 24;
    x = (x << 1) ^ ((x & 0x80) ? 0x11B : 0);
  }
  for (int i = 0; i < 256; ++i) {
    // Multiplicative inverse, then the affine map.
    int b = i ? f.pow[255 - f.log[i]] : 0;
    int s = b;
    for (int k = 0; k < 4; ++k) {
      b = ((b << 1) | (b >> 7)) & 0xFF;
      s ^= b;
    }
    s ^= 0x63;
    FSb[i] = static_cast<uint32_t>(s);
    RSb[s] = static_cast<uint32_t>(i);
  }
  for (int i = 0; i < 256; ++i) {
    const int s = static_cast<int>(FSb[i]);
    const uint32_t ft = static_cast<uint32_t>(f.mul(s, 2)) << 24 | static_cast<uint32_t>(s) << 16 |
                        static_cast<uint32_t>(s) << 8 | static_cast<uint32_t>(f.mul(s, 3));
    FT0[i] = ft;
    FT1[i] = rotr8(FT0[i]);
    FT2[i] = rotr8(FT1[i]);
    FT3[i] = rotr8(FT2[i]);
    const int r = static_cast<int>(RSb[i]);
    const uint32_t rt = static_cast<uint32_t>(f.mul(r, 14)) << 24 | static_cast<uint32_t>(f.mul(r, 9)) << 16 |
                        static_cast<uint32_t>(f.mul(r, 13)) << 8 | static_cast<uint32_t>(f.mul(r, 11));
    RT0[i] = rt;
    RT1[i] = rotr8(RT0[i]);
    RT2[i] = rotr8(RT1[i]);
    RT3[i] = rotr8(RT2[i]);
  }
  for (int i = 0; i < 256; ++i) {
    const uint32_t s = FSb[i];  // RT applies InvSubBytes first; undo it
    KT0[i] = RT0[s];
    KT1[i] = RT1[s];
    KT2[i] = RT2[s];
    KT3[i] = RT3[s];
  }
}

inline uint32_t load_be(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void store_be(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint32_t sub_word(uint32_t w) {
  return FSb[w >> 24] << 24 | FSb[(w >> 16) & 0xFF] << 16 | FSb[(w >> 8) & 0xFF] << 8 | FSb[w & 0xFF];
}

}  // namespace

// 1 until the tables exist. Readers that see 0 (acquire) see the tables.
std::atomic<int> do_init{1};

}  // namespace crx::aes

using namespace crx::aes;

extern "C" {

// Builds the tables exactly once however many threads ask at the same time;
// every caller returns with the tables complete.
void aes_gen_tables(void) {
  std::call_once(tables_once, [] {
    build_tables();
    do_init.store(0, std::memory_order_release);
  });
}

int aes_set_key(aes_context *ctx, const uint8_t *key, int bits) {
  int nr = 0;
  switch (bits) {
    case 128: nr = 10; break;
    case 192: nr = 12; break;
    case 256: nr = 14; break;
    default: return 1;
  }
  if (!ctx || !key) return 1;
  if (do_init.load(std::memory_order_acquire)) aes_gen_tables();

  const int nk = bits / 32;
  const int words = 4 * (nr + 1);
  uint32_t *rk = ctx->erk;
  for (int i = 0; i < nk; ++i) rk[i] = load_be(key + 4 * i);
  for (int i = nk; i < words; ++i) {
    uint32_t t = rk[i - 1];
    if (i % nk == 0)
      t = sub_word((t << 8) | (t >> 24)) ^ RCON[i / nk - 1];
    else if (nk == 8 && i % nk == 4)
      t = sub_word(t);
    rk[i] = rk[i - nk] ^ t;
  }
  // Decryption keys: the rounds in reverse order, the inner ones passed
  // through InvMixColumns.
  uint32_t *dk = ctx->drk;
  for (int k = 0; k < 4; ++k) dk[k] = rk[4 * nr + k];
  for (int r = nr - 1; r >= 1; --r) {
    for (int k = 0; k < 4; ++k) {
      const uint32_t w = rk[4 * r + k];
      dk[4 * (nr - r) + k] = KT0[w >> 24] ^ KT1[(w >> 16) & 0xFF] ^ KT2[(w >> 8) & 0xFF] ^ KT3[w & 0xFF];
    }
  }
  for (int k = 0; k < 4; ++k) dk[4 * nr + k] = rk[k];
  ctx->nr = nr;
  return 0;
}

void aes_encrypt(aes_context *ctx, const uint8_t in[16], uint8_t out[16]) {
  const uint32_t *rk = ctx->erk;
  uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1];
  uint32_t s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
  for (int r = 1; r < ctx->nr; ++r) {
    rk += 4;
    const uint32_t t0 = FT0[s0 >> 24] ^ FT1[(s1 >> 16) & 0xFF] ^ FT2[(s2 >> 8) & 0xFF] ^ FT3[s3 & 0xFF] ^ rk[0];
    const uint32_t t1 = FT0[s1 >> 24] ^ FT1[(s2 >> 16) & 0xFF] ^ FT2[(s3 >> 8) & 0xFF] ^ FT3[s0 & 0xFF] ^ rk[1];
    const uint32_t t2 = FT0[s2 >> 24] ^ FT1[(s3 >> 16) & 0xFF] ^ FT2[(s0 >> 8) & 0xFF] ^ FT3[s1 & 0xFF] ^ rk[2];
    const uint32_t t3 = FT0[s3 >> 24] ^ FT1[(s0 >> 16) & 0xFF] ^ FT2[(s1 >> 8) & 0xFF] ^ FT3[s2 & 0xFF] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (FSb[a >> 24] << 24 | FSb[(b >> 16) & 0xFF] << 16 | FSb[(c >> 8) & 0xFF] << 8 | FSb[d & 0xFF]) ^ k;
  };
  store_be(out, last(s0, s1, s2, s3, rk[0]));
  store_be(out + 4, last(s1, s2, s3, s0, rk[1]));
  store_be(out + 8, last(s2, s3, s0, s1, rk[2]));
  store_be(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void aes_decrypt(aes_context *ctx, const uint8_t in[16], uint8_t out[16]) {
  const uint32_t *rk = ctx->drk;
  uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1];
  uint32_t s2 = load_be(in + 8) ^ rk[2], s3 = load_be(in + 12) ^ rk[3];
  for (int r = 1; r < ctx->nr; ++r) {
    rk += 4;
    const uint32_t t0 = RT0[s0 >> 24] ^ RT1[(s3 >> 16) & 0xFF] ^ RT2[(s2 >> 8) & 0xFF] ^ RT3[s1 & 0xFF] ^ rk[0];
    const uint32_t t1 = RT0[s1 >> 24] ^ RT1[(s0 >> 16) & 0xFF] ^ RT2[(s3 >> 8) & 0xFF] ^ RT3[s2 & 0xFF] ^ rk[1];
    const uint32_t t2 = RT0[s2 >> 24] ^ RT1[(s1 >> 16) & 0xFF] ^ RT2[(s0 >> 8) & 0xFF] ^ RT3[s3 & 0xFF] ^ rk[2];
    const uint32_t t3 = RT0[s3 >> 24] ^ RT1[(s2 >> 16) & 0xFF] ^ RT2[(s1 >> 8) & 0xFF] ^ RT3[s0 & 0xFF] ^ rk[3];
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return (RSb[a >> 24] << 24 | RSb[(b >> 16) & 0xFF] << 16 | RSb[(c >> 8) & 0xFF] << 8 | RSb[d & 0xFF]) ^ k;
  };
  store_be(out, last(s0, s3, s2, s1, rk[0]));
  store_be(out + 4, last(s1, s0, s3, s2, rk[1]));
  store_be(out + 8, last(s2, s1, s0, s3, rk[2]));
  store_be(out + 12, last(s3, s2, s1, s0, rk[3]));
}

}  // extern "C"

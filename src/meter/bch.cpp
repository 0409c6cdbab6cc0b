// Binary BCH codec: field tables, generator from the minimal polynomials of
// alpha, alpha^3, ..., alpha^(2t-1), a table-driven systematic encoder,
// syndromes from the remainder of the received word, Berlekamp-Massey for
// the error locator and a Chien search over the shortened code's positions.
#include "meter/bch.h"

#include <algorithm>
#include <new>

namespace crx::meter {

unsigned bch_default_polynomial(int m) {
  static constexpr unsigned kDefaults[] = {0x25,  0x43,  0x83,   0x11D,  0x211,  0x409,
                                           0x805, 0x1053, 0x201B, 0x402B, 0x8003};
  if (m < 5 || m > 15) return 0;
  return kDefaults[m - 5];
}

}  // namespace crx::meter

namespace {

using crx::meter::kBchBadArguments;
using crx::meter::kBchUncorrectable;

bool valid_shape(int m, int t) {
  if (m < 5 || m > 15 || t < 1) return false;
  return int64_t{t} * m < (int64_t{1} << m) - 1;
}

// Builds alpha^i; false when the polynomial is not primitive of degree m.
bool build_field(crx_bch_s& c) {
  if ((c.prim >> c.m) != 1) return false;
  c.exp.assign(2 * size_t{c.n}, 0);
  c.log.assign(size_t{c.n} + 1, 0);
  unsigned x = 1;
  for (unsigned i = 0; i < c.n; ++i) {
    if (i > 0 && x == 1) return false;  // the cycle closed early
    c.exp[i] = uint16_t(x);
    c.log[x] = uint16_t(i);
    x <<= 1;
    if (x & (1u << c.m)) x ^= c.prim;
  }
  if (x != 1) return false;
  for (unsigned i = c.n; i < 2 * c.n; ++i) c.exp[i] = c.exp[i - c.n];
  return true;
}

uint16_t gf_mul(const crx_bch_s& c, uint16_t a, uint16_t b) {
  if (a == 0 || b == 0) return 0;
  return c.exp[c.log[a] + c.log[b]];
}

uint16_t gf_div(const crx_bch_s& c, uint16_t a, uint16_t b) {
  if (a == 0) return 0;
  return c.exp[c.log[a] + c.n - c.log[b]];
}

// The minimal polynomial of alpha^i: the product of (x + alpha^j) over the
// cyclotomic coset of i. Its coefficients come out in GF(2).
std::vector<uint8_t> minimal_polynomial(const crx_bch_s& c, unsigned i, std::vector<bool>& used) {
  std::vector<uint16_t> p{1};
  unsigned j = i;
  do {
    used[j] = true;
    std::vector<uint16_t> next(p.size() + 1, 0);
    for (size_t k = 0; k < p.size(); ++k) {
      next[k + 1] ^= p[k];
      next[k] ^= gf_mul(c, p[k], c.exp[j]);
    }
    p.swap(next);
    j = (2 * j) % c.n;
  } while (j != i);
  std::vector<uint8_t> out(p.size());
  for (size_t k = 0; k < p.size(); ++k) out[k] = uint8_t(p[k] & 1);
  return out;
}

// g(x) = product of the distinct minimal polynomials, kept as 64-bit words
// so that large t stays quick.
void build_generator(crx_bch_s& c) {
  std::vector<bool> used(c.n, false);
  std::vector<uint64_t> g{1};
  unsigned degree = 0;
  for (int k = 0; k < c.t; ++k) {
    const unsigned i = 2 * unsigned(k) + 1;
    if (used[i % c.n]) continue;
    const std::vector<uint8_t> mp = minimal_polynomial(c, i % c.n, used);
    const unsigned new_degree = degree + unsigned(mp.size()) - 1;
    std::vector<uint64_t> product(new_degree / 64 + 1, 0);
    for (size_t s = 0; s < mp.size(); ++s) {
      if (!mp[s]) continue;
      const size_t words = s / 64, bits = s % 64;
      for (size_t w = 0; w < g.size(); ++w) {
        if (w + words < product.size()) product[w + words] ^= g[w] << bits;
        if (bits && w + words + 1 < product.size()) product[w + words + 1] ^= g[w] >> (64 - bits);
      }
    }
    g.swap(product);
    degree = new_degree;
  }
  c.generator.assign(size_t{degree} + 1, 0);
  for (unsigned k = 0; k <= degree; ++k) c.generator[k] = uint8_t((g[k / 64] >> (k % 64)) & 1);
  c.ecc_bits = degree;
}

void shift_left(uint32_t* r, unsigned words, unsigned bits) {
  for (unsigned w = 0; w + 1 < words; ++w) r[w] = (r[w] << bits) | (r[w + 1] >> (32 - bits));
  r[words - 1] <<= bits;
}

// One bit of long division by g into the left-aligned register.
void feed_bit(const crx_bch_s& c, uint32_t* r, unsigned bit) {
  const unsigned feedback = (r[0] >> 31) ^ (bit & 1);
  shift_left(r, c.ecc_words, 1);
  if (feedback)
    for (unsigned w = 0; w < c.ecc_words; ++w) r[w] ^= c.gen_words[w];
}

void feed_byte(const crx_bch_s& c, uint32_t* r, uint8_t byte) {
  if (c.ecc_bits < 8) {
    for (int b = 7; b >= 0; --b) feed_bit(c, r, unsigned(byte >> b));
    return;
  }
  const unsigned index = (r[0] >> 24) ^ byte;
  shift_left(r, c.ecc_words, 8);
  const uint32_t* row = &c.table[size_t{index} * c.ecc_words];
  for (unsigned w = 0; w < c.ecc_words; ++w) r[w] ^= row[w];
}

void build_encoder(crx_bch_s& c) {
  c.ecc_bytes = (c.ecc_bits + 7) / 8;
  c.ecc_words = (c.ecc_bits + 31) / 32;
  c.gen_words.assign(c.ecc_words, 0);
  for (unsigned k = 0; k < c.ecc_bits; ++k) {
    const unsigned power = c.ecc_bits - 1 - k;  // position k from the left
    if (c.generator[power]) c.gen_words[k / 32] |= 0x80000000u >> (k % 32);
  }
  c.rem.assign(c.ecc_words, 0);
  if (c.ecc_bits < 8) return;
  c.table.assign(256 * size_t{c.ecc_words}, 0);
  for (unsigned v = 0; v < 256; ++v) {
    std::fill(c.rem.begin(), c.rem.end(), 0);
    for (int b = 7; b >= 0; --b) feed_bit(c, c.rem.data(), v >> b);
    std::copy(c.rem.begin(), c.rem.end(), c.table.begin() + ptrdiff_t(v * c.ecc_words));
  }
}

void remainder_of_bytes(crx_bch_s& c, const uint8_t* data, unsigned len) {
  std::fill(c.rem.begin(), c.rem.end(), 0);
  for (unsigned i = 0; i < len; ++i) feed_byte(c, c.rem.data(), data[i]);
}

void remainder_of_bits(crx_bch_s& c, const uint8_t* bits, unsigned nbits) {
  std::fill(c.rem.begin(), c.rem.end(), 0);
  for (unsigned i = 0; i < nbits; ++i) feed_bit(c, c.rem.data(), bits[i] ? 1 : 0);
}

bool parity_bit(const crx_bch_s& c, unsigned k) { return (c.rem[k / 32] >> (31 - k % 32)) & 1; }

// Syndromes S_1..S_2t of the (nonzero) remainder left in c.rem, using
// S_2j = S_j^2 for a binary code.
void syndromes(crx_bch_s& c) {
  std::fill(c.syn.begin(), c.syn.end(), 0);
  for (unsigned k = 0; k < c.ecc_bits; ++k) {
    if (!parity_bit(c, k)) continue;
    const unsigned power = c.ecc_bits - 1 - k;
    for (int j = 1; j < 2 * c.t; j += 2) c.syn[size_t(j)] ^= c.exp[(uint64_t{power} * unsigned(j)) % c.n];
  }
  for (int j = 2; j <= 2 * c.t; j += 2) c.syn[size_t(j)] = gf_mul(c, c.syn[size_t(j / 2)], c.syn[size_t(j / 2)]);
}

// Berlekamp-Massey: the error locator in c.lambda; its degree, or -1.
int berlekamp_massey(crx_bch_s& c) {
  const size_t size = size_t(2 * c.t) + 2;
  std::fill(c.lambda.begin(), c.lambda.end(), 0);
  std::fill(c.prev.begin(), c.prev.end(), 0);
  c.lambda[0] = 1;
  c.prev[0] = 1;
  int length = 0, gap = 1;
  uint16_t last = 1;
  for (int step = 0; step < 2 * c.t; ++step) {
    uint16_t d = c.syn[size_t(step) + 1];
    for (int i = 1; i <= length; ++i) d ^= gf_mul(c, c.lambda[size_t(i)], c.syn[size_t(step + 1 - i)]);
    if (d == 0) {
      ++gap;
      continue;
    }
    const uint16_t factor = gf_div(c, d, last);
    const bool grow = 2 * length <= step;
    if (grow) std::copy(c.lambda.begin(), c.lambda.end(), c.scratch.begin());
    for (size_t i = 0; i + size_t(gap) < size; ++i) c.lambda[i + size_t(gap)] ^= gf_mul(c, factor, c.prev[i]);
    if (grow) {
      length = step + 1 - length;
      c.prev.swap(c.scratch);
      last = d;
      gap = 1;
    } else {
      ++gap;
    }
  }
  if (length > c.t) return -1;
  for (size_t i = size_t(length) + 1; i < size; ++i)
    if (c.lambda[i]) return -1;
  if (c.lambda[size_t(length)] == 0) return -1;
  return length;
}

// Powers of x (codeword positions below `positions`) that are error
// positions, into c.degrees; the count, or -1 when the locator does not
// split into distinct roots inside the shortened code.
int chien_search(crx_bch_s& c, int length, unsigned positions) {
  c.degrees.clear();
  if (length == 1) {
    // Lambda = 1 + L1 x: the error sits at power log(L1).
    const unsigned power = c.log[c.lambda[1]];
    if (power >= positions) return -1;
    c.degrees.push_back(power);
    return 1;
  }
  // Lambda(alpha^-p) = sum L_k alpha^(-p k); track each term's exponent.
  int logs[64];
  std::vector<int> big;
  int* term = logs;
  if (length >= 64) {
    big.resize(size_t(length) + 1);
    term = big.data();
  }
  for (int k = 1; k <= length; ++k) term[k] = c.lambda[size_t(k)] ? int(c.log[c.lambda[size_t(k)]]) : -1;
  const int n = int(c.n);
  for (unsigned p = 0; p < positions; ++p) {
    uint16_t sum = 1;
    for (int k = 1; k <= length; ++k) {
      if (term[k] < 0) continue;
      sum ^= c.exp[size_t(term[k])];
      term[k] -= k % n;
      if (term[k] < 0) term[k] += n;
    }
    if (sum == 0) {
      c.degrees.push_back(p);
      if (int(c.degrees.size()) == length) return length;
    }
  }
  return -1;
}

// Decodes the remainder left in c.rem for a word of `data_bits` data bits;
// the error powers land in c.degrees.
int locate(crx_bch_s& c, unsigned data_bits) {
  bool clean = true;
  for (uint32_t w : c.rem) clean = clean && w == 0;
  if (clean) return 0;
  syndromes(c);
  const int length = berlekamp_massey(c);
  if (length <= 0) return kBchUncorrectable;
  return chien_search(c, length, data_bits + c.ecc_bits) < 0 ? kBchUncorrectable : length;
}

bool fits(const crx_bch_s& c, uint64_t data_bits) { return data_bits + c.ecc_bits <= c.n; }

}  // namespace

extern "C" {

crx_bch_t* init_bch(int m, int t, unsigned int prim_poly) {
  if (!valid_shape(m, t)) return nullptr;
  const unsigned prim = prim_poly ? prim_poly : crx::meter::bch_default_polynomial(m);
  crx_bch_s* c = new (std::nothrow) crx_bch_s;
  if (!c) return nullptr;
  try {
    c->m = m;
    c->t = t;
    c->n = (1u << m) - 1;
    c->prim = prim;
    if (!build_field(*c)) {
      delete c;
      return nullptr;
    }
    build_generator(*c);
    build_encoder(*c);
    c->syn.assign(size_t(2 * t) + 1, 0);
    c->lambda.assign(size_t(2 * t) + 2, 0);
    c->prev.assign(c->lambda.size(), 0);
    c->scratch.assign(c->lambda.size(), 0);
    c->degrees.reserve(size_t(t));
  } catch (const std::bad_alloc&) {
    delete c;
    return nullptr;
  }
  return c;
}

void free_bch(crx_bch_t* bch) { delete bch; }

int bch_parity_bits(const crx_bch_t* bch) { return bch ? int(bch->ecc_bits) : -1; }

int encode_bch(crx_bch_t* bch, const uint8_t* data, unsigned int len, uint8_t* parity) {
  if (!bch || !parity || (!data && len) || !fits(*bch, uint64_t{len} * 8)) return -1;
  remainder_of_bytes(*bch, data, len);
  for (unsigned j = 0; j < bch->ecc_bytes; ++j) parity[j] = uint8_t(bch->rem[j / 4] >> (24 - 8 * (j % 4)));
  return 0;
}

int encodebits_bch(crx_bch_t* bch, const uint8_t* bits, unsigned int nbits, uint8_t* parity_bits) {
  if (!bch || !parity_bits || (!bits && nbits) || !fits(*bch, nbits)) return -1;
  remainder_of_bits(*bch, bits, nbits);
  for (unsigned k = 0; k < bch->ecc_bits; ++k) parity_bits[k] = parity_bit(*bch, k) ? 1 : 0;
  return 0;
}

int decode_bch(crx_bch_t* bch, const uint8_t* data, unsigned int len, const uint8_t* parity,
               unsigned int* errloc) {
  if (!bch || !parity || !errloc || (!data && len) || !fits(*bch, uint64_t{len} * 8)) return kBchBadArguments;
  crx_bch_s& c = *bch;
  remainder_of_bytes(c, data, len);
  // Only the parity's own bits count; the pad bits of its last byte do not.
  for (unsigned j = 0; j < c.ecc_bytes; ++j) {
    const unsigned bits_here = std::min(8u, c.ecc_bits - 8 * j);
    const uint8_t mask = uint8_t(0xFF00u >> bits_here);
    c.rem[j / 4] ^= uint32_t(parity[j] & mask) << (24 - 8 * (j % 4));
  }
  const unsigned data_bits = len * 8;
  const int count = locate(c, data_bits);
  if (count <= 0) return count;
  for (int i = 0; i < count; ++i) {
    const unsigned power = c.degrees[size_t(i)];
    unsigned stream, base;
    if (power >= c.ecc_bits) {
      stream = data_bits + c.ecc_bits - 1 - power;
      base = 0;
    } else {
      stream = c.ecc_bits - 1 - power;
      base = data_bits;
    }
    errloc[i] = base + 8 * (stream / 8) + (7 - stream % 8);
  }
  return count;
}

int decodebits_bch(crx_bch_t* bch, const uint8_t* bits, unsigned int nbits, const uint8_t* parity_bits,
                   unsigned int* errloc) {
  if (!bch || !parity_bits || !errloc || (!bits && nbits) || !fits(*bch, nbits)) return kBchBadArguments;
  crx_bch_s& c = *bch;
  remainder_of_bits(c, bits, nbits);
  for (unsigned k = 0; k < c.ecc_bits; ++k)
    if (parity_bits[k]) c.rem[k / 32] ^= 0x80000000u >> (k % 32);
  const int count = locate(c, nbits);
  if (count <= 0) return count;
  for (int i = 0; i < count; ++i) {
    const unsigned power = c.degrees[size_t(i)];
    errloc[i] = power >= c.ecc_bits ? nbits + c.ecc_bits - 1 - power : nbits + (c.ecc_bits - 1 - power);
  }
  return count;
}

void correct_bch(crx_bch_t* bch, uint8_t* data, unsigned int len, const unsigned int* errloc, int nerr) {
  if (!bch || !data || !errloc || nerr <= 0) return;
  const int count = std::min(nerr, bch->t);
  for (int i = 0; i < count; ++i)
    if (errloc[i] < uint64_t{len} * 8) data[errloc[i] / 8] ^= uint8_t(1u << (errloc[i] % 8));
}

void correctbits_bch(crx_bch_t* bch, uint8_t* bits, unsigned int nbits, const unsigned int* errloc, int nerr) {
  if (!bch || !bits || !errloc || nerr <= 0) return;
  const int count = std::min(nerr, bch->t);
  for (int i = 0; i < count; ++i)
    if (errloc[i] < nbits) bits[errloc[i]] ^= 1;
}

}  // extern "C"

// Modulation enumerations to and from plain numbers, and byte-order readers.
#include <cstring>
#include <utility>

#include "crx.h"

namespace {
constexpr int kMinSf = 7;
constexpr int kMaxSf = 12;
constexpr unsigned kAllSf = 0x7E;

unsigned sf_bit(int sf) { return 1u << (sf - 6); }

// Lowest and highest SF of a mask that is one contiguous run SFa..SFb.
bool contiguous_sf(unsigned mask, int& lo, int& hi) {
  if (mask == 0 || (mask & ~kAllSf) != 0) return false;
  lo = kMinSf;
  while (!(mask & sf_bit(lo))) ++lo;
  hi = lo;
  while (hi < kMaxSf && (mask & sf_bit(hi + 1))) ++hi;
  for (int sf = hi + 1; sf <= kMaxSf; ++sf)
    if (mask & sf_bit(sf)) return false;
  return true;
}
}  // namespace

extern "C" {

crx_sf_t crx_sf_nb2enum(int sf) {
  if (sf < kMinSf || sf > kMaxSf) return MR_UNDEFINED;
  return static_cast<crx_sf_t>(sf_bit(sf));
}

int crx_sf_enum2nb(crx_sf_t sf) {
  for (int n = kMinSf; n <= kMaxSf; ++n)
    if (static_cast<unsigned>(sf) == sf_bit(n)) return n;
  return -1;
}

crx_sf_t crx_sf_range_nb2enum(int a, int b) {
  if (a < kMinSf || a > kMaxSf || b < kMinSf || b > kMaxSf) return MR_UNDEFINED;
  if (a > b) std::swap(a, b);
  unsigned mask = 0;
  for (int sf = a; sf <= b; ++sf) mask |= sf_bit(sf);
  return static_cast<crx_sf_t>(mask);
}

int crx_sf_min_enum2nb(crx_sf_t sf) {
  int lo, hi;
  return contiguous_sf(static_cast<unsigned>(sf), lo, hi) ? lo : -1;
}

int crx_sf_max_enum2nb(crx_sf_t sf) {
  int lo, hi;
  return contiguous_sf(static_cast<unsigned>(sf), lo, hi) ? hi : -1;
}

crx_cr_t crx_cr_nb2enum(int n) { return (n >= 1 && n <= 4) ? static_cast<crx_cr_t>(n) : CR_UNDEFINED; }

int crx_cr_enum2nb(crx_cr_t cr) { return (cr >= 1 && cr <= 4) ? static_cast<int>(cr) : -1; }

const char* crx_cr_enum2str(crx_cr_t cr) {
  switch (cr) {
    case CR_LORA_4_5: return "4/5";
    case CR_LORA_4_6: return "4/6";
    case CR_LORA_4_7: return "4/7";
    case CR_LORA_4_8: return "4/8";
    default: return "???";
  }
}

crx_bw_t crx_bw_nb2enum(int hz) {
  if (hz < 1) return BW_UNDEFINED;
  if (hz <= 7800) return BW_7K8HZ;
  if (hz <= 15600) return BW_15K6HZ;
  if (hz <= 31200) return BW_31K2HZ;
  if (hz <= 62500) return BW_62K5HZ;
  if (hz <= 125000) return BW_125KHZ;
  if (hz <= 250000) return BW_250KHZ;
  if (hz <= 500000) return BW_500KHZ;
  return BW_UNDEFINED;
}

int crx_bw_enum2nb(crx_bw_t bw) {
  switch (bw) {
    case BW_500KHZ: return 500000;
    case BW_250KHZ: return 250000;
    case BW_125KHZ: return 125000;
    case BW_62K5HZ: return 62500;
    case BW_31K2HZ: return 31200;
    case BW_15K6HZ: return 15600;
    case BW_7K8HZ: return 7800;
    default: return -1;
  }
}

int ppm_mode_en(crx_bw_t bw, int sf) {
  if (bw == BW_125KHZ && (sf == 11 || sf == 12)) return 1;
  if (bw == BW_250KHZ && sf == 12) return 1;
  return 0;
}

uint32_t bytes_be_to_uint32_le(const uint8_t* p) {
  if (!p) return 0;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t bytes_le_to_uint32_le(const uint8_t* p) {
  if (!p) return 0;
  return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

uint16_t bytes_be_to_uint16_le(const uint8_t* p) {
  if (!p) return 0;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

int16_t bytes_be_to_int16_le(const uint8_t* p) { return static_cast<int16_t>(bytes_be_to_uint16_le(p)); }

uint16_t bytes_le_to_uint16_le(const uint8_t* p) {
  if (!p) return 0;
  return static_cast<uint16_t>((p[1] << 8) | p[0]);
}

uint64_t bytes_be_to_uint64_le(const uint8_t* p) {
  if (!p) return 0;
  return (uint64_t{bytes_be_to_uint32_le(p)} << 32) | bytes_be_to_uint32_le(p + 4);
}

float bytes_to_float(const uint8_t* p) {
  if (!p) return 0.0f;
  float f;
  std::memcpy(&f, p, sizeof f);
  return f;
}

}  // extern "C"

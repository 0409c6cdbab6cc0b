#include "lorawan_crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace crx::sim::lorawan {

namespace {

std::array<uint8_t, 16> aes_block(const Key& key, const std::array<uint8_t, 16>& in) {
  std::array<uint8_t, 16> out{};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 || EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), 16) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    throw std::runtime_error("AES-128 through OpenSSL failed");
  }
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

void put_le(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

bool hex_bytes(const std::string& s, uint8_t* out, size_t n) {
  if (s.size() != 2 * n) return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned v = 0;
    if (std::sscanf(s.c_str() + 2 * i, "%2x", &v) != 1) return false;
    out[i] = uint8_t(v);
  }
  return true;
}

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02X", p[i]), s += b;
  return s;
}

}  // namespace

std::array<uint8_t, 16> aes_cmac(const Key& key, const std::vector<uint8_t>& data) {
  std::array<uint8_t, 16> mac{};
  EVP_MAC* m = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = m ? EVP_MAC_CTX_new(m) : nullptr;
  char cipher[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0), OSSL_PARAM_construct_end()};
  size_t len = 0;
  const bool ok = ctx && EVP_MAC_init(ctx, key.data(), key.size(), params) == 1 &&
                  EVP_MAC_update(ctx, data.data(), data.size()) == 1 &&
                  EVP_MAC_final(ctx, mac.data(), &len, mac.size()) == 1 && len == 16;
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(m);
  if (!ok) throw std::runtime_error("AES-CMAC through OpenSSL failed");
  return mac;
}

void seal_data_frame(std::vector<uint8_t>& f, const DeviceKeys& k, uint32_t fcnt) {
  if (f.size() < 13) return;
  put_le(f, 1, k.dev_addr, 4);
  const size_t body = 9, end = f.size() - 4;
  const Key& key = f[8] == 0 ? k.nwk_skey : k.app_skey;
  for (size_t i = body, block = 1; i < end; i += 16, ++block) {
    std::array<uint8_t, 16> a{};
    a[0] = 0x01;
    a[5] = 0;  // uplink
    for (int j = 0; j < 4; ++j) a[6 + size_t(j)] = uint8_t(k.dev_addr >> (8 * j)), a[10 + size_t(j)] = uint8_t(fcnt >> (8 * j));
    a[15] = uint8_t(block);
    const auto s = aes_block(key, a);
    for (size_t j = 0; j < 16 && i + j < end; ++j) f[i + j] ^= s[j];
  }
  std::vector<uint8_t> b0(16, 0);
  b0[0] = 0x49;
  put_le(b0, 6, k.dev_addr, 4);
  put_le(b0, 10, fcnt, 4);
  b0[15] = uint8_t(end);
  b0.insert(b0.end(), f.begin(), f.begin() + long(end));
  const auto mac = aes_cmac(k.nwk_skey, b0);
  for (size_t j = 0; j < 4; ++j) f[end + j] = mac[j];
}

void seal_join_request(std::vector<uint8_t>& f, const DeviceKeys& k) {
  if (f.size() != 23) return;
  put_le(f, 9, k.dev_eui, 8);
  const auto mac = aes_cmac(k.app_key, std::vector<uint8_t>(f.begin(), f.begin() + 19));
  for (size_t j = 0; j < 4; ++j) f[19 + j] = mac[j];
}

DeviceKeys derived_keys(int index, uint64_t dev_eui, uint32_t dev_addr) {
  DeviceKeys k;
  k.dev_eui = dev_eui;
  k.dev_addr = dev_addr;
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t mix = uint8_t(dev_eui >> (8 * (i % 8))) ^ uint8_t(index * 37 + int(i) * 11);
    k.nwk_skey[i] = uint8_t(0x10 + i) ^ mix;
    k.app_skey[i] = uint8_t(0x20 + i) ^ mix;
    k.app_key[i] = uint8_t(0x30 + i) ^ mix;
  }
  return k;
}

bool parse_keys_line(const std::string& line, DeviceKeys& out) {
  std::istringstream in(line);
  std::string eui, addr, nwk, app, appkey;
  if (!(in >> eui >> addr >> nwk >> app >> appkey)) return false;
  uint8_t e[8], a[4];
  if (!hex_bytes(eui, e, 8) || !hex_bytes(addr, a, 4) || !hex_bytes(nwk, out.nwk_skey.data(), 16) ||
      !hex_bytes(app, out.app_skey.data(), 16) || !hex_bytes(appkey, out.app_key.data(), 16))
    return false;
  out.dev_eui = 0;
  for (uint8_t b : e) out.dev_eui = out.dev_eui << 8 | b;
  out.dev_addr = 0;
  for (uint8_t b : a) out.dev_addr = out.dev_addr << 8 | b;
  return true;
}

std::string format_keys(const DeviceKeys& k) {
  char head[40];
  std::snprintf(head, sizeof head, "%016llX %08X ", static_cast<unsigned long long>(k.dev_eui), k.dev_addr);
  return head + hex(k.nwk_skey.data(), 16) + " " + hex(k.app_skey.data(), 16) + " " + hex(k.app_key.data(), 16);
}

}  // namespace crx::sim::lorawan

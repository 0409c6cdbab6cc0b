// Base64 (standard alphabet, "=" padding) for the payloads the packet
// forwarder carries in its JSON messages.
//
// Every size check happens before the first byte is written, and no input
// ends the process: text outside the alphabet is refused with -1, so a bad
// message from the network costs one packet, not the forwarder.
#include <array>
#include <cstdint>
#include <cstring>

#include "crx.h"
#include "log.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> make_decode_table() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = make_decode_table();

// The two characters of every 12-bit value: a group of three bytes is then
// two look-ups, which keeps short payloads as cheap as long ones.
struct CharPair {
  char c[2];
};
constexpr std::array<CharPair, 4096> make_pair_table() {
  std::array<CharPair, 4096> t{};
  for (unsigned v = 0; v < 4096; ++v) t[v] = {{kAlphabet[v >> 6], kAlphabet[v & 0x3F]}};
  return t;
}
constexpr std::array<CharPair, 4096> kPairs = make_pair_table();

// Characters a tail of 0, 1 or 2 input bytes turns into.
constexpr int kTailChars[3] = {0, 2, 3};

// Characters of the unpadded encoding of `size` bytes, without the NUL.
int64_t unpadded_length(int size) { return int64_t{size / 3} * 4 + kTailChars[size % 3]; }

// Writes the unpadded encoding and its NUL; the caller checked the room.
int encode(const uint8_t* in, int size, char* out) {
  char* p = out;
  const uint8_t* end = in + (size - size % 3);
  for (; in != end; in += 3, p += 4) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(p, kPairs[v >> 12].c, 2);
    std::memcpy(p + 2, kPairs[v & 0xFFF].c, 2);
  }
  if (size % 3 == 1) {
    const uint32_t v = uint32_t{in[0]} << 16;
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 0x3F];
  } else if (size % 3 == 2) {
    const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8);
    *p++ = kAlphabet[v >> 18];
    *p++ = kAlphabet[(v >> 12) & 0x3F];
    *p++ = kAlphabet[(v >> 6) & 0x3F];
  }
  *p = '\0';
  return static_cast<int>(p - out);
}

// The checks both encoders make before writing anything: the length of the
// unpadded text, or -1 once the reason is logged.
int64_t checked_length(const uint8_t* in, int size, const char* out, int max) {
  if (!in || !out) {
    crx::log_line("ERROR: NULL POINTER AS OUTPUT IN BIN_TO_B64");
    return -1;
  }
  if (size < 0) {
    crx::log_line("ERROR: INVALID INPUT SIZE IN BIN_TO_B64: %d", size);
    return -1;
  }
  const int64_t length = unpadded_length(size);
  if (length + 1 > max) {
    crx::log_line("ERROR: OUTPUT BUFFER TOO SMALL IN BIN_TO_B64: %d", size);
    return -1;
  }
  return length;
}

// Logs the first character of `group` that is outside the alphabet.
int refuse_invalid(const char* group, int count) {
  for (int i = 0; i < count; ++i) {
    const auto c = static_cast<unsigned char>(group[i]);
    if (kDecode[c] == kInvalid) {
      crx::log_line("ERROR: %c (0x%x) IS INVALID CHARACTER FOR BASE64 DECODING", c, c);
      break;
    }
  }
  return -1;
}

}  // namespace

extern "C" {

int bin_to_b64_nopad(const uint8_t* in, int size, char* out, int max) {
  return checked_length(in, size, out, max) < 0 ? -1 : encode(in, size, out);
}

int bin_to_b64(const uint8_t* in, int size, char* out, int max) {
  const int64_t length = checked_length(in, size, out, max);
  if (length < 0) return -1;
  const int padding = static_cast<int>((4 - length % 4) % 4);
  if (length + padding + 1 > max) {
    crx::log_line("ERROR: not enough room to add padding in bin_to_b64: %d", static_cast<int>(length));
    return -1;
  }
  char* p = out + encode(in, size, out);
  for (int i = 0; i < padding; ++i) *p++ = '=';
  *p = '\0';
  return static_cast<int>(p - out);
}

int b64_to_bin_nopad(const char* in, int size, uint8_t* out, int max) {
  if (!in || !out) {
    crx::log_line("ERROR: NULL POINTER AS OUTPUT OR INPUT IN B64_TO_BIN");
    return -1;
  }
  if (size < 0) {
    crx::log_line("ERROR: INVALID INPUT SIZE IN B64_TO_BIN: %d", size);
    return -1;
  }
  if (size == 0) return 0;
  const int tail = size % 4;
  if (tail == 1) {
    crx::log_line("ERROR: ONLY ONE CHAR LEFT IN B64_TO_BIN: %d", size);
    return -1;
  }
  const int length = 3 * (size / 4) + (tail == 0 ? 0 : tail - 1);
  if (length > max) {
    crx::log_line("ERROR: OUTPUT BUFFER TOO SMALL IN B64_TO_BIN: %d", size);
    return -1;
  }

  const auto value = [](char c) { return kDecode[static_cast<unsigned char>(c)]; };
  uint8_t* p = out;
  const char* end = in + (size - tail);
  for (; in != end; in += 4, p += 3) {
    const uint8_t a = value(in[0]), b = value(in[1]), c = value(in[2]), d = value(in[3]);
    if ((a | b | c | d) & 0x80) return refuse_invalid(in, 4);
    const uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
  }
  if (tail == 0) return length;

  const uint8_t a = value(in[0]), b = value(in[1]), c = tail == 3 ? value(in[2]) : 0;
  if ((a | b | c) & 0x80) return refuse_invalid(in, tail);
  const uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6);
  *p++ = static_cast<uint8_t>(v >> 16);
  if (tail == 3) *p++ = static_cast<uint8_t>(v >> 8);
  // The last character carries bits that fall beyond the last byte; a
  // canonical encoder leaves them zero.
  const uint8_t unusable = tail == 2 ? (b & 0x0F) : (c & 0x03);
  if (unusable) crx::log_line("WARNING: last character contains unusable bits");
  return length;
}

int b64_to_bin(const char* in, int size, uint8_t* out, int max) {
  if (!in || !out) {
    crx::log_line("ERROR: NULL POINTER AS OUTPUT OR INPUT IN B64_TO_BIN");
    return -1;
  }
  int unpadded = size;
  if (size >= 4 && size % 4 == 0) {
    if (in[size - 2] == '=')
      unpadded = size - 2;
    else if (in[size - 1] == '=')
      unpadded = size - 1;
  }
  return b64_to_bin_nopad(in, unpadded, out, max);
}

}  // extern "C"

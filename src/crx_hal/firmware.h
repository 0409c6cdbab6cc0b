// The SX1301 MCU images the library carries and their loading into a chip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace crx::firmware {

inline constexpr size_t kImageSize = 8192;
inline constexpr int kArbiter = 0;
inline constexpr int kAgc = 1;
// The versions the two images report once running.
inline constexpr int32_t kAgcVersion = 9;
inline constexpr int32_t kArbVersion = 1;

using Image = std::array<uint8_t, kImageSize>;

// A stand-in: label (at most 15 characters), version, a readable note, a
// filler, and the byte sum of everything before the last four bytes,
// little-endian, in those bytes. It runs nowhere but on the simulator,
// which recognises it.
constexpr Image make_stand_in(const char* label, uint8_t version, uint8_t seed) {
  Image a{};
  size_t i = 0;
  for (; label[i] && i < 15; ++i) a[i] = uint8_t(label[i]);
  a[16] = version;
  constexpr const char* note = "libcrx stand-in: not SX1301 firmware, for the simulator only";
  for (size_t k = 0; note[k]; ++k) a[17 + k] = uint8_t(note[k]);
  for (size_t k = 96; k < kImageSize - 4; ++k) a[k] = uint8_t(k * 31u + seed);
  uint32_t sum = 0;
  for (size_t k = 0; k < kImageSize - 4; ++k) sum += a[k];
  for (int b = 0; b < 4; ++b) a[kImageSize - 4 + b] = uint8_t(sum >> (8 * b));
  return a;
}

std::span<const uint8_t> agc_image();
std::span<const uint8_t> arb_image();
// True when the build carries the labelled stand-ins instead of images
// supplied with -DCRX_FIRMWARE_DIR (see firmware/README.md).
bool stand_in_images();

// Loads `image` into the program RAM of the chip's MCU of `kind` and reads
// it back (a mismatch is logged, not returned); the MCU is left released.
// 0, or -1 with crx_errno: 4 bad board, 5 bad chip, 69 for a null or too
// long image or an unknown kind, the register layer's code for a failed
// transfer.
int load(uint8_t board, uint8_t chip, int kind, const uint8_t* image, size_t size);

}  // namespace crx::firmware

// The SX1301 MCU images the library carries and their loading into a chip.
#pragma once

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

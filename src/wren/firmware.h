// The Wren SX1301's three MCU images and their loading: the calibration
// image runs once in the AGC MCU at start, then the arbiter and AGC images
// take over for reception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crx.h"

namespace crx::wren {

inline constexpr int kMcuArbiter = 0;
inline constexpr int kMcuAgc = 1;
inline constexpr size_t kWrenImageSize = 8192;
// The versions the images report once running.
inline constexpr int32_t kCalVersion = 2;
inline constexpr int32_t kArbVersion = 1;
inline constexpr int32_t kAgcVersion = 4;

std::span<const uint8_t> cal_image();
std::span<const uint8_t> arb_image();
std::span<const uint8_t> agc_image();
// True when at least one of the three is a labelled stand-in.
bool stand_in_images();

// Loads `image` into the program RAM of `mcu` (0 arbiter, 1 AGC) and reads
// it back; a mismatch is logged only (the version checks of start catch a
// bad load). The MCU is left released. 0, or -1 with crx_errno: 4 board,
// 5 chip, 69 for a null image, another MCU or a too long image, the
// register layer's code for a failed transfer.
using ::load_wren_firmware;

}  // namespace crx::wren

#include "wren/firmware.h"

#include <cstring>
#include <vector>

#include "crx.h"
#include "crx_firmware_data.h"
#include "crx_hal/firmware.h"
#include "errors.h"
#include "log.h"

namespace crx::wren {

namespace {

using firmware::Image;
using firmware::make_stand_in;

// Chip rows of the MCUs: program RAM select and hold/release per MCU, the
// RAM pointer and the RAM data port.
constexpr int kRamSelect[2] = {160, 161};
constexpr int kRelease[2] = {162, 163};
constexpr int kRamAddress = 9;
constexpr int kRamData = 10;

#if CRX_FIRMWARE_WREN_CAL_STAND_IN
constexpr Image kCal = make_stand_in("CRX-SI-WREN-CAL", uint8_t(kCalVersion), 0x3C);
#else
constexpr Image kCal = {CRX_FIRMWARE_WREN_CAL_BYTES};
#endif
#if CRX_FIRMWARE_WREN_ARB_STAND_IN
constexpr Image kArb = make_stand_in("CRX-SI-WREN-ARB", uint8_t(kArbVersion), 0xC3);
#else
constexpr Image kArb = {CRX_FIRMWARE_WREN_ARB_BYTES};
#endif
#if CRX_FIRMWARE_WREN_AGC_STAND_IN
constexpr Image kAgc = make_stand_in("CRX-SI-WREN-AGC", uint8_t(kAgcVersion), 0x69);
#else
constexpr Image kAgc = {CRX_FIRMWARE_WREN_AGC_BYTES};
#endif

}  // namespace

std::span<const uint8_t> cal_image() { return kCal; }
std::span<const uint8_t> arb_image() { return kArb; }
std::span<const uint8_t> agc_image() { return kAgc; }
bool stand_in_images() {
  return CRX_FIRMWARE_WREN_CAL_STAND_IN || CRX_FIRMWARE_WREN_ARB_STAND_IN || CRX_FIRMWARE_WREN_AGC_STAND_IN;
}

}  // namespace crx::wren

using crx::fail;
using crx::log_line;
using namespace crx::wren;

extern "C" {

int load_wren_firmware(uint8_t board, uint8_t chip, int mcu, const uint8_t* image, uint32_t length) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (chip != 0) return fail(ERR_BAD_CHIP_NB);
  if (!image || (mcu != kMcuArbiter && mcu != kMcuAgc) || length > kWrenImageSize) return fail(ERR_UNSPECIFIED);

  if (crx_reg_chip_w(board, chip, kRamSelect[mcu], 1) < 0) return -1;
  if (crx_reg_chip_w(board, chip, kRelease[mcu], 0) < 0) return -1;
  if (crx_reg_chip_w(board, chip, kRamAddress, 0) < 0) return -1;
  if (crx_reg_chip_wb(board, chip, kRamData, image, length) < 0) return -1;
  // The data port answers through a one-byte prefetch: the first byte read
  // after the pointer moved is stale.
  int32_t discarded = 0;
  if (crx_reg_chip_r(board, chip, kRamData, &discarded) < 0) return -1;
  std::vector<uint8_t> back(length);
  if (crx_reg_chip_rb(board, chip, kRamData, back.data(), length) < 0) return -1;
  if (length && std::memcmp(back.data(), image, length) != 0)
    log_line("BrvDBG-HAL %s E R R O R - Failed to load fw %d on chip %d", "load_wren_firmware", mcu, chip);
  return crx_reg_chip_w(board, chip, kRelease[mcu], 1) < 0 ? -1 : 0;
}

}  // extern "C"

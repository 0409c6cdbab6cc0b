#include "crx_hal/firmware.h"

#include <cstring>
#include <vector>

#include "board.h"
#include "crx.h"
#include "crx_firmware_data.h"
#include "errors.h"
#include "log.h"

namespace crx::firmware {

namespace {

// Chip rows of the MCUs: program RAM select and hold/release per kind, the
// RAM pointer and the RAM data port.
constexpr int kRamSelect[2] = {160, 161};
constexpr int kRelease[2] = {162, 163};
constexpr int kRamAddress = 9;
constexpr int kRamData = 10;

#if CRX_FIRMWARE_STAND_IN
constexpr Image kAgc_ = make_stand_in("CRX-STANDIN-AGC", uint8_t(kAgcVersion), 0x5A);
constexpr Image kArb_ = make_stand_in("CRX-STANDIN-ARB", uint8_t(kArbVersion), 0xA5);
#else
constexpr Image kAgc_ = {CRX_FIRMWARE_AGC_BYTES};
constexpr Image kArb_ = {CRX_FIRMWARE_ARB_BYTES};
#endif

}  // namespace

std::span<const uint8_t> agc_image() { return kAgc_; }
std::span<const uint8_t> arb_image() { return kArb_; }
bool stand_in_images() { return CRX_FIRMWARE_STAND_IN != 0; }

int load(uint8_t board, uint8_t chip, int kind, const uint8_t* image, size_t size) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (chip >= num_sx1301_chips) return fail(ERR_BAD_CHIP_NB);
  if (!image || (kind != kArbiter && kind != kAgc) || size > kImageSize) return fail(ERR_UNSPECIFIED);

  if (crx_reg_chip_w(board, chip, kRamSelect[kind], 1) < 0) return -1;
  if (crx_reg_chip_w(board, chip, kRelease[kind], 0) < 0) return -1;
  if (crx_reg_chip_w(board, chip, kRamAddress, 0) < 0) return -1;
  if (crx_reg_chip_wb(board, chip, kRamData, image, uint32_t(size)) < 0) return -1;
  // The data port answers through a one-byte prefetch: the first byte read
  // after the pointer wrapped is stale.
  int32_t discarded = 0;
  if (crx_reg_chip_r(board, chip, kRamData, &discarded) < 0) return -1;
  std::vector<uint8_t> back(size);
  if (crx_reg_chip_rb(board, chip, kRamData, back.data(), uint32_t(size)) < 0) return -1;
  if (size && std::memcmp(back.data(), image, size) != 0)
    log_line("BrvDBG-HAL: %s E R R O R: Failed to load fw %d on chip %d", "load_firmware", kind, chip);
  return crx_reg_chip_w(board, chip, kRelease[kind], 1) < 0 ? -1 : 0;
}

}  // namespace crx::firmware

extern "C" int crx_get_fw_image(int kind, crx_fw_image_t* out) {
  using namespace crx::firmware;
  if (!out || (kind != kArbiter && kind != kAgc)) return crx::fail(ERR_UNSPECIFIED);
  const std::span<const uint8_t> image = kind == kAgc ? agc_image() : arb_image();
  uint32_t sum = 0;
  for (uint8_t b : image) sum += b;
  out->size = uint32_t(image.size());
  out->version = uint8_t(kind == kAgc ? kAgcVersion : kArbVersion);
  out->stand_in = stand_in_images();
  out->checksum = sum;
  return 0;
}

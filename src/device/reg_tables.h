// The three register tables of the large boards. Every caller names a
// register by its row; the access layer turns the row into target, page,
// address and bit-field handling, so no register arithmetic lives elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crx.h"

namespace crx::regs {

inline constexpr std::size_t kBoardRegCount = 389;
inline constexpr std::size_t kChipRegCount = 326;
inline constexpr std::size_t kAd9361FieldCount = 1375;

// One bit field of the AD9361. Its registers are single bytes and need no
// page, sign or access flag, hence the shorter record.
struct Ad9361Field {
  uint16_t address;
  uint8_t offset;
  uint8_t width;
};

// Front-end FPGA registers (all with page -1).
extern const std::array<crx_reg_t, kBoardRegCount> kBoardRegs;
// SX1301 registers (pages -1, 0, 1 and 2).
extern const std::array<crx_reg_t, kChipRegCount> kChipRegs;
// AD9361 fields; the last row is all zero and addresses nothing.
extern const std::array<Ad9361Field, kAd9361FieldCount> kAd9361Fields;

// Board rows named by the library.
enum BoardRow : uint16_t {
  BRD_FPGA_VERSION = 2,    // read-only, 48 on current FPGAs; 0 means no FPGA
  BRD_SPIBDG_TX = 5,       // SPI-bridge transmit buffer (burst target)
  BRD_SPIBDG_RX = 6,       // SPI-bridge receive buffer (burst source)
  BRD_SPIBDG_START = 14,   // write 1 to start a bridge transaction; reads 1 while busy
  BRD_FPGA_PLL_RESET = 77, // 1 holds the FPGA PLL in reset during transceiver set-up
  BRD_FPGA_PLL_LOCK = 78,  // reads 1 once the FPGA PLL has locked
  BRD_TX_GAIN_C0_K0 = 211, // digital TX gain word, chain 0 carrier 0
  BRD_TX_GAIN_C0_K1 = 212, // chain 0 carrier 1
  BRD_TX_GAIN_C1_K0 = 243, // chain 1 carrier 0
  BRD_TX_GAIN_C1_K1 = 244, // chain 1 carrier 1
  BREG_LBT_MAX_HOLD = 375, // peak level of the last listen-before-talk measurement
  BRD_HS_LO_LOCK = 380,    // lock status of the high-speed LO
  BRD_TX_ATTEN = 388,      // FPGA-side TX attenuation (board type 5, newer FPGAs)
};

// Chip rows named by the library.
enum ChipRow : uint16_t {
  CHIP_PAGE = 0,        // page register, bits 0-1
  CHIP_SOFT_RESET = 1,  // write 1 to reset the chip's registers
  CHIP_VERSION = 2,     // read-only, 103 on an SX1301
  CHIP_INIT_CLEAR = 17, // address 16 bit 2, cleared by the bring-up check
  CHIP_ID = 82,         // read-only, 1 on an SX1301
};

// AD9361 rows named by the library (see the table's source for which
// register each one is).
enum Ad9361Row : uint16_t {
  AD9361_EXT_LNA_CTRL = 142,   // register 0x026, written at the end of bring-up
  AD9361_PRODUCT_ID = 180,     // register 0x037, whole byte
  AD9361_TX1_PHASE_CORR = 343, // registers 0x08E to 0x095: factory TX correction words
  AD9361_TX1_GAIN_CORR = 344,
  AD9361_TX2_PHASE_CORR = 345,
  AD9361_TX2_GAIN_CORR = 346,
  AD9361_TX1_OFFSET_I = 347,
  AD9361_TX1_OFFSET_Q = 348,
  AD9361_TX2_OFFSET_I = 349,
  AD9361_TX2_OFFSET_Q = 350,
  AD9361_QUAD_CAL_NCO = 359,  // register 0x0A0, written before the FPGA PLL is released
};

}  // namespace crx::regs

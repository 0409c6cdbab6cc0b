// Register fields and bursts by table row, the life cycle of the register
// path and the bring-up check of the FPGA and its SX1301 chips.
#include "device/reg_access.h"

#include "board.h"
#include "device/paths.h"
#include "device/reg_tables.h"
#include "device/spi.h"
#include "errors.h"
#include "log.h"

namespace crx::regs {

namespace {

constexpr int32_t kExpectedFpgaVersion = 48;
constexpr int32_t kExpectedChipVersion = 103;
constexpr int32_t kExpectedChipId = 1;
constexpr uint8_t kFpgaSoftReset = 0x80;
constexpr uint16_t kFpgaControlAddress = 0;
// FPGA port targets 0 to 7 are chips; a chip count above that (a database
// value) must not reach the FPGA's own target.
constexpr int kMaxChips = 8;

bool single_byte(const crx_reg_t& row) { return row.offset + row.width <= 8; }
bool whole_bytes(const crx_reg_t& row) { return row.offset == 0 && row.width >= 8 && row.width <= 32; }

// The Wren boards have no front-end FPGA: refuse rather than touch a port
// that is never opened there.
bool no_fpga_here(int chip, const char* what) {
  if (chip != kFpgaSelf || !is_wren_board(board_type)) return false;
  log_line("BrvDBG: E R R O R - %s: no FPGA registers on this board", what);
  set_errno(ERR_UNSPECIFIED);
  return true;
}

// The bytes read, first byte least significant; bytes beyond the field's
// byte count are zero.
uint32_t little_endian(const uint8_t* b) {
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Bit width - 1 is the sign; the bits above it in the last byte are not
// part of a signed field.
int32_t sign_extend(uint32_t raw, uint8_t width) {
  if (width >= 32) return int32_t(raw);
  const uint32_t sign = 1u << (width - 1);
  return int32_t((raw & ((1u << width) - 1u)) ^ sign) - int32_t(sign);
}

}  // namespace

int read_field(int chip, const crx_reg_t& row, int32_t* value) {
  if (no_fpga_here(chip, "register read")) return -1;
  const bool inside_byte = single_byte(row);
  if (row.width == 0 || (!inside_byte && !whole_bytes(row))) return fail(ERR_UNSPECIFIED);
  uint8_t bytes[4] = {};
  if (bus_read(chip, row, bytes, inside_byte ? 1u : (row.width + 7u) / 8u) < 0) {
    log_line(">BrvDBG: E R R O R - reg_read spi read");
    return fail(ERR_SPI_READ);
  }
  if (inside_byte) {
    *value = extract_field(bytes[0], row.offset, row.width, row.is_signed);
    return 0;
  }
  // An unsigned field keeps whatever its last byte holds above the width:
  // the field write sends those bits unmasked, so a value reads back as
  // written.
  const uint32_t raw = little_endian(bytes);
  *value = row.is_signed ? sign_extend(raw, row.width) : int32_t(raw);
  return 0;
}

int write_field(int chip, const crx_reg_t& row, int32_t value) {
  if (no_fpga_here(chip, "register write")) return -1;
  if (whole_bytes(row)) {
    // Not masked to the width: the bits above it land in the last byte's
    // unused upper bits, as the hardware expects for signed fields.
    const uint32_t v = uint32_t(value);
    const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    if (bus_write(chip, row, bytes, (row.width + 7u) / 8u) < 0) return fail(ERR_SPI_WRITE);
    return 0;
  }
  if (row.width == 0 || !single_byte(row)) return fail(ERR_UNSPECIFIED);
  uint8_t byte = 0;
  if (bus_read(chip, row, &byte, 1) < 0) return fail(ERR_SPI_READ);
  byte = merge_field(byte, value, row.offset, row.width);
  if (bus_write(chip, row, &byte, 1) < 0) return fail(ERR_SPI_WRITE);
  return 0;
}

int read_burst(int chip, const crx_reg_t& row, uint8_t* data, uint32_t length) {
  if (no_fpga_here(chip, "register burst read")) return -1;
  if (bus_read(chip, row, data, length) < 0) return fail(ERR_SPI_READ);
  return 0;
}

int write_burst(int chip, const crx_reg_t& row, const uint8_t* data, uint32_t length) {
  if (no_fpga_here(chip, "register burst write")) return -1;
  if (bus_write(chip, row, data, length) < 0) return fail(ERR_SPI_WRITE);
  return 0;
}

}  // namespace crx::regs

using crx::fail;
using crx::log_line;
using namespace crx::regs;

namespace {

bool board_index_ok(int index) { return index >= 0 && size_t(index) < kBoardRegCount; }
bool chip_index_ok(int index) { return index >= 0 && size_t(index) < kChipRegCount; }

// Chip operations: board, chip, row, pointer, and for writes the access
// flag, in that order, all before any traffic. 0 or the failing code.
int check_chip_call(int board, int chip, int index, bool pointer_ok, bool write) {
  ensure_board_known();
  if (board != 0) return ERR_BAD_BOARD_NB;
  if (chip < 0 || chip >= num_sx1301_chips || chip >= kMaxChips) return ERR_BAD_CHIP_NB;
  if (!chip_index_ok(index) || !pointer_ok) return ERR_UNSPECIFIED;
  if (write && kChipRegs[size_t(index)].read_only) return ERR_UNSPECIFIED;
  return 0;
}

int check_board_call(int board, int index, bool pointer_ok, bool write) {
  ensure_board_known();
  if (board != 0) return ERR_BAD_BOARD_NB;
  if (!board_index_ok(index) || !pointer_ok) return ERR_UNSPECIFIED;
  if (write && kBoardRegs[size_t(index)].read_only) return ERR_UNSPECIFIED;
  return 0;
}

// The board reads say which check failed; the burst read words the row
// check its own way.
int check_logged_board_read(int board, int index, bool pointer_ok, bool burst) {
  ensure_board_known();
  if (board != 0) {
    log_line("BrvDBG: E R R O R - Bad Board");
    return ERR_BAD_BOARD_NB;
  }
  if (!board_index_ok(index)) {
    if (burst) log_line("BrvDBG: E R R O R - idx not good");
    else log_line("BrvDBG: E R R O R - wrong IDX (%d)", index);
    return ERR_UNSPECIFIED;
  }
  if (!pointer_ok) {
    log_line("BrvDBG: E R R O R - NULL pointer");
    return ERR_UNSPECIFIED;
  }
  return 0;
}

}  // namespace

extern "C" {

int crx_reg_setup(int board) {
  ensure_board_known();
  if (board != 0) {
    log_line("BrvDBG: E R R O R in %s - wrong board", __func__);
    return fail(ERR_BAD_BOARD_NB);
  }
  if (crx::is_wren_board(board_type)) return ostra_wren_reg_setup();
  if (fpga_port_fd() >= 0) {
    log_line("BrvDBG: WARNING in %s - SPI already initialized. spi_fd = %d", __func__, fpga_port_fd());
    return 0;
  }
  int fd = -1;
  if (crx::spi_linuxdev_open(crx::paths::kFpgaPort, crx::kSpiSpeedDefault, &fd) < 0) {
    // This failure has no code of its own: crx_errno is left as it was.
    log_line("BRV_HAL: ERROR!!! Failed to open the FEFPGA device.");
    return -1;
  }
  set_fpga_port_fd(fd);
  return 0;
}

int crx_reg_close(void) {
  ensure_board_known();
  if (crx::is_wren_board(board_type)) return ostra_wren_close_spi();
  if (fpga_port_fd() >= 0) {
    crx::spi_linuxdev_close(fpga_port_fd());
    set_fpga_port_fd(-1);
  }
  return 0;
}

bool crx_reg_isSpiInitialized(void) { return fpga_port_fd() >= 0; }

int crx_reg_reset(int board) {
  ensure_board_known();
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (!crx::is_wren_board(board_type)) {
    const crx_reg_t control{-1, kFpgaControlAddress, 0, false, 8, false, 0};
    if (bus_write(kFpgaSelf, control, &kFpgaSoftReset, 1) < 0) return fail(ERR_SPI_WRITE);
    return 0;
  }
  int result = 0;
  for (int chip = 0; chip < num_sx1301_chips && chip < kMaxChips; ++chip) {
    if (write_field(chip, kChipRegs[CHIP_SOFT_RESET], 1) < 0) result = -1;
    // The reset puts the chip back on page 0 behind the cache's back.
    forget_page();
  }
  return result;
}

int crx_reg_init(int board) {
  ensure_board_known();
  if (board != 0) {
    log_line("BrvDBG: E R R O R in %s - wrong board #", __func__);
    return fail(ERR_BAD_BOARD_NB);
  }
  if (crx_reg_reset(board) + crx_reg_reset(board) < 0) return -1;

  const bool large = !crx::is_wren_board(board_type);
  if (large) {
    int32_t version = 0;
    if (read_field(kFpgaSelf, kBoardRegs[BRD_FPGA_VERSION], &version) < 0) {
      log_line("BrvDBG: E R R O R in %s - can't read FPGA version brd %d", __func__, board);
      return -1;
    }
    if (version == 0) {
      log_line("BrvDBG: E R R O R in %s - FPGA version = 0", __func__);
      return fail(ERR_FPGA_VERSION_ZERO);
    }
    if (version != kExpectedFpgaVersion) log_line("FPGA version = %i", version);
    log_line("BrvDBG: %s - FPGA version %i", __func__, version);
  }

  for (int chip = 0; chip < num_sx1301_chips && chip < kMaxChips; ++chip) {
    log_line("BrvDBG: initializing sx1301 instance: %d of %d", chip, num_sx1301_chips);
    int32_t version = 0;
    if (read_field(chip, kChipRegs[CHIP_VERSION], &version) < 0) {
      log_line("BrvDBG: %s E R R O R - chip = %zu SX1301 version %u should be %i", __func__, size_t(chip),
               unsigned(version), kExpectedChipVersion);
      return -1;
    }
    if (version != kExpectedChipVersion) {
      log_line("SX1301 #%zu version = %i", size_t(chip), version);
      return fail(version == 0 ? ERR_CHIP_VERSION_ZERO : ERR_CHIP_VERSION);
    }
    int32_t id = 0;
    if (read_field(chip, kChipRegs[CHIP_ID], &id) < 0) {
      log_line("BrvDBG: %s - E R R O R chip = %zu SX1301 ID %u should be %i", __func__, size_t(chip),
               unsigned(id), kExpectedChipId);
      return -1;
    }
    if (id != kExpectedChipId) {
      log_line("SX1301 #%zu chip ID = %i", size_t(chip), id);
      return fail(ERR_CHIP_ID);
    }
    if (write_field(chip, kChipRegs[CHIP_INIT_CLEAR], 0) < 0) return -1;
  }

  if (large && write_field(kFpgaSelf, kBoardRegs[BRD_SPIBDG_START], 0) < 0) return -1;
  return 0;
}

int crx_reg_brd_r(int board, int index, int32_t* value) {
  if (const int code = check_logged_board_read(board, index, value != nullptr, false)) return fail(code);
  return read_field(kFpgaSelf, kBoardRegs[size_t(index)], value);
}

int crx_reg_brd_w(int board, int index, int32_t value) {
  if (const int code = check_board_call(board, index, true, true)) return fail(code);
  return write_field(kFpgaSelf, kBoardRegs[size_t(index)], value);
}

int crx_reg_brd_rb(int board, int index, uint8_t* data, uint32_t length) {
  if (const int code = check_logged_board_read(board, index, data != nullptr, true)) return fail(code);
  if (read_burst(kFpgaSelf, kBoardRegs[size_t(index)], data, length) < 0) {
    if (crx::get_errno() == ERR_SPI_READ) log_line("BrvDBG: %s E R R O R register read failed", __func__);
    return -1;
  }
  return 0;
}

int crx_reg_brd_wb(int board, int index, const uint8_t* data, uint32_t length) {
  if (const int code = check_board_call(board, index, data != nullptr, true)) return fail(code);
  return write_burst(kFpgaSelf, kBoardRegs[size_t(index)], data, length);
}

int crx_reg_chip_r(int board, int chip, int index, int32_t* value) {
  if (const int code = check_chip_call(board, chip, index, value != nullptr, false)) return fail(code);
  return read_field(chip, kChipRegs[size_t(index)], value);
}

int crx_reg_chip_w(int board, int chip, int index, int32_t value) {
  if (const int code = check_chip_call(board, chip, index, true, true)) return fail(code);
  return write_field(chip, kChipRegs[size_t(index)], value);
}

int crx_reg_chip_rb(int board, int chip, int index, uint8_t* data, uint32_t length) {
  if (const int code = check_chip_call(board, chip, index, data != nullptr, false)) return fail(code);
  return read_burst(chip, kChipRegs[size_t(index)], data, length);
}

int crx_reg_chip_wb(int board, int chip, int index, const uint8_t* data, uint32_t length) {
  if (const int code = check_chip_call(board, chip, index, data != nullptr, true)) return fail(code);
  return write_burst(chip, kChipRegs[size_t(index)], data, length);
}

}  // extern "C"

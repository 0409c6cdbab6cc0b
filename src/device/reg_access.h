// Register access inside the library: table rows in, bytes on the right
// port out. The exported crx_reg_* calls check their arguments and hand
// over to the field and burst layer below, which sits on the transport.
//
// Transport. On the large boards every register travels as one positioned
// read or write on the FPGA port, whose offset word carries target and page,
// so no page state lives here and no lock is taken. On the Wren boards the
// one SX1301 sits directly on spidev with a page register at address 0: the
// page selection and the transfer after it are one critical section under
// the register mutex, and the page last selected is cached so that a run
// of accesses to one page writes the page register once.
#pragma once

#include <cstdint>

#include "board.h"
#include "crx.h"
#include "device/spi.h"

namespace crx::regs {

// Board identification on the first call; afterwards one comparison, kept
// inline because every register access starts with it.
inline void ensure_board_known() {
  if (board_type == CRX_BOARD_UNKNOWN) identify_board();
}

// "Chip" number of the FPGA itself (FPGA port target 8).
inline constexpr int kFpgaSelf = -1;
// Page cache value meaning "no page selected" (also page -1 as a byte).
inline constexpr uint8_t kNoPage = 0xFF;

// ---- transport (reg_transport.cpp) ----

// The FPGA port's descriptor, -1 while closed.
int fpga_port_fd();
void set_fpga_port_fd(int fd);

// The Wren SX1301's transfers, page selection included.
int wren_bus_read(const crx_reg_t& row, uint8_t* data, uint32_t length);
int wren_bus_write(const crx_reg_t& row, const uint8_t* data, uint32_t length);
// FPGA-port transfers of a target (0-7 a chip, 8 the FPGA).
int fpga_bus_read(uint8_t target, const crx_reg_t& row, uint8_t* data, uint32_t length);
int fpga_bus_write(uint8_t target, const crx_reg_t& row, const uint8_t* data, uint32_t length);

// Raw bytes of a row at its address and page, on the board's transport.
// 0 or -1; crx_errno is left to the caller. A transfer of exactly 3 bytes
// goes as three 1-byte transfers at the same address, in buffer order.
inline int bus_read(int chip, const crx_reg_t& row, uint8_t* data, uint32_t length) {
  if (chip == kFpgaSelf) return fpga_bus_read(kFpgaTarget, row, data, length);
  if (is_wren_board(board_type)) return wren_bus_read(row, data, length);
  return fpga_bus_read(uint8_t(chip), row, data, length);
}
inline int bus_write(int chip, const crx_reg_t& row, const uint8_t* data, uint32_t length) {
  if (chip == kFpgaSelf) return fpga_bus_write(kFpgaTarget, row, data, length);
  if (is_wren_board(board_type)) return wren_bus_write(row, data, length);
  return fpga_bus_write(uint8_t(chip), row, data, length);
}

// Forgets the Wren page selection, so the next paged access selects again.
void forget_page();
uint8_t cached_page();

// ---- fields and bursts (reg_access.cpp) ----
// Rows come from the library's tables; these set crx_errno on failure
// (69 for a field shape the layer cannot move, 1 for a failed read, 2 for a
// failed write, 69 for FPGA registers on a Wren board).

int read_field(int chip, const crx_reg_t& row, int32_t* value);
int write_field(int chip, const crx_reg_t& row, int32_t value);
int read_burst(int chip, const crx_reg_t& row, uint8_t* data, uint32_t length);
int write_burst(int chip, const crx_reg_t& row, const uint8_t* data, uint32_t length);

// A field of `width` bits at `offset` inside one byte.
inline uint8_t field_mask(uint8_t offset, uint8_t width) {
  return uint8_t(((1u << width) - 1u) << offset);
}
inline int32_t extract_field(uint8_t byte, uint8_t offset, uint8_t width, bool is_signed) {
  const uint32_t raw = (uint32_t{byte} >> offset) & ((1u << width) - 1u);
  if (!is_signed) return int32_t(raw);
  const uint32_t sign = 1u << (width - 1);
  return int32_t(raw ^ sign) - int32_t(sign);
}
inline uint8_t merge_field(uint8_t old, int32_t value, uint8_t offset, uint8_t width) {
  const uint8_t mask = field_mask(offset, width);
  return uint8_t(((uint32_t(value) << offset) & mask) | (old & ~mask));
}

}  // namespace crx::regs

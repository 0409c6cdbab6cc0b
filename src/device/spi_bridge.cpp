// The FPGA's SPI bridge to the AD9361: one transaction at a time through
// the transmit and receive buffers, and the transceiver's registers as
// table fields and as the byte hooks of its driver.
#include <cstring>

#include "board.h"
#include "device/reg_access.h"
#include "device/reg_tables.h"
#include "errors.h"
#include "log.h"

namespace {

using namespace crx::regs;
using crx::fail;

// Start reads after which the bridge is given up on.
constexpr int kBusyReads = 50;
constexpr uint8_t kWriteCommand = 0x80;
// The transceiver decodes 10 address bits.
constexpr uint32_t kAd9361LastAddress = 0x3FF;

int bridge(const uint8_t* tx, uint32_t tx_count, uint8_t* rx, uint32_t rx_count) {
  // Each count on its own first, so that their sum cannot wrap.
  if (tx_count > CRX_SPIBDG_MAX || rx_count > CRX_SPIBDG_MAX || tx_count + rx_count > CRX_SPIBDG_MAX)
    return fail(ERR_UNSPECIFIED);
  if ((tx_count && !tx) || (rx_count && !rx)) return fail(ERR_UNSPECIFIED);

  // The zeros after the command clock the answer in.
  const uint32_t total = tx_count + rx_count;
  uint8_t buffer[CRX_SPIBDG_MAX] = {};
  if (tx_count) std::memcpy(buffer, tx, tx_count);
  if (write_burst(kFpgaSelf, kBoardRegs[BRD_SPIBDG_TX], buffer, total) < 0) return -1;

  const crx_reg_t& start = kBoardRegs[BRD_SPIBDG_START];
  if (write_field(kFpgaSelf, start, 1) < 0) return -1;
  int32_t busy = 1;
  for (int reads = 0; reads < kBusyReads && busy; ++reads)
    if (read_field(kFpgaSelf, start, &busy) < 0) return -1;
  if (busy) {
    crx::log_line("BrvDBG: E R R O R - SPI bridge still busy after %d reads", kBusyReads);
    return fail(ERR_UNSPECIFIED);
  }
  if (write_field(kFpgaSelf, start, 0) < 0) return -1;

  if (!rx_count) return 0;
  if (read_burst(kFpgaSelf, kBoardRegs[BRD_SPIBDG_RX], buffer, total) < 0) return -1;
  std::memcpy(rx, buffer + tx_count, rx_count);
  return 0;
}

int ad9361_read_byte(uint16_t address, uint8_t* byte) {
  const uint8_t command[2] = {uint8_t((address >> 8) & 0x03), uint8_t(address)};
  return bridge(command, 2, byte, 1);
}

int ad9361_write_byte(uint16_t address, uint8_t byte) {
  const uint8_t command[3] = {uint8_t(kWriteCommand | ((address >> 8) & 0x03)), uint8_t(address), byte};
  return bridge(command, 3, nullptr, 0);
}

// A field the bridge can reach: a table row inside one byte. The all-zero
// last row is one too, of no bits at register 0x000: it reads 0 and writes
// the byte back as it was.
const Ad9361Field* ad9361_field(int index) {
  if (index < 0 || size_t(index) >= kAd9361FieldCount) return nullptr;
  const Ad9361Field& f = kAd9361Fields[size_t(index)];
  if (f.offset + f.width > 8) return nullptr;
  return &f;
}

// The driver's register runs count downwards from `address`.
bool run_fits(uint16_t address, const void* data, uint32_t count) {
  return count && data && address <= kAd9361LastAddress && count <= uint32_t(address) + 1;
}

}  // namespace

extern "C" {

int crx_spibdg_w_r(int board, const uint8_t* tx, uint32_t tx_count, uint8_t* rx, uint32_t rx_count) {
  ensure_board_known();
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  return bridge(tx, tx_count, rx, rx_count);
}

int crx_ad9361_r(int board, int index, uint8_t* value) {
  ensure_board_known();
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  const Ad9361Field* field = ad9361_field(index);
  if (!field || !value) return fail(ERR_UNSPECIFIED);
  uint8_t byte = 0;
  if (ad9361_read_byte(field->address, &byte) < 0) return -1;
  *value = uint8_t(extract_field(byte, field->offset, field->width, false));
  return 0;
}

int crx_ad9361_w(int board, int index, uint8_t value) {
  ensure_board_known();
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  const Ad9361Field* field = ad9361_field(index);
  if (!field) return fail(ERR_UNSPECIFIED);
  uint8_t byte = 0;
  if (ad9361_read_byte(field->address, &byte) < 0) return -1;
  return ad9361_write_byte(field->address, merge_field(byte, value, field->offset, field->width));
}

// A failing transaction ends the run: the registers after it would
// otherwise be written or read as if the run had worked.
int platform_spi_write(void* device, uint16_t address, const uint8_t* data, uint32_t count) {
  ensure_board_known();
  if (!run_fits(address, data, count)) return fail(ERR_UNSPECIFIED);
  for (uint32_t i = 0; i < count; ++i)
    if (ad9361_write_byte(uint16_t(address - i), data[i]) < 0) return -1;
  return 0;
}

int platform_spi_read(void* device, uint16_t address, uint8_t* data, uint32_t count) {
  ensure_board_known();
  if (!run_fits(address, data, count)) return fail(ERR_UNSPECIFIED);
  for (uint32_t i = 0; i < count; ++i)
    if (ad9361_read_byte(uint16_t(address - i), data + i) < 0) return -1;
  return 0;
}

}  // extern "C"

// Each transaction is a chip-select pulse on the radio's SPI master:
// address (bit 7 set for a write) and data are set while the select is low,
// and the radio answers into the read-data register on the pulse.
#include "radio/sx125x.h"

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"

namespace crx::radio {

namespace {

// Chip register rows of the SX1301's radio SPI master, per RF chain.
struct MasterRows {
  int cs;
  int address;
  int write_data;
  int read_data;
};
constexpr MasterRows kRows[kRfChains] = {
    {252, 251, 249, 250},  // radio A
    {256, 255, 253, 254},  // radio B
};

constexpr uint8_t kMaxAddress = 127;  // addresses below this one
constexpr uint8_t kWriteBit = 0x80;

// Radio registers and the values the bring-up gives them.
constexpr uint8_t kRegMode = 0x00;
constexpr uint8_t kRegFreqInt = 0x01;
constexpr uint8_t kRegFreqFracHigh = 0x02;
constexpr uint8_t kRegFreqFracLow = 0x03;
constexpr uint8_t kRegVersion = 0x07;
constexpr uint8_t kRegClockOut = 0x10;
constexpr uint8_t kRegStatus = 0x11;
constexpr uint8_t kRegXoscSx1257 = 0x26;
constexpr uint8_t kRegXoscSx1255 = 0x28;
constexpr uint8_t kXoscTrim = 0x2D;
constexpr uint8_t kModeStandby = 0x01;
constexpr uint8_t kModeRx = 0x03;  // standby with the receive PLL on
constexpr uint8_t kPllRxLocked = 0x02;
constexpr int kPllAttempts = 5;

// Receive gains and filter trims, register by register.
constexpr uint8_t kGains[][2] = {{0x08, 0x2E}, {0x0A, 0x20}, {0x0B, 0x05},
                                 {0x0C, 0x38}, {0x0D, 0xF8}, {0x0E, 0x00}};

constexpr const char* kSetup = "setup_sx125x";

// Each register transfer of a transaction, stopping at the first failure:
// a half-done transaction must not pass for a finished one.
int transact(uint8_t board, uint8_t chip, const MasterRows& rows, uint8_t address, uint8_t data) {
  if (crx_reg_chip_w(board, chip, rows.cs, 0) < 0) return -1;
  if (crx_reg_chip_w(board, chip, rows.address, address) < 0) return -1;
  if (crx_reg_chip_w(board, chip, rows.write_data, data) < 0) return -1;
  if (crx_reg_chip_w(board, chip, rows.cs, 1) < 0) return -1;
  return crx_reg_chip_w(board, chip, rows.cs, 0);
}

bool chain_ok(uint8_t rf_chain, uint8_t address, const char* who) {
  if (rf_chain >= kRfChains) {
    log_line("BrvDBG-HAL %s E R R O R - INVALID RF_CHAIN.", who);
    return false;
  }
  if (address >= kMaxAddress) {
    log_line("BrvDBG-HAL %s E R R O R - ADDRESS OUT OF RANGE.", who);
    return false;
  }
  return true;
}

void log_unexpected_type(uint32_t type) {
  log_line("BrvDBG-HAL %s E R R O R - UNEXPECTED VALUE %d FOR RADIO TYPE.", kSetup, int(type));
}

}  // namespace

bool sx125x_pll_word(uint32_t type, uint32_t f, Sx125xPllWord* out) {
  if (type == kSx1255) {
    *out = {f / 2000000, ((f % 2000000) << 9) / 15625};
    return true;
  }
  if (type == kSx1257) {
    *out = {f / 4000000, ((f % 4000000) << 8) / 15625};
    return true;
  }
  *out = {0, 0};
  return false;
}

}  // namespace crx::radio

using namespace crx;
using namespace crx::radio;

extern "C" {

int sx125x_write(uint8_t board, uint8_t chip, uint8_t rf_chain, uint8_t address, uint8_t value) {
  if (!chain_ok(rf_chain, address, __func__)) return fail(ERR_UNSPECIFIED);
  return transact(board, chip, kRows[rf_chain], uint8_t(address | kWriteBit), value);
}

int sx125x_read(uint8_t board, uint8_t chip, uint8_t rf_chain, uint8_t address, uint8_t* value) {
  if (!chain_ok(rf_chain, address, __func__)) return fail(ERR_UNSPECIFIED);
  if (!value) return fail(ERR_NULL_PTR);
  const MasterRows& rows = kRows[rf_chain];
  if (transact(board, chip, rows, address, 0) < 0) return -1;
  int32_t data = 0;
  if (crx_reg_chip_r(board, chip, rows.read_data, &data) < 0) return -1;
  *value = uint8_t(data);
  return 0;
}

int setup_sx125x(uint8_t board, uint8_t chip, uint8_t rf_chain, uint32_t freq_hz, sx125x_radio_t radio) {
  if (rf_chain >= kRfChains) {
    log_line("BrvDBG-HAL %s E R R O R - INVALID RF_CHAIN.", kSetup);
    return fail(ERR_UNSPECIFIED);
  }
  auto cannot_read = [&] {
    log_line("BrvDBG-HAL %s E R R O R - CAN NOT READ FROM SX125X: board #%d, chip #%d, rf chain #%d.", kSetup,
             board, chip, rf_chain);
    return fail(ERR_UNSPECIFIED);
  };
  auto cannot_write = [&] {
    log_line("BrvDBG-HAL %s E R R O R - CAN NOT WRITE TO SX125X: board #%d, chip #%d, rf chain #%d.", kSetup,
             board, chip, rf_chain);
    return fail(ERR_UNSPECIFIED);
  };
  auto write = [&](uint8_t address, uint8_t value) {
    return sx125x_write(board, chip, rf_chain, address, value) == 0;
  };

  uint8_t version = 0;
  if (sx125x_read(board, chip, rf_chain, kRegVersion, &version) != 0) return cannot_read();

  if (radio.clk_src) {
    if (!write(kRegClockOut, 3)) return cannot_write();
    log_line("BrvDBG: %s NOTE: SX125x #%d clock output enabled", kSetup, rf_chain);
  } else {
    if (!write(kRegClockOut, 1)) return cannot_write();
    log_line("BrvDBG: %s NOTE: SX125x #%d clock output disabled", kSetup, rf_chain);
  }

  if (radio.type == kSx1255) {
    if (!write(kRegXoscSx1255, kXoscTrim)) return cannot_write();
  } else if (radio.type == kSx1257) {
    if (!write(kRegXoscSx1257, kXoscTrim)) return cannot_write();
  } else {
    log_unexpected_type(radio.type);
  }

  if (!radio.enabled) {
    log_line("BrvDBG: %s Note: SX125x #%d kept in standby mode", kSetup, rf_chain);
    return 0;
  }

  for (const auto& [address, value] : kGains)
    if (!write(address, value)) return cannot_write();

  Sx125xPllWord word{};
  if (!sx125x_pll_word(radio.type, freq_hz, &word)) log_unexpected_type(radio.type);
  if (!write(kRegFreqInt, uint8_t(word.integer)) || !write(kRegFreqFracHigh, uint8_t(word.fraction >> 8)) ||
      !write(kRegFreqFracLow, uint8_t(word.fraction & 0xFF)))
    return cannot_write();

  for (int attempt = 1; attempt <= kPllAttempts; ++attempt) {
    if (!write(kRegMode, kModeStandby) || !write(kRegMode, kModeRx)) return cannot_write();
    log_line("BrvDBG: %s Note: SX125x #%d PLL start (attempt %d)", kSetup, rf_chain, attempt);
    crx_wait_ms(1);
    uint8_t status = 0;
    if (sx125x_read(board, chip, rf_chain, kRegStatus, &status) != 0) return cannot_read();
    if (status & kPllRxLocked) return 0;
  }
  log_line("BrvDBG-HAL %s E R R O R - FAILED TO LOCK PLL.", kSetup);
  return fail(ERR_UNSPECIFIED);
}

}  // extern "C"

// The timing sync block: part of the FPGA on the mid-size boards, a device
// of its own on SPI port "/dev/spidev32766.5" on the others. Reports
// whether the board clock follows the GPS pulse, keeps fault 65 in step,
// and sets how long the block holds time without the pulse.
#include "board.h"
#include "device/paths.h"
#include "device/spi.h"
#include "errors.h"
#include "gps/sync_block.h"
#include "log.h"

namespace crx::gps {
namespace {

// FPGA board rows of the block.
constexpr int kRowState = 308;
constexpr int kRowHoldover = 309;
constexpr int kRowHoldoverVersion = 310;
constexpr int kRowFlags = 332;
// Registers of the SPI device (two bytes each, most significant first).
constexpr uint8_t kSpiState = 6;
constexpr uint8_t kSpiHoldover = 8;
constexpr uint8_t kSpiHoldoverVersion = 10;
constexpr uint8_t kSpiFlags = 54;

bool fpga_variant_status(uint32_t type) {
  return (type >= CRX_BOARD_HERON_FDD && type <= CRX_BOARD_HERON_CALDER) || type == CRX_BOARD_TAMAR;
}

int apply(SyncDecision d) {
  if (d.fault == SyncDecision::kRaise) raise_fault_alarms(ERR_NOT_SYNCED);
  if (d.fault == SyncDecision::kClear) clear_fault_alarms(ERR_NOT_SYNCED);
  return d.status;
}

void log_read_failed(const char* fn, int reg) {
  log_line("BrvDBG-HAL %s E R R O R - SYNC BLOCK reg read failed reg %d", fn, reg);
}

int open_device(const char* fn, int* fd) {
  if (spi_linuxdev_open(paths::kSyncBlockPort, kSpiSpeed1MHz, fd) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - open SPI SYNC BLOCK", fn);
  raise_fault_alarms(ERR_SPI_OPEN);
  return fail(ERR_SPI_OPEN);
}

int read_heron_sync_block_status() {
  static constexpr char fn[] = "read_heron_sync_block_status";
  int32_t flags = 0, state = 0;
  if (crx_reg_brd_r(0, kRowFlags, &flags) < 0) {
    log_read_failed(fn, kRowFlags);
    return 0;
  }
  if (crx_reg_brd_r(0, kRowState, &state) < 0) {
    log_read_failed(fn, kRowState);
    return 0;
  }
  return apply(decide_sync(uint32_t(state), uint32_t(flags)));
}

int read_condor_sync_block_status() {
  static constexpr char fn[] = "read_condor_sync_block_status";
  int fd = -1;
  if (open_device(fn, &fd) < 0) return -1;
  uint8_t flags[2] = {}, state[2] = {};
  if (spi_iodev_read(fd, kSpiFlags, flags, 2, nullptr) < 0) {
    log_read_failed(fn, kSpiFlags);
    spi_linuxdev_close(fd);
    return 0;
  }
  if (spi_iodev_read(fd, kSpiState, state, 2, nullptr) < 0) {
    log_read_failed(fn, kSpiState);
    spi_linuxdev_close(fd);
    return 0;
  }
  const int status = apply(decide_sync(state[1], flags[1]));
  spi_linuxdev_close(fd);
  return status;
}

int set_heron_holdover_time(uint16_t seconds) {
  static constexpr char fn[] = "set_heron_holdover_time";
  if (crx_reg_setup(0) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to setup reg %d", fn, 0);
    return -1;
  }
  int32_t version = 0;
  if (crx_reg_brd_r(0, kRowHoldoverVersion, &version) < 0) {
    log_read_failed(fn, kRowHoldoverVersion);
    return -1;
  }
  const uint16_t value = holdover_value(seconds, uint32_t(version));
  log_line("BrvDBG-HAL %s set holdover time to 0x%x", fn, value);
  if (crx_reg_brd_w(0, kRowHoldover, value) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - SYNC BLOCK reg write failed reg %d", fn, kRowHoldover);
    return -1;
  }
  return 0;
}

int set_condor_holdover_time(uint16_t seconds) {
  static constexpr char fn[] = "set_condor_holdover_time";
  int fd = -1;
  if (open_device(fn, &fd) < 0) return -1;
  uint8_t version[2] = {};
  if (spi_iodev_read(fd, kSpiHoldoverVersion, version, 2, nullptr) < 0) {
    log_read_failed(fn, kSpiHoldoverVersion);
    spi_linuxdev_close(fd);
    return -1;
  }
  const uint16_t value = holdover_value(seconds, uint32_t(version[0] << 8 | version[1]));
  const uint8_t bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
  log_line("BrvDBG-HAL %s set holdover time to %ds(0x%x 0x%x)", fn, seconds, bytes[0], bytes[1]);
  if (spi_iodev_write(fd, kSpiHoldover, bytes, 2, nullptr) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - SYNC BLOCK reg write failed reg %d", fn, kSpiHoldover);
    spi_linuxdev_close(fd);
    return -1;
  }
  spi_linuxdev_close(fd);
  return 0;
}

}  // namespace

SyncDecision decide_sync(uint32_t state, uint32_t flags) {
  if (state == 0xE6) return {0, SyncDecision::kRaise};
  if (flags & 0x40) return {0, SyncDecision::kRaise};
  if (!(flags & 0x08)) return {1, SyncDecision::kClear};
  return {state == 0xA4 ? 1 : 0, SyncDecision::kNone};
}

uint16_t holdover_value(uint16_t seconds, uint32_t version) {
  return version >= 12 ? seconds : static_cast<uint16_t>(seconds >> 6);
}

}  // namespace crx::gps

extern "C" {

int read_sync_block_status(void) {
  crx::identify_board();
  if (board_type == CRX_BOARD_HERON_RAIL || board_type == CRX_BOARD_WREN_TDD) return 0;
  if (crx::gps::fpga_variant_status(board_type)) return crx::gps::read_heron_sync_block_status();
  return crx::gps::read_condor_sync_block_status();
}

int crx_get_sync_block_status(uint32_t* synced) {
  if (!synced) return -1;
  *synced = read_sync_block_status() == 1 ? 1 : 0;
  return 0;
}

int set_gps_holdover_time(uint16_t seconds) {
  crx::identify_board();
  if (board_type == CRX_BOARD_WREN_TDD) return -1;
  if (board_type >= CRX_BOARD_HERON_FDD && board_type <= CRX_BOARD_HERON_CALDER)
    return crx::gps::set_heron_holdover_time(seconds);
  return crx::gps::set_condor_holdover_time(seconds);
}

}  // extern "C"

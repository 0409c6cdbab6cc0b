// Every register access is one critical section under "/sx127x_in_use",
// which other processes on the gateway (sidemon, a spectral scan) take as
// well; a multi-register sequence such as the set-up is not atomic.
#include "radio/sx127x.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "crx.h"
#include "device/paths.h"
#include "device/spi.h"
#include "errors.h"
#include "log.h"
#include "platform/named_sem.h"
#include "platform/os.h"

const sx127x_fsk_bw_t sx127x_FskBandwidths[SX127X_FSK_BW_COUNT] = {
    {2600, 2, 7},   {3100, 1, 7},   {3900, 0, 7},   {5200, 2, 6},   {6300, 1, 6},   {7800, 0, 6},
    {10400, 2, 5},  {12500, 1, 5},  {15600, 0, 5},  {20800, 2, 4},  {25000, 1, 4},  {31300, 0, 4},
    {41700, 2, 3},  {50000, 1, 3},  {62500, 0, 3},  {83333, 2, 2},  {100000, 1, 2}, {125000, 0, 2},
    {166700, 2, 1}, {200000, 1, 1}, {250000, 0, 1},
};

namespace crx::radio {

namespace {

constexpr const char* kGuardName = "/sx127x_in_use";
constexpr mode_t kGuardMode = 0777;  // every process on the gateway may take it

// The guard's handle in this process. Accesses and holds use it under a
// shared lock of g_guard_mutex, so sx127x_deinit (which takes it
// exclusively) cannot close the semaphore under one; they wait on the
// semaphore itself side by side, so a holder's release never queues behind
// another thread's wait. g_guard and g_generation are written under the
// exclusive lock.
std::shared_mutex g_guard_mutex;
sem_t* g_guard = nullptr;
uint64_t g_generation = 0;  // counts closes, so a hold never posts a newer handle
// The thread that holds the guard across a sequence (hold_guard), or none,
// and the handle's generation it took. Its own accesses go through without
// waiting on the guard again.
std::atomic<std::thread::id> g_holder{};
std::atomic<uint64_t> g_holder_generation{0};

// A process killed while holding the guard must not stop every other one
// for good: a wait gives up after this long and the access fails.
constexpr struct timespec kGuardTimeout = {5, 0};

// The direct accessors' own port; g_direct_mutex guards the descriptor.
std::mutex g_direct_mutex;
int g_direct_fd = -1;

constexpr uint8_t kRegOpMode = 0x01;
constexpr uint8_t kRegFrfMsb = 0x06;
constexpr uint8_t kRegFrfMid = 0x07;
constexpr uint8_t kRegFrfLsb = 0x08;
constexpr uint8_t kRegRxBw = 0x12;
constexpr uint8_t kRegIrqFlags1 = 0x3E;
constexpr uint8_t kRegVersion = 0x42;
constexpr uint8_t kModeSleep = 0x00;
constexpr uint8_t kModeStandby = 0x01;  // FSK, standby
constexpr uint8_t kModeRxContinuous = 0x05;
constexpr uint8_t kModeReadyRxReady = 0xC0;  // IRQ flags 1: ModeReady and RxReady
constexpr uint8_t kPllHop = 0x80;
constexpr uint32_t kMaxBwIndex = SX127X_FSK_BW_COUNT - 1;

// What differs between the two chips.
struct ChipMap {
  int32_t type;
  uint8_t version;  // RegVersion
  const char* name;
  uint8_t pll_hop;  // RegPllHop
  uint8_t agc_ref[2][2];
  uint8_t tail[2][2];  // written after the common receive settings
};
constexpr ChipMap kChips[] = {
    {kSx1272, 0x22, "SX1272", 0x4B, {{0x68, 0x07}, {0x69, 0x60}}, {{0x5C, 0x10}, {0x47, 0x01}}},
    {kSx1276, 0x12, "SX1276", 0x44, {{0x57, 0x07}, {0x58, 0x60}}, {{0x70, 0x10}, {0x43, 0x01}}},
};
const ChipMap& chip_map(int32_t type) { return type == kSx1272 ? kChips[0] : kChips[1]; }

// Opens the guard on first use; called with g_guard_mutex held exclusively.
bool open_guard(const char* who) {
  if (g_guard) return true;
  sem_t* sem = os::sem_open_shared(kGuardName, kGuardMode, 1);
  if (sem == SEM_FAILED) {
    log_line("BrvDBG-HAL: %s failed to open sx127x sema: %s", who, std::strerror(errno));
    return false;
  }
  g_guard = sem;
  return true;
}

// Takes `lock` (shared) with the guard open; false when it cannot be
// opened.
bool lock_open_guard(std::shared_lock<std::shared_mutex>& lock, const char* who) {
  lock.lock();
  while (!g_guard) {
    lock.unlock();
    {
      std::unique_lock exclusive(g_guard_mutex);
      if (!open_guard(who)) return false;
    }
    lock.lock();
  }
  return true;
}

// Checks the record, then runs `access` with the guard held. `code` is the
// error code of a refused or failed access.
template <typename Access>
int guarded(const char* who, bool hook_set, int code, Access access) {
  if (!sx127x_cfg.spi_fd || *sx127x_cfg.spi_fd < 0) {
    log_line("BrvDBG-HAL %s E R R O R - Invalid File Descriptor.", who);
    return fail(code);
  }
  if (!hook_set) {
    log_line("BrvDBG-HAL %s E R R O R - Null function pointer.", who);
    return fail(code);
  }
  if (g_holder.load() == std::this_thread::get_id()) {
    const int result = access(*sx127x_cfg.spi_fd);
    return result < 0 ? fail(code) : result;
  }
  std::shared_lock lock(g_guard_mutex, std::defer_lock);
  if (!lock_open_guard(lock, who)) return fail(ERR_UNSPECIFIED);
  if (os::sem_timedwait(g_guard, kGuardTimeout) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - sx127x sema still taken, giving up.", who);
    return fail(code);
  }
  const int result = access(*sx127x_cfg.spi_fd);
  os::sem_post(g_guard);
  return result < 0 ? fail(code) : result;
}

bool bw_index_ok(uint32_t index, const char* who) {
  if (index <= kMaxBwIndex) return true;
  log_line("BrvDBG-HAL %s E R R O R - RX bandwidth not supported by SX127x.", who);
  return false;
}

int setup_fsk(const ChipMap& chip, const char* who, uint32_t f, uint32_t bw, int8_t offset) {
  if (!bw_index_ok(bw, who)) return fail(ERR_UNSPECIFIED);
  // Every write of the sequence goes out; one check at the end.
  bool ok = true;
  auto w = [&ok](uint8_t address, uint8_t value) { ok = sx127x_reg_w(address, value) == 0 && ok; };
  w(kRegOpMode, kModeSleep);
  crx_wait_ms(100);
  w(kRegOpMode, kModeSleep);
  crx_wait_ms(100);
  w(kRegOpMode, kModeStandby);
  crx_wait_ms(100);
  w(chip.pll_hop, kPllHop);
  const uint32_t frf = sx127x_frf(f);
  w(kRegFrfMsb, uint8_t(frf >> 16));
  w(kRegFrfMid, uint8_t(frf >> 8));
  w(kRegFrfLsb, uint8_t(frf));
  w(0x0C, 0x23);  // LNA
  for (const auto& [address, value] : chip.agc_ref) w(address, value);
  w(0x02, 0x7D);  // bit rate
  w(0x03, 0x00);
  w(0x04, 0x02);  // frequency deviation
  w(0x05, 0xE1);
  w(0x0D, 0x00);
  w(0x0E, sx127x_rssi_config(offset));
  w(kRegRxBw, sx127x_rx_bw_reg(bw));
  w(0x23, 0x02);
  for (const auto& [address, value] : chip.tail) w(address, value);
  if (!ok) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to configure %s.", who, chip.name);
    return fail(ERR_UNSPECIFIED);
  }
  uint8_t flags = 0;
  const bool entered = sx127x_reg_w(kRegOpMode, kModeRxContinuous) == 0 &&
                       (crx_wait_ms(500), sx127x_reg_r(kRegIrqFlags1, &flags) == 0) &&
                       (flags & kModeReadyRxReady) == kModeReadyRxReady;
  if (!entered) {
    log_line("BrvDBG-HAL %s E R R O R - %s failed to enter RX continuous mode.", who, chip.name);
    return fail(ERR_UNSPECIFIED);
  }
  crx_wait_ms(500);
  if (chip.type == kSx1272) log_line("BrvDBG: %s - Successfully configured SX1272", who);
  return 0;
}

int change_fsk(const ChipMap& chip, const char* who, uint32_t f, uint32_t bw) {
  if (!bw_index_ok(bw, who)) return fail(ERR_UNSPECIFIED);
  const uint32_t frf = sx127x_frf(f);
  const bool ok = sx127x_reg_w(chip.pll_hop, kPllHop) == 0 && sx127x_reg_w(kRegFrfMsb, uint8_t(frf >> 16)) == 0 &&
                  sx127x_reg_w(kRegFrfMid, uint8_t(frf >> 8)) == 0 && sx127x_reg_w(kRegFrfLsb, uint8_t(frf)) == 0 &&
                  sx127x_reg_w(kRegRxBw, sx127x_rx_bw_reg(bw)) == 0;
  if (!ok) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to change %s RF carrier frequency.", who, chip.name);
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

// Standard output, whether or not the console log is on.
void print_out(const char* fmt, ...) CRX_PRINTF(1, 2);
void print_out(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  os::backend().console(fmt, ap);
  va_end(ap);
}

// Opens the direct accessors' port; called with g_direct_mutex held.
bool open_direct(const char* who) {
  if (g_direct_fd >= 0) return true;
  if (spi_linuxdev_open(paths::kSideRadioPort, kSpiSpeedDefault, &g_direct_fd) == 0) return true;
  g_direct_fd = -1;
  print_out("BrvDBG-HAL %s E R R O R - open SPI SYNC BLOCK\n", who);
  return false;
}

}  // namespace

int hold_guard(const char* who) {
  if (g_holder.load() == std::this_thread::get_id()) return 0;
  std::shared_lock lock(g_guard_mutex, std::defer_lock);
  if (!lock_open_guard(lock, who)) return -1;
  if (os::sem_timedwait(g_guard, kGuardTimeout) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - sx127x sema still taken, giving up.", who);
    return -2;
  }
  g_holder_generation.store(g_generation);
  g_holder.store(std::this_thread::get_id());
  return 0;
}

void release_guard() {
  if (g_holder.load() != std::this_thread::get_id()) return;
  std::shared_lock lock(g_guard_mutex);
  g_holder.store(std::thread::id{});
  // A handle closed meanwhile took the hold with it.
  if (g_guard && g_holder_generation.load() == g_generation) os::sem_post(g_guard);
}

bool guard_held() { return g_holder.load() == std::this_thread::get_id(); }

uint32_t sx127x_frf(uint32_t freq_hz) { return uint32_t((uint64_t{freq_hz} << 19) / 32000000u); }

uint8_t sx127x_rx_bw_reg(uint32_t index) {
  const sx127x_fsk_bw_t& bw = sx127x_FskBandwidths[index <= kMaxBwIndex ? index : kMaxBwIndex];
  return uint8_t(bw.exponent | bw.mantissa << 3);
}

// The offset keeps only its low 5 bits: -16 to 15 dB survive, anything
// further wraps. Units in the field are calibrated against this byte.
uint8_t sx127x_rssi_config(int8_t offset_db) {
  return uint8_t((uint32_t(int32_t(offset_db)) << 3) | 5u);
}

}  // namespace crx::radio

using namespace crx;
using namespace crx::radio;

extern "C" {

int sx127x_reg_w(uint8_t address, uint8_t value) {
  return guarded(__func__, sx127x_cfg.reg_write != nullptr, ERR_SPI_WRITE,
                 [&](int fd) { return sx127x_cfg.reg_write(fd, address, &value, 1, nullptr); });
}

int sx127x_reg_r(uint8_t address, uint8_t* value) {
  if (!value) return fail(ERR_NULL_PTR);
  uint8_t byte = 0;
  const int result = guarded(__func__, sx127x_cfg.reg_read != nullptr, ERR_SPI_READ,
                             [&](int fd) { return sx127x_cfg.reg_read(fd, address, &byte, 1, nullptr); });
  if (result == 0) *value = byte;
  return result;
}

int sx127x_setup(uint32_t freq_hz, uint8_t modulation, uint32_t rxbw_index, int8_t rssi_offset) {
  sx127x_cfg.radio_type = 0;
  if (modulation != kSx127xFsk) {
    log_line("BrvDBG-HAL %s E R R O R - modulation not supported for SX127x.", __func__);
    return fail(ERR_UNSPECIFIED);
  }
  if (rxbw_index > kMaxBwIndex) {
    log_line("BrvDBG-HAL %s E R R O R - RX bandwidth not supported by SX127x.", __func__);
    return fail(ERR_UNSPECIFIED);
  }
  sx127x_cfg.rx_bw_index = rxbw_index;
  const ChipMap* found = nullptr;
  for (const ChipMap& chip : kChips) {
    uint8_t version = 0;
    const int read = sx127x_reg_r(kRegVersion, &version);
    if (read != 0) {
      log_line("BrvDBG-HAL %s E R R O R - Failed to read sx127x version register.", __func__);
      return read;
    }
    if (version == chip.version) {
      log_line("BrvDBG: %s - sx127x radio has been found (type:%d, version:0x%02x)", __func__, int(chip.type),
               version);
      found = &chip;
      break;
    }
    log_line("BrvDBG: %s - sx127x version register - read:0x%02x, expected:0x%02x", __func__, version, chip.version);
  }
  if (!found) {
    log_line("BrvDBG-HAL %s E R R O R - SX127x radio type not found.", __func__);
    return fail(ERR_UNSPECIFIED);
  }
  sx127x_cfg.radio_type = found->type;
  const int result = found->type == kSx1272 ? setup_sx1272_FSK(freq_hz, rxbw_index, rssi_offset)
                                            : setup_sx1276_FSK(freq_hz, rxbw_index, rssi_offset);
  if (result != 0) log_line("BrvDBG-HAL %s E R R O R - failed to setup SX127x.", __func__);
  return result;
}

int setup_sx1272_FSK(uint32_t freq_hz, uint32_t rxbw_index, int8_t rssi_offset) {
  return setup_fsk(chip_map(kSx1272), __func__, freq_hz, rxbw_index, rssi_offset);
}
int setup_sx1276_FSK(uint32_t freq_hz, uint32_t rxbw_index, int8_t rssi_offset) {
  return setup_fsk(chip_map(kSx1276), __func__, freq_hz, rxbw_index, rssi_offset);
}
int change_sx1272_FSK(uint32_t freq_hz, uint32_t rxbw_index) {
  return change_fsk(chip_map(kSx1272), __func__, freq_hz, rxbw_index);
}
int change_sx1276_FSK(uint32_t freq_hz, uint32_t rxbw_index) {
  return change_fsk(chip_map(kSx1276), __func__, freq_hz, rxbw_index);
}
int sx127x_change_FSK(uint32_t freq_hz, uint32_t rxbw_index) {
  return sx127x_cfg.radio_type == kSx1272 ? change_sx1272_FSK(freq_hz, rxbw_index)
                                          : change_sx1276_FSK(freq_hz, rxbw_index);
}

int sx127x_deinit(void) {
  std::unique_lock lock(g_guard_mutex);
  if (g_guard) {
    // A hold in progress ends with the handle: its release finds nothing
    // to post.
    ++g_generation;
    os::sem_close(g_guard);
    os::sem_unlink(kGuardName);
    g_guard = nullptr;
  }
  return 0;
}

int crx_sx127x_reg_w(uint8_t address, uint8_t value) {
  std::lock_guard lock(g_direct_mutex);
  if (!open_direct(__func__)) return -1;
  return spi_iodev_write(g_direct_fd, address, &value, 1, nullptr) == 0 ? 0 : fail(ERR_SPI_WRITE);
}

int crx_sx127x_reg_r(uint8_t address, uint8_t* value) {
  if (!value) return fail(ERR_NULL_PTR);
  std::lock_guard lock(g_direct_mutex);
  if (!open_direct(__func__)) return -1;
  return spi_iodev_read(g_direct_fd, address, value, 1, nullptr) == 0 ? 0 : fail(ERR_SPI_READ);
}

}  // extern "C"

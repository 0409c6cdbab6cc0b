// SX126x command layer. A command is one transfer: opcode and parameters
// out, then the response clocked in after them. The chip cannot take a
// command while BUSY is high, so every transfer first waits (briefly) for
// the line to drop; a line that stays high fails the command before any
// byte goes out, since a command sent into a busy chip is silently lost.
#include "radio/sx126x.h"

#include <linux/spi/spidev.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "device/gpio.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"

namespace crx::radio {

namespace {

constexpr uint32_t kMaxParams = 255;
constexpr int kBusyPollUs = 100;
constexpr int kBusyPolls = kSx126xBusyWaitUs / kBusyPollUs;

constexpr uint32_t kXtalHz = 32000000;
constexpr uint32_t kWord24Max = 0xFFFFFF;

// FSK receive settings of the side radio: a narrow, slow receiver whose
// level the GPIO FPGA samples; nothing is ever demodulated.
constexpr uint32_t kSetupBitRate = 1200;
constexpr uint32_t kSetupFdevHz = 703;
constexpr uint32_t kRetuneBitRate = 4800;
constexpr uint8_t kTxBase = 240;
constexpr uint8_t kRxBase = 0;

// Serialises this process's transfers, so that the BUSY check and the
// transfer it clears are not split by another thread's command; also
// guards g_busy_ready.
std::mutex g_transfer_mutex;
bool g_busy_ready = false;  // BUSY exported and set as an input

void log_error(const char* who) { log_line("BrvDBG-HAL %s E R R O R", who); }

// Exports the BUSY line and makes it an input; again whenever the line
// has gone (unexported by another program). Called with g_transfer_mutex
// held.
bool prepare_busy(const char* who) {
  if (g_busy_ready && is_gpio_pin_exported(kGpioSx126xBusy)) return true;
  g_busy_ready = false;
  if (!is_gpio_pin_exported(kGpioSx126xBusy)) gpio_export_pin(kGpioSx126xBusy);
  if (!is_gpio_pin_exported(kGpioSx126xBusy)) {
    log_line("BrvDBG-HAL %s E R R O R - GPIO export for busy pin failed", who);
    return false;
  }
  if (gpio_set_direction(kGpioSx126xBusy, kGpioIn) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set busy pin as input", who);
    return false;
  }
  g_busy_ready = true;
  return true;
}

// Polls BUSY until it reads low; called with g_transfer_mutex held.
bool wait_not_busy(const char* who) {
  for (int poll = 0; poll <= kBusyPolls; ++poll) {
    uint8_t level = 1;
    if (gpio_read_pin(kGpioSx126xBusy, &level) != 0) {
      g_busy_ready = false;  // look at the line afresh next time
      log_line("BrvDBG-HAL %s E R R O R - failed to read busy pin", who);
      return false;
    }
    if (level == 0) return true;
    if (poll < kBusyPolls) crx_wait_us(kBusyPollUs);
  }
  log_line("BrvDBG-HAL %s E R R O R - busy pin still high after %d us", who, kSx126xBusyWaitUs);
  return false;
}

// The one transfer behind every command. `who` names the caller in logs;
// `write` chooses the error code of a failed transfer.
int transfer(const char* who, const uint8_t* tx, uint32_t tx_len, uint8_t* rx, uint32_t rx_len, bool write) {
  if (!tx || tx_len == 0) {
    log_line("%s, ERROR: invalid tx parameter", who);
    return fail(tx ? ERR_UNSPECIFIED : ERR_NULL_PTR);
  }
  if (rx_len && !rx) {
    log_line("%s, ERROR: invalid rx parameter", who);
    return fail(ERR_NULL_PTR);
  }
  if (!sx126x_cfg.spi_fd || *sx126x_cfg.spi_fd < 0) {
    log_line("BrvDBG-HAL %s E R R O R - Invalid File Descriptor.", who);
    return fail(ERR_SPI_WRITE);
  }
  if (tx_len > kSx126xMaxTransfer || rx_len > kSx126xMaxTransfer - tx_len) {
    log_line("%s, ERROR: not enough buffer, tx: %d, rx: %d", who, int(tx_len), int(rx_len));
    return fail(ERR_UNSPECIFIED);
  }
  const uint32_t total = tx_len + rx_len;
  uint8_t out[kSx126xMaxTransfer] = {};
  uint8_t in[kSx126xMaxTransfer] = {};
  std::memcpy(out, tx, tx_len);

  std::lock_guard lock(g_transfer_mutex);
  if (!prepare_busy(who) || !wait_not_busy(who)) return fail(ERR_UNSPECIFIED);
  spi_ioc_transfer t{};
  t.tx_buf = reinterpret_cast<uintptr_t>(out);
  t.rx_buf = reinterpret_cast<uintptr_t>(in);
  t.len = total;
  t.cs_change = 1;
  const int reported = os::ioctl(*sx126x_cfg.spi_fd, SPI_IOC_MESSAGE(1), &t);
  if (reported != int(total)) {
    log_line("%s ERROR: spi failed, ioctl returned %i (errno %i)", who, reported, errno);
    return fail(write ? ERR_SPI_WRITE : ERR_SPI_READ);
  }
  if (rx_len) std::memcpy(rx, in + tx_len, rx_len);
  return 0;
}

int null_pointer(const char* who) {
  log_line("BrvDBG-HAL %s E R R O R - NULL pointer", who);
  return fail(ERR_NULL_PTR);
}

int write_cmd(const char* who, uint8_t opcode, const uint8_t* params, uint32_t n) {
  if (n > kMaxParams) {
    log_line("BrvDBG-HAL %s E R R O R - param size too big.", who);
    return fail(ERR_UNSPECIFIED);
  }
  if (n && !params) return fail(ERR_NULL_PTR);
  uint8_t frame[1 + kMaxParams];
  frame[0] = opcode;
  if (n) std::memcpy(frame + 1, params, n);
  if (transfer(who, frame, n + 1, nullptr, 0, true) != 0) {
    log_error(who);
    return -1;
  }
  return 0;
}

// Opcode, the given parameters (a read command's own arguments and its
// status slot), then n response bytes.
int read_with(const char* who, std::initializer_list<uint8_t> head, uint8_t* out, uint32_t n) {
  if (!out) return null_pointer(who);
  const std::vector<uint8_t> frame(head);
  if (transfer(who, frame.data(), uint32_t(frame.size()), out, n, false) != 0) {
    log_error(who);
    return -1;
  }
  return 0;
}

int read_cmd(const char* who, uint8_t opcode, uint8_t* out, uint32_t n) {
  return read_with(who, {opcode, 0x00}, out, n);
}

int get_status(const char* who, uint8_t* status) { return read_with(who, {kSx126xGetStatus}, status, 1); }

void put24(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 16);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v);
}

int set_timed(const char* who, uint8_t opcode, uint32_t timeout_ms) {
  const auto word = sx126x_timeout_word(timeout_ms);
  if (!word) {
    log_line("BrvDBG-HAL %s E R R O R - timeout too big: %d, must be between 0x0 and %d", who, int(timeout_ms),
             int(SX126X_TIMEOUT_MAX_MS));
    return fail(ERR_UNSPECIFIED);
  }
  uint8_t p[3];
  put24(p, *word);
  return write_cmd(who, opcode, p, 3);
}

bool rx_bw_known(uint8_t code) { return sx126x_rx_bw_hz(code) != 0; }

int gfsk_mod(const char* who, uint32_t bit_rate, uint8_t bw, uint32_t fdev_hz) {
  const sx126x_gfsk_mod_params_t p{bit_rate, 0, bw, fdev_hz};
  (void)who;
  return sx126x_set_gfsk_mod_params(&p);
}

// Standby, packet type and frequency: the common start of both set-ups.
int enter_standby(const char* who) {
  uint8_t mode = 0;
  if (sx126x_get_op_mode(&mode) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to get op mode", who);
    return -1;
  }
  if (mode != kSx126xModeStandbyRc && sx126x_set_standby(0) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set to standby", who);
    return -1;
  }
  return 0;
}

// Buffer bases and continuous receive: the common end of both set-ups.
int start_receive(const char* who) {
  if (sx126x_set_buf_base_addr(kTxBase, kRxBase) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set buffer base addr", who);
    return -1;
  }
  if (sx126x_set_rx(SX126X_TIMEOUT_CONTINUOUS) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set modulation params", who);
    return -1;
  }
  return 0;
}

}  // namespace

uint32_t sx126x_freq_word(uint32_t freq_hz) { return uint32_t((uint64_t{freq_hz} << 25) / kXtalHz); }

uint32_t sx126x_bitrate_word(uint32_t bit_rate) {
  return bit_rate ? uint32_t(uint64_t{32} * kXtalHz / bit_rate) : 0;
}

uint32_t sx126x_fdev_word(uint32_t fdev_hz) { return uint32_t((uint64_t{fdev_hz} << 25) / kXtalHz); }

std::optional<uint32_t> sx126x_timeout_word(uint32_t timeout_ms) {
  if (timeout_ms == SX126X_TIMEOUT_CONTINUOUS) return timeout_ms;
  if (timeout_ms > SX126X_TIMEOUT_MAX_MS) return std::nullopt;
  return timeout_ms * 64;  // 1 ms is 64 steps of 15.625 us
}

uint8_t sx126x_rx_bw_code_nearest(uint32_t bandwidth_hz) {
  const Sx126xRxBw* best = &kSx126xRxBandwidths[0];
  for (const Sx126xRxBw& bw : kSx126xRxBandwidths) {
    const auto distance = [bandwidth_hz](const Sx126xRxBw& b) {
      return b.bandwidth_hz > bandwidth_hz ? b.bandwidth_hz - bandwidth_hz : bandwidth_hz - b.bandwidth_hz;
    };
    if (distance(bw) < distance(*best)) best = &bw;
  }
  return best->code;
}

uint32_t sx126x_rx_bw_hz(uint8_t code) {
  for (const Sx126xRxBw& bw : kSx126xRxBandwidths)
    if (bw.code == code) return bw.bandwidth_hz;
  return 0;
}

}  // namespace crx::radio

using namespace crx;
using namespace crx::radio;

extern "C" {

int sx126x_spi_access(const uint8_t* tx, uint32_t tx_len, uint8_t* rx, uint32_t rx_len) {
  return transfer(__func__, tx, tx_len, rx, rx_len, rx_len == 0);
}

int sx126x_write_cmd(uint8_t opcode, const uint8_t* params, uint32_t n) {
  return write_cmd(__func__, opcode, params, n);
}

int sx126x_read_cmd(uint8_t opcode, uint8_t* out, uint32_t n) { return read_cmd(__func__, opcode, out, n); }

int sx126x_get_op_mode(uint8_t* mode) {
  uint8_t status = 0;
  if (!mode) return read_with(__func__, {}, nullptr, 0);
  if (get_status(__func__, &status) != 0) return -1;
  *mode = (status >> 4) & 7;
  return 0;
}

int sx126x_get_dev_status(uint8_t* out) {
  uint8_t status = 0;
  if (!out) return read_with(__func__, {}, nullptr, 0);
  if (get_status(__func__, &status) != 0) return -1;
  *out = (status >> 1) & 7;
  return 0;
}

int sx126x_set_standby(uint8_t mode) {
  if (mode > 1) {
    log_line("BrvDBG-HAL %s E R R O R - wrong standby mode: %d.", __func__, mode);
    return fail(ERR_UNSPECIFIED);
  }
  return write_cmd(__func__, kSx126xSetStandby, &mode, 1);
}

int sx126x_get_pkt_type(uint8_t* type) { return read_cmd(__func__, kSx126xGetPacketType, type, 1); }

int sx126x_set_pkt_type(uint8_t type) {
  if (type > 1) {
    log_line("BrvDBG-HAL %s E R R O R - wrong pkt type: %d.", __func__, type);
    return fail(ERR_UNSPECIFIED);
  }
  return write_cmd(__func__, kSx126xSetPacketType, &type, 1);
}

int sx126x_set_rf_freq(uint32_t freq_hz) {
  const uint32_t w = sx126x_freq_word(freq_hz);
  const uint8_t p[4] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
  return write_cmd(__func__, kSx126xSetRfFrequency, p, 4);
}

// A bit rate of 0 would divide by zero, and words that do not fit their
// 24-bit fields would reach the chip truncated to another rate; both are
// refused, as is a bandwidth code the chip does not have.
int sx126x_set_gfsk_mod_params(const sx126x_gfsk_mod_params_t* params) {
  if (!params) return null_pointer(__func__);
  const uint32_t br = sx126x_bitrate_word(params->bit_rate);
  if (br == 0 || br > kWord24Max) {
    log_line("BrvDBG-HAL %s E R R O R - wrong bit rate: %u.", __func__, params->bit_rate);
    return fail(ERR_UNSPECIFIED);
  }
  const uint32_t fdev = sx126x_fdev_word(params->fdev_hz);
  if (fdev > kWord24Max) {
    log_line("BrvDBG-HAL %s E R R O R - wrong frequency deviation: %u.", __func__, params->fdev_hz);
    return fail(ERR_UNSPECIFIED);
  }
  if (!rx_bw_known(params->bandwidth)) {
    log_line("BrvDBG-HAL %s E R R O R - wrong bandwidth: %d.", __func__, params->bandwidth);
    return fail(ERR_UNSPECIFIED);
  }
  uint8_t p[8];
  put24(p, br);
  p[3] = params->pulse_shape;
  p[4] = params->bandwidth;
  put24(p + 5, fdev);
  return write_cmd(__func__, kSx126xSetModulationParams, p, 8);
}

int sx126x_set_lora_mod_params(const sx126x_lora_mod_params_t* params) {
  if (!params) return null_pointer(__func__);
  const uint8_t p[4] = {params->sf, params->bw, params->cr, params->low_dr_opt};
  return write_cmd(__func__, kSx126xSetModulationParams, p, 4);
}

int sx126x_set_gfsk_pkt_params(const sx126x_gfsk_pkt_params_t* params) {
  if (!params) return null_pointer(__func__);
  const uint8_t p[9] = {uint8_t(params->preamble_len >> 8), uint8_t(params->preamble_len), params->preamble_detect,
                        params->sync_word_len, params->addr_comp, params->pkt_type, params->payload_len,
                        params->crc_type, params->whitening};
  return write_cmd(__func__, kSx126xSetPacketParams, p, 9);
}

int sx126x_set_lora_pkt_params(const sx126x_lora_pkt_params_t* params) {
  if (!params) return null_pointer(__func__);
  const uint8_t p[6] = {uint8_t(params->preamble_len >> 8), uint8_t(params->preamble_len), params->header_type,
                        params->payload_len, params->crc_type, params->invert_iq};
  return write_cmd(__func__, kSx126xSetPacketParams, p, 6);
}

int sx126x_set_buf_base_addr(uint8_t tx_base, uint8_t rx_base) {
  if (tx_base == rx_base) {
    log_line("BrvDBG-HAL %s E R R O R - tx and rx base addresses are equal: %d.", __func__, tx_base);
    return fail(ERR_UNSPECIFIED);
  }
  const uint8_t p[2] = {tx_base, rx_base};
  return write_cmd(__func__, kSx126xSetBufferBaseAddress, p, 2);
}

int sx126x_set_rx(uint32_t timeout_ms) { return set_timed(__func__, kSx126xSetRx, timeout_ms); }
int sx126x_set_tx(uint32_t timeout_ms) { return set_timed(__func__, kSx126xSetTx, timeout_ms); }

int sx126x_stop_timer_on_preamble(uint8_t enable) {
  if (enable > 1) {
    log_line("BrvDBG-HAL %s E R R O R - wrong flag: %d.", __func__, enable);
    return fail(ERR_UNSPECIFIED);
  }
  return write_cmd(__func__, kSx126xStopTimerOnPreamble, &enable, 1);
}

int sx126x_dio_irq_params(const sx126x_dio_irq_params_t* params) {
  if (!params) return null_pointer(__func__);
  uint8_t p[8];
  const uint16_t masks[4] = {params->irq_mask, params->dio1_mask, params->dio2_mask, params->dio3_mask};
  for (int i = 0; i < 4; ++i) {
    p[2 * i] = uint8_t((masks[i] >> 8) & 0x03);
    p[2 * i + 1] = uint8_t(masks[i]);
  }
  return write_cmd(__func__, kSx126xSetDioIrqParams, p, 8);
}

int sx126x_get_irq_status(uint16_t* irq) {
  uint8_t r[2] = {};
  if (!irq) return read_with(__func__, {}, nullptr, 0);
  if (read_cmd(__func__, kSx126xGetIrqStatus, r, 2) != 0) return -1;
  *irq = uint16_t((r[0] & 0x3F) << 8 | r[1]);
  return 0;
}

int sx126x_clear_irq_status(uint16_t mask) {
  const uint8_t p[2] = {uint8_t((mask >> 8) & 0x03), uint8_t(mask)};
  return write_cmd(__func__, kSx126xClearIrqStatus, p, 2);
}

int sx126x_get_rx_buffer_status(uint8_t* payload_len, uint8_t* rx_start) {
  uint8_t r[2] = {};
  if (!payload_len || !rx_start) return read_with(__func__, {}, nullptr, 0);
  if (read_cmd(__func__, kSx126xGetRxBufferStatus, r, 2) != 0) return -1;
  *payload_len = r[0];
  *rx_start = r[1];
  return 0;
}

int sx126x_get_rssi(float* rssi_dbm) {
  uint8_t r = 0;
  if (!rssi_dbm) return read_with(__func__, {}, nullptr, 0);
  if (read_cmd(__func__, kSx126xGetRssiInst, &r, 1) != 0) return -1;
  *rssi_dbm = -float(r) / 2.0f;
  return 0;
}

int sx126x_write_register(uint16_t address, uint8_t value) {
  const uint8_t p[3] = {uint8_t(address >> 8), uint8_t(address), value};
  return write_cmd(__func__, kSx126xWriteRegister, p, 3);
}

int sx126x_read_register(uint16_t address, uint8_t* value) {
  return read_with(__func__, {kSx126xReadRegister, uint8_t(address >> 8), uint8_t(address), 0x00}, value, 1);
}

int sx126x_write_buffer(uint8_t offset, const uint8_t* data, uint8_t n) {
  if (!data) return null_pointer(__func__);
  uint8_t p[1 + 255];
  p[0] = offset;
  std::memcpy(p + 1, data, n);
  return write_cmd(__func__, kSx126xWriteBuffer, p, uint32_t(n) + 1);
}

int sx126x_read_buffer(uint8_t offset, uint8_t* data, uint8_t n) {
  return read_with(__func__, {kSx126xReadBuffer, offset, 0x00}, data, n);
}

int sx126x_setup_fsk(uint32_t freq_hz, uint8_t bandwidth) {
  if (enter_standby(__func__) != 0) return -1;
  if (sx126x_set_pkt_type(0) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set pkt type", __func__);
    return -1;
  }
  if (sx126x_set_rf_freq(freq_hz) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set rf frequency", __func__);
    return -1;
  }
  if (gfsk_mod(__func__, kSetupBitRate, bandwidth, kSetupFdevHz) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set modulation params", __func__);
    return -1;
  }
  return start_receive(__func__);
}

int sx126x_change_fsk(uint32_t freq_hz, uint8_t bandwidth) {
  if (sx126x_set_rf_freq(freq_hz) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set rf frequency", __func__);
    return -1;
  }
  if (gfsk_mod(__func__, kRetuneBitRate, bandwidth, 0) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set modulation params", __func__);
    return -1;
  }
  return 0;
}

int sx126x_setup_lora(uint32_t freq_hz, const sx126x_lora_mod_params_t* params) {
  if (!params) return null_pointer(__func__);
  if (enter_standby(__func__) != 0) return -1;
  if (sx126x_set_pkt_type(1) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set pkt type to Lora", __func__);
    return -1;
  }
  if (sx126x_set_rf_freq(freq_hz) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set rf frequency", __func__);
    return -1;
  }
  sx126x_lora_mod_params_t mod = *params;
  mod.low_dr_opt = 0;
  if (sx126x_set_lora_mod_params(&mod) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - failed to set modulation params", __func__);
    return -1;
  }
  return start_receive(__func__);
}

int sx126x_setup(uint32_t, uint8_t, uint32_t, int8_t rssi_offset) { return rssi_offset; }

}  // extern "C"

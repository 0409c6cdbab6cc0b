// The FPGA's AMI transceivers: RF v3 messages out and in (single channel or
// a multi-receiver scan) and AMR frames from three FSK receivers. Every
// call is a short sequence of board-register steps on board 0.
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "log.h"
#include "meter/channel_plans.h"
#include "platform/os.h"

struct timespec scanStartTime = {};
int crcFailCount = 0;

namespace crx::meter {
namespace {

// FPGA board rows.
constexpr int kRowAmrWaiting = 248;  // + 5r for AMR receiver r, r = 0..2
constexpr int kRowAmrRssi = 249;
constexpr int kRowAmrLength = 250;
constexpr int kRowAmrData = 251;
constexpr int kRowAmrChannel = 252;
constexpr int kAmrReceivers = 3;
constexpr int kRowTxStart = 263;
constexpr int kRowTxOffset = 265;
constexpr int kRowTxLength = 266;
constexpr int kRowTxPreamble = 267;
constexpr int kRowTxData = 268;
constexpr int kRowRxReset = 269;
constexpr int kRowScanMode = 270;
constexpr int kRowDataRate = 271;
constexpr int kRowScanStatus = 273;
constexpr int kRowRxOffset = 274;
constexpr int kRowRxStatus = 275;
constexpr int kRowRxRssi = 276;  // + 5r for receiver r (0 is the single-channel one)
constexpr int kRowRxLength = 277;
constexpr int kRowRxData = 278;
constexpr int kRowScanChannel = 279;
constexpr int kRowScanTime = 337;
constexpr int kRowScanPreamble = 338;
constexpr int kRowScanElapsed = 339;  // + r

constexpr int kScanReceivers = 4;
constexpr uint32_t kMaxPayload = 253;
constexpr uint32_t kTxReferenceHz = 915000000;
constexpr uint32_t kMaxScanTime = 65536;
constexpr uint32_t kMaxPreambleBits = 4096;
constexpr uint32_t kRxDataChannels = 50;
constexpr uint8_t kSyncByte = 0xC4;
constexpr int32_t kMinMessage = 3;
constexpr float kAmrRssiOffset = 37.0f;
constexpr int32_t kScanRssiOffset = 30;
constexpr float kRxRssiOffset = 30.0f;
constexpr uint32_t kAmrStepHz = 3906;
constexpr long kPollNs = 100000;
constexpr const char* kPrintFlag = "/tmp/printAllPackets";

int reg_r(int row, int32_t* value) { return crx_reg_brd_r(0, row, value); }
int reg_w(int row, int32_t value) { return crx_reg_brd_w(0, row, value); }

void to_stdout(const char* fmt, ...) CRX_PRINTF(1, 2);
void to_stdout(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  os::backend().console(fmt, ap);
  va_end(ap);
}

// The bytes in hex on standard output, when the print flag file exists.
void print_packet(const uint8_t* bytes, uint32_t length) {
  if (os::access(kPrintFlag, F_OK) != 0) return;
  std::string text = "0x";
  char hex[4];
  for (uint32_t i = 0; i < length; ++i) {
    if (i > 0 && i % 16 == 0) text += "\n0x";
    std::snprintf(hex, sizeof hex, "%02x ", bytes[i]);
    text += hex;
  }
  text += "\n";
  to_stdout("%s", text.c_str());
}

// Restarts the receivers: the reset bit set, then cleared.
int restart_receivers() {
  if (reg_w(kRowRxReset, 1) < 0 || reg_w(kRowRxReset, 0) < 0) return -1;
  return 0;
}

// The received CRC (low byte first) and the one computed over the rest of
// the message.
struct CrcCheck {
  uint16_t calculated;
  uint16_t received;
  bool ok() const { return calculated == received; }
};

CrcCheck check_crc(const uint8_t* msg, uint32_t length) {
  return {crc16Calculate(msg, length - 2), uint16_t(msg[length - 2] | msg[length - 1] << 8)};
}

void report_crc_failure(const CrcCheck& crc) {
  log_line("BRVDBG: CRC Error in packet, calculatedCRC: 0x%x, receivedCRC: 0x%x", crc.calculated, crc.received);
  ++crcFailCount;
}

// Reads a message of `fifo_length` bytes from `row` behind the sync byte.
// The caller's buffer must take the sync byte too.
bool read_message(const char* who, int row, int32_t fifo_length, uint8_t* buf, uint32_t capacity) {
  if (uint32_t(fifo_length) + 1 > capacity) {
    log_line("BRV_HAL: ERROR in %s, message of %d bytes does not fit the buffer (%u)", who, fifo_length,
             capacity);
    return false;
  }
  if (fifo_length > 0 && crx_reg_brd_rb(0, row, buf + 1, uint32_t(fifo_length)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read data", who);
    return false;
  }
  buf[0] = kSyncByte;
  return true;
}

bool deadline_passed(const struct timespec& deadline) {
  const struct timespec now = os::monotonic();
  return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace
}  // namespace crx::meter

using crx::log_line;
using namespace crx::meter;

extern "C" {

int amr_fsk_fetch(amr_fsk_pkt_t* out) {
  if (!out) return -1;
  for (int r = 0; r < kAmrReceivers; ++r) {
    int32_t waiting = 0;
    if (reg_r(kRowAmrWaiting + 5 * r, &waiting) < 0) return -1;
    if (waiting != 1) continue;
    int32_t raw_rssi = 0, channel = 0, length = 0;
    if (reg_r(kRowAmrRssi + 5 * r, &raw_rssi) < 0) return -1;
    if (reg_r(kRowAmrChannel + 5 * r, &channel) < 0) return -1;
    out->rssi = uint32_t(std::lround((float(raw_rssi) + kAmrRssiOffset) * 10.0f));
    out->freq_hz = uint32_t(int64_t{channel} * kAmrStepHz + crx::brd_cfg_priv.rx_freq);
    if (reg_r(kRowAmrLength + 5 * r, &length) < 0 || length < 0 || size_t(length) > sizeof out->data) return -1;
    if (length > 0 && crx_reg_brd_rb(0, kRowAmrData + 5 * r, out->data, uint32_t(length)) < 0) return -1;
    out->length = uint8_t(length);
    return 1;
  }
  return 0;
}

int rfv3_fsk_tx_msg(uint32_t channel, uint8_t size, uint32_t start, const uint8_t* data, uint32_t preamble) {
  if (!data) {
    log_line("BRV_HAL: ERROR in %s, called without valid input buffer", __func__);
    return 0;
  }
  if (size > kMaxPayload) {
    log_line("BRV_HAL: ERROR in %s, payload size too large, max 253 bytes", __func__);
    return 0;
  }
  if (channel >= kRfv3Channels) {
    log_line("BRV_HAL: ERROR in %s, channel must be < %d", __func__, int(kRfv3Channels));
    return 0;
  }
  int64_t raw = 0;
  const auto offset = rfv3_offset(channel, kTxReferenceHz, &raw);
  if (!offset) {
    log_line("BRV_HAL: ERROR in %s, |reg_freq_offset|>4096 0x%x", __func__, unsigned(raw));
    return 0;
  }
  if (reg_w(kRowTxOffset, *offset) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set channel frequency", __func__);
    return 0;
  }
  if (reg_w(kRowTxLength, size + 2) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set payload size", __func__);
    return 0;
  }
  if (reg_w(kRowTxPreamble, int32_t(preamble)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set preamble size", __func__);
    return 0;
  }
  uint8_t message[kMaxPayload + 2];
  std::memcpy(message, data, size);
  const uint16_t crc = crc16Calculate(data, size);
  message[size] = uint8_t(crc);
  message[size + 1] = uint8_t(crc >> 8);
  print_packet(message, size + 2u);
  if (crx_reg_brd_wb(0, kRowTxData, message, size + 2u) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set data", __func__);
    return 0;
  }
  if (reg_w(kRowTxStart, int32_t(start)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not start transmission", __func__);
    return 0;
  }
  return 1;
}

int rfv3_startScan(uint32_t scan_time, uint16_t preamble_bits) {
  if (scan_time >= kMaxScanTime) {
    log_line("BRV_HAL: ERROR in %s, channelScanTime is too long (%d us)", __func__, int(scan_time * 2));
    return 0;
  }
  if (preamble_bits >= kMaxPreambleBits) {
    log_line("BRV_HAL: ERROR in %s, too many preamble bits selected (%d)", __func__, int(preamble_bits));
    return 0;
  }
  if (reg_w(kRowDataRate, 1) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set baud rate", __func__);
    return 0;
  }
  if (reg_w(kRowScanTime, int32_t(scan_time)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set scan time", __func__);
    return 0;
  }
  if (reg_w(kRowScanPreamble, preamble_bits) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set preambleBitsCount", __func__);
    return 0;
  }
  if (reg_w(kRowScanMode, 1) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set scan mode", __func__);
    return 0;
  }
  if (restart_receivers() < 0) {
    log_line("BRV_HAL: ERROR in %s, could not start scan", __func__);
    return 0;
  }
  scanStartTime = crx::os::realtime();
  return 1;
}

int rfv3_readScan(uint32_t* channel, uint8_t* buf, uint32_t* len, int32_t* rssi, struct timespec* when) {
  if (!channel || !buf || !len || !rssi || !when) {
    log_line("BRV_HAL: ERROR in %s, called without valid input buffer", __func__);
    return 0;
  }
  int32_t status = 0;
  if (reg_r(kRowScanStatus, &status) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read scan status of receivers", __func__);
    return 0;
  }
  if (status == 0) return 0;
  int r = 0;
  while (r < kScanReceivers - 1 && !(status & (1 << r))) ++r;
  const int step = 5 * r;
  int32_t raw_rssi = 0, found = 0, length = 0;
  if (reg_r(kRowRxRssi + step, &raw_rssi) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read RSSI", __func__);
    return 0;
  }
  if (reg_r(kRowScanChannel + step, &found) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read receiver channel", __func__);
    return 0;
  }
  if (reg_r(kRowRxLength + step, &length) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read data length", __func__);
    return 0;
  }
  if (length < kMinMessage) {
    log_line("BRV_HAL: %s - Warning BREG_AMI_FREQ%d_FIFO_DEPTH (%d) < minimum message length (3)", __func__, r,
             length);
    if (restart_receivers() < 0) log_line("BRV_HAL: ERROR in %s, could reset scanning receivers", __func__);
    return 0;
  }
  if (!read_message(__func__, kRowRxData + step, length, buf, *len)) {
    // The receiver still holds the message: drop it so the scan goes on.
    if (restart_receivers() < 0) log_line("BRV_HAL: ERROR in %s, could reset scanning receivers", __func__);
    return 0;
  }
  const uint32_t total = uint32_t(length) + 1;
  print_packet(buf, total);
  if (const CrcCheck crc = check_crc(buf, total); !crc.ok()) {
    // Restart first, as the receivers must not stay on a bad message.
    if (restart_receivers() < 0) log_line("BRV_HAL: ERROR in %s, could reset scanning receivers", __func__);
    report_crc_failure(crc);
    return 0;
  }
  int32_t elapsed_ms = 0;
  if (reg_r(kRowScanElapsed + r, &elapsed_ms) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read elapsed scan time", __func__);
    return 0;
  }
  struct timespec t = scanStartTime;
  t.tv_sec += time_t(uint32_t(elapsed_ms) / 1000);
  t.tv_nsec += long(uint32_t(elapsed_ms) % 1000) * 1000000L;
  while (t.tv_nsec >= 1000000000L) {
    t.tv_nsec -= 1000000000L;
    ++t.tv_sec;
  }
  *when = t;
  *rssi = (raw_rssi + kScanRssiOffset) * 10;
  *channel = uint32_t(r + 4 * found + 52);
  *len = total - 2;
  if (reg_w(kRowRxReset, 1) < 0) log_line("BRV_HAL: ERROR in %s, could reset scanning receivers", __func__);
  return 1;
}

int rfv3_stopScan(void) {
  if (reg_w(kRowRxReset, 1) < 0) {
    log_line("BRV_HAL: ERROR in %s, could reset scanning receivers", __func__);
    return 0;
  }
  return 1;
}

int rfv3_fsk_rx_msg(uint32_t channel, uint32_t data_rate, uint8_t* buf, uint32_t* len, uint32_t timeout_ms) {
  if (channel >= kRxDataChannels) {
    log_line("BRV_HAL: ERROR in %s invalid data channel %d", __func__, int(channel));
    return -1;
  }
  if (data_rate > 1) {
    log_line("BRV_HAL: ERROR in %s invalid data rate, 0 = 28.8kbps, 1 = 9.6kbps. dataRate in: %d", __func__,
             int(data_rate));
    return -1;
  }
  if (!buf || !len) {
    log_line("BRV_HAL: ERROR in %s data buffer is null", __func__);
    return -1;
  }
  int64_t raw = 0;
  const auto offset = rfv3_offset(channel, crx::brd_cfg_priv.rx_freq, &raw);
  if (!offset) {
    log_line("BRV_HAL: ERROR in %s, |reg_freq_offset|>0x0fff 0x%x", __func__, unsigned(raw));
    return -1;
  }
  if (reg_w(kRowRxOffset, *offset) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set IF freq", __func__);
    return -1;
  }
  if (reg_w(kRowDataRate, int32_t(data_rate)) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set data rate", __func__);
    return -1;
  }
  if (reg_w(kRowScanMode, 0) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not set scan mode", __func__);
    return -1;
  }
  if (restart_receivers() < 0) {
    log_line("BRV_HAL: ERROR in %s, could not reset packet processor", __func__);
    return -1;
  }

  struct timespec deadline = crx::os::monotonic();
  deadline.tv_sec += time_t(timeout_ms / 1000);
  deadline.tv_nsec += long(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_nsec -= 1000000000L;
    ++deadline.tv_sec;
  }
  int32_t waiting = 0;
  for (;;) {
    if (reg_r(kRowRxStatus, &waiting) < 0) {
      log_line("BRV_HAL: ERROR in %s, could not read scan status of receivers", __func__);
      return 0;
    }
    if (waiting != 0 || deadline_passed(deadline)) break;
    const struct timespec pause = {0, kPollNs};
    crx::os::sleep(pause, nullptr);
  }
  if (waiting == 0) return -1;

  int32_t length = 0;
  if (reg_r(kRowRxLength, &length) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read data length", __func__);
    return -1;
  }
  if (!read_message(__func__, kRowRxData, length, buf, *len)) return -1;
  if (length < kMinMessage) {
    log_line("BRV_HAL: ERROR in %s, BREG_AMI_FREQ1_FIFO_DEPTH (%d) < minimum message length", __func__, length);
    return 0;
  }
  int32_t raw_rssi = 0;
  if (reg_r(kRowRxRssi, &raw_rssi) < 0) {
    log_line("BRV_HAL: ERROR in %s, could not read RSSI", __func__);
    return -1;
  }
  const int rssi = int(float(raw_rssi) + kRxRssiOffset);
  const uint32_t total = uint32_t(length) + 1;
  print_packet(buf, total);
  if (const CrcCheck crc = check_crc(buf, total); !crc.ok()) {
    report_crc_failure(crc);
    return -1;
  }
  *len = total - 2;
  return rssi;
}

}  // extern "C"

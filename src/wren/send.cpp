// ostra_wren_send: the Wren transmit path, one function per step group in
// the order they run. The packet's own fields and the gain table are
// checked before the first bus access, so a refused packet leaves the
// chip, the scan-TX hold and the side radio as they were.
#include <array>
#include <cmath>
#include <mutex>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"
#include "wren/semaphores.h"
#include "wren/start.h"
#include "wren/temperature.h"
#include "wren/tx_descriptor.h"
#include "wren/tx_lut.h"

namespace crx::wren {

namespace {

constexpr const char* kWho = "ostra_wren_send";
constexpr uint8_t kChip = 0;

// LBT results returned as they are, crx_errno untouched.
constexpr int kLbtBusy = 62;
constexpr int kLbtTooLong = 63;
constexpr int kLbtNoEntry = 64;

// Chip rows of the transmit path.
constexpr int kTxOffsetI = 187;
constexpr int kTxOffsetQ = 188;
constexpr int kTxDigitalGain = 193;
constexpr int kTxCommand = 325;
constexpr int kTxBufferAddress = 5;
constexpr int kTxBufferData = 6;
constexpr int kTxTrigImmediate = 180;
constexpr int kTxTrigDelayed = 181;
constexpr int kTxTrigGps = 182;

// Longer than this ahead, a timestamp is taken as already passed or
// wrapped: the hold covers a short lead instead.
constexpr uint32_t kMaxLeadUs = 1000000;
constexpr uint32_t kDefaultLeadUs = 16000;
// The side radio's measurement length counts 5 us steps.
constexpr int32_t kLbtLengthStepUs = 5;

// Guards the chip's TX gain rows, TX buffer and trigger from the gain
// rows to the trigger, so that two threads sending at once cannot mix
// one's gain or descriptor into the other's transmission.
std::mutex g_tx_buffer_mutex;

int raise_and_fail() {
  raise_fault_alarms(crx_errno);
  return -1;
}

// Everything about the packet and the table that can refuse it.
int check_packet(const crx_tx_pkt_t& pkt) {
  if (tx_lut.size == 0) {
    log_line("BrvDBG-HAL %s E R R O R - The TX gain table is empty", kWho);
    return fail(ERR_BAD_TX_LUT);
  }
  if (const int code = check_descriptor(pkt); code != 0) {
    if (code == ERR_BAD_MODULATION) log_line("BrvDBG-HAL %s E R R O R  Unknown modulation", kWho);
    else if (code == ERR_UNSPECIFIED) log_line("BrvDBG-HAL %s E R R O R  FSK payload too long: %d", kWho, pkt.size);
    return fail(code);
  }
  if (pkt.tx_mode > TX_ON_GPS) {
    log_line("BrvDBG-HAL %s E R R O R  no tx_mode", kWho);
    return fail(ERR_BAD_TX_MODE);
  }
  return 0;
}

// Keeps a spectral scan off the air for the packet's lead and duration.
int hold_scan(const crx_tx_pkt_t& pkt) {
  uint32_t now = 0;
  if (crx_get_instcnt(0, kChip, &now) < 0) return raise_and_fail();
  uint32_t lead = pkt.count_us - now;
  if (lead > kMaxLeadUs) lead = kDefaultLeadUs;
  const int64_t hold_us = int64_t(lead) + 1000 * int64_t(crx_time_on_air(&pkt));
  // Without the timer or the semaphore a scan is not held off, but the
  // packet still goes.
  if (scan_tx_hold(hold_us * 1000) < 0)
    log_line("BrvDBG-HAL %s WARNING: spectral scan not held off for this transmission", kWho);
  return 0;
}

void sleep_us(int32_t us) {
  const int64_t ns = int64_t(us > 0 ? us : 0) * 1000;
  const struct timespec t = {time_t(ns / 1000000000), long(ns % 1000000000)};
  os::sleep(t, nullptr);
}

// The LBT entry that governs the packet: its index (below
// CRX_LBT_MAX_ENTRIES), an LBT result (63, 64) or -1 with the code set.
// Needs no bus access.
int lbt_entry(const crx_tx_pkt_t& pkt, const tx_gain_entry_t& gain) {
  if (!side_radio_available()) {
    log_line("BrvDBG-HAL: %s ERROR: GPIO FPGA Version not compatible with Listen Before Talk", kWho);
    return fail(ERR_UNSPECIFIED);
  }
  const int i = crx_get_lbt_LUT_index(pkt.freq_hz, gain.rf_power);
  if (i < 0 || i >= CRX_LBT_MAX_ENTRIES) return kLbtNoEntry;
  const crx_lbt_entry_t& e = brd_cfg_priv.lbt.entries[i];
  const uint32_t toa_ms = crx_time_on_air(&pkt);
  if (int64_t(toa_ms) > int64_t(e.max_talk_time_ms)) {
    log_line("BrvDBG-HAL %s: Packet time on air %d ms exceeds maximum allowed time on air of %d ms", kWho,
             int(toa_ms), int(e.max_talk_time_ms));
    return kLbtTooLong;
  }
  return i;
}

// Listens on the packet's channel: 0 when it is free, 62 when busy, -1
// with the code set.
int listen(const crx_tx_pkt_t& pkt, const crx_lbt_entry_t& e) {
  const int32_t listen_us = e.listen_time_us > 0 ? e.listen_time_us : 0;
  if (ostra_wren_start_lbt_meas(pkt.freq_hz, lbt_bandwidth_index(pkt.bandwidth),
                                uint32_t(listen_us / kLbtLengthStepUs)) != 0)
    return raise_and_fail();
  sleep_us(listen_us);
  int32_t rssi = 0;
  if (ostra_wren_get_lbt_meas(&rssi) != 0) return raise_and_fail();
  if (rssi >= e.threshold_dbm) {
    log_line("BrvDBG-HAL, measured_rssi_value_dbm: %d, LBT threshold dbm %d", int(rssi), int(e.threshold_dbm));
    return kLbtBusy;
  }
  return 0;
}

int set_gain(uint8_t rf_chain, const tx_gain_entry_t& gain) {
  const TxCalibration& cal = tx_calibration;
  const int k = gain.mix_gain - 8;
  const int8_t offset_i = rf_chain == 0 ? cal.a_i[k] : cal.b_i[k];
  const int8_t offset_q = rf_chain == 0 ? cal.a_q[k] : cal.b_q[k];
  if (crx_reg_chip_w(0, kChip, kTxOffsetI, offset_i) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  CREG_TX_OFFSET_I", kWho);
    return raise_and_fail();
  }
  if (crx_reg_chip_w(0, kChip, kTxOffsetQ, offset_q) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  CREG_TX_OFFSET_Q", kWho);
    return raise_and_fail();
  }
  if (crx_reg_chip_w(0, kChip, kTxDigitalGain, gain.dig_gain) < 0) return raise_and_fail();
  return 0;
}

int write_buffer(const std::array<uint8_t, kTxBufferBytes>& buf, size_t length) {
  if (crx_reg_chip_w(0, kChip, kTxCommand, 0) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Reset TX command flags", kWho);
    return raise_and_fail();
  }
  if (crx_reg_chip_w(0, kChip, kTxBufferAddress, 0) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Put metadata + payload in the TX data buffer 1", kWho);
    return raise_and_fail();
  }
  if (crx_reg_chip_wb(0, kChip, kTxBufferData, buf.data(), uint32_t(length)) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Put metadata + payload in the TX data buffer 2", kWho);
    return raise_and_fail();
  }
  return 0;
}

int trigger(uint32_t tx_mode) {
  int row;
  const char* text;
  switch (tx_mode) {
    case TX_IMMEDIATE: row = kTxTrigImmediate, text = "BrvDBG-HAL %s E R R O R  TX_IMMEDIATE"; break;
    case TX_TIMESTAMPED: row = kTxTrigDelayed, text = "BrvDBG-HAL %s E R R O R  TX_TIMESTAMPED"; break;
    case TX_ON_GPS: row = kTxTrigGps, text = "BrvDBG-HAL %s E R R O R  TX_ON_GPS"; break;
    default: return fail(ERR_BAD_TX_MODE);
  }
  if (crx_reg_chip_w(0, kChip, row, 1) < 0) {
    log_line(text, kWho);
    return raise_and_fail();
  }
  return 0;
}

int send(crx_tx_pkt_t& pkt) {
  // The caller reads back the chain that serves the packet, whatever the
  // outcome.
  pkt.rf_chain = ostra_wren_prv_cfg.radio[0].tx_enable ? 0 : 1;
  if (check_packet(pkt) < 0) return -1;
  const float requested = pkt.rf_power + (board_type == CRX_BOARD_WREN_OUTDOOR ? power_offset() : 0.0f);
  const int index = gain_index(tx_lut, requested);
  const tx_gain_entry_t gain = tx_lut.lut[index];
  // The table reader refuses such entries; the offsets must never be read
  // out of their arrays.
  if (gain.mix_gain < 8 || gain.mix_gain > 15) {
    log_line("BrvDBG-HAL %s E R R O R - TX gain entry %d has mixer gain %d", kWho, index, gain.mix_gain);
    return fail(ERR_BAD_TX_LUT);
  }

  // What listen-before-talk decides without listening comes first, so a
  // packet it refuses takes no hold and sends nothing on the bus.
  const bool lbt = brd_cfg_priv.lbt.enabled == 1;
  const int entry = lbt ? lbt_entry(pkt, gain) : 0;
  if (entry < 0 || entry >= CRX_LBT_MAX_ENTRIES) return entry;  // -1, 63 or 64

  if (hold_scan(pkt) < 0) return -1;
  if (lbt) {
    if (const int rc = listen(pkt, brd_cfg_priv.lbt.entries[entry]); rc != 0) return rc;
  }
  const uint32_t radio_type = ostra_wren_prv_cfg.radio[pkt.rf_chain].type;
  uint8_t integer;
  uint16_t fraction;
  if (!radio_freq_parts(radio_type, pkt.freq_hz, &integer, &fraction))
    log_line("BrvDBG-HAL %s E R R O R  UNEXPECTED VALUE %d FOR RADIO TYPE", kWho, int(radio_type));
  std::array<uint8_t, kTxBufferBytes> buf;
  const size_t length = encode_descriptor(pkt, uint8_t(index), radio_type, buf);
  std::lock_guard lock(g_tx_buffer_mutex);
  if (set_gain(pkt.rf_chain, gain) < 0 || write_buffer(buf, length) < 0) return -1;
  return trigger(pkt.tx_mode);
}

}  // namespace

}  // namespace crx::wren

extern "C" int ostra_wren_send(crx_tx_pkt_t* pkt) {
  if (!pkt) {
    crx::log_line("BrvDBG-HAL %s E R R O R  p = NULL", "ostra_wren_send");
    return crx::fail(ERR_NULL_PTR);
  }
  crx::identify_board();
  return crx::wren::send(*pkt);
}

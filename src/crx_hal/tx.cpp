// crx_send: the checks, listen-before-talk, chip choice, power, the FPGA's
// transmit IF and bandwidth, the TX buffer and the trigger, one function
// per step group in the order they run.
#include <array>
#include <atomic>
#include <cmath>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/packet_counters.h"
#include "crx_hal/rxtx_deps.h"
#include "crx_hal/rxtx_rows.h"
#include "crx_hal/tx_encode.h"
#include "crx_hal/timers.h"
#include "crx_hal/tx_if.h"
#include "device/reg_access.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"

namespace crx::tx {

namespace {

namespace rows = rxtx_rows;

// Results that refuse a packet without touching crx_errno.
constexpr int kWrongChainForBand = 61;
constexpr int kLbtBusy = 62;
constexpr int kLbtTooLong = 63;
constexpr int kLbtNoEntry = 64;

constexpr uint64_t kGpsEpochUnixUs = 315964800ULL * 1000000ULL;
constexpr uint64_t kTaiMinusGpsUs = 19ULL * 1000000ULL;

// dBFS-to-dBm offsets of the two receivers for the LBT level, read once
// from the database; 0 until then.
std::atomic<int> dbfs2dbm_offset[kRfChains];

bool running() { return std::atomic_ref<bool>(brd_cfg_priv.running).load(std::memory_order_relaxed); }

// Fails with the register layer's code after raising its fault.
int raise_and_fail() {
  const int code = get_errno();
  raise_fault_alarms(code);
  return fail(code);
}

int check_board_and_band(uint8_t board, const crx_tx_pkt_t* pkt) {
  if (board != 0) {
    log_line("BrvDBG-HAL: %s E R R O R CRX_MAX_BOARD_NB", "crx_send");
    return fail(ERR_BAD_BOARD_NB);
  }
  if (!pkt) {
    log_line("BrvDBG-HAL: %s E R R O R  p = NULL", "crx_send");
    return fail(ERR_NULL_PTR);
  }
  if (!running()) {
    log_line("BrvDBG-HAL: %s E R R O R  board not running", "crx_send");
    raise_fault_alarms(ERR_WRONG_STATE);
    return fail(ERR_WRONG_STATE);
  }
  if (pkt->freq_hz < region_limits.tx_min || pkt->freq_hz > region_limits.tx_max) {
    log_line("BrvDBG-HAL: %s E R R O R  OUT of Band freq = %d", "crx_send", int(pkt->freq_hz));
    log_line("             Acceptable range is %d to %d", int(region_limits.tx_min), int(region_limits.tx_max));
    raise_fault_alarms(ERR_FREQ_OUT_OF_BAND);
    return fail(ERR_FREQ_OUT_OF_BAND);
  }
  return 0;
}

// Split-band boards drive each half of the band from its own chain.
bool chain_fits_band(const crx_tx_pkt_t& pkt) {
  uint32_t split;
  if (board_type == CRX_BOARD_CALDER_CONDOR) split = 900000000;
  else if (board_type == CRX_BOARD_PLOVER) split = 920000000;
  else return true;
  if (pkt.freq_hz > split) return pkt.rf_chain == 0;
  if (pkt.freq_hz < split) return pkt.rf_chain == 1;
  return true;
}

// 0 when the packet may go, a refusal (62-64) or -1 with the code set.
int listen_before_talk(const crx_tx_pkt_t& pkt) {
  if (dbfs2dbm_offset[0].load() == 0 || dbfs2dbm_offset[1].load() == 0) {
    log_line("BrvDBG-HAL: %s reading dbfs2dbmOffsets", "crx_send");
    cx_rx_table_t t{};
    if (CxGetRxTable(&t)) {
      dbfs2dbm_offset[0].store(int(t.DBFS_TO_DBM_GAIN_RX0));
      dbfs2dbm_offset[1].store(int(t.DBFS_TO_DBM_GAIN_RX1));
    }
  }
  const uint32_t toa_ms = crx_time_on_air(&pkt);
  const int i = crx_get_lbt_LUT_index(pkt.freq_hz, int(std::lround(pkt.rf_power)));
  if (i < 0 || i >= CRX_LBT_MAX_ENTRIES) return kLbtNoEntry;
  const crx_lbt_entry_t& e = brd_cfg_priv.lbt.entries[i];
  if (int64_t(toa_ms) > int64_t(e.max_talk_time_ms)) return kLbtTooLong;

  const uint8_t wide = (pkt.bandwidth >= BW_125KHZ && pkt.bandwidth <= BW_7K8HZ) ? 0 : 1;
  const int rc =
      startSpectralScanMeasurement(pkt.freq_hz / 1000, wide, uint32_t(e.listen_time_us / 2048), pkt.rf_chain);
  if (rc != 0) {
    log_line("start spectral scan returned %d\n", rc);
    return fail(ERR_UNSPECIFIED);
  }
  const int64_t listen_ns = int64_t(e.listen_time_us > 0 ? e.listen_time_us : 0) * 1000;
  const struct timespec listen = {time_t(listen_ns / 1000000000), long(listen_ns % 1000000000)};
  os::sleep(listen, nullptr);
  int32_t hold = 0;
  if (crx_reg_brd_r(0, rows::BRD_LBT_MAX_HOLD, &hold) < 0) {
    log_line("Couldn't read BREG_LBT_MAX_HOLD \n");
    return fail(ERR_UNSPECIFIED);
  }
  // A detector reading of 0 is silence (-inf dB): the channel is free.
  const double level =
      std::trunc(10.0 * std::log10(double(uint32_t(hold)) / 4294967296.0) - dbfs2dbm_offset[pkt.rf_chain].load());
  return level >= double(e.threshold_dbm) ? kLbtBusy : 0;
}

// The counter value of a GPS time, from the time reference.
int gps_time_to_count(crx_tx_pkt_t& pkt) {
  uint32_t ref_sec = 0, latched = 0;
  if (!time_reference(&ref_sec, &latched)) return fail(ERR_NOT_SYNCED);
  const uint64_t target = uint64_t(pkt.gps_sec) * 1000000ULL + pkt.gps_subsec + kTaiMinusGpsUs + kGpsEpochUnixUs;
  const uint32_t count = uint32_t(latched + (target - uint64_t(ref_sec) * 1000000ULL));
  log_line("BrvDBG-HAL: DBG INFO in %s - gps time: %us, %uns, counts = %u ref time: %us, latched count: %u",
           "crx_send", pkt.gps_sec, pkt.gps_subsec, count, ref_sec, latched);
  pkt.count_us = count;
  return 0;
}

int write_buffer(uint8_t chip, const std::array<uint8_t, kBufferBytes>& buf, size_t length) {
  if (crx_reg_chip_w(0, chip, rows::kTxCommand, 0) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Reset TX command flags", "crx_send");
    return raise_and_fail();
  }
  if (crx_reg_chip_w(0, chip, rows::kTxBufferAddress, 0) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Put metadata + payload in the TX data buffer 1", "crx_send");
    return raise_and_fail();
  }
  if (crx_reg_chip_wb(0, chip, rows::kTxBufferData, buf.data(), uint32_t(length)) < 0) {
    log_line("BrvDBG-HAL %s E R R O R  Put metadata + payload in the TX data buffer 2", "crx_send");
    return raise_and_fail();
  }
  return 0;
}

int arm(uint8_t chip, uint32_t tx_mode) {
  int row;
  const char* text;
  switch (tx_mode) {
    case TX_IMMEDIATE: row = rows::kTxTrigImmediate, text = "BrvDBG-HAL %s E R R O R  TX_IMMEDIATE"; break;
    case TX_TIMESTAMPED: row = rows::kTxTrigDelayed, text = "BrvDBG-HAL %s E R R O R  TX_TIMESTAMPED"; break;
    case TX_ON_GPS: row = rows::kTxTrigGps, text = "BrvDBG-HAL %s E R R O R  TX_ON_GPS"; break;
    default:
      log_line("BrvDBG-HAL %s E R R O R  no tx_mode", "crx_send");
      return fail(ERR_BAD_TX_MODE);
  }
  if (crx_reg_chip_w(0, chip, row, 1) < 0) {
    log_line(text, "crx_send");
    return raise_and_fail();
  }
  return 0;
}

// Checks of the packet's own fields that need no bus access, in the order
// the send steps meet them: chain, modulation parameters, mode.
int check_packet(const crx_tx_pkt_t& pkt) {
  if (pkt.rf_chain >= kRfChains) {
    log_line("BrvDBG-HAL %s WARNING invalid rf chain: %d", "crx_send", pkt.rf_chain);
    return fail(ERR_BAD_RFCHAIN_NB);
  }
  if (const int code = check_modulation(pkt); code != 0) {
    if (code == ERR_BAD_MODULATION) log_line("BrvDBG-HAL: %s E R R O R  Unknown modulation", "crx_send");
    return fail(code);
  }
  if (pkt.tx_mode > TX_ON_GPS) {
    log_line("BrvDBG-HAL %s E R R O R  no tx_mode", "crx_send");
    return fail(ERR_BAD_TX_MODE);
  }
  return 0;
}

int send_fpga(crx_tx_pkt_t& pkt) {
  if (brd_cfg_priv.lbt.enabled == 1) {
    const int rc = listen_before_talk(pkt);
    if (rc != 0) return rc;
  }
  const uint8_t chip = crx_tx_path2chip(pkt.rf_chain, pkt.carrier);
  if (pkt.tx_mode == TX_TIMESTAMPED && pkt.gps_time_en && gps_time_to_count(pkt) < 0) return -1;

  if (crx_set_tx_power(0, pkt.rf_chain, pkt.carrier, pkt.rf_power) < 0) return raise_and_fail();

  const uint32_t delay = extra_delay_us(board_type);
  if (pkt.tx_mode == TX_ON_GPS && crx_reg_chip_w(0, chip, rows::kTxStartDelay, int32_t(kTriggerLeadUs - delay)) < 0)
    return raise_and_fail();
  std::array<uint8_t, kBufferBytes> buf;
  const size_t length = encode_buffer(pkt, trigger_count(pkt.tx_mode, pkt.count_us, delay), buf);

  setup_if_reg(pkt.rf_chain, pkt.carrier, pkt.freq_hz, chip);
  setup_bandwidth_reg(pkt.rf_chain, pkt.bandwidth);

  if (write_buffer(chip, buf, length) < 0) return -1;
  if (pkt.tx_mode == TX_TIMESTAMPED) {
    uint32_t now = 0;
    if (crx_get_instcnt(0, 0, &now) < 0) return raise_and_fail();
    // The counter wraps every 71.6 minutes: only the signed distance says
    // whether the trigger still lies ahead.
    if (int32_t(pkt.count_us - kTriggerLeadUs - now) <= 0) {
      log_line("BrvDBG-HAL %s WARNING:  it is already too late to send this packet(%dus), time: %u", "crx_send",
               int(pkt.count_us - now - kTriggerLeadUs), now);
      return fail(ERR_TOO_LATE);
    }
  }
  if (arm(chip, pkt.tx_mode) < 0) return -1;
  pkt_counters::add_downlink();
  return 0;
}

}  // namespace

}  // namespace crx::tx

using namespace crx;

extern "C" uint8_t crx_tx_path2chip(uint8_t rf_chain, uint8_t carrier) {
  const uint8_t k = carrier == 1 ? 1 : 0;
  if (rf_chain == 0) return k;
  if (rf_chain == 1) return uint8_t(2 + k);
  log_line("BrvDBG-HAL %s WARNING invalid rf chain: %d, send on default chip (0)", __func__, rf_chain);
  return 0;
}

extern "C" int crx_send(uint8_t board, crx_tx_pkt_t* pkt) {
  regs::ensure_board_known();
  if (tx::check_board_and_band(board, pkt) < 0) return -1;
  crx_update_fault_status(7, 0);
  timers::arm_dl_idle();
  if (!tx::chain_fits_band(*pkt)) return tx::kWrongChainForBand;
  if (is_wren_board(board_type)) {
    const int rc = ostra_wren_send(pkt);
    if (rc < 0) raise_fault_alarms(get_errno());
    if (rc == 0) pkt_counters::add_downlink();
    return rc;
  }
  if (tx::check_packet(*pkt) < 0) return -1;
  return tx::send_fpga(*pkt);
}

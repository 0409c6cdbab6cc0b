#include "crx_hal/rx_decode.h"

#include <cmath>
#include <cstring>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/rxtx_deps.h"
#include "device/reg_access.h"
#include "log.h"

namespace crx::rx {

namespace {

// FIFO status byte 3, low three bits.
constexpr uint8_t kCrcStateOk = 5;
constexpr uint8_t kCrcStateBad = 7;
constexpr uint8_t kCrcStateNone = 1;

// LoRaWAN message types a gateway sends, heard back from a neighbour.
bool is_downlink_type(uint8_t mtype) { return mtype == 1 || mtype == 3 || mtype == 5; }

float signed_quarter(uint8_t b) { return float(int8_t(b)) / 4.0f; }

}  // namespace

FifoStatus parse_fifo_status(std::span<const uint8_t, kFifoStatusBytes> b) {
  FifoStatus s{};
  s.empty = b[0] == 0;
  s.size = b[4];
  switch (b[3] & 7) {
    case kCrcStateOk: s.crc_status = STAT_CRC_OK; s.crc_present = true; break;
    case kCrcStateBad: s.crc_status = STAT_CRC_BAD; s.crc_present = true; break;
    case kCrcStateNone: s.crc_status = STAT_NO_CRC; break;
    default: s.crc_status = STAT_UNDEFINED; break;
  }
  return s;
}

uint32_t timestamp_delay(uint8_t chan, uint32_t bandwidth, uint32_t sf, uint32_t cr, uint32_t size,
                         bool crc_present) {
  uint32_t x = 114, d = 1;
  if (chan == kLoraStdChannel) {
    switch (bandwidth) {
      case BW_500KHZ: x = 16, d = 4; break;
      case BW_250KHZ: x = 32, d = 2; break;
      case BW_125KHZ: x = 64, d = 1; break;
      default: x = 0, d = 0; break;
    }
  }
  if (sf < 6 || sf > 12 || d == 0) return x;
  // The chip's own arithmetic is unsigned throughout; (2P - sf + 6) wraps
  // for the shortest frames and the formula keeps that.
  const uint32_t p = uint32_t(ppm_mode_en(crx_bw_t(bandwidth), int(sf)));
  const uint32_t pl = size + 2 * (crc_present ? 1 : 0);
  uint32_t y, z;
  if (int64_t(2) * pl - int64_t(sf) == -7) {
    y = ((sf + 1) * (1u << (sf - 1)) + 3 * (1u << (sf - 4))) / d;
    z = (64 * pl + 160) / d;
  } else {
    y = ((sf + 1) * (1u << (sf - 1)) + (4 - p) * (1u << (sf - 4))) / d;
    z = ((((2 * pl - sf + 6) % (sf - 2 * p)) + 1) * (cr + 4) * 4) / d;
  }
  return x + y + z;
}

uint8_t logical_channel(uint8_t chan, uint32_t freq_hz, uint32_t bandwidth) {
  if (chan == kFskChannel) return uint8_t((freq_hz - 903000000u) / 1600000u + 72u);
  if (board_type == CRX_BOARD_OPAL && brd_cfg_priv.freq_band == FREQ_BAND_US_FULL_ISM)
    return uint8_t(opalLoraChannelFromFreq(freq_hz, int(bandwidth)));
  if (chan == kLoraStdChannel) return uint8_t((freq_hz - 903000000u) / 1600000u + 64u);
  return uint8_t((freq_hz - 902300000u) / 200000u);
}

PacketKeys packet_keys(const uint8_t* payload, uint8_t size) {
  auto at = [&](int i) -> uint64_t { return i < size ? payload[i] : 0; };
  PacketKeys k{};
  k.mtype = uint8_t(at(0) >> 5);
  if (k.mtype != 0) {
    k.dev_id = at(1) | at(2) << 8 | at(3) << 16 | at(4) << 24;
    k.fcnt = uint16_t(at(6) + 256 * at(8));
  } else {
    for (int i = 0; i < 8; ++i) k.dev_id |= at(8 + i) << (8 * i);
    k.fcnt = 0;
  }
  return k;
}

Decoded decode_packet(uint8_t chip, const FifoStatus& status, std::span<const uint8_t> data, RxEntry* out) {
  const uint8_t size = status.size;
  const uint8_t* payload = data.data();
  const uint8_t* m = data.data() + size;
  const uint8_t mtype = size ? uint8_t(payload[0] >> 5) : 0;
  if (is_downlink_type(mtype)) return Decoded::kDownlink;

  const uint8_t n = m[0] & 15;
  if (n >= kChipChannels) {
    log_line("\nBrvDBG-HAL: %s  WARNING  channel does not exist  cx = %d > %d", __func__, n, 8);
    return Decoded::kNoChannel;
  }
  const uint8_t c = chip % kBoardChips;
  const uint8_t rf_chain = brd_cfg_priv.chip_rf_chain[c];

  crx_rx_pkt_t& p = out->pkt;
  std::memset(&p, 0, sizeof p);
  p.status = status.crc_status;
  p.if_chain = uint8_t(c * 10 + n);
  p.freq_hz = brd_cfg_priv.chan_freq[c][n];
  p.size = size;
  p.crc = uint16_t(m[10] + 256 * m[11]);
  std::memcpy(p.payload, payload, size);
  const float rssi = calc_rssi(0, n, m[5], rf_chain, 0);

  SignalRecord& sig = out->sig;
  sig = SignalRecord{};
  uint32_t delay = 0;
  if (n == kFskChannel) {
    p.modulation = MOD_FSK;
    p.bandwidth = brd_cfg_priv.fsk_bandwidth[c];
    p.datarate = brd_cfg_priv.fsk_bitrate[c];
    p.coderate = CR_UNDEFINED;
    // The chip measures no SNR on this channel: -128 marks it, and the
    // minimum and maximum stay clear.
    sig.snr = -128.0f;
  } else {
    p.modulation = MOD_LORA;
    p.bandwidth = n == kLoraStdChannel ? brd_cfg_priv.std_bandwidth[c] : uint32_t(BW_125KHZ);
    sig.snr = signed_quarter(m[2]);
    sig.snr_min = signed_quarter(m[3]);
    sig.snr_max = signed_quarter(m[4]);
    const uint32_t sf = m[1] >> 4;
    const uint32_t cr = (m[1] >> 1) & 7;
    p.datarate = crx_sf_nb2enum(int(sf));
    p.coderate = crx_cr_nb2enum(int(cr));
    delay = timestamp_delay(n, p.bandwidth, sf, cr, size, status.crc_present);
  }
  sig.chan = logical_channel(n, p.freq_hz, p.bandwidth);
  sig.rssi = rssi;
  p.count_us = (uint32_t{m[6]} | uint32_t{m[7]} << 8 | uint32_t{m[8]} << 16 | uint32_t{m[9]} << 24) - delay;

  if (rf_chain < kRfChains) {
    crx_rsig_t& r = p.rsig[rf_chain];
    r.valid = true;
    r.chan = sig.chan;
    r.rssi = sig.rssi;
    r.snr = sig.snr;
    r.snr_min = sig.snr_min;
    r.snr_max = sig.snr_max;
  }
  out->keys = packet_keys(payload, size);
  return Decoded::kPacket;
}

}  // namespace crx::rx

using namespace crx;

extern "C" float crx_ad9361_temp2rssi(uint8_t code, uint8_t cal_code, int16_t coeff_a, int16_t coeff_b) {
  const int d = int(code) - int(cal_code);
  const double sum = double(coeff_a) * d * d + double(coeff_b) * d;
  return float(int32_t(sum)) / 65536.0f;
}

extern "C" float calc_rssi(uint8_t board, uint8_t chan, uint8_t raw_rssi, uint8_t rf_chain, uint8_t temp_code) {
  regs::ensure_board_known();
  if (is_wren_board(board_type)) return ostra_wren_calc_rssi(chan, raw_rssi);
  // A chain number beyond the board's two has no calibration: no offset and
  // no temperature term rather than a read past the table.
  const bool known_chain = rf_chain < kRfChains;
  float r = float(raw_rssi) + (known_chain ? brd_cfg_priv.rf_chain[rf_chain].rssi_offset : 0.0f);
  if (chan < kMultiSfChannels) {
    r += 19.5f;
  } else if (chan == kFskChannel) {
    const double x = r;
    r = float(1.5351 * x + 54.5494 + 0.003 * x * x);
  }
  if (board == 0 && known_chain) {
    const auto& chain = brd_cfg_priv.rf_chain[rf_chain];
    r += crx_ad9361_temp2rssi(temp_code, brd_cfg_priv.calibration_temperature_code_ad9361,
                              chain.rssi_offset_coeff_a, chain.rssi_offset_coeff_b);
  }
  return std::roundf(r);
}

#include "crx_hal/tx_encode.h"

#include <cmath>
#include <cstring>

namespace crx::tx {

namespace {

constexpr double kRefHz = 64000000.0;  // 8 × the 8 MHz step of the integer part
constexpr double kFracScale = 8388593.0;  // 2^23 - 15
constexpr uint8_t kFskFlag = 0x10;

}  // namespace

int lora_bandwidth_code(uint32_t bw) {
  switch (bw) {
    case BW_500KHZ: return 2;
    case BW_250KHZ: return 1;
    case BW_125KHZ: return 0;
    default: return -1;
  }
}

uint32_t extra_delay_us(uint32_t type) {
  return (type == CRX_BOARD_CONDOR_NA || type == CRX_BOARD_CONDOR_EU) ? 88 : 0;
}

uint32_t freq_fraction(uint32_t freq_hz) {
  const double f = double(freq_hz) * 8.0;
  const double n = std::floor(f / kRefHz);
  return uint32_t(std::trunc(f * kFracScale / kRefHz - n * kFracScale));
}

uint32_t trigger_count(uint32_t tx_mode, uint32_t count_us, uint32_t extra_delay) {
  const uint32_t c = count_us - kTriggerLeadUs;
  if (tx_mode == TX_ON_GPS) return c + extra_delay;
  if (tx_mode == TX_TIMESTAMPED) return c - extra_delay;
  return 0;
}

int check_modulation(const crx_tx_pkt_t& pkt) {
  if (pkt.modulation == MOD_LORA) {
    if (crx_cr_enum2nb(crx_cr_t(pkt.coderate)) < 0) return ERR_BAD_BITRATE;
    if (crx_sf_enum2nb(crx_sf_t(pkt.datarate)) < 0) return ERR_BAD_SF;
    if (lora_bandwidth_code(pkt.bandwidth) < 0) return ERR_BAD_BW;
    return 0;
  }
  if (pkt.modulation == MOD_FSK) {
    // The divider is 16 bits wide and a bit rate of 0 has none.
    if (pkt.datarate == 0 || kFskClockHz / pkt.datarate > 0xFFFF) return ERR_BAD_BITRATE;
    if (pkt.size >= CRX_PAYLOAD_MAX) return ERR_UNSPECIFIED;
    return 0;
  }
  return ERR_BAD_MODULATION;
}

size_t encode_buffer(const crx_tx_pkt_t& pkt, uint32_t trigger, std::array<uint8_t, kBufferBytes>& out) {
  if (check_modulation(pkt) != 0) return 0;
  out.fill(0);
  const uint32_t f = freq_fraction(pkt.freq_hz);
  out[0] = uint8_t(f >> 16);
  out[1] = uint8_t(f >> 8);
  out[2] = uint8_t(f);
  out[3] = uint8_t(trigger >> 24);
  out[4] = uint8_t(trigger >> 16);
  out[5] = uint8_t(trigger >> 8);
  out[6] = uint8_t(trigger);

  if (pkt.modulation == MOD_LORA) {
    const int cr = crx_cr_enum2nb(crx_cr_t(pkt.coderate));
    const int sf = crx_sf_enum2nb(crx_sf_t(pkt.datarate));
    out[9] = uint8_t((pkt.no_crc ? 0 : 0x80) | ((cr << 4) & 0x70) | (sf & 0x0F));
    out[10] = pkt.size;
    out[11] = uint8_t(lora_bandwidth_code(pkt.bandwidth) | (pkt.no_header ? 0x04 : 0) |
                      (ppm_mode_en(crx_bw_t(pkt.bandwidth), sf) ? 0x08 : 0) | (pkt.invert_pol ? 0x10 : 0));
    const uint16_t preamble = pkt.preamble == 0 ? 6 : pkt.preamble < 4 ? 4 : pkt.preamble;
    put_be16(&out[12], preamble);
    std::memcpy(&out[kMetadataBytes], pkt.payload, pkt.size);
    return kMetadataBytes + size_t(pkt.size);
  }
  out[7] = kFskFlag;
  out[9] = pkt.f_dev;
  out[10] = uint8_t(pkt.size + 1);
  out[11] = pkt.no_crc ? 0 : 2;
  const uint16_t preamble = pkt.preamble == 0 ? 5 : pkt.preamble < 3 ? 3 : pkt.preamble;
  put_be16(&out[12], preamble);
  put_be16(&out[14], kFskClockHz / pkt.datarate);
  out[16] = pkt.size;
  std::memcpy(&out[kMetadataBytes + 1], pkt.payload, pkt.size);
  return kMetadataBytes + 1 + size_t(pkt.size);
}

}  // namespace crx::tx

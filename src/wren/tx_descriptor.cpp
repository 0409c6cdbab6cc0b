#include "wren/tx_descriptor.h"

#include <cstring>

#include "crx_hal/tx_encode.h"

namespace crx::wren {

namespace {

using tx::kFskClockHz;
using tx::lora_bandwidth_code;
using tx::put_be16;

constexpr uint32_t kSx1255Type = 1;
constexpr uint32_t kSx1257Type = 2;

// The two top bits of byte 0 carry the bandwidth of a LoRa packet.
uint8_t lora_bandwidth_flags(uint32_t bw) {
  if (bw == BW_500KHZ) return 0x80;
  if (bw == BW_125KHZ) return 0x40;
  return 0;
}

}  // namespace

int gain_index(const tx_lut_t& table, float requested_dbm) {
  int i = int(table.size) - 1;
  if (i >= kTxLutMaxEntries) i = kTxLutMaxEntries - 1;
  while (i > 0 && requested_dbm < float(table.lut[i].rf_power)) --i;
  return i < 0 ? 0 : i;
}

bool radio_freq_parts(uint32_t radio_type, uint32_t freq_hz, uint8_t* integer, uint16_t* fraction) {
  const uint64_t f = freq_hz;
  if (radio_type == kSx1255Type) {
    *integer = uint8_t(f / 2000000);
    *fraction = uint16_t(((f % 2000000) << 9) / 15625);
    return true;
  }
  if (radio_type == kSx1257Type) {
    *integer = uint8_t(f / 4000000);
    *fraction = uint16_t(((f % 4000000) << 8) / 15625);
    return true;
  }
  return false;
}

// The Wren's SX1301 takes the same modulations as the large boards' chips.
int check_descriptor(const crx_tx_pkt_t& pkt) { return tx::check_modulation(pkt); }

size_t encode_descriptor(const crx_tx_pkt_t& pkt, uint8_t gain, uint32_t radio_type,
                         std::array<uint8_t, kTxBufferBytes>& out) {
  if (check_descriptor(pkt) != 0) return 0;
  out.fill(0);
  uint8_t integer = 0;
  uint16_t fraction = 0;
  if (radio_freq_parts(radio_type, pkt.freq_hz, &integer, &fraction)) {
    out[0] = integer;
    put_be16(&out[1], fraction);
  }
  const uint32_t trigger = pkt.tx_mode == TX_TIMESTAMPED ? pkt.count_us - kTxTriggerLeadUs : 0;
  out[3] = uint8_t(trigger >> 24);
  out[4] = uint8_t(trigger >> 16);
  out[5] = uint8_t(trigger >> 8);
  out[6] = uint8_t(trigger);
  out[7] = uint8_t((gain & 0x0F) | (pkt.rf_chain << 5));

  if (pkt.modulation == MOD_LORA) {
    const int cr = crx_cr_enum2nb(crx_cr_t(pkt.coderate));
    const int sf = crx_sf_enum2nb(crx_sf_t(pkt.datarate));
    out[0] = uint8_t((out[0] & 0x3F) | lora_bandwidth_flags(pkt.bandwidth));
    out[9] = uint8_t((pkt.no_crc ? 0 : 0x80) | ((cr << 4) & 0x70) | (sf & 0x0F));
    out[10] = pkt.size;
    out[11] = uint8_t(lora_bandwidth_code(pkt.bandwidth) | (pkt.no_header ? 0x04 : 0) |
                      (ppm_mode_en(crx_bw_t(pkt.bandwidth), sf) ? 0x08 : 0) | (pkt.invert_pol ? 0x10 : 0));
    put_be16(&out[12], pkt.preamble == 0 ? 6 : pkt.preamble < 4 ? 4 : pkt.preamble);
    std::memcpy(&out[kDescriptorBytes], pkt.payload, pkt.size);
    return kDescriptorBytes + size_t(pkt.size);
  }
  out[7] |= 0x10;
  out[9] = pkt.f_dev;
  out[10] = uint8_t(pkt.size + 1);
  out[11] = pkt.no_crc ? 9 : 11;
  put_be16(&out[12], pkt.preamble == 0 ? 5 : pkt.preamble < 3 ? 3 : pkt.preamble);
  put_be16(&out[14], kFskClockHz / pkt.datarate);
  out[16] = pkt.size;
  std::memcpy(&out[kDescriptorBytes + 1], pkt.payload, pkt.size);
  return kDescriptorBytes + 1 + size_t(pkt.size);
}

uint8_t lbt_bandwidth_index(uint32_t bandwidth) {
  switch (bandwidth) {
    case BW_500KHZ: return 20;
    case BW_250KHZ: return 17;
    case BW_62K5HZ: return 11;
    case BW_31K2HZ: return 8;
    case BW_15K6HZ: return 5;
    case BW_7K8HZ: return 2;
    default: return 14;
  }
}

}  // namespace crx::wren

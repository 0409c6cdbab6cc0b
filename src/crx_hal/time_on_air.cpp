// Time on air of LoRa and FSK packets. The LoRa figures rest on assumptions
// that the listen-before-talk check, the Wren transmit path and the
// localization engine all share: bandwidths truncated to whole kHz, the
// low-data-rate optimisation counted for every SF above 10 whatever the
// bandwidth, and the payload CRC always counted.
//
// The sums are done in integers where the result is truncated, so that a
// duration that is a whole number of ms is never cut to the ms below by a
// rounding error.
#include <cstdint>

#include "crx.h"
#include "log.h"

namespace {

constexpr const char* kWrongParameter = "Failed to compute time on air, wrong parameter";

// The conversions take the enumerations; values outside them are refused
// here rather than cast into an enumeration that cannot hold them.
int bandwidth_hz(uint32_t bw) {
  return bw <= BW_7K8HZ ? crx_bw_enum2nb(static_cast<crx_bw_t>(bw)) : -1;
}

int spreading_factor(uint32_t datarate) {
  return datarate <= DR_LORA_MULTI ? crx_sf_enum2nb(static_cast<crx_sf_t>(datarate)) : -1;
}

bool valid_coderate(uint32_t cr) { return cr >= CR_LORA_4_5 && cr <= CR_LORA_4_8; }

// Payload symbols: 8 + ceil((2 size - SF + 11 - 5 IH) / (SF - 2 DE)) (CR + 4),
// the usual (8 PL - 4 SF + 28 + 16 CRC - 20 IH) / (4 (SF - 2 DE)) with the
// CRC term fixed and the common factor 4 taken out.
unsigned payload_symbols(int sf, unsigned size, bool implicit_header, uint32_t cr) {
  const int de = sf > 10 ? 1 : 0;
  const int num = 2 * static_cast<int>(size) - sf + 11 - (implicit_header ? 5 : 0);
  const int den = sf - 2 * de;
  // Integer division truncates toward zero, which is the ceiling for a
  // negative quotient; a positive one with a remainder needs one more.
  int blocks = num / den;
  if (num > 0 && num % den != 0) ++blocks;
  // Never negative for SF 7 to 12 (the smallest quotient is -0.75).
  if (blocks < 0) blocks = 0;
  return static_cast<unsigned>(blocks) * (cr + 4) + 8;
}

uint32_t lora_tx(const crx_tx_pkt_t& pkt) {
  const int bw = bandwidth_hz(pkt.bandwidth);
  if (bw < 0) {
    crx::log_line("Cannot compute time on air for this packet, unsupported bandwidth (0x%02X)",
                  pkt.bandwidth);
    return 0;
  }
  const int sf = spreading_factor(pkt.datarate);
  if (sf < 0) {
    crx::log_line("Cannot compute time on air for this packet, unsupported datarate (0x%02X)",
                  pkt.datarate);
    return 0;
  }
  if (!valid_coderate(pkt.coderate)) {
    crx::log_line("Cannot compute time on air for this packet, unsupported coderate (0x%02X)",
                  pkt.coderate);
    return 0;
  }
  const uint64_t bw_khz = static_cast<uint64_t>(bw) / 1000;
  const uint64_t symbols_x4 =
      4ull * pkt.preamble + 17 + 4ull * payload_symbols(sf, pkt.size, pkt.no_header, pkt.coderate);
  // (preamble + 4.25 + N) symbols of 2^SF / B_k ms each.
  return static_cast<uint32_t>((symbols_x4 << sf) / (4 * bw_khz));
}

uint32_t fsk_tx(const crx_tx_pkt_t& pkt) {
  if (pkt.datarate == 0) {
    crx::log_line("Cannot compute time on air for this packet, unsupported datarate (0x%02X)",
                  pkt.datarate);
    return 0;
  }
  // Fixed 3 bytes, the preamble in bytes, a length byte, payload and CRC.
  const uint64_t bytes = 3ull + pkt.preamble + 1 + pkt.size + (pkt.no_crc ? 0 : 2);
  return static_cast<uint32_t>(bytes * 8 * 1000 / pkt.datarate + 1);
}

}  // namespace

extern "C" {

uint32_t crx_time_on_air(const crx_tx_pkt_t* pkt) {
  if (!pkt) {
    crx::log_line("%s", kWrongParameter);
    return 0;
  }
  switch (pkt->modulation) {
    case MOD_LORA:
      return lora_tx(*pkt);
    case MOD_FSK:
      return fsk_tx(*pkt);
    default:
      crx::log_line("Cannot compute time on air for this packet, unsupported modulation (0x%02X)",
                    pkt->modulation);
      return 0;
  }
}

double time_on_air_rx(const crx_rx_pkt_t* pkt, bool no_header, double* t_preamble, double* t_sync,
                      double* t_payload) {
  if (!pkt) {
    crx::log_line("%s", kWrongParameter);
    return 0;
  }
  int bw_khz;
  switch (pkt->bandwidth) {
    case BW_500KHZ: bw_khz = 500; break;
    case BW_250KHZ: bw_khz = 250; break;
    case BW_125KHZ: bw_khz = 125; break;
    default:
      crx::log_line("ERROR: Cannot compute time on air for this packet, unsupported bandwidth (%u)",
                    pkt->bandwidth);
      return 0;
  }
  const int sf = spreading_factor(pkt->datarate);
  if (sf < 0) {
    crx::log_line("ERROR: Cannot compute time on air for this packet, unsupported datarate (%u)",
                  pkt->datarate);
    return 0;
  }
  if (!valid_coderate(pkt->coderate)) {
    crx::log_line("ERROR: Cannot compute time on air for this packet, unsupported coderate (%u)",
                  pkt->coderate);
    return 0;
  }
  const double t_symbol = static_cast<double>(1u << sf) / bw_khz;
  // Received packets are timed with the 8-symbol preamble the gateways use.
  const double preamble = 8 * t_symbol;
  const double sync = 4.25 * t_symbol;
  const double payload = payload_symbols(sf, pkt->size, no_header, pkt->coderate) * t_symbol;
  if (t_preamble) *t_preamble = preamble;
  if (t_sync) *t_sync = sync;
  if (t_payload) *t_payload = payload;
  return payload + preamble + sync;
}

}  // extern "C"

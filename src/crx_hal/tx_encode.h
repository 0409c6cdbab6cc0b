// The transmit buffer's contents: frequency word, trigger count and the
// 16 metadata bytes of a LoRa or FSK packet, followed by its payload. Pure
// arithmetic; crx_send (tx.cpp) writes the result to the chip.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crx.h"

namespace crx::tx {

inline constexpr uint32_t kTriggerLeadUs = 1500;
// The modem's FSK clock, divided down to the bit rate.
inline constexpr uint32_t kFskClockHz = 32000000;
inline constexpr int kMetadataBytes = 16;
// Metadata, FSK length byte and the largest payload.
inline constexpr size_t kBufferBytes = kMetadataBytes + 1 + CRX_PAYLOAD_MAX;

// Front-end delay of the board's transmit chain (88 µs on the Condor NA and
// EU boards, else 0).
uint32_t extra_delay_us(uint32_t board_type);

// Fraction of freq_hz / 8 MHz scaled by 2^23 - 15, the chip's 24-bit word.
uint32_t freq_fraction(uint32_t freq_hz);

// The count written into the metadata for a timed trigger: the wanted
// count less the trigger lead, moved by the board's delay (later for a GPS
// trigger, earlier for a timestamped one). 0 for an immediate send.
uint32_t trigger_count(uint32_t tx_mode, uint32_t count_us, uint32_t extra_delay);

// The parameter checks of the encoding, in its order: 0, or the code a send
// refuses the packet with (21 coding rate, 20 spreading factor, 22
// bandwidth, 23 modulation; for FSK 21 for a bit rate the chip cannot
// divide down to, 69 for a payload longer than its length byte holds).
int check_modulation(const crx_tx_pkt_t& pkt);

// The metadata's LoRa bandwidth code (0 125 kHz, 1 250 kHz, 2 500 kHz), or
// -1 for a bandwidth the modem cannot send.
int lora_bandwidth_code(uint32_t bw);
inline void put_be16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

// Metadata and payload as the chip's TX buffer takes them; the length
// used, or 0 when check_modulation refuses the packet.
size_t encode_buffer(const crx_tx_pkt_t& pkt, uint32_t trigger, std::array<uint8_t, kBufferBytes>& out);

}  // namespace crx::tx

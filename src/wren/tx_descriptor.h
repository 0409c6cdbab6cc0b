// The Wren SX1301's transmit descriptor and the choices made before it is
// written: which gain entry serves a requested power, and the frequency
// bytes of the transmitting radio. Pure arithmetic; ostra_wren_send
// (send.cpp) puts the result on the bus.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "crx.h"
#include "wren/tx_lut.h"

namespace crx::wren {

inline constexpr int kDescriptorBytes = 16;
// Descriptor, FSK length byte and the largest payload.
inline constexpr size_t kTxBufferBytes = kDescriptorBytes + 1 + CRX_PAYLOAD_MAX;
inline constexpr uint32_t kTxTriggerLeadUs = 1500;

// The highest entry whose RF power does not exceed `requested_dbm`, or
// entry 0 when none does. The table must hold at least one entry.
int gain_index(const tx_lut_t& table, float requested_dbm);

// Integer and fraction parts of the radio's PLL word for `freq_hz`: false
// for a radio type that is neither SX1255 (1) nor SX1257 (2).
bool radio_freq_parts(uint32_t radio_type, uint32_t freq_hz, uint8_t* integer, uint16_t* fraction);

// The packet checks the descriptor needs, in its order: 0, or the code a
// send refuses the packet with (23 modulation; LoRa 21 coding rate, 20
// spreading factor, 22 bandwidth; FSK 21 for a bit rate the 16-bit
// divider cannot hold, 69 for a payload whose length byte would wrap).
int check_descriptor(const crx_tx_pkt_t& pkt);

// Descriptor and payload as the TX buffer takes them; the byte count, or 0
// when check_descriptor refuses the packet. The frequency bytes stay 0 for
// an unknown radio type.
size_t encode_descriptor(const crx_tx_pkt_t& pkt, uint8_t gain_index, uint32_t radio_type,
                         std::array<uint8_t, kTxBufferBytes>& out);

// The side radio's receive-bandwidth index that listens to a packet of
// this bandwidth.
uint8_t lbt_bandwidth_index(uint32_t bandwidth);

}  // namespace crx::wren

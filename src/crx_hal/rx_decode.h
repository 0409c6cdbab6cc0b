// Decoding of one SX1301 FIFO entry into a crx_rx_pkt_t: no bus access, so
// every rule can be exercised on bytes alone. The FIFO walk that feeds it
// (rx_fetch.cpp) and the thread around it stay thin.
#pragma once

#include <cstdint>
#include <span>

#include "crx.h"

namespace crx::rx {

inline constexpr int kMaxPackets = 128;  // CRX_MAX_PKT_NB
inline constexpr int kFifoStatusBytes = 5;
inline constexpr int kMetadataBytes = 16;

// The keys of the same-packet rule, taken from the LoRaWAN header.
struct PacketKeys {
  uint8_t mtype;     // top three bits of the first payload byte
  uint16_t fcnt;
  uint64_t dev_id;
};

// How the receiving chip heard the packet.
struct SignalRecord {
  uint8_t chan;  // logical channel number
  float rssi;
  float snr;
  float snr_min;
  float snr_max;
};

// One packet of a poll batch.
struct RxEntry {
  PacketKeys keys;
  crx_rx_pkt_t pkt;
  SignalRecord sig;
};

// What the FIFO status bytes say about the head entry.
struct FifoStatus {
  bool empty;
  uint8_t size;         // payload bytes
  uint32_t crc_status;  // STAT_* value
  bool crc_present;
};
FifoStatus parse_fifo_status(std::span<const uint8_t, kFifoStatusBytes> bytes);

enum class Decoded {
  kPacket,      // `out` holds an uplink
  kDownlink,    // a downlink frame type heard on air: drop it
  kNoChannel,   // channel number above 9: drop it (logged)
};

// Decodes the head entry of chip `chip`: `data` is the payload followed by
// the 16 metadata bytes, as read from the chip. Reads the board state of
// brd_cfg_priv for frequencies, bandwidths and RSSI calibration.
Decoded decode_packet(uint8_t chip, const FifoStatus& status, std::span<const uint8_t> data, RxEntry* out);

// Delay between the start of a LoRa frame and the moment the chip stamps it,
// in µs, for IF channel `chan` (0-8).
uint32_t timestamp_delay(uint8_t chan, uint32_t bandwidth, uint32_t sf, uint32_t cr, uint32_t size,
                         bool crc_present);

// Logical channel numbers of the US plan (one byte, unsigned arithmetic).
uint8_t logical_channel(uint8_t chan, uint32_t freq_hz, uint32_t bandwidth);

// The same-packet keys of a payload; bytes beyond `size` count as 0.
PacketKeys packet_keys(const uint8_t* payload, uint8_t size);

}  // namespace crx::rx

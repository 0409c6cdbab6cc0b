// Time on air of LoRa and FSK frames, from the modulations' public
// definitions (symbol time 2^SF / BW; 4.25 symbols of sync after the
// preamble; 8 header symbols plus the coded payload).
#pragma once

#include <cstdint>

namespace crx::sim {

struct LoraFrame {
  uint8_t sf = 7;              // 5 to 12
  uint32_t bandwidth_hz = 125000;
  uint8_t cr = 1;              // 1 to 4: 4/5 to 4/8
  uint32_t payload_bytes = 0;
  uint16_t preamble = 8;       // programmed symbols (the sync is added)
  bool crc = true;
  bool implicit_header = false;
};

// Microseconds, rounded up; 0 for a frame whose SF or bandwidth is 0.
uint32_t lora_airtime_us(const LoraFrame& f);
// An FSK frame: preamble, 3 sync bytes, length byte, payload, CRC.
uint32_t fsk_airtime_us(uint32_t bitrate, uint16_t preamble_bytes, uint32_t payload_bytes, bool crc);

}  // namespace crx::sim

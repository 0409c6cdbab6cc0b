// An SX1301's receive FIFO as its registers present it.
//
// Status registers (5 bytes from address 0x0B): [0] entries stored (0 when
// empty, saturating at 255), [1] IF channel of the head entry, [2] its
// datarate byte (SF << 4 | CR << 1), [3] CRC state in bits 0-2 (5 correct,
// 7 wrong, 1 no CRC), [4] payload size. Writing address 0x0B pops the head
// entry. The data port (address 0x04) streams the head entry: its payload,
// then 16 metadata bytes:
//   0  IF channel (low nibble)     5     raw RSSI
//   1  SF << 4 | CR << 1           6-9   counter at reception, LSB first
//   2-4 SNR, minimum, maximum in   10-11 payload CRC, LSB first
//       signed quarter dB          12-15 0
// Bytes past the entry read 0. The receive-status line is high while the
// FIFO holds an entry.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace crx::sim {

// A frame the chip has demodulated.
struct Uplink {
  static constexpr uint8_t kCrcOk = 5;
  static constexpr uint8_t kCrcBad = 7;
  static constexpr uint8_t kNoCrc = 1;

  std::vector<uint8_t> payload;
  uint8_t if_chan = 0;       // 0-7 multi-SF, 8 LoRa stand-alone, 9 FSK (any 4-bit value is kept)
  uint8_t sf = 7;            // spreading factor number
  uint8_t cr = 1;            // coding rate 1-4 (4/5 to 4/8)
  uint8_t crc_state = kCrcOk;  // the 3-bit state as the chip reports it
  uint8_t raw_rssi = 0;
  float snr = 0, snr_min = 0, snr_max = 0;  // dB; stored in quarter dB
  uint32_t count_us = 0;     // the chip's counter when the frame was received
  uint16_t crc = 0;          // the frame's CRC value
};

class RxFifoModel {
 public:
  static constexpr uint8_t kDataAddress = 0x04;
  static constexpr uint8_t kStatusAddress = 0x0B;
  static constexpr int kStatusBytes = 5;
  static constexpr int kMetadataBytes = 16;

  // Queues a frame; the line rises when the FIFO was empty.
  void push_uplink(const Uplink& frame);

  // The status bytes as a 5-byte read from kStatusAddress returns them.
  std::array<uint8_t, kStatusBytes> status() const;
  // Next bytes of the data port.
  void read_data(std::span<uint8_t> out);
  // Drops the head entry (a write to kStatusAddress).
  void pop();

  // The receive-status line.
  bool not_empty() const;
  size_t size() const;
  // Called with the new level whenever the line changes (outside the lock).
  void on_level_change(std::function<void(bool)> callback);

  // The bytes an entry streams: payload, then metadata.
  static std::vector<uint8_t> entry_bytes(const Uplink& frame);

 private:
  struct Entry {
    std::vector<uint8_t> bytes;
    uint8_t if_chan;
    uint8_t datarate;
    uint8_t crc_state;
    uint8_t size;
  };

  mutable std::mutex mutex_;  // guards entries_ and read_pos_
  std::deque<Entry> entries_;
  size_t read_pos_ = 0;
  std::function<void(bool)> level_callback_;
};

}  // namespace crx::sim

// An SX1301's transmit side as its registers present it.
//
// TX buffer: address register 0x05 sets where the next data byte goes; the
// data port 0x06 stores bytes there, advancing. Command byte (page 1,
// address 0x21): bit 0 sends at once, bit 1 at the trigger count of the
// metadata, bit 2 at the next PPS; writing 0 cancels what is armed. Start
// delay (page 1, 0x22-0x23, LSB first): the lead of a PPS trigger in µs.
// Status (page 1, 0x3E): 0x80 free, 0x90 scheduled, 0xB0 emitting.
//
// Buffer layout, as the chip reads it when a trigger is armed:
//   0-2  frequency fraction: (f / 8 MHz - floor) × (2^23 - 15), MSB first
//   3-6  trigger count, MSB first
//   7    bit 4: FSK (else LoRa); bits 0-3: power index
//   LoRa: 9 CRC on (bit 7) | CR << 4 | SF; 10 size; 11 bandwidth (bits 0-1:
//         0 125, 1 250, 2 500 kHz) | implicit header 0x04 | PPM 0x08 |
//         inverted IQ 0x10; 12-13 preamble; payload from 16
//   FSK:  9 frequency deviation (kHz); 10 size + 1; 11 CRC on (bit 1);
//         12-13 preamble; 14-15 32 MHz / bit rate; 16 size; payload from 17
//
// The Wren SX1301 drives its SX125x radios itself and reads another
// layout (set_layout(kWren)): 0 the radio's PLL integer part (SX1255: f /
// 2 MHz; SX1257: f / 4 MHz), for LoRa with bits 7-6 replaced by the
// bandwidth (0x80 500 kHz, 0x40 125 kHz, 0 250 kHz); 1-2 the fraction
// (SX1255: (f mod 2 MHz) << 9 / 15625; SX1257: (f mod 4 MHz) << 8 /
// 15625), MSB first; 7 bits 5-6 the RF chain; FSK 11 is 9 (no CRC) or 11.
// When a trigger is armed the model also captures the TX gain registers
// of page 1: the I and Q offsets (0x27, 0x28, signed) and the digital gain
// (0x2A bits 0-1).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace crx::sim {

struct Transmission {
  enum class Trigger { kImmediate, kTimestamped, kOnPps };

  uint32_t freq_fraction = 0;  // the 24-bit word
  uint8_t power_index = 0;
  bool fsk = false;
  // LoRa
  uint8_t sf = 0, cr = 0, bandwidth_code = 0;
  bool crc = false, implicit_header = false, ppm = false, invert_iq = false;
  // FSK
  uint8_t f_dev_khz = 0;
  uint16_t bitrate_divider = 0;
  uint8_t length_byte = 0;
  uint16_t preamble = 0;
  std::vector<uint8_t> payload;
  std::array<uint8_t, 16> metadata{};
  // Wren layout
  uint8_t freq_integer = 0;  // byte 0 as written (LoRa: bandwidth bits included)
  uint16_t radio_fraction = 0;
  uint8_t rf_chain = 0;
  // TX gain registers when the trigger was armed
  int8_t offset_i = 0, offset_q = 0;
  uint8_t digital_gain = 0;

  Trigger trigger = Trigger::kImmediate;
  uint32_t trigger_count = 0;
  uint16_t start_delay_us = 0;
  uint32_t armed_at = 0;  // counter when the trigger was armed

  // The frequency, taking the whole 8 MHz steps from a frequency near it.
  double frequency_hz(uint32_t near_hz) const;
  uint32_t bitrate() const { return bitrate_divider ? 32000000u / bitrate_divider : 0; }
  uint32_t bandwidth_hz() const;
  // Wren layout: the frequency for radio type 1 (SX1255) or 2 (SX1257),
  // taking the integer bits a LoRa descriptor gives to its bandwidth from
  // the value nearest `near_hz`.
  double radio_frequency_hz(int radio_type, uint32_t near_hz) const;
};

// The TX gain registers' values at the moment a trigger is armed.
struct TxGainRows {
  int8_t offset_i = 0, offset_q = 0;
  uint8_t digital_gain = 0;
};

class TxBufferModel {
 public:
  static constexpr uint8_t kAddressRegister = 0x05;
  static constexpr uint8_t kDataPort = 0x06;
  static constexpr uint8_t kCommand = 0x21;     // page 1
  static constexpr uint8_t kStartDelay = 0x22;  // page 1, 2 bytes
  static constexpr uint8_t kStatus = 0x3E;      // page 1
  static constexpr uint8_t kFree = 0x80, kScheduled = 0x90, kEmitting = 0xB0;
  static constexpr uint8_t kOffsetI = 0x27, kOffsetQ = 0x28, kDigitalGain = 0x2A;  // page 1

  enum class Layout { kFpgaBoard, kWren };
  void set_layout(Layout layout);

  void write_address(uint8_t address);
  void write_data(std::span<const uint8_t> bytes);
  void write_start_delay_byte(int index, uint8_t value);
  // The command byte at counter value `now`: arms (decoding the buffer) or
  // cancels.
  void write_command(uint8_t value, uint32_t now, TxGainRows rows = {});
  // Emission lasts this long once started (default 50 ms).
  void set_airtime_us(uint32_t us);
  // A PPS edge at counter `now` starts a transmission armed on it.
  void pps(uint32_t now);
  // The status byte at counter value `now`.
  uint8_t status(uint32_t now);

  // The transmission armed last, if any, and every one armed so far.
  std::optional<Transmission> last() const;
  std::vector<Transmission> all() const;
  uint8_t command() const;

  // Decodes a buffer as the chip does (also for tests of encoders).
  static Transmission decode(std::span<const uint8_t> buffer, Layout layout = Layout::kFpgaBoard);

 private:
  mutable std::mutex mutex_;  // guards everything below
  Layout layout_ = Layout::kFpgaBoard;
  // Room for the metadata, an FSK length byte and a 255-byte payload.
  std::array<uint8_t, 512> buffer_{};
  size_t address_ = 0;
  uint8_t command_ = 0;
  std::array<uint8_t, 2> start_delay_{};
  uint32_t airtime_us_ = 50000;
  std::vector<Transmission> sent_;
  bool pending_ = false;  // armed and not yet over
  bool started_ = false;
  uint32_t start_ = 0;
};

}  // namespace crx::sim

// The FPGA's AMI transceivers: one RF v3 transmitter, the single-channel
// RF v3 receiver, four scanning receivers and three AMR FSK receivers.
//
// Byte addresses (multi-byte values little-endian):
//   0x800 + 0x40 a (AMR receiver a = 0..2): +0 bit 0 frame waiting, bits 1-7
//         raw RSSI; +1 frame length; +2 frame data (FIFO); +3..4 channel
//         index (13-bit signed)
//   0x8C0 transmitter: +0 bit 0 start; +1..2 frequency offset (13-bit
//         signed); +3 length; +4..5 preamble size; +6 data (FIFO)
//   0x900 + 0x40 r (receiver r = 0..3): +0 bit 0 message waiting (receiver
//         0: the single-channel status), bits 1-7 raw RSSI; +1 message
//         length; +2 message data (FIFO)
//   0x903..904 receive IF offset (13-bit signed)
//   0x905 control: bit 0 reset/stop of the receivers (writing 1 stops them
//         and flushes the messages they hold, clearing it starts them), bit
//         1 scan mode, bit 2 data rate (1 = 9.6 kbps)
//   0x906 bits 4-7: scan status, bit r for scan receiver r
//   0x907 bits 0-3 / 4-7: channel group found by scan receiver 0 / 1;
//   0x908 the same for receivers 2 / 3
//   0x909..90A scan time per channel (2 us units); 0x90C..90D preamble bits
//   0x90E + 4 r: elapsed scan time of receiver r at detection, ms (32 bits)
// Every other address of the range is a plain byte.
//
// Messages are "on the air" until the receivers run: after a start (bit 0
// cleared) the single-channel receiver (scan mode 0) or each scan receiver
// (scan mode 1) takes the next message waiting for it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "fpga_board.h"

namespace crx::sim {

struct AmiTransmission {
  int16_t offset;      // frequency offset word
  uint8_t length;      // length register
  uint16_t preamble;   // preamble size register
  std::vector<uint8_t> data;  // bytes written to the FIFO since the last start
};

// The receive settings in force when the receivers were last started.
struct AmiRxStart {
  bool scan;
  bool slow_rate;      // 9.6 kbps
  int16_t if_offset;
  uint16_t scan_time;
  uint16_t preamble_bits;
};

class AmiTransceivers : public FpgaBlock {
 public:
  static constexpr uint16_t kFirst = 0x800;
  static constexpr uint16_t kCount = 0x9C4 - 0x800;  // up to the last receiver's data port

  // A message for the single-channel receiver, the sync byte stripped (the
  // CRC included). It shows up after `after_polls` status reads.
  void push_message(std::vector<uint8_t> bytes, uint8_t raw_rssi, int after_polls = 0);
  // A scan detection on receiver r (0..3) with its channel group (0..15).
  void push_scan(int receiver, uint8_t group, std::vector<uint8_t> bytes, uint8_t raw_rssi, uint32_t elapsed_ms);
  // An AMR frame on receiver a (0..2).
  void push_amr(int receiver, int16_t channel_index, std::vector<uint8_t> bytes, uint8_t raw_rssi);

  std::vector<AmiTransmission> transmissions() const;
  std::vector<AmiRxStart> starts() const;
  int stops() const;  // writes of the stop bit
  bool running() const;
  size_t amr_waiting(int receiver) const;

  uint8_t read(uint16_t address) override;
  void write(uint16_t address, uint8_t value) override;
  bool fifo(uint16_t address) const override;
  void reset() override;

 private:
  struct Message {
    std::vector<uint8_t> bytes;
    uint8_t rssi = 0;
    uint8_t group = 0;
    uint32_t elapsed_ms = 0;
    int16_t channel = 0;  // AMR channel index
    int delay = 0;
    size_t cursor = 0;
  };
  struct Slot {
    bool held = false;
    Message msg;
  };
  uint8_t& reg(uint16_t address) { return regs_[address - kFirst]; }
  void present();
  void stop();

  mutable std::mutex mutex_;
  std::array<uint8_t, kCount> regs_{};
  std::vector<uint8_t> tx_fifo_;
  std::vector<AmiTransmission> sent_;
  std::vector<AmiRxStart> starts_;
  int stops_ = 0;
  bool running_ = false;
  std::deque<Message> single_air_;
  std::array<std::deque<Message>, 4> scan_air_;
  std::array<Slot, 4> rx_;  // receiver 0 doubles as the single-channel one
  std::array<std::deque<Message>, 3> amr_;
};

std::shared_ptr<AmiTransceivers> install_ami_transceivers(FpgaBoardPort& port);

}  // namespace crx::sim

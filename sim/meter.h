// The FPGA's utility-meter receiver of the SCM board, and builders of the
// frames it hands over.
//
// Registers, by byte address:
//   0x0C00  bits 0-6: channel address
//   0x0C01  bit 0: write 1 to enable the addressed channel (0 disables it)
//   0x0C02  status, read-only: bit 0 a frame is waiting, bit 1 it is SCM+,
//           bits 2-7 its channel
//   0x0C03  frame data, a FIFO: the frame (10 bytes SCM, 14 bytes SCM+)
//           followed by its 4-byte timestamp, most significant byte first
//
// Frames wait in arrival order; a frame on a channel that is not enabled is
// never demodulated (it is dropped when it reaches the head of the queue).
// The status read presents the head frame; it leaves the receiver once its
// last byte has been read.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "fpga_board.h"

namespace crx::sim {

struct ScmFields {
  uint32_t id = 0;           // 26 bits
  uint8_t ert_type = 0;      // 4 bits
  uint8_t tamper = 0;        // physical (bits 7-6) and encoder (bits 1-0) bits of byte 1
  uint32_t consumption = 0;  // 24 bits
};

struct ScmPlusFields {
  uint8_t endpoint_type = 0;
  uint32_t id = 0;
  uint32_t consumption = 0;
  uint16_t tamper = 0;
};

// A 10-byte SCM frame: byte 0 the last five bits of the sync word (zero)
// with id bits 25-24 in bits 2-1, byte 1 tamper and ERT type, bytes 2-4 the
// consumption, bytes 5-7 id bits 23-0, bytes 8-9 the BCH parity (the
// remainder of the 64 data bits times x^16 divided by 0x16F63).
std::array<uint8_t, 10> scm_frame(const ScmFields& f);
// A 14-byte SCM+ frame: 0x1E, the fields, the CRC-16/GENIBUS of bytes 0-11
// most significant byte first.
std::array<uint8_t, 14> scm_plus_frame(const ScmPlusFields& f);
// The 16 parity bits of 8 data bytes, by plain polynomial division.
uint16_t scm_parity(const uint8_t* data8);
uint16_t crc16_genibus_bitwise(const uint8_t* data, size_t length);

class MeterReceiver : public FpgaBlock {
 public:
  static constexpr uint16_t kFirst = 0x0C00;
  static constexpr uint16_t kCount = 4;
  static constexpr int kChannels = 64;

  // Queues a frame (10 bytes: SCM, 14 bytes: SCM+; other lengths are
  // delivered as they are, flagged by `plus`).
  void push(int channel, bool plus, std::vector<uint8_t> frame, uint32_t timestamp);
  void push_scm(int channel, const std::array<uint8_t, 10>& frame, uint32_t timestamp);
  void push_scm_plus(int channel, const std::array<uint8_t, 14>& frame, uint32_t timestamp);
  // A raw status word and the bytes a burst will read, whatever they are.
  void push_raw(uint8_t status, std::vector<uint8_t> bytes);

  bool channel_enabled(int channel) const;
  int enabled_count() const;
  size_t waiting() const;
  size_t dropped() const;

  uint8_t read(uint16_t address) override;
  void write(uint16_t address, uint8_t value) override;
  bool fifo(uint16_t address) const override { return address == kFirst + 3; }
  void reset() override;

 private:
  struct Frame {
    uint8_t status;
    std::vector<uint8_t> bytes;
  };
  void present();

  mutable std::mutex mutex_;
  std::deque<Frame> queue_;
  bool presented_ = false;
  size_t cursor_ = 0;
  uint8_t address_ = 0;
  uint8_t select_ = 0;
  std::array<bool, kChannels> enabled_{};
  size_t dropped_ = 0;
};

// Adds a meter receiver to a simulated FPGA board.
std::shared_ptr<MeterReceiver> install_meter_receiver(FpgaBoardPort& port);

}  // namespace crx::sim

// The Wren boards' spidev ports: the SX1301 on "/dev/spidev32766.1" and the
// GPIO FPGA on "/dev/spidev32766.6".
//
// Both speak the same framing: the first byte of a message is the command,
// bit 7 set for a write and the register address in bits 6..0; the data
// follow in the rest of the message (a message of several transfers is one
// chip-select period).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "spidev.h"
#include "sx1301.h"

namespace crx::sim {

// The SX1301 itself: no FPGA in front, so the page is whatever the page
// register (address 0) was last given.
class WrenSx1301Port : public SpidevDevice {
 public:
  Sx1301Chip& chip() { return chip_; }

  // Every byte written to address 0 (page selections and soft resets), in
  // the order they arrived.
  std::vector<uint8_t> page_writes() const;
  void clear_page_writes();
  // Holds the port for this long after every write to address 0 before the
  // message completes, so that a caller racing another thread between its
  // page selection and its transfer is caught reliably.
  void set_page_write_delay(std::chrono::microseconds delay);

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  Sx1301Chip chip_;
  mutable std::mutex mutex_;  // guards the record and the delay
  std::vector<uint8_t> page_writes_;
  std::chrono::microseconds page_delay_{0};
};

// The GPIO FPGA: 16-bit registers, most significant byte first; a burst
// moves on to the next register every two bytes. Registers 0x00 (version,
// 0x5007 by default), 0x01 (build, 0x0024), 0x02, 0x03, 0x06 (board
// variant in bits 0-2), 0x07, 0x0A, 0x0C, 0x0F, 0x16, 0x18 and 0x1A are
// read-only; 0x08 drives the LEDs and 0x15 their intensity.
class WrenGpioFpga : public SpidevDevice {
 public:
  WrenGpioFpga();

  void set_version(uint16_t version);
  void set_build(uint16_t build);
  // 0 for an SX127x side radio; 3 marks an SX126x.
  void set_variant(uint8_t variant);

  // Scenario and inspection, bypassing read-only registers.
  void poke(uint8_t address, uint16_t value);
  uint16_t peek(uint8_t address) const;
  // Every register write that reached the FPGA: (address, value).
  std::vector<std::pair<uint8_t, uint16_t>> register_writes() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  static bool read_only(uint8_t address);

  mutable std::mutex mutex_;  // guards everything below
  std::array<uint16_t, 128> regs_{};
  std::vector<std::pair<uint8_t, uint16_t>> writes_;
};

}  // namespace crx::sim

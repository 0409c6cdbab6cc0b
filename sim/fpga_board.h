// The large boards behind "/dev/spifpga32766.1": the front-end FPGA
// (target 8) with its SPI bridge to the AD9361, and up to eight SX1301
// chips (targets 0 to 7).
//
// FPGA registers, by byte address:
//   0x00  bit 7: soft reset (restores every register, reads back 0)
//   0x01  version, read-only (48 on current images)
//   0x40  SPI-bridge transmit buffer: every byte written is queued (16 at
//         most); a burst stays on the address
//   0x41  SPI-bridge receive buffer: every byte read takes the next answer
//         byte (0 when empty); a burst stays on the address
//   0x44  bit 0: write 1 to run the queued bytes through the AD9361 as one
//         transaction; reads 1 while the bridge is busy
//   0x185 FPGA PLL: bit 0 holds the PLL in reset (set at power-up), bit 1
//         reads 1 once it is released and locked (read-only)
//   0x55-0x58  the FPGA's latched 1 MHz count (little-endian); any write to
//         0x55 latches the count now (software latch)
//   0x476 bit 0: latch the count at every PPS edge
// Read back by the scenario calls below: the IF words of the two radio
// chains (0x80-0x8F chain 0 and 0x47A-0x489 chain 1, one 13-bit word per
// slot, slot 7 first), the chip-enable mask 0x106, the RX radio mux 0x478
// and the 2x4-grouping bits 0x479.
// The power detector is part of every board: 0x107, 0x200-0x201,
// 0x460-0x469, 0x477 and 0x494-0x497 are its (power_detector.h).
// Any other address up to 0x8000 is a plain byte, unless a block model has
// been attached to it (see FpgaBlock).
//
// Chips: a positioned access with a page byte other than 0xFF selects that
// page on the chip first. Targets at or above the populated count answer
// zeros and drop writes, as an empty socket does.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "ad9361.h"
#include "fpga_port.h"
#include "sx1301.h"
#include "temperature_sensor.h"

namespace crx::sim {

// A model of one functional block of the FPGA that answers a range of its
// byte addresses itself (meter receivers, transceivers ...). The port calls
// it under its own lock, one byte at a time, so a block never calls back
// into the port.
class FpgaBlock {
 public:
  virtual ~FpgaBlock() = default;
  virtual uint8_t read(uint16_t address) = 0;
  virtual void write(uint16_t address, uint8_t value) = 0;
  // True for a FIFO port: a burst on it stays on the address.
  virtual bool fifo(uint16_t address) const { return false; }
  // The FPGA's soft reset.
  virtual void reset() {}
};

class PowerDetector;

class FpgaBoardPort : public FpgaPortDevice {
 public:
  static constexpr int kMaxChips = 8;
  static constexpr uint8_t kVersion = 48;

  explicit FpgaBoardPort(int chips = kMaxChips);

  int chip_count() const { return chips_; }
  // Chip `n` (0 to 7), populated or not.
  Sx1301Chip& chip(int n) { return *chip_[size_t(n) % kMaxChips]; }
  Ad9361Chip& ad9361() { return ad9361_; }
  // The FPGA's channel power detector (spectral scan, listen-before-talk)
  // and its scenario calls.
  PowerDetector& power_detector() { return *power_detector_; }

  // The FPGA PLL: whether it locks once released (true by default).
  void set_fpga_pll_locks(bool locks);
  // The board's temperature sensor ("/dev/spidev32766.2", added by
  // install_fpga_board) and its scenario call.
  const std::shared_ptr<TemperatureSensor>& temperature_sensor() const { return temp_sensor_; }
  void set_temperature(double celsius) { temp_sensor_->set_temperature(celsius); }

  // What the version register answers; survives soft resets.
  void set_version(uint8_t version);
  // Reads of the busy bit that still show 1 after a start; -1 keeps the
  // bridge busy for ever. 1 by default.
  void set_bridge_busy_reads(int reads);
  int soft_reset_count() const;

  // One frame heard by several chips at the same moment (copies on both RF
  // chains): they enter the FIFOs while no transfer runs, so a reader woken
  // by the first copy's status line finds the others there too.
  void push_uplinks(std::span<const std::pair<int, Uplink>> copies);

  // Hands the addresses first .. first + count - 1 to a block model. Ranges
  // must not overlap (a later overlapping range is ignored: false).
  bool attach(uint16_t first, uint16_t count, std::shared_ptr<FpgaBlock> block);

  // Scenario and inspection of the FPGA's own registers and of the chips
  // (target 0-7, page 0xFF for the current page), without side effects.
  void poke(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> peek(uint8_t target, uint8_t page, uint16_t address, size_t length) const;

  // ---- time ----
  // The board's time in µs: the platform's monotonic clock since the board
  // was made (the sandbox's fast clock included) plus every advance().
  int64_t now_us() const;
  void advance(int64_t us);
  // A PPS edge now. With automatic PPS (on by default) an edge also falls
  // on every whole second of the board's time.
  void pps();
  void set_auto_pps(bool on);
  // The FPGA's count at time 0 (the chips have theirs: chip(n).set_counter_base).
  void set_counter_base(uint32_t base);
  uint32_t fpga_latched_count() const;

  // ---- what the library programmed ----
  // IF word of a radio chain's slot (0-7), sign-extended.
  int16_t if_word(int rf_chain, int slot) const;
  uint8_t enabled_mask() const;
  uint8_t radio_mux() const;
  uint8_t grouping_bits() const;
  // Chip c's channel word n (0-9) and multi-SF mask n (0-7).
  int16_t channel_word(int chip, int n) const;
  uint8_t multisf_mask(int chip, int n) const;
  // Every MCU release so far, in order, as (chip, kind 0 arbiter / 1 AGC).
  std::vector<std::pair<int, int>> firmware_releases() const;
  void clear_firmware_releases();

 protected:
  ssize_t read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) override;
  ssize_t write_registers(uint8_t target, uint8_t page, uint16_t address,
                          std::span<const uint8_t> in) override;

 private:
  Sx1301Chip* select(uint8_t target, uint8_t page);
  int64_t now_locked() const;
  void catch_up_pps();
  void latch_pps(int64_t at_us);
  uint8_t fpga_load(uint16_t address);
  void fpga_store(uint16_t address, uint8_t value);
  void restore_defaults();
  struct Attached {
    uint16_t first;
    uint16_t count;
    std::shared_ptr<FpgaBlock> block;
  };
  FpgaBlock* block_at(uint16_t address) const;
  uint16_t next_address(uint16_t address) const;

  const int chips_;
  std::array<std::unique_ptr<Sx1301Chip>, kMaxChips> chip_;
  Ad9361Chip ad9361_;
  std::shared_ptr<TemperatureSensor> temp_sensor_ = std::make_shared<TemperatureSensor>();
  std::shared_ptr<PowerDetector> power_detector_;

  mutable std::mutex mutex_;  // one transfer at a time; guards the FPGA state below
  std::vector<uint8_t> regs_;
  std::deque<uint8_t> tx_queue_;
  std::deque<uint8_t> rx_queue_;
  uint8_t version_ = kVersion;
  int busy_reads_ = 1;
  int busy_left_ = 0;
  int resets_ = 0;
  bool pll_locks_ = true;

  int64_t origin_us_ = 0;
  std::atomic<int64_t> advanced_us_{0};  // read without the lock by the chips' clocks
  int64_t last_pps_second_ = 0;
  bool auto_pps_ = true;
  uint32_t counter_base_ = 0;
  uint32_t latched_ = 0;

  mutable std::mutex release_mutex_;  // guards releases_ (appended from chip hooks)
  std::vector<std::pair<int, int>> releases_;
  std::vector<Attached> blocks_;
};

}  // namespace crx::sim

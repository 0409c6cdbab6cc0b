// The SX1272 or SX1276 side radio of the Wren boards on "/dev/spidev32766.4",
// from the wire's side: the first byte of a message is the command (bit 7
// set for a write, the register address in bits 6..0) and the data follow;
// a burst moves to the next address every byte, except on the FIFO (0x00).
//
// Registers the model gives meaning to:
//   0x01  RegOpMode: bits 2..0 the mode (0 sleep, 1 standby, 5 receive
//         continuous), bit 7 LoRa. Writing it updates RegIrqFlags1.
//   0x06-0x08  RegFrf: the carrier in steps of 32 MHz / 2^19.
//   0x0E  RegRssiConfig: bits 7..3 a signed RSSI offset in dB.
//   0x11  RegRssiValue (read-only): -2 x (level at the antenna + offset),
//         held within 0..255.
//   0x3C  RegTemp (read-only): 15 - temperature in degrees C, signed.
//   0x3E  RegIrqFlags1 (read-only): bit 7 ModeReady, bit 6 RxReady.
//   0x42  RegVersion (read-only): 0x22 on an SX1272, 0x12 on an SX1276.
// Every other address is a plain byte.
//
// Scenario calls:
//   side->set_chip(Sx127xRadio::Chip::kSx1276);  // identity
//   side->set_version(0x00);                      // no radio answers
//   side->set_rx_entry(Sx127xRadio::RxEntry::kModeReadyOnly);  // RxReady never rises
//   side->set_temperature(41);                    // degrees C
//   side->set_rssi_dbm(-97.5);                    // level at the antenna
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "spidev.h"

namespace crx::sim {

class Sx127xRadio : public SpidevDevice {
 public:
  enum class Chip { kSx1272, kSx1276 };
  // What RegIrqFlags1 shows once receive-continuous mode is asked for.
  enum class RxEntry {
    kReady,          // ModeReady and RxReady (0xC0), as a healthy chip
    kModeReadyOnly,  // 0x80
    kNever,          // 0x00
  };

  explicit Sx127xRadio(Chip chip = Chip::kSx1272);

  void set_chip(Chip chip);
  void set_version(uint8_t version);
  void set_rx_entry(RxEntry entry);
  void set_temperature(int celsius);
  void set_rssi_dbm(double dbm);

  // Inspection and scenario, bypassing read-only registers.
  uint8_t peek(uint8_t address) const;
  void poke(uint8_t address, uint8_t value);
  // Every register write that reached the chip: (address, value).
  std::vector<std::pair<uint8_t, uint8_t>> register_writes() const;
  void clear_register_writes();
  // The carrier RegFrf selects, in Hz (rounded down).
  uint32_t frequency_hz() const;
  // The receive bandwidth RegRxBw selects, in Hz.
  uint32_t bandwidth_hz() const;
  bool rx_continuous() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  uint8_t load(uint8_t address) const;
  void store(uint8_t address, uint8_t value);

  mutable std::mutex mutex_;  // guards everything below
  std::array<uint8_t, 128> regs_{};
  uint8_t version_;
  RxEntry rx_entry_ = RxEntry::kReady;
  int temperature_ = 25;
  double rssi_dbm_ = -120.0;
  std::vector<std::pair<uint8_t, uint8_t>> writes_;
};

}  // namespace crx::sim

// The AD9361 transceiver's SPI register file, as it answers a transaction.
//
// A transaction starts with a 16-bit instruction, most significant byte
// first: bit 15 set for a write, bits 14..12 the byte count less one, bits
// 9..0 the register address. Data bytes follow; with several bytes the
// address counts down. On a read the chip drives the register contents in
// the data positions and zeros under the instruction. 1024 registers;
// 0x037 (product identity) is read-only, a write to 0x000 with bit 7 set is
// a soft reset.
//
// Beyond plain storage the model answers what a driver waits for:
//   0x016  calibration start bits read back clear (the calibration is done
//          at once), except those set to hang;
//   0x017  state machine in bits 3:0: 0 sleep, 5 alert (0x014 bit 0 or 2),
//          10 FDD (FDD mode in 0x013 bit 0 and force-TX-on in 0x014 bit 5);
//          sleep while the BBPLL is off;
//   0x05E  bit 7, BBPLL locked while enabled (0x009 bit 2);
//   0x247 / 0x287  bit 1, RX / TX synthesizer locked once its integer high
//          byte (0x232 / 0x272) has been written;
//   0x244 / 0x284  bit 7, charge-pump calibration valid once started
//          (0x23D / 0x27D bit 2).
// Faults on request: a synthesizer that never locks, another product id.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace crx::sim {

struct Ad9361Transaction {
  std::vector<uint8_t> sent;      // bytes clocked into the chip
  std::vector<uint8_t> answered;  // bytes the chip drove back
};

class Ad9361Chip {
 public:
  // The product identity the chip reports (AD9361, revision 2).
  static constexpr uint8_t kProductId = 0x0A;

  Ad9361Chip();

  // One chip-select period. Returns as many bytes as were sent.
  std::vector<uint8_t> transact(std::span<const uint8_t> sent);

  // Faults: what 0x037 answers (survives resets), synthesizers that never
  // lock, calibration start bits of 0x016 that never clear (bit 7 RX
  // filter, bit 6 TX filter, bit 0 baseband DC), a BBPLL that never locks.
  void set_product_id(uint8_t id);
  void set_rx_synth_locks(bool locks);
  void set_tx_synth_locks(bool locks);
  void set_hanging_calibrations(uint8_t mask);
  void set_bbpll_locks(bool locks);

  // What the synthesizers were asked: charge-pump calibrations started (one
  // per full tune) and frequency words taken.
  int tx_full_tunes() const;
  int tx_words_taken() const;
  int rx_full_tunes() const;
  // The TX / RX LO in Hz the synthesizer words and dividers give with a
  // 40 MHz reference (0 before a tune).
  uint64_t tx_lo_hz() const;
  uint64_t rx_lo_hz() const;

  // Scenario and inspection, bypassing read-only registers.
  void poke(uint16_t address, uint8_t value);
  uint8_t peek(uint16_t address) const;
  std::vector<Ad9361Transaction> transactions() const;
  void clear_transactions();

 private:
  void restore_defaults();
  uint8_t load(uint16_t address);
  void store(uint16_t address, uint8_t value);
  uint64_t lo_hz(uint16_t integer0, int divider_shift) const;

  mutable std::mutex mutex_;  // guards everything below
  std::array<uint8_t, 1024> regs_{};
  uint8_t product_id_ = kProductId;
  bool rx_locks_ = true;
  bool tx_locks_ = true;
  uint8_t hanging_cals_ = 0;
  bool bbpll_locks_ = true;
  bool rx_tuned_ = false;
  bool tx_tuned_ = false;
  bool rx_cp_valid_ = false;
  bool tx_cp_valid_ = false;
  int tx_full_tunes_ = 0;
  int tx_words_ = 0;
  int rx_full_tunes_ = 0;
  std::vector<Ad9361Transaction> record_;
};

}  // namespace crx::sim

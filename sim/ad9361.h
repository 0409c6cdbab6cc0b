// The AD9361 transceiver's SPI register file, as it answers a transaction.
//
// A transaction starts with a 16-bit instruction, most significant byte
// first: bit 15 set for a write, bits 14..12 the byte count less one, bits
// 9..0 the register address. Data bytes follow; with several bytes the
// address counts down. On a read the chip drives the register contents in
// the data positions and zeros under the instruction. 1024 registers;
// 0x037 (product identity) is read-only, a write to 0x000 with bit 7 set is
// a soft reset.
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

  // Scenario and inspection, bypassing read-only registers.
  void poke(uint16_t address, uint8_t value);
  uint8_t peek(uint16_t address) const;
  std::vector<Ad9361Transaction> transactions() const;
  void clear_transactions();

 private:
  void restore_defaults();

  mutable std::mutex mutex_;  // guards everything below
  std::array<uint8_t, 1024> regs_{};
  std::vector<Ad9361Transaction> record_;
};

}  // namespace crx::sim

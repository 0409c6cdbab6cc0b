// One SX1255 or SX1257 front-end radio. It has no SPI port of its own: the
// SX1301's radio SPI master (sx1301.h) hands it each transaction, one
// register read or write, while the radio is enabled and out of reset.
//
// Registers the model gives meaning to:
//   0x00  mode: bit 0 standby (oscillator on), bit 1 receive PLL on. Each
//         write that turns bit 1 on starts the PLL once (an "attempt").
//   0x01-0x03  receive PLL word: integer part, then the fraction (high
//         byte first); rx_frequency_hz() turns it back into Hz.
//   0x07  version (read-only): 0x11 on an SX1255, 0x21 on an SX1257.
//   0x11  status (read-only): bit 1 set while the receive PLL is locked.
// Every other address is a plain byte.
//
// Scenario calls (authors use them to drive the start's error paths):
//   radio->lock_on_attempt(3);   // PLL locks on the third start
//   radio->lock_on_attempt(0);   // PLL never locks
//   radio->set_version(0x00);    // a radio that answers nothing useful
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace crx::sim {

class Sx125xRadio {
 public:
  enum class Kind { kSx1255, kSx1257 };

  explicit Sx125xRadio(Kind kind = Kind::kSx1257);

  Kind kind() const;
  // The PLL locks on the n-th start counted since the last reset (1, the
  // default, locks at once); 0 never locks.
  void lock_on_attempt(int n);
  void set_version(uint8_t version);

  // One transaction of the radio SPI master. Ignored (reads give 0) while
  // the radio is disabled or held in reset.
  void write(uint8_t address, uint8_t value);
  uint8_t read(uint8_t address);

  // The lines the SX1301 drives. While reset is high the registers hold
  // their defaults and the PLL start count restarts.
  void set_enabled(bool enabled);
  void set_reset(bool reset);
  bool enabled() const;
  bool held_in_reset() const;
  // Rising edges of the reset line since creation.
  int reset_count() const;

  // Inspection.
  uint8_t peek(uint8_t address) const;
  struct Transaction {
    bool write;
    uint8_t address;
    uint8_t value;  // written, or answered
    bool operator==(const Transaction&) const = default;
  };
  // Every transaction the radio answered, oldest first.
  std::vector<Transaction> transactions() const;
  void clear_transactions();
  // PLL starts since the last reset, and whether the PLL is locked now.
  int pll_attempts() const;
  bool pll_locked() const;
  // The receive frequency the PLL word selects, in Hz.
  uint32_t rx_frequency_hz() const;

 private:
  void restore_defaults();

  mutable std::mutex mutex_;  // guards everything below
  Kind kind_;
  std::array<uint8_t, 128> regs_{};
  uint8_t version_;
  int lock_on_ = 1;
  int attempts_ = 0;
  bool locked_ = false;
  bool enabled_ = false;
  bool reset_ = false;
  int resets_ = 0;
  std::vector<Transaction> record_;
};

}  // namespace crx::sim

// The timing sync block, in both of its forms.
//
// As a device on "/dev/spidev32766.5": 16-bit registers sent most
// significant byte first; the first byte of a message is the command (bit 7
// set for a write, the register address in bits 6..0) and the data follow,
// one register after the other. State is register 6 and the flags register
// 54 (both in the low byte), the holdover time register 8 and the block's
// version register 10.
//
// Inside the FPGA of the mid-size boards: plain 16-bit registers of the
// FPGA port, least significant byte first: state at 0x2006, holdover time at
// 0x2008, version at 0x200A, flags at 0x2036.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "fpga_board.h"
#include "sandbox.h"
#include "spidev.h"

namespace crx::sim {

// Values of a block in sync, out of sync, and in holdover.
inline constexpr uint8_t kSyncStateLocked = 0xA4;
inline constexpr uint8_t kSyncStateFault = 0xE6;
inline constexpr uint8_t kSyncFlagHoldover = 0x08;
inline constexpr uint8_t kSyncFlagLost = 0x40;

class SyncBlockSpi : public SpidevDevice {
 public:
  void set_state(uint8_t state);
  void set_flags(uint8_t flags);
  void set_version(uint16_t version);
  uint16_t holdover() const;
  // Every register write, as (register, value).
  std::vector<std::pair<uint8_t, uint16_t>> writes() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  mutable std::mutex mutex_;  // guards the registers and the record
  uint16_t regs_[128] = {};
  std::vector<std::pair<uint8_t, uint16_t>> writes_;
};

// Puts a sync block on "/dev/spidev32766.5", in sync, version 12.
std::shared_ptr<SyncBlockSpi> install_sync_block(Sandbox& sandbox);

// The FPGA form, through the board's registers.
void set_fpga_sync_block(FpgaBoardPort& board, uint8_t state, uint8_t flags);
void set_fpga_holdover_version(FpgaBoardPort& board, uint16_t version);
uint16_t fpga_holdover(const FpgaBoardPort& board);

// Runs the fast clock on until the started library holds its time
// reference, for at most `bound` of real time; true once it does. The clock
// moves in small steps with a real pause after each: raced on without one,
// it jumps seconds between the three reads the library's sampler compares,
// the samples never agree and the reference never comes.
bool run_to_time_reference(Sandbox& sandbox, std::chrono::milliseconds bound = std::chrono::seconds(60));

}  // namespace crx::sim

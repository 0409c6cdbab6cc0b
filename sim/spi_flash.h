// A serial NOR flash chip behind a spidev port (by default "/dev/spidev1.0"),
// answering the standard command set: read identification (0x9F), read
// status (0x05), write enable / disable (0x06 / 0x04), read (0x03), page
// program (0x02) and 64 KiB sector erase (0xD8), with 24-bit addresses.
//
// It behaves like the silicon where that matters to software: programming
// only clears bits and wraps inside its 256-byte page, programming and erase
// need the write enable latch and clear it, and the write-in-progress bit
// stays set for a configurable number of status reads afterwards.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "spidev.h"

namespace crx::sim {

class SpiNorFlash : public SpidevDevice {
 public:
  // The 16 MiB part identified as 01 20 18 4D 01 80.
  static std::shared_ptr<SpiNorFlash> s25fl127s();
  // A 4 MiB part with an identification the library does not list.
  static std::shared_ptr<SpiNorFlash> unknown_part();

  SpiNorFlash(std::vector<uint8_t> jedec_id, size_t size);

  // Registers the chip as "/dev/spidev1.0" (or `path`) in the sandbox.
  static void attach(Sandbox& sandbox, std::shared_ptr<SpiNorFlash> chip,
                     const std::string& path = "/dev/spidev1.0");

  int open(Handle& h) override;
  int opens() const;  // successful opens so far

  size_t size() const { return memory_.size(); }
  // Factory programming: places bytes as they are, whatever was there.
  void load(uint32_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> contents(uint32_t address, size_t length) const;

  // Status reads that still show write-in-progress after a page program or
  // a sector erase (0 = done at once). A very large count never finishes.
  void set_program_busy_reads(int n);
  void set_erase_busy_reads(int n);
  // Write enable is ignored, as on a write-protected part: the latch never sets.
  void set_write_protected(bool on);
  // After `skip` more messages that start with `opcode`, the next `n` such
  // messages fail with EIO.
  void fail_command(uint8_t opcode, int n, int skip = 0);

  // Programs, erases and reads as the chip decoded them.
  struct Operation {
    uint8_t opcode;
    uint32_t address;
    size_t length;  // data bytes programmed or clocked out
  };
  std::vector<Operation> operations() const;
  int status_reads() const;

 protected:
  int message(std::span<SpiTransfer> transfers) override;

 private:
  void execute(const std::vector<uint8_t>& mosi, std::vector<uint8_t>& miso);
  uint32_t wrap(uint32_t address) const { return address & static_cast<uint32_t>(memory_.size() - 1); }

  mutable std::mutex state_mutex_;  // guards everything below
  std::vector<uint8_t> id_;
  std::vector<uint8_t> memory_;
  bool wel_ = false;
  bool protected_ = false;
  int busy_reads_ = 0;
  int program_busy_reads_ = 2;
  int erase_busy_reads_ = 3;
  uint8_t fail_opcode_ = 0;
  int fail_count_ = 0;
  int fail_skip_ = 0;
  int opens_ = 0;
  int status_reads_ = 0;
  std::vector<Operation> operations_;
};

}  // namespace crx::sim

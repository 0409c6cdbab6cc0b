// One SX1301 concentrator's register file as its SPI interface presents it.
//
// 128 byte addresses. Address 0x00 holds the page select (bits 0-1) and the
// soft reset (bit 7, which restores every register and reads back 0).
// Addresses 0x00-0x20 and 0x7D-0x7F are the same on every page; 0x21-0x7C
// exist once per page (four pages). Version (0x01) and identity (0x7E) are
// read-only. A burst advances the address byte by byte.
//
// Both the FPGA port of the large boards (eight of these behind it) and the
// Wren boards' spidev port use this model; they differ only in how the page
// is selected.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>

namespace crx::sim {

class Sx1301Chip {
 public:
  Sx1301Chip();

  // What the chip answers in its version and identity registers (103 and 1
  // on a healthy SX1301). Takes effect at once and survives soft resets.
  void set_version(uint8_t version);
  void set_identity(uint8_t identity);

  // Page currently selected by the page register.
  uint8_t page() const;
  void select_page(uint8_t page);

  // Bus accesses starting at `address`; bytes past 0x7F read 0 and are lost.
  void read(uint8_t address, std::span<uint8_t> out);
  void write(uint8_t address, std::span<const uint8_t> in);

  // Scenario and inspection: one byte on a given page (ignored for the
  // common addresses), without read-only checks or side effects.
  void poke(uint8_t page, uint8_t address, uint8_t value);
  uint8_t peek(uint8_t page, uint8_t address) const;
  // Soft resets taken since creation.
  int reset_count() const;

 private:
  static bool is_common(uint8_t address) { return address <= 0x20 || address >= 0x7D; }
  uint8_t& cell(uint8_t page, uint8_t address);
  uint8_t load(uint8_t address);
  void store(uint8_t address, uint8_t value);
  void restore_defaults();

  mutable std::mutex mutex_;  // guards everything below
  uint8_t page_ = 0;
  std::array<uint8_t, 128> common_{};
  std::array<std::array<uint8_t, 128>, 4> paged_{};
  uint8_t version_ = 103;
  uint8_t identity_ = 1;
  int resets_ = 0;
};

}  // namespace crx::sim

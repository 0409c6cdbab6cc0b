// Streams behind single SX1301 addresses.
//
// A few chip addresses are not registers but data ports: a burst that reads
// or writes them stays on the address and walks the memory behind it, from
// a position set through an address register next to it. The chip owns one
// port per data address; a model of a FIFO or a buffer (the receive FIFO,
// the transmit buffer) replaces the plain memory port by attaching its own
// object to the chip (Sx1301Chip::attach_port).
//
//   address register   data address   memory
//   0x02-0x03 (LE)     0x04           receive FIFO data
//   0x05               0x06           transmit buffer
//   0x09               0x0A           MCU program RAM (see McuRam)
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace crx::sim {

// One stream. Called with the chip's lock held: a port must not call back
// into its chip.
class DataPort {
 public:
  virtual ~DataPort() = default;
  // The address register was written; `address` is its whole value.
  virtual void set_address(uint32_t address) = 0;
  // One byte of a read or a write at the data address.
  virtual uint8_t read_byte() = 0;
  // False refuses the byte, which fails the transfer that carried it.
  virtual bool write_byte(uint8_t value) = 0;
};

// Plain memory with an auto-incrementing pointer that wraps at its size.
class MemoryPort : public DataPort {
 public:
  explicit MemoryPort(size_t size) : memory_(size, 0) {}
  void set_address(uint32_t address) override { pointer_ = address % memory_.size(); }
  uint8_t read_byte() override {
    const uint8_t b = memory_[pointer_];
    pointer_ = (pointer_ + 1) % memory_.size();
    return b;
  }
  bool write_byte(uint8_t value) override {
    memory_[pointer_] = value;
    pointer_ = (pointer_ + 1) % memory_.size();
    return true;
  }
  const std::vector<uint8_t>& memory() const { return memory_; }

 private:
  std::vector<uint8_t> memory_;
  size_t pointer_ = 0;
};

}  // namespace crx::sim

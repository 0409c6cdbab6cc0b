// The large boards' FPGA port "/dev/spifpga32766.1": a maker-specific
// character device that takes positioned reads and writes whose 32-bit file
// offset names the target (bits 31..24: 0 to 7 an SX1301 chip, 8 the FPGA),
// the register page (bits 23..16, 0xFF for "every page") and the register
// address (bits 15..0). It also takes the spidev set-up requests.
//
// This base decodes and records every access and hands it to
// read_registers / write_registers; register-level models of the FPGA and
// the chips behind it override those. By default each (target, page) is a
// flat 64 KiB byte store.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "spidev.h"

namespace crx::sim {

struct FpgaPortAccess {
  bool write;
  uint64_t offset;  // as received
  uint8_t target;
  uint8_t page;
  uint16_t address;
  std::vector<uint8_t> data;  // bytes written, or bytes answered to a read
};

class FpgaPortDevice : public SpidevDevice {
 public:
  ssize_t pread(Handle& h, void* buf, size_t len, off_t offset) override;
  ssize_t pwrite(Handle& h, const void* buf, size_t len, off_t offset) override;

  std::vector<FpgaPortAccess> accesses() const;
  size_t access_count() const;
  void clear_accesses();
  // Long runs (benchmarks) switch the record off so it does not grow
  // without bound; on by default.
  void set_recording(bool on);

  // Transfers (reads and writes) taken since creation, recorded or not.
  uint64_t transfer_count() const;
  // The transfer `index` transfers from now (0: the next one) fails with
  // EIO; -1 cancels. For walking a failure through a whole sequence.
  void fail_transfer_at(int64_t index);

  // The default store, for scenarios and inspection.
  void poke(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> bytes);
  std::vector<uint8_t> peek(uint8_t target, uint8_t page, uint16_t address, size_t length) const;

 protected:
  // Answer one access; return the byte count or -1 with errno set. Called
  // without the port's lock held.
  virtual ssize_t read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out);
  virtual ssize_t write_registers(uint8_t target, uint8_t page, uint16_t address,
                                  std::span<const uint8_t> in);
  // The port has no transfer messages.
  int message(std::span<SpiTransfer> transfers) override;

 private:
  struct Decoded {
    uint8_t target;
    uint8_t page;
    uint16_t address;
  };
  // Decodes the offset word and consumes a pending fault; false with errno.
  bool admit(off_t offset, Decoded& d);
  void load(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) const;
  void store(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> in);

  mutable std::mutex count_mutex_;  // guards the two counters below
  uint64_t transfers_ = 0;
  int64_t fail_countdown_ = -1;
  mutable std::mutex record_mutex_;
  std::vector<FpgaPortAccess> record_;
  bool recording_ = true;
  mutable std::mutex store_mutex_;
  std::map<uint16_t, std::vector<uint8_t>> store_;  // (target << 8 | page) -> 64 KiB
};

}  // namespace crx::sim

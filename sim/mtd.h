// An MTD flash partition as the kernel presents it: a line in "/proc/mtd"
// and a character device "/dev/mtdN" that answers MEMGETINFO, MEMUNLOCK and
// MEMERASE and is read and written at the file position. Writes behave like
// NOR flash: they only clear bits, so data needs an erase first.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "sandbox.h"

namespace crx::sim {

class MtdPartition : public Device {
 public:
  // Flash type numbers as MEMGETINFO reports them.
  static constexpr uint8_t kNor = 3, kNand = 4;

  explicit MtdPartition(uint32_t size = 0x100000, uint32_t erase_size = 0x10000, uint32_t write_size = 1,
                        uint8_t type = kNor);

  // Lists the partition in "/proc/mtd" as "mtd<index>" named `name`, after
  // a few unrelated partitions, and registers "/dev/mtd<index>".
  static void attach(Sandbox& sandbox, std::shared_ptr<MtdPartition> part, int index = 3,
                     const std::string& name = "SPINOR.commission");

  int open(Handle& h) override;
  ssize_t read(Handle& h, void* buf, size_t len) override;
  ssize_t write(Handle& h, const void* buf, size_t len) override;
  off_t lseek(Handle& h, off_t offset, int whence) override;
  int ioctl(Handle& h, unsigned long request, void* arg) override;

  void load(uint32_t offset, std::span<const uint8_t> bytes);
  std::vector<uint8_t> contents(uint32_t offset, size_t length) const;

  // MEMUNLOCK or MEMERASE fail with `err` (EOPNOTSUPP for an unlock is what
  // drivers without locking answer); 0 makes them work again.
  void set_unlock_error(int err);
  void set_erase_error(int err);
  // Positioning fails with EINVAL.
  void set_seek_fails(bool on);
  // MEMGETINFO fails with EIO.
  void set_info_fails(bool on);
  // Reads see the end of the device at `offset` (a truncated partition).
  void set_read_limit(size_t offset);
  // Each read or write moves at most `n` bytes (drivers may return short).
  void set_max_transfer(size_t n);

  int opens() const;
  // Sectors erased and unlocked (start addresses), in order.
  std::vector<uint32_t> erases() const;
  std::vector<uint32_t> unlocks() const;

 private:
  mutable std::mutex state_mutex_;  // guards everything below
  std::vector<uint8_t> memory_;
  uint32_t erase_size_, write_size_;
  uint8_t type_;
  int unlock_error_ = 0, erase_error_ = 0;
  bool seek_fails_ = false;
  bool info_fails_ = false;
  size_t read_limit_;
  size_t max_transfer_ = SIZE_MAX;
  int opens_ = 0;
  std::vector<uint32_t> erases_, unlocks_;
};

}  // namespace crx::sim

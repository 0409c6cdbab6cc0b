#include "spidev.h"

#include <cerrno>
#include <cstring>

#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

namespace crx::sim {

namespace {
// The message request carries its size: N transfers of 32 bytes each.
bool is_message_request(unsigned long request, size_t& count) {
  if (_IOC_TYPE(request) != SPI_IOC_MAGIC || _IOC_NR(request) != 0 || _IOC_DIR(request) != _IOC_WRITE)
    return false;
  const size_t size = _IOC_SIZE(request);
  if (size == 0 || size % sizeof(spi_ioc_transfer) != 0) return false;
  count = size / sizeof(spi_ioc_transfer);
  return true;
}
}  // namespace

int SpidevDevice::ioctl(Handle&, unsigned long request, void* arg) {
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  size_t count = 0;
  if (is_message_request(request, count)) {
    bool fail_this = false;
    {
      std::lock_guard lock(mutex_);
      fail_this = int64_t(total_) == fail_at_;
      ++total_;
    }
    if (take_fault() || fail_this) {
      errno = EIO;
      return -1;
    }
    const auto* raw = static_cast<const spi_ioc_transfer*>(arg);
    std::vector<SpiTransfer> transfers;
    RecordedMessage recorded;
    for (size_t i = 0; i < count; ++i) {
      SpiTransfer t{reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(raw[i].tx_buf)),
                    reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(raw[i].rx_buf)), raw[i].len,
                    raw[i].speed_hz, raw[i].cs_change != 0};
      RecordedTransfer r{{}, t.tx != nullptr, t.rx != nullptr, t.len, t.speed_hz, t.cs_change};
      r.tx.assign(t.len, 0);
      if (t.tx && t.len) std::memcpy(r.tx.data(), t.tx, t.len);
      transfers.push_back(t);
      recorded.push_back(std::move(r));
    }
    {
      std::lock_guard lock(mutex_);
      if (recording_) record_.push_back(std::move(recorded));
    }
    return message(transfers);
  }

  std::lock_guard lock(mutex_);
  const bool is_write = request == SPI_IOC_WR_MODE || request == SPI_IOC_WR_MAX_SPEED_HZ ||
                        request == SPI_IOC_WR_LSB_FIRST || request == SPI_IOC_WR_BITS_PER_WORD;
  const bool is_read = request == SPI_IOC_RD_MODE || request == SPI_IOC_RD_MAX_SPEED_HZ ||
                       request == SPI_IOC_RD_LSB_FIRST || request == SPI_IOC_RD_BITS_PER_WORD;
  if (!is_write && !is_read) {
    errno = ENOTTY;
    return -1;
  }
  if (fail_settings_) {
    errno = EINVAL;
    return -1;
  }
  if (request == SPI_IOC_WR_MODE) mode_ = *static_cast<uint8_t*>(arg);
  else if (request == SPI_IOC_RD_MODE) *static_cast<uint8_t*>(arg) = mode_;
  else if (request == SPI_IOC_WR_MAX_SPEED_HZ) speed_ = *static_cast<uint32_t*>(arg);
  else if (request == SPI_IOC_RD_MAX_SPEED_HZ) *static_cast<uint32_t*>(arg) = speed_;
  else if (request == SPI_IOC_WR_LSB_FIRST) lsb_ = *static_cast<uint8_t*>(arg);
  else if (request == SPI_IOC_RD_LSB_FIRST) *static_cast<uint8_t*>(arg) = lsb_;
  else if (request == SPI_IOC_WR_BITS_PER_WORD) bits_ = *static_cast<uint8_t*>(arg);
  else *static_cast<uint8_t*>(arg) = bits_ == 0 ? 8 : bits_;
  return 0;
}

int SpidevDevice::message(std::span<SpiTransfer> transfers) {
  int total = 0;
  for (auto& t : transfers) {
    if (t.rx) std::memset(t.rx, 0, t.len);
    total += static_cast<int>(t.len);
  }
  return total;
}

uint8_t SpidevDevice::mode() const { std::lock_guard lock(mutex_); return mode_; }
uint32_t SpidevDevice::max_speed_hz() const { std::lock_guard lock(mutex_); return speed_; }
uint8_t SpidevDevice::lsb_first() const { std::lock_guard lock(mutex_); return lsb_; }
uint8_t SpidevDevice::bits_per_word() const { std::lock_guard lock(mutex_); return bits_; }

std::vector<RecordedMessage> SpidevDevice::messages() const {
  std::lock_guard lock(mutex_);
  return record_;
}
size_t SpidevDevice::message_count() const {
  std::lock_guard lock(mutex_);
  return record_.size();
}
void SpidevDevice::clear_messages() {
  std::lock_guard lock(mutex_);
  record_.clear();
}
void SpidevDevice::fail_settings(bool fail) {
  std::lock_guard lock(mutex_);
  fail_settings_ = fail;
}

void SpidevDevice::fail_next_close(int n) {
  std::lock_guard lock(mutex_);
  pending_close_faults_ = n;
}
int SpidevDevice::close(Handle&) {
  std::lock_guard lock(mutex_);
  if (pending_close_faults_ <= 0) return 0;
  --pending_close_faults_;
  errno = EIO;
  return -1;
}

std::vector<uint8_t> gather(std::span<SpiTransfer> transfers) {
  std::vector<uint8_t> bytes;
  for (const auto& t : transfers) {
    const size_t at = bytes.size();
    bytes.resize(at + t.len, 0);
    if (t.tx && t.len) std::memcpy(bytes.data() + at, t.tx, t.len);
  }
  return bytes;
}

int scatter(std::span<SpiTransfer> transfers, const std::vector<uint8_t>& answer) {
  size_t at = 0;
  for (auto& t : transfers) {
    if (t.rx && t.len) std::memcpy(t.rx, answer.data() + at, t.len);
    at += t.len;
  }
  return int(at);
}

uint64_t SpidevDevice::message_total() const {
  std::lock_guard lock(mutex_);
  return total_;
}
void SpidevDevice::fail_message_at(int64_t n) {
  std::lock_guard lock(mutex_);
  fail_at_ = n;
}
void SpidevDevice::set_recording(bool on) {
  std::lock_guard lock(mutex_);
  recording_ = on;
}
}  // namespace crx::sim

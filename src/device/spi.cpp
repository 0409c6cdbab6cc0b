#include "device/spi.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include "device/paths.h"
#include "platform/os.h"

namespace crx {

namespace {

// Command plus the largest single transfer.
constexpr size_t kBufferSize = kSpiMaxTransfer + 1;
constexpr uint32_t kDefaultClockHz = 5000000;

spi_ioc_transfer make_transfer(const void* tx, void* rx, uint32_t len, bool cs_change) {
  spi_ioc_transfer t{};
  t.tx_buf = reinterpret_cast<uintptr_t>(tx);
  t.rx_buf = reinterpret_cast<uintptr_t>(rx);
  t.len = len;
  t.cs_change = cs_change ? 1 : 0;
  return t;
}

// Issues a write request and its read-back; the pair fails when either does.
template <typename T>
bool set_and_read_back(int fd, unsigned long write_request, unsigned long read_request, T value) {
  T read_back{};
  const int w = os::ioctl(fd, write_request, &value);
  const int r = os::ioctl(fd, read_request, &read_back);
  return w >= 0 && r >= 0;
}

uint32_t clock_hz(int speed) {
  if (speed < 1) return kDefaultClockHz;
  // Absurd speed arguments saturate rather than wrap into a slow clock.
  const uint64_t hz = uint64_t(speed) * 1000000u;
  return hz > UINT32_MAX ? UINT32_MAX : uint32_t(hz);
}

int open_port(const char* path, uint8_t mode, int speed, int* fd) {
  if (!path || !fd) return -1;
  const int opened = os::open(path, O_RDWR);
  if (opened < 0) return -1;
  if (spi_setup_device(opened, mode, speed) < 0) {
    os::close(opened);
    return -1;
  }
  *fd = opened;
  return 0;
}

// Bulk access to one data register: the same command byte before every
// chunk keeps each message well inside the kernel's per-message limit.
// `rx` or `tx` points into the caller's data.
int chunked_transfer(int fd, uint8_t command, uint8_t* rx, const uint8_t* tx, uint32_t length) {
  int64_t moved = 0;
  for (uint32_t done = 0; done < length; done += kSpiChunkLength) {
    const uint32_t n = std::min(kSpiChunkLength, length - done);
    spi_ioc_transfer t[2] = {make_transfer(&command, nullptr, 1, false),
                             make_transfer(tx ? tx + done : nullptr, rx ? rx + done : nullptr, n, false)};
    const int reported = os::ioctl(fd, SPI_IOC_MESSAGE(2), t);
    // A failed message ends the access: later chunks would land at the
    // wrong place in the register's stream.
    if (reported < 0) return -1;
    moved += reported - 1;
  }
  return moved == length ? 0 : -1;
}

bool port_request_valid(uint8_t target, uint16_t address, const void* data, uint32_t length) {
  if (length && !data) return false;
  if (address > (target == kFpgaTarget ? 32768 : 128)) return false;
  return length <= kSpiMaxTransfer;
}

// Target in bits 31..24, page in 23..16, address in 15..0 (7 bits for a chip).
off_t offset_word(uint8_t target, int8_t page, uint16_t address) {
  const uint32_t a = target == kFpgaTarget ? address : (address & 0x7Fu);
  return off_t(uint32_t{target} << 24 | uint32_t{uint8_t(page)} << 16 | a);
}

// One transfer: command byte, address bytes, then `length` data bytes sent
// from `out` (a write) or zeros with the answer copied to `in` (a read).
int flash_transfer(int fd, uint8_t command, const uint8_t* address, uint32_t address_length,
                   const uint8_t* out, uint8_t* in, uint32_t length) {
  if (length && !out && !in) return -1;
  if (length > kSpiMaxFlashData) return -1;
  if (address_length && !address) return -1;
  // Command, address and data must fit the one transfer buffer.
  if (uint64_t{1} + address_length + length > kBufferSize) return -1;

  const uint32_t header = 1 + address_length;
  const uint32_t total = header + length;
  uint8_t tx[kBufferSize];
  uint8_t rx[kBufferSize];
  tx[0] = command;
  if (address_length) std::memcpy(tx + 1, address, address_length);
  if (out && length) std::memcpy(tx + header, out, length);
  else std::memset(tx + header, 0, length);
  std::memset(rx, 0, total);
  spi_ioc_transfer t = make_transfer(tx, rx, total, false);
  if (os::ioctl(fd, SPI_IOC_MESSAGE(1), &t) != int(total)) return -1;
  if (in && length) std::memcpy(in, rx + header, length);
  return 0;
}

}  // namespace

int spi_setup_device(int fd, uint8_t mode, int speed) {
  if (!set_and_read_back<uint8_t>(fd, SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, mode)) return -1;
  if (!set_and_read_back<uint32_t>(fd, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, clock_hz(speed)))
    return -1;
  if (!set_and_read_back<uint8_t>(fd, SPI_IOC_WR_LSB_FIRST, SPI_IOC_RD_LSB_FIRST, 0)) return -1;
  if (!set_and_read_back<uint8_t>(fd, SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, 0)) return -1;
  return 0;
}

int spi_linuxdev_open(const char* path, int speed, int* fd) { return open_port(path, 0, speed, fd); }

int spi_tempdev_open(int* fd) { return open_port(paths::kTempSensorPort, 1, kSpiSpeed1MHz, fd); }

int spi_linuxdev_close(int fd) { return os::close(fd) < 0 ? -1 : 0; }

int spi_iodev_read(int fd, uint8_t address, uint8_t* data, uint32_t length, uint8_t* status) {
  if (length && !data) return -1;
  const uint8_t command = address & 0x7F;
  if (length > kSpiMaxTransfer) return chunked_transfer(fd, command, data, nullptr, length);

  uint8_t tx[kBufferSize];
  uint8_t rx[kBufferSize];
  std::memset(tx, 0, length + 1);
  tx[0] = command;
  // Byte 1 feeds *status even when no data byte was clocked.
  std::memset(rx, 0, std::max<size_t>(length + 1, 2));
  spi_ioc_transfer t = make_transfer(tx, rx, length + 1, true);
  if (os::ioctl(fd, SPI_IOC_MESSAGE(1), &t) != int(length + 1)) return -1;
  if (length) std::memcpy(data, rx + 1, length);
  if (status) *status = rx[1];
  return 0;
}

int spi_iodev_write(int fd, uint8_t address, const uint8_t* data, uint32_t length, uint8_t* status) {
  if ((length && !data) || address > 128) return -1;
  const uint8_t command = address | 0x80;
  if (length > kSpiMaxTransfer) return chunked_transfer(fd, command, nullptr, data, length);

  uint8_t tx[kBufferSize];
  uint8_t rx[kBufferSize];
  tx[0] = command;
  if (length) std::memcpy(tx + 1, data, length);
  std::memset(rx, 0, std::max<size_t>(length + 1, 2));
  spi_ioc_transfer t = make_transfer(tx, rx, length + 1, false);
  if (os::ioctl(fd, SPI_IOC_MESSAGE(1), &t) != int(length + 1)) return -1;
  if (status) *status = rx[1];
  return 0;
}

int spi_linuxdev_read(uint8_t target, int8_t page, int fd, uint16_t address, uint8_t* data,
                      uint32_t length, uint8_t* status) {
  if (!port_request_valid(target, address, data, length)) return -1;
  uint8_t bounce[kSpiMaxTransfer];
  // A short read must not hand stack contents to the caller.
  std::memset(bounce, 0, std::max<size_t>(length, 2));
  if (os::pread(fd, bounce, length, offset_word(target, page, address)) < 0) return -1;
  if (length) std::memcpy(data, bounce, length);
  if (status) *status = bounce[1];
  return 0;
}

int spi_linuxdev_write(uint8_t target, int8_t page, int fd, uint16_t address, const uint8_t* data,
                       uint32_t length, uint8_t* status) {
  if (!port_request_valid(target, address, data, length)) return -1;
  if (os::pwrite(fd, data, length, offset_word(target, page, address)) < 0) return -1;
  if (status) *status = 0;
  return 0;
}

int spi_linuxdev_read_flash_mem(int fd, uint8_t command, const uint8_t* address,
                                uint32_t address_length, uint8_t* data, uint32_t length) {
  return flash_transfer(fd, command, address, address_length, nullptr, data, length);
}

int spi_linuxdev_write_flash_mem(int fd, uint8_t command, const uint8_t* address,
                                 uint32_t address_length, const uint8_t* data, uint32_t length) {
  return flash_transfer(fd, command, address, address_length, data, nullptr, length);
}

}  // namespace crx

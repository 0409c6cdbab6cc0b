// The commissioning flash: finding the area (MTD partition or raw SPI NOR),
// and reading, writing and erasing byte ranges inside it.
#include "crx_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include "crx.h"
#include "device/paths.h"
#include "log.h"
#include "platform/os.h"

namespace crx::flash {
namespace {

constexpr const char* kPartitionTable = "/proc/mtd";
constexpr const char* kPartitionName = "SPINOR.commission";
constexpr const char* kRawDevice = paths::kFlashPort;
constexpr uint32_t kRawSpeedHz = 12000000;

// Serial NOR commands.
constexpr uint8_t kCmdReadId = 0x9F;
constexpr uint8_t kCmdWriteEnable = 0x06;
constexpr uint8_t kCmdReadStatus = 0x05;
constexpr uint8_t kCmdRead = 0x03;
constexpr uint8_t kCmdPageProgram = 0x02;
constexpr uint8_t kCmdSectorErase = 0xD8;
constexpr uint8_t kStatusWip = 0x01;
constexpr uint8_t kStatusWel = 0x02;

constexpr uint8_t kS25fl127sId[6] = {0x01, 0x20, 0x18, 0x4D, 0x01, 0x80};
constexpr uint32_t kS25fl127sSize = 0x1000000;
constexpr uint32_t kDefaultChipSize = 0x400000;
constexpr uint32_t kRawPageSize = 256;
constexpr uint32_t kRawSectorSize = 0x10000;

constexpr unsigned kProgramPollUs = 100, kProgramTimeoutUs = 5000;
constexpr unsigned kErasePollUs = 100000, kEraseTimeoutUs = 3000000;

// The descriptor and geometry are process globals without a lock: the
// database layer calls in under its own lock.
int flash_fd = -1;
FlashInfo flash_info{};

// Serialises raw SPI transactions (and nothing else).
std::mutex spi_mutex;

bool geometry_valid() { return flash_info.size && flash_info.pageSize && flash_info.sectorSize; }

void close_device() {
  if (flash_fd >= 0) os::close(flash_fd);
  flash_fd = -1;
}

// One raw command: the command bytes out, then `resp_len` bytes in, as one
// message with chip select held in between (the command alone when no answer
// is expected).
bool spi_transaction(const uint8_t* cmd, size_t cmd_len, uint8_t* resp, size_t resp_len) {
  std::lock_guard lock(spi_mutex);
  uint8_t mode = SPI_MODE_0;
  if (os::ioctl(flash_fd, SPI_IOC_WR_MODE, &mode) < 0) {
    const int e = errno;
    std::printf("%s: failure to set spi mode: %s [%d]\n", "spiTransaction", std::strerror(e), e);
    return false;
  }
  struct spi_ioc_transfer xfer[2];
  std::memset(xfer, 0, sizeof xfer);
  xfer[0].tx_buf = reinterpret_cast<uintptr_t>(cmd);
  xfer[0].len = static_cast<uint32_t>(cmd_len);
  xfer[0].speed_hz = kRawSpeedHz;
  xfer[1].rx_buf = reinterpret_cast<uintptr_t>(resp);
  xfer[1].len = static_cast<uint32_t>(resp_len);
  xfer[1].speed_hz = kRawSpeedHz;
  const unsigned long request = resp_len ? SPI_IOC_MESSAGE(2) : SPI_IOC_MESSAGE(1);
  if (os::ioctl(flash_fd, request, xfer) < 0) {
    const int e = errno;
    std::printf("%s: spi transfer failure: %s [%d]\n", "spiTransaction", std::strerror(e), e);
    return false;
  }
  return true;
}

bool simple_command(uint8_t opcode) { return spi_transaction(&opcode, 1, nullptr, 0); }

bool read_status(uint8_t& status) { return spi_transaction(&kCmdReadStatus, 1, &status, 1); }

void put_address(uint8_t* cmd, uint8_t opcode, uint32_t address) {
  cmd[0] = opcode;
  cmd[1] = static_cast<uint8_t>(address >> 16);
  cmd[2] = static_cast<uint8_t>(address >> 8);
  cmd[3] = static_cast<uint8_t>(address);
}

// Sets the write enable latch and confirms it took; logs as `who`.
bool enable_write(const char* who) {
  if (!simple_command(kCmdWriteEnable)) {
    log_line("%s: error enabling flash write", who);
    return false;
  }
  uint8_t status = 0;
  if (!read_status(status)) {
    log_line("%s: error reading flash status", who);
    return false;
  }
  if (!(status & kStatusWel)) {
    log_line("%s: failure to enable write latch", who);
    return false;
  }
  return true;
}

void sleep_us(unsigned us) {
  struct timespec req {
    static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000
  };
  os::sleep(req, nullptr);
}

bool wait_wip(unsigned timeout_us, unsigned poll_us) {
  const unsigned polls = timeout_us / poll_us;
  uint8_t status = 0;
  for (unsigned i = 0; i < polls; ++i) {
    if (!read_status(status)) {
      log_line("%s: error reading flash status", "lddFlashWaitWIP");
      return false;
    }
    if (!(status & kStatusWip)) return true;
    sleep_us(poll_us);
  }
  log_line("%s: error, WIP active after %dus: status register: 0x%02x", "lddFlashWaitWIP",
           static_cast<int>(poll_us * polls), status);
  return false;
}

// The device path of the commissioning partition from the partition table,
// or empty when there is none.
std::string find_partition() {
  FILE* table = os::fopen(kPartitionTable, "r");
  if (!table) {
    const int e = errno;
    log_line("%s: Failed to open partition table '%s': %s [%d]", "lddFlashFindCommPartition",
             kPartitionTable, std::strerror(e), e);
    return {};
  }
  std::string path;
  char line[256];
  while (std::fgets(line, sizeof line, table)) {
    if (!std::strstr(line, kPartitionName)) continue;
    const char* colon = std::strchr(line, ':');
    if (!colon || colon == line) continue;
    path = "/dev/" + std::string(line, static_cast<size_t>(colon - line));
    break;
  }
  std::fclose(table);
  return path;
}

bool probe_mtd(const std::string& path) {
  flash_fd = os::open(path.c_str(), O_RDWR);
  if (flash_fd < 0) {
    const int e = errno;
    log_line("%s: error opening MTD device '%s': %s [%d]", "lddFlashProbe", path.c_str(), std::strerror(e), e);
    return false;
  }
  struct mtd_info_user mtd {};
  if (os::ioctl(flash_fd, MEMGETINFO, &mtd) < 0) {
    const int e = errno;
    log_line("%s: error obtaining MTD device information: %s [%d]", "lddFlashProbe", std::strerror(e), e);
    close_device();
    return false;
  }
  const char* type = "unk";
  if (mtd.type == MTD_NORFLASH) type = "NOR";
  else if (mtd.type == MTD_NANDFLASH || mtd.type == MTD_MLCNANDFLASH) type = "NAND";
  flash_info = {};
  std::snprintf(flash_info.type, sizeof flash_info.type, "%s", type);
  flash_info.isMtd = true;
  flash_info.size = mtd.size;
  flash_info.pageSize = mtd.writesize;
  flash_info.sectorSize = mtd.erasesize;
  log_line("%s: Commissioning partition information: type %s, page size %u bytes; sector size %u KiB, total %u KiB",
           "lddFlashProbe", flash_info.type, flash_info.pageSize, flash_info.sectorSize / 1024,
           flash_info.size / 1024);
  return true;
}

bool probe_raw() {
  flash_fd = os::open(kRawDevice, O_RDWR);
  if (flash_fd < 0) {
    const int e = errno;
    log_line("%s: error opening driver '%s': %s [%d]", "lddFlashProbe", kRawDevice, std::strerror(e), e);
    return false;
  }
  uint8_t id[6] = {};
  if (!spi_transaction(&kCmdReadId, 1, id, sizeof id)) {
    log_line("%s: error reading flash", "lddFlashProbe");
    close_device();
    return false;
  }
  flash_info = {};
  flash_info.isMtd = false;
  flash_info.pageSize = kRawPageSize;
  flash_info.sectorSize = kRawSectorSize;
  if (std::memcmp(id, kS25fl127sId, sizeof id) == 0) {
    flash_info.size = kS25fl127sSize;
    log_line("%s: Spansion S25FL127S flash detected: sector size %u KiB; total %u KiB", "lddFlashProbe",
             flash_info.sectorSize / 1024, flash_info.size / 1024);
  } else {
    flash_info.size = kDefaultChipSize;
    log_line("%s: unknown flash detected: id 0x%02x; type 0x%02x; capacity 0x%02x; using defaults: "
             "sector size 64 KiB; total 4MiB",
             "lddFlashProbe", id[0], id[1], id[2]);
  }
  return true;
}

bool probe() {
  if (flash_fd >= 0) return true;
  const std::string path = find_partition();
  if (!path.empty()) return probe_mtd(path);
  log_line("%s: Could not find commissioning partition in the partition table", "lddFlashProbe");
  log_line("%s: Proceeding to try raw SPI access method", "lddFlashProbe");
  return probe_raw();
}

// Opens the area on first use; `who` names the exported caller in the log.
bool ready(const char* who) {
  if (!probe()) {
    log_line("%s: failed to probe the commissioning flash", who);
    return false;
  }
  if (!geometry_valid()) {
    log_line("%s: unable to determine flash parameters", who);
    close_device();  // probe again next time rather than keep a useless device
    return false;
  }
  return true;
}

bool seek(uint32_t offset, const char* who) {
  if (os::lseek(flash_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int e = errno;
    log_line("%s: Failed to seek address 0x%x in flash: %s [%d]", who, offset, std::strerror(e), e);
    return false;
  }
  return true;
}

// Moves `length` bytes at `offset` with repeated reads or writes (`io`),
// as far as the device goes. `what` is "read" or "write" for the log.
template <typename Buffer, typename Io>
int mtd_transfer(uint32_t offset, Buffer* buf, size_t length, const char* who, const char* what, Io io) {
  if (!seek(offset, who)) return -1;
  size_t done = 0;
  while (done < length) {
    const ssize_t n = io(flash_fd, buf + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      log_line("%s: Failed to %s data from flash: %s [%d]", who, what, std::strerror(e), e);
      return -1;
    }
    if (n == 0) {
      log_line("%s: WARNING: Flash %s returned 0 bytes", who, what);
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int>(done);
}

int mtd_read(uint32_t offset, uint8_t* buf, size_t length) {
  return mtd_transfer(offset, buf, length, "lddFlashRead", "read",
                      [](int fd, uint8_t* p, size_t n) { return os::read(fd, p, n); });
}

int mtd_write(uint32_t offset, const uint8_t* buf, size_t length) {
  return mtd_transfer(offset, buf, length, "lddFlashWrite", "write",
                      [](int fd, const uint8_t* p, size_t n) { return os::write(fd, p, n); });
}

int raw_read(uint32_t address, uint8_t* buf, size_t length) {
  // Each chunk clocks in a whole page; the chunk keeps its own bytes.
  uint8_t page[kRawPageSize];
  uint8_t cmd[4];
  size_t done = 0;
  while (done < length) {
    const size_t chunk = std::min<size_t>(flash_info.pageSize, length - done);
    put_address(cmd, kCmdRead, address + static_cast<uint32_t>(done));
    if (!spi_transaction(cmd, sizeof cmd, page, kRawPageSize)) {
      log_line("%s: error reading flash", "lddFlashRead");
      break;
    }
    std::memcpy(buf + done, page, chunk);
    done += chunk;
  }
  return static_cast<int>(done);
}

int raw_write(uint32_t address, const uint8_t* buf, size_t length) {
  uint8_t cmd[4 + kRawPageSize];
  size_t done = 0;
  while (done < length) {
    const uint32_t at = address + static_cast<uint32_t>(done);
    // A page program wraps inside its page, so no chunk may cross a page
    // boundary: the first chunk of an unaligned write ends at the boundary.
    const size_t room = flash_info.pageSize - at % flash_info.pageSize;
    const size_t chunk = std::min(room, length - done);
    if (!enable_write("lddFlashWrite")) return -1;
    put_address(cmd, kCmdPageProgram, at);
    std::memcpy(cmd + 4, buf + done, chunk);
    if (!spi_transaction(cmd, 4 + chunk, nullptr, 0)) {
      log_line("%s: error programming flash page", "lddFlashWrite");
      break;
    }
    if (!wait_wip(kProgramTimeoutUs, kProgramPollUs)) {
      log_line("%s: error, page programming flash failed to complete", "lddFlashWrite");
      break;
    }
    done += chunk;
  }
  return static_cast<int>(done);
}

int erase(uint32_t offset, size_t length) {
  const uint64_t base = flash_info.isMtd ? 0 : kRawAreaStart;
  const uint64_t first = base + offset;
  const uint64_t last = first + length;
  if (last > flash_info.size) {
    log_line("%s: Attempting to erase flash beyond size", "lddFlashErase");
    return -1;
  }
  const uint64_t sector = flash_info.sectorSize;
  const uint64_t start = first / sector * sector;
  const uint64_t end = (last + sector - 1) / sector * sector;
  for (uint64_t at = start; at < end; at += sector) {
    const uint32_t addr = static_cast<uint32_t>(at);
    if (flash_info.isMtd) {
      struct erase_info_user ei {};
      ei.start = addr;
      ei.length = flash_info.sectorSize;
      if (os::ioctl(flash_fd, MEMUNLOCK, &ei) < 0 && errno != EOPNOTSUPP) {
        const int e = errno;
        log_line("%s: Failed to unlock flash sector @0x%08x: %s [%d]\n", "lddFlashErase", addr, std::strerror(e), e);
        return -1;
      }
      if (os::ioctl(flash_fd, MEMERASE, &ei) < 0) {
        const int e = errno;
        log_line("%s: Failed to erase flash sector @0x%08x: %s [%d]", "lddFlashErase", addr, std::strerror(e), e);
        return -1;
      }
      continue;
    }
    if (!enable_write("lddFlashErase")) return -1;
    uint8_t cmd[4];
    put_address(cmd, kCmdSectorErase, addr);
    if (!spi_transaction(cmd, sizeof cmd, nullptr, 0)) {
      log_line("%s: error erasing flash sector address 0x%x", "lddFlashErase", addr);
      return -1;
    }
    if (!wait_wip(kEraseTimeoutUs, kErasePollUs)) {
      log_line("%s: error, sector erase flash failed to complete", "lddFlashErase");
      return -1;
    }
  }
  return 0;
}

// Bound check shared by reads and writes; `what` is "read" or "write".
bool within(uint64_t address, size_t length, const char* who, const char* what) {
  const uint64_t end = address + length;
  // The result is a byte count in an int, so nothing larger is accepted.
  if (end <= flash_info.size && length <= INT32_MAX) return true;
  log_line("%s: trying to %s beyond end of flash (size %zu bytes, %s end %zu)", who, what,
           static_cast<size_t>(flash_info.size), what, static_cast<size_t>(end));
  return false;
}

}  // namespace

const FlashInfo& info() { return flash_info; }

}  // namespace crx::flash

using namespace crx::flash;

extern "C" {

int LddFlashReadCommissionDb(uint32_t offset, void* buffer, size_t length) {
  if (!ready("LddFlashReadCommissionDb")) return -1;
  if (!buffer) return -1;
  auto* out = static_cast<uint8_t*>(buffer);
  if (flash_info.isMtd) {
    if (!within(offset, length, "lddFlashRead", "read")) return -1;
    return mtd_read(offset, out, length);
  }
  const uint64_t address = uint64_t{offset} + kRawAreaStart;
  if (!within(address, length, "lddFlashRead", "read")) return -1;
  return raw_read(static_cast<uint32_t>(address), out, length);
}

int LddFlashWriteCommissionDb(uint32_t offset, const void* buffer, size_t length) {
  if (!ready("LddFlashWriteCommissionDb")) return -1;
  if (!buffer) return -1;
  const auto* in = static_cast<const uint8_t*>(buffer);
  if (flash_info.isMtd) {
    if (!within(offset, length, "lddFlashWrite", "write")) return -1;
    return mtd_write(offset, in, length);
  }
  const uint64_t address = uint64_t{offset} + kRawAreaStart;
  if (!within(address, length, "lddFlashWrite", "write")) return -1;
  return raw_write(static_cast<uint32_t>(address), in, length);
}

int LddFlashEraseCommissionDb(size_t length) {
  if (!ready("LddFlashEraseCommissionDb")) return -1;
  return erase(0, length);
}

int LddFlashCloseCommissionDb(void) {
  close_device();
  return 0;
}

}  // extern "C"

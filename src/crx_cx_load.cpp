// Copying the database image out of the commissioning flash into a file.
//
// The copy goes to a temporary name first; CxInit moves it to its final
// name only once SQLite has verified it, so a failed or interrupted load
// never leaves a half-written or unusable database where the next process
// would trust it.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "crx.h"
#include "crx_cx.h"
#include "crx_cx_internal.h"
#include "crx_flash.h"
#include "log.h"
#include "platform/os.h"

namespace crx::cx {
namespace {

constexpr const char* kWho = "cxLoadDatabase";
constexpr size_t kHeaderSize = 100;
constexpr size_t kCopyChunk = 256;
constexpr uint8_t kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
constexpr const char* kGroup = "lora";

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// The image size the header vouches for, or 0. The page count only counts
// when the "version valid for" number matches the change counter, as SQLite
// itself requires; a page size outside SQLite's range (1 means 65 536) would
// make the copy the wrong length, and an image larger than the flash area
// cannot be there (copying it would only fill /tmp before failing).
size_t image_size(const uint8_t* h) {
  uint32_t page_size = uint32_t{h[16]} << 8 | h[17];
  if (page_size == 1) page_size = 65536;
  const bool power_of_two = page_size && (page_size & (page_size - 1)) == 0;
  if (!power_of_two || page_size < 512 || page_size > 65536) return 0;
  const uint32_t pages = be32(h + 28);
  if (pages == 0 || std::memcmp(h + 24, h + 92, 4) != 0) return 0;
  const size_t size = size_t{page_size} * pages;
  return size <= flash::area_size() ? size : 0;
}

void give_to_group(const std::string& path) {
  gid_t gid = 0;
  if (!os::group_id(kGroup, &gid)) return;
  if (os::chown(path.c_str(), ::getuid(), gid) < 0) {
    const int e = errno;
    log_line("%s: WARNING - cannot to change group %s: %s [%d]", kWho, kGroup, std::strerror(e), e);
  }
}

// Copies `size` bytes of the image into `fd`; false after logging the cause.
bool copy_image(int fd, size_t size) {
  uint8_t chunk[kCopyChunk];
  size_t p = 0;
  while (p < size) {
    const size_t want = std::min(kCopyChunk, size - p);
    const int got = LddFlashReadCommissionDb(static_cast<uint32_t>(p), chunk, want);
    if (got <= 0) {
      log_line("%s: unable to read %zu bytes from commissioning database at offset 0x%zx", kWho, want, p);
      return false;
    }
    const ssize_t written = os::write(fd, chunk, static_cast<size_t>(got));
    if (written < 0) {
      if (errno == EINTR) continue;  // the same chunk is read and written again
      const int e = errno;
      log_line("%s: error writing image file %s: %s [%d]", kWho, kDatabasePath, std::strerror(e), e);
      return false;
    }
    p += static_cast<size_t>(written);  // a short write re-reads the rest from flash
  }
  return true;
}

}  // namespace

bool load_database(std::string& fresh) {
  fresh.clear();
  if (os::access(kDatabasePath, R_OK) == 0) {
    log_line("%s: database already loaded.", kWho);
    return true;
  }

  uint8_t header[kHeaderSize];
  const int got = LddFlashReadCommissionDb(0, header, kHeaderSize);
  // The header fields used below lie up to byte 96, so a short read is as
  // bad as none.
  if (got < static_cast<int>(kHeaderSize)) {
    log_line("%s: unable to read %zu bytes from commissioning database (only %zu bytes read)", kWho, kHeaderSize,
             static_cast<size_t>(got < 0 ? 0 : got));
    return false;
  }
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    LogBytes(CRX_LOG_CONSOLE | CRX_LOG_SYSLOG, header, sizeof kMagic, 16, "%s: invalid database header string", kWho);
    return false;
  }
  const size_t size = image_size(header);
  if (size == 0) {
    log_line("%s: database size error", kWho);
    return false;
  }

  // One name per process, so two processes loading at once never write into
  // each other's copy; whichever renames last installs an identical image.
  // The lines still name the database file: the copy becomes it or nothing.
  const std::string path = std::string(kDatabasePath) + ".tmp" + std::to_string(::getpid());
  const int fd = os::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0660);
  if (fd < 0) {
    const int e = errno;
    log_line("%s: failed to create file %s: %s [%d]", kWho, kDatabasePath, std::strerror(e), e);
    return false;
  }
  give_to_group(path);
  if (!copy_image(fd, size)) {
    os::close(fd);
    os::unlink(path.c_str());
    return false;
  }
  log_line("%s: loaded %u byte database to %s", kWho, static_cast<unsigned>(size), kDatabasePath);
  if (os::close(fd) < 0) {
    const int e = errno;
    log_line("%s: failed to close file %s: %s [%d]", kWho, kDatabasePath, std::strerror(e), e);
    os::unlink(path.c_str());
    return false;
  }
  fresh = path;
  return true;
}

}  // namespace crx::cx

// Reading the gateway's shared state without changing it: System V
// segments attached read-only, files opened read-only, and the test of
// whether another process runs the concentrator.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host.h"

namespace crxdiag {

struct SegmentImage {
  bool exists = false;
  std::string error;  // why `bytes` is empty although the segment may exist
  std::vector<uint8_t> bytes;
  int attached = 0;  // processes attached before this program
  pid_t creator = 0, last = 0;
};
// A copy of the segment of the library's key `key` (mapped by the host).
SegmentImage read_segment(const Host& host, int key);

struct FileImage {
  bool exists = false;
  std::string error;
  std::vector<uint8_t> bytes;
  time_t mtime = 0;
};
// At most `limit` bytes of a gateway file (a longer file is cut there).
FileImage read_file(const Host& host, const std::string& path, size_t limit = 1 << 20);

// Whether another process runs the concentrator. The library attaches the
// packet-statistics segment when it starts the board and keeps it attached
// for the life of the process; the kernel detaches it when that process
// ends. So a segment with processes attached means a live process has
// started the board (and may still run it).
struct BoardUse {
  bool elsewhere = false;
  int attached = 0;
  pid_t last = 0;  // the last process that attached or detached
  std::string text;
};
BoardUse board_use(const Host& host);

// True when a device node or sysfs path exists.
bool present(const Host& host, const std::string& path);

}  // namespace crxdiag

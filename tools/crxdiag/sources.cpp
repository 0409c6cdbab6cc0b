#include "sources.h"

#include "parse.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

namespace crxdiag {

SegmentImage read_segment(const Host& host, int key) {
  SegmentImage s;
  const int id = ::shmget(host.ipc_key(key_t(key)), 0, 0);
  if (id < 0) {
    if (errno != ENOENT) s.error = std::string("cannot open it: ") + std::strerror(errno);
    return s;
  }
  s.exists = true;
  struct shmid_ds ds {};
  if (::shmctl(id, IPC_STAT, &ds) != 0) {
    s.error = std::string("cannot inspect it: ") + std::strerror(errno);
    return s;
  }
  s.attached = int(ds.shm_nattch);
  s.creator = ds.shm_cpid;
  s.last = ds.shm_lpid;
  void* p = ::shmat(id, nullptr, SHM_RDONLY);
  if (p == reinterpret_cast<void*>(-1)) {
    s.error = std::string("cannot attach it: ") + std::strerror(errno);
    return s;
  }
  // Segments of this system are small; a huge one is not one of them.
  const size_t n = ds.shm_segsz < (1u << 20) ? size_t(ds.shm_segsz) : size_t(1u << 20);
  const auto* b = static_cast<const uint8_t*>(p);
  s.bytes.assign(b, b + n);
  ::shmdt(p);
  return s;
}

FileImage read_file(const Host& host, const std::string& path, size_t limit) {
  FileImage f;
  const std::string real = host.locate(path);
  const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno != ENOENT) {
      f.exists = true;
      f.error = std::string("cannot open it: ") + std::strerror(errno);
    }
    return f;
  }
  f.exists = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    f.error = "not a regular file";
    ::close(fd);
    return f;
  }
  f.mtime = st.st_mtime;
  char buf[65536];
  while (f.bytes.size() < limit) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, limit - f.bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      f.error = std::string("cannot read it: ") + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    f.bytes.insert(f.bytes.end(), buf, buf + n);
  }
  ::close(fd);
  return f;
}

BoardUse board_use(const Host& host) {
  BoardUse u;
  const int id = ::shmget(host.ipc_key(key_t(kPacketStatsKey)), 0, 0);
  if (id < 0) return u;
  struct shmid_ds ds {};
  if (::shmctl(id, IPC_STAT, &ds) != 0) return u;
  u.attached = int(ds.shm_nattch);
  u.last = ds.shm_lpid;
  if (u.attached > 0) {
    u.elsewhere = true;
    u.text = "another process has the concentrator started: the packet-statistics memory (System V key 44945) "
             "is attached by " + std::to_string(u.attached) + " process" + (u.attached == 1 ? "" : "es") +
             " (last attached by process " + std::to_string(u.last) + ")";
  }
  return u;
}

bool present(const Host& host, const std::string& path) {
  struct stat st {};
  return ::stat(host.locate(path).c_str(), &st) == 0;
}

}  // namespace crxdiag

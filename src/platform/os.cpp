// The C library backend of the platform seam: every call goes straight to
// the C library with the path unchanged.
#include "platform/os.h"

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/timex.h>
#include <syslog.h>
#include <unistd.h>

namespace crx::os {

std::string Backend::resolve(const char* path) { return path ? path : ""; }

int Backend::open(const char* path, int flags, mode_t mode) {
  if (!path) { errno = EFAULT; return -1; }
  return ::open(resolve(path).c_str(), flags, mode);
}
int Backend::close(int fd) { return ::close(fd); }
ssize_t Backend::read(int fd, void* buf, size_t len) { return ::read(fd, buf, len); }
ssize_t Backend::write(int fd, const void* buf, size_t len) { return ::write(fd, buf, len); }
ssize_t Backend::pread(int fd, void* buf, size_t len, off_t offset) { return ::pread(fd, buf, len, offset); }
ssize_t Backend::pwrite(int fd, const void* buf, size_t len, off_t offset) {
  return ::pwrite(fd, buf, len, offset);
}
off_t Backend::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int Backend::ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int Backend::fsync(int fd) { return ::fsync(fd); }
int Backend::poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) { return ::poll(fds, nfds, timeout_ms); }

int Backend::access(const char* path, int mode) { return ::access(resolve(path).c_str(), mode); }
int Backend::stat(const char* path, struct stat* st) { return ::stat(resolve(path).c_str(), st); }
int Backend::mkdir(const char* path, mode_t mode) { return ::mkdir(resolve(path).c_str(), mode); }
int Backend::unlink(const char* path) { return ::unlink(resolve(path).c_str()); }
int Backend::rename(const char* from, const char* to) {
  return ::rename(resolve(from).c_str(), resolve(to).c_str());
}
int Backend::chown(const char* path, uid_t uid, gid_t gid) { return ::chown(resolve(path).c_str(), uid, gid); }
FILE* Backend::fopen(const char* path, const char* mode) { return ::fopen(resolve(path).c_str(), mode); }
bool Backend::group_id(const char* name, gid_t* gid) {
  if (!name || !gid) return false;
  struct group entry {};
  struct group* found = nullptr;
  char buf[4096];
  if (::getgrnam_r(name, &entry, buf, sizeof buf, &found) != 0 || !found) return false;
  *gid = found->gr_gid;
  return true;
}

key_t Backend::ipc_key(key_t key) { return key; }
std::string Backend::sem_name(const char* name) { return name ? name : ""; }

void Backend::console(const char* fmt, va_list ap) { std::vprintf(fmt, ap); }
void Backend::syslog(int priority, const char* fmt, va_list ap) { ::vsyslog(priority, fmt, ap); }

time_t Backend::now() { return ::time(nullptr); }
struct timespec Backend::tai() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_TAI, &ts);
  return ts;
}
int Backend::tai_offset() {
  struct timex tx {};
  if (::adjtimex(&tx) < 0) return -1;
  return tx.tai;
}
struct timespec Backend::realtime() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}
struct timespec Backend::monotonic() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}
int Backend::sleep(const struct timespec& request, struct timespec* remain) {
  return ::clock_nanosleep(CLOCK_MONOTONIC, 0, &request, remain);
}


int shmget(key_t key, size_t size, int flags) { return ::shmget(ipc_key(key), size, flags); }
void* shmat(int id, const void* addr, int flags) { return ::shmat(id, addr, flags); }
int shmdt(const void* addr) { return ::shmdt(addr); }
int shmctl(int id, int cmd, struct shmid_ds* buf) { return ::shmctl(id, cmd, buf); }
sem_t* sem_open(const char* name, int oflag, mode_t mode, unsigned value) {
  return ::sem_open(sem_name(name).c_str(), oflag, mode, value);
}
int sem_close(sem_t* sem) { return ::sem_close(sem); }
int sem_unlink(const char* name) { return ::sem_unlink(sem_name(name).c_str()); }
int sem_init(sem_t* sem, int pshared, unsigned value) { return ::sem_init(sem, pshared, value); }
int sem_post(sem_t* sem) { return ::sem_post(sem); }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 30))
#define CRX_HAVE_SEM_CLOCKWAIT 1
#else
#define CRX_HAVE_SEM_CLOCKWAIT 0
#endif
int sem_timedwait(sem_t* sem, const struct timespec& timeout) {
  // A deadline on the monotonic clock where the C library offers one, so a
  // step of the wall clock neither stretches nor cuts the wait.
#if CRX_HAVE_SEM_CLOCKWAIT
  constexpr clockid_t kClock = CLOCK_MONOTONIC;
#else
  constexpr clockid_t kClock = CLOCK_REALTIME;
#endif
  struct timespec deadline {};
  ::clock_gettime(kClock, &deadline);
  deadline.tv_sec += timeout.tv_sec;
  deadline.tv_nsec += timeout.tv_nsec;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  int rc;
  do {
#if CRX_HAVE_SEM_CLOCKWAIT
    rc = ::sem_clockwait(sem, kClock, &deadline);
#else
    rc = ::sem_timedwait(sem, &deadline);
#endif
  } while (rc != 0 && errno == EINTR);
  return rc;
}

namespace {
Backend libc_backend;
std::atomic<Backend*> current{&libc_backend};
}  // namespace

Backend& backend() { return *current.load(std::memory_order_acquire); }
void install(Backend* b) { current.store(b ? b : &libc_backend, std::memory_order_release); }

}  // namespace crx::os

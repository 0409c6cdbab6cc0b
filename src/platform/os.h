// The one seam between libcrx and the operating system.
//
// Everything the library asks of the kernel or the C library that touches the
// outside world (device nodes, fixed paths, System V keys, named semaphores,
// syslog, the console, clocks and sleeps) goes through the functions below.
// The default backend is the C library unchanged; the simulator installs a
// backend of its own that maps paths into a sandbox and answers device nodes.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include <poll.h>
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace crx::os {

class Backend {
 public:
  virtual ~Backend() = default;

  // Where an absolute path of the library really lives. Identity for libc.
  virtual std::string resolve(const char* path);

  // Descriptors: files and device nodes.
  virtual int open(const char* path, int flags, mode_t mode);
  virtual int close(int fd);
  virtual ssize_t read(int fd, void* buf, size_t len);
  virtual ssize_t write(int fd, const void* buf, size_t len);
  virtual ssize_t pread(int fd, void* buf, size_t len, off_t offset);
  virtual ssize_t pwrite(int fd, const void* buf, size_t len, off_t offset);
  virtual off_t lseek(int fd, off_t offset, int whence);
  virtual int ioctl(int fd, unsigned long request, void* arg);
  virtual int fsync(int fd);
  // Waits for events on descriptors (poll semantics; timeout in ms, -1 for
  // none). A sysfs GPIO value file reports an edge as POLLPRI | POLLERR.
  virtual int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms);

  // File system by path.
  virtual int access(const char* path, int mode);
  virtual int stat(const char* path, struct stat* st);
  virtual int mkdir(const char* path, mode_t mode);
  virtual int unlink(const char* path);
  virtual int rename(const char* from, const char* to);
  virtual int chown(const char* path, uid_t uid, gid_t gid);
  virtual FILE* fopen(const char* path, const char* mode);
  // The id of a named group; false when the system has no such group.
  virtual bool group_id(const char* name, gid_t* gid);

  // Inter-process names: System V keys and POSIX semaphore names.
  virtual key_t ipc_key(key_t key);
  virtual std::string sem_name(const char* name);

  // Log sinks. The console is standard output; syslog is the system log.
  virtual void console(const char* fmt, va_list ap);
  virtual void syslog(int priority, const char* fmt, va_list ap);

  // Time: calendar seconds, wall clock with sub-seconds, monotonic clock,
  // and a relative sleep on the monotonic clock (clock_nanosleep semantics:
  // returns 0 or an error number, filling `remain` when interrupted).
  virtual time_t now();
  virtual struct timespec realtime();
  virtual struct timespec monotonic();
  virtual int sleep(const struct timespec& request, struct timespec* remain);
  // The TAI clock (CLOCK_TAI), and the kernel's TAI - UTC offset in seconds
  // as adjtimex reports it (0 while nothing has set it; -1 on failure).
  virtual struct timespec tai();
  virtual int tai_offset();
};

// The backend in use. Never null: the C library backend until another is
// installed. install(nullptr) restores the C library backend.
Backend& backend();
void install(Backend* b);

// Thin forwarding wrappers, so call sites read like the C library.
inline std::string resolve(const char* p) { return backend().resolve(p); }
inline int open(const char* p, int flags, mode_t mode = 0) { return backend().open(p, flags, mode); }
inline int close(int fd) { return backend().close(fd); }
inline ssize_t read(int fd, void* b, size_t n) { return backend().read(fd, b, n); }
inline ssize_t write(int fd, const void* b, size_t n) { return backend().write(fd, b, n); }
inline ssize_t pread(int fd, void* b, size_t n, off_t o) { return backend().pread(fd, b, n, o); }
inline ssize_t pwrite(int fd, const void* b, size_t n, off_t o) { return backend().pwrite(fd, b, n, o); }
inline off_t lseek(int fd, off_t o, int w) { return backend().lseek(fd, o, w); }
inline int ioctl(int fd, unsigned long req, void* arg) { return backend().ioctl(fd, req, arg); }
inline int fsync(int fd) { return backend().fsync(fd); }
inline int poll(struct pollfd* fds, nfds_t n, int timeout_ms) { return backend().poll(fds, n, timeout_ms); }
inline int access(const char* p, int m) { return backend().access(p, m); }
inline int stat(const char* p, struct stat* st) { return backend().stat(p, st); }
inline int mkdir(const char* p, mode_t m) { return backend().mkdir(p, m); }
inline int unlink(const char* p) { return backend().unlink(p); }
inline int rename(const char* a, const char* b) { return backend().rename(a, b); }
inline int chown(const char* p, uid_t u, gid_t g) { return backend().chown(p, u, g); }
inline FILE* fopen(const char* p, const char* m) { return backend().fopen(p, m); }
inline bool group_id(const char* n, gid_t* g) { return backend().group_id(n, g); }
inline key_t ipc_key(key_t k) { return backend().ipc_key(k); }
inline std::string sem_name(const char* n) { return backend().sem_name(n); }
// System V shared memory and named semaphores, with the key or name passed
// through the backend's mapping first.
int shmget(key_t key, size_t size, int flags);
void* shmat(int id, const void* addr, int flags);
int shmdt(const void* addr);
int shmctl(int id, int cmd, struct shmid_ds* buf);
sem_t* sem_open(const char* name, int oflag, mode_t mode = 0, unsigned value = 0);
int sem_close(sem_t* sem);
int sem_unlink(const char* name);
// Unnamed semaphores that live inside a shared segment. The wait gives up
// after `timeout` (measured on the real monotonic clock, so a sandbox's
// fast clock cannot cut it short): 0, or -1 with errno (ETIMEDOUT).
int sem_init(sem_t* sem, int pshared, unsigned value);
int sem_post(sem_t* sem);
int sem_timedwait(sem_t* sem, const struct timespec& timeout);

inline time_t now() { return backend().now(); }
inline struct timespec realtime() { return backend().realtime(); }
inline struct timespec monotonic() { return backend().monotonic(); }
inline int sleep(const struct timespec& req, struct timespec* rem) { return backend().sleep(req, rem); }
inline struct timespec tai() { return backend().tai(); }
inline int tai_offset() { return backend().tai_offset(); }

}  // namespace crx::os

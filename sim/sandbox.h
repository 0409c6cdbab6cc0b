// The simulator's platform backend: a sandbox in which every absolute path
// of the library lives under a private temporary root, device nodes are
// answered by simulated devices, System V keys and semaphore names are
// private, and console and syslog lines are captured for the tests.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"

namespace crx::sim {

class Device;

// One open descriptor on a simulated device.
struct Handle {
  std::shared_ptr<Device> device;
  std::string path;
  int flags = 0;
  off_t position = 0;
  // Events of the device this descriptor has consumed (a sysfs value file
  // reports an edge until it is read again).
  uint64_t events_seen = 0;
};

// A simulated device node. Defaults refuse every operation with EINVAL, so a
// model only answers what its hardware answers.
class Device {
 public:
  virtual ~Device() = default;
  // Called on open; return -1 with errno set to refuse it.
  virtual int open(Handle& h);
  virtual int close(Handle& h);
  virtual ssize_t read(Handle& h, void* buf, size_t len);
  virtual ssize_t write(Handle& h, const void* buf, size_t len);
  virtual ssize_t pread(Handle& h, void* buf, size_t len, off_t offset);
  virtual ssize_t pwrite(Handle& h, const void* buf, size_t len, off_t offset);
  virtual off_t lseek(Handle& h, off_t offset, int whence);
  virtual int ioctl(Handle& h, unsigned long request, void* arg);
  // The poll events ready on this descriptor among `requested`. By default
  // a device is always readable and writable, as a regular file is.
  virtual short poll_events(Handle& h, short requested);

  // Fault injection: the next `n` operations that consult take_fault() fail.
  void fail_next(int n);
  void fail_next_open(int n);

 protected:
  // True (consuming one) when an injected fault is pending.
  bool take_fault();
  bool take_open_fault();

 private:
  std::mutex fault_mutex_;
  int pending_faults_ = 0;
  int pending_open_faults_ = 0;
};

struct SyslogLine {
  int priority;
  std::string text;
};

class Sandbox : public os::Backend {
 public:
  // A fresh temporary root, removed again with the sandbox.
  Sandbox();
  // An existing root, left in place (a program run by a test joins the
  // test's sandbox this way).
  explicit Sandbox(std::string existing_root);
  ~Sandbox() override;

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Makes this sandbox the library's backend (and takes it away again).
  void install();
  void uninstall();

  const std::string& root() const { return root_; }
  // The real location of an absolute library path.
  std::string host_path(const std::string& path) const;

  // Files inside the sandbox, by library path.
  void write_file(const std::string& path, const std::string& content, mode_t mode = 0644);
  std::string read_file(const std::string& path) const;
  bool exists(const std::string& path) const;
  void make_dirs(const std::string& path) const;
  void remove(const std::string& path) const;

  // Simulated devices, by library path. The node also appears as an empty
  // file so that access() and stat() find it.
  void add_device(const std::string& path, std::shared_ptr<Device> device);
  void remove_device(const std::string& path);
  int open_device_count() const;

  // Captured log lines (console text as printed, syslog text as sent).
  std::vector<std::string> console_lines() const;
  std::vector<SyslogLine> syslog_lines() const;
  std::vector<std::string> syslog_texts() const;
  bool syslog_contains(const std::string& fragment) const;
  bool console_contains(const std::string& fragment) const;
  void clear_logs();

  // Clock. By default the real clocks; a fast clock makes sleeps return at
  // once and advance the sandbox's time instead. Sleeps are recorded in both
  // modes (the requested durations, in nanoseconds).
  void set_fast_clock(bool fast);
  // Holds the clocks where they are: from now on they move only by the fast
  // clock's sleeps, not with real time, so a test can tell "before the
  // period" from "after it" on a loaded machine. Released, they go on from
  // where they stood.
  void hold_clock(bool held);
  std::vector<int64_t> sleeps() const;
  void clear_sleeps();
  // The next sleep is recorded but returns EINTR at once, reporting
  // `remaining` as the time left, as a signal would.
  void interrupt_next_sleep(const struct timespec& remaining);
  // A fixed calendar time for the log prefix and now(); 0 returns to the clock.
  void set_calendar_time(time_t t);

  // The kernel's TAI offset the library sees (37 s by default, as on a
  // system whose time daemon knows the leap seconds); CLOCK_TAI follows it.
  void set_tai_offset(int seconds);
  // Wakes every poll() in progress so it looks at its descriptors again;
  // devices call it when an event may have become ready.
  void notify_pollers();
  // poll() calls that returned because a simulated device had an event
  // ready (not by their time-out): tells a wake-up by an edge from a
  // periodic poll without timing anything.
  uint64_t event_wakeups() const;

  // Groups the library can look up by name; none unless a test adds them,
  // so runs never depend on the host's group database.
  void add_group(const std::string& name, gid_t gid);

  // ---- os::Backend ----
  std::string resolve(const char* path) override;
  int open(const char* path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t read(int fd, void* buf, size_t len) override;
  ssize_t write(int fd, const void* buf, size_t len) override;
  ssize_t pread(int fd, void* buf, size_t len, off_t offset) override;
  ssize_t pwrite(int fd, const void* buf, size_t len, off_t offset) override;
  off_t lseek(int fd, off_t offset, int whence) override;
  int ioctl(int fd, unsigned long request, void* arg) override;
  int fsync(int fd) override;
  int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) override;
  bool group_id(const char* name, gid_t* gid) override;
  key_t ipc_key(key_t key) override;
  std::string sem_name(const char* name) override;
  void console(const char* fmt, va_list ap) override;
  void syslog(int priority, const char* fmt, va_list ap) override;
  time_t now() override;
  struct timespec realtime() override;
  struct timespec monotonic() override;
  int sleep(const struct timespec& request, struct timespec* remain) override;
  struct timespec tai() override;
  int tai_offset() override;

 private:
  std::shared_ptr<Handle> handle(int fd) const;
  void create_standard_tree() const;
  key_t choose_ipc_base() const;
  struct timespec shifted(struct timespec t) const;

  std::string root_;
  bool owns_root_ = false;
  pid_t creator_ = 0;
  key_t ipc_base_ = 0;

  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, std::shared_ptr<Device>> devices_;
  std::map<int, std::shared_ptr<Handle>> handles_;
  std::vector<std::string> console_;
  std::vector<SyslogLine> syslog_;
  std::vector<key_t> keys_used_;
  std::vector<std::string> sems_used_;
  std::vector<int64_t> sleeps_;
  bool fast_clock_ = false;
  bool clock_held_ = false;
  struct timespec held_realtime_ {};   // the real clocks when the hold began
  struct timespec held_monotonic_ {};
  bool interrupt_next_sleep_ = false;
  struct timespec interrupt_remaining_ {};
  int64_t clock_shift_ns_ = 0;
  time_t calendar_time_ = 0;
  int tai_offset_ = 37;
  std::map<std::string, gid_t> groups_;

  mutable std::mutex poll_mutex_;  // guards poll_generation_ and event_wakeups_
  std::condition_variable poll_cv_;
  uint64_t poll_generation_ = 0;
  uint64_t event_wakeups_ = 0;
};

}  // namespace crx::sim

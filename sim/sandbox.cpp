#include "sandbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/shm.h>
#include <unistd.h>

namespace crx::sim {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- Device

int Device::open(Handle&) {
  if (take_open_fault()) {
    errno = EIO;
    return -1;
  }
  return 0;
}
int Device::close(Handle&) { return 0; }
ssize_t Device::read(Handle&, void*, size_t) { errno = EINVAL; return -1; }
ssize_t Device::write(Handle&, const void*, size_t) { errno = EINVAL; return -1; }
ssize_t Device::pread(Handle&, void*, size_t, off_t) { errno = EINVAL; return -1; }
ssize_t Device::pwrite(Handle&, const void*, size_t, off_t) { errno = EINVAL; return -1; }
off_t Device::lseek(Handle& h, off_t offset, int whence) {
  if (whence == SEEK_SET) h.position = offset;
  else if (whence == SEEK_CUR) h.position += offset;
  else { errno = EINVAL; return -1; }
  return h.position;
}
int Device::ioctl(Handle&, unsigned long, void*) { errno = ENOTTY; return -1; }
short Device::poll_events(Handle&, short requested) { return short(requested & (POLLIN | POLLOUT)); }

void Device::fail_next(int n) {
  std::lock_guard lock(fault_mutex_);
  pending_faults_ = n;
}
void Device::fail_next_open(int n) {
  std::lock_guard lock(fault_mutex_);
  pending_open_faults_ = n;
}
bool Device::take_fault() {
  std::lock_guard lock(fault_mutex_);
  if (pending_faults_ <= 0) return false;
  --pending_faults_;
  return true;
}
bool Device::take_open_fault() {
  std::lock_guard lock(fault_mutex_);
  if (pending_open_faults_ <= 0) return false;
  --pending_open_faults_;
  return true;
}

// ---------------------------------------------------------------- Sandbox

namespace {

std::string make_temp_root() {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/crx-sandbox-XXXXXX";
  if (!::mkdtemp(templ.data())) throw std::runtime_error("cannot create sandbox root");
  return templ;
}

std::string vformat(const char* fmt, va_list ap) {
  va_list measure;
  va_copy(measure, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, ap);
  text.resize(static_cast<size_t>(n));
  return text;
}

// A polling thread sleeps forever; the record only needs the first ones.
constexpr size_t kMaxRecordedSleeps = 100000;

int64_t to_ns(const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

// The keys of the System V segments that exist now, whoever made them.
std::vector<key_t> existing_shm_keys() {
  std::vector<key_t> keys;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);  // the column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long key = 0;
    if (fields >> key) keys.push_back(static_cast<key_t>(key));
  }
  return keys;
}

// Named semaphores live as "sem.<name>" files under /dev/shm; a sandbox's
// are "/crxsim.<base>.<name>", with the base shifted down by 16 bits.
constexpr const char* kSemDir = "/dev/shm";
constexpr std::string_view kSemPrefix = "sem.crxsim.";

// The semaphore files of every sandbox: (its base, the file name).
std::vector<std::pair<key_t, std::string>> existing_sandbox_sems() {
  std::vector<std::pair<key_t, std::string>> sems;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(kSemDir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.compare(0, kSemPrefix.size(), kSemPrefix) != 0) continue;
    const long long base = std::atoll(name.c_str() + kSemPrefix.size());
    if (base > 0) sems.emplace_back(static_cast<key_t>(base << 16), name);
  }
  return sems;
}

constexpr key_t kIpcBaseMask = static_cast<key_t>(0xFFFF0000);
constexpr const char* kIpcBaseFile = "/.ipc_base";

}  // namespace

Sandbox::Sandbox() : Sandbox(make_temp_root()) { owns_root_ = true; }

Sandbox::Sandbox(std::string existing_root) : root_(std::move(existing_root)), creator_(::getpid()) {
  ipc_base_ = choose_ipc_base();
  create_standard_tree();
}

// Keys and semaphore names carry a base of the sandbox's own. It is kept
// in the root, so a program started inside the same sandbox meets the
// test's segments; a new root takes a base no existing segment uses, so
// that a segment a killed test left behind (or another sandbox's) is
// never taken for this one's.
key_t Sandbox::choose_ipc_base() const {
  {
    std::ifstream in(root_ + kIpcBaseFile);
    long long kept = 0;
    if (in >> kept && kept > 0 && (kept & ~0x3FFF0000LL) == 0) return static_cast<key_t>(kept);
  }
  // Semaphores count as well: one that a killed run left behind would
  // look to this sandbox's library like a guard another process holds.
  std::vector<key_t> taken = existing_shm_keys();
  for (const auto& [sem_base, name] : existing_sandbox_sems()) taken.push_back(sem_base);
  const size_t h = std::hash<std::string>{}(root_) >> 8;
  key_t base = 0;
  for (size_t i = 0; i < 0x3FFF; ++i) {
    base = static_cast<key_t>(((h + i) % 0x3FFF) + 1) << 16;
    if (std::none_of(taken.begin(), taken.end(), [base](key_t k) { return (k & kIpcBaseMask) == base; })) break;
  }
  std::ofstream(root_ + kIpcBaseFile) << base << "\n";
  return base;
}

Sandbox::~Sandbox() {
  uninstall();
  if (::getpid() != creator_) return;  // a forked child leaves cleanup to its parent
  // A program that joined an existing sandbox leaves its segments and
  // semaphores to the sandbox's owner, which may still use them (and run
  // the program again).
  if (!owns_root_) {
    std::lock_guard lock(mutex_);
    for (auto& [fd, h] : handles_) ::close(fd);
    handles_.clear();
    return;
  }
  // Every segment under the base goes, also those only a child process
  // (or a program started inside the sandbox) created.
  std::vector<key_t> keys = existing_shm_keys();
  std::erase_if(keys, [this](key_t k) { return (k & kIpcBaseMask) != ipc_base_; });
  keys.insert(keys.end(), keys_used_.begin(), keys_used_.end());
  for (key_t key : keys) {
    const int id = ::shmget(key, 0, 0);
    if (id >= 0) ::shmctl(id, IPC_RMID, nullptr);
  }
  for (const auto& name : sems_used_) ::sem_unlink(name.c_str());
  // Also those only a child process or a program inside the sandbox named.
  for (const auto& [sem_base, name] : existing_sandbox_sems())
    if (sem_base == ipc_base_) ::sem_unlink(("/" + name.substr(4)).c_str());
  {
    std::lock_guard lock(mutex_);
    for (auto& [fd, h] : handles_) ::close(fd);
    handles_.clear();
  }
  if (owns_root_) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

void Sandbox::install() { os::install(this); }
void Sandbox::uninstall() {
  if (&os::backend() == this) os::install(nullptr);
}

void Sandbox::create_standard_tree() const {
  for (const char* dir : {"/tmp", "/dev", "/etc/default", "/etc/network", "/var/lib", "/proc",
                          "/sys/class/gpio"})
    make_dirs(dir);
}

std::string Sandbox::host_path(const std::string& path) const {
  if (path.empty() || path[0] != '/') return path;
  if (path.compare(0, root_.size(), root_) == 0 &&
      (path.size() == root_.size() || path[root_.size()] == '/'))
    return path;  // already inside the sandbox
  return root_ + path;
}

std::string Sandbox::resolve(const char* path) { return path ? host_path(path) : std::string(); }

void Sandbox::write_file(const std::string& path, const std::string& content, mode_t mode) {
  const std::string host = host_path(path);
  make_dirs(fs::path(path).parent_path().string());
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + host);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  ::chmod(host.c_str(), mode);
}

std::string Sandbox::read_file(const std::string& path) const {
  std::ifstream in(host_path(path), std::ios::binary);
  if (!in) return {};
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Sandbox::exists(const std::string& path) const {
  std::error_code ec;
  return fs::exists(host_path(path), ec);
}

void Sandbox::make_dirs(const std::string& path) const {
  std::error_code ec;
  fs::create_directories(host_path(path), ec);
}

void Sandbox::remove(const std::string& path) const {
  std::error_code ec;
  fs::remove_all(host_path(path), ec);
}

void Sandbox::add_device(const std::string& path, std::shared_ptr<Device> device) {
  const std::string host = host_path(path);
  make_dirs(fs::path(path).parent_path().string());
  if (!fs::exists(host)) std::ofstream(host).close();
  std::lock_guard lock(mutex_);
  devices_[path] = std::move(device);
}

void Sandbox::remove_device(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    devices_.erase(path);
  }
  remove(path);
}

int Sandbox::open_device_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::vector<std::string> Sandbox::console_lines() const {
  std::lock_guard lock(mutex_);
  return console_;
}
std::vector<SyslogLine> Sandbox::syslog_lines() const {
  std::lock_guard lock(mutex_);
  return syslog_;
}
std::vector<std::string> Sandbox::syslog_texts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& l : syslog_) out.push_back(l.text);
  return out;
}
bool Sandbox::syslog_contains(const std::string& fragment) const {
  std::lock_guard lock(mutex_);
  for (const auto& l : syslog_)
    if (l.text.find(fragment) != std::string::npos) return true;
  return false;
}
bool Sandbox::console_contains(const std::string& fragment) const {
  std::lock_guard lock(mutex_);
  for (const auto& l : console_)
    if (l.find(fragment) != std::string::npos) return true;
  return false;
}
void Sandbox::clear_logs() {
  std::lock_guard lock(mutex_);
  console_.clear();
  syslog_.clear();
}

void Sandbox::set_fast_clock(bool fast) {
  std::lock_guard lock(mutex_);
  fast_clock_ = fast;
}
void Sandbox::hold_clock(bool held) {
  const struct timespec real = os::Backend::realtime();
  const struct timespec mono = os::Backend::monotonic();
  std::lock_guard lock(mutex_);
  if (held == clock_held_) return;
  if (held) {
    held_realtime_ = real;
    held_monotonic_ = mono;
  } else {
    clock_shift_ns_ -= to_ns(mono) - to_ns(held_monotonic_);
  }
  clock_held_ = held;
}
std::vector<int64_t> Sandbox::sleeps() const {
  std::lock_guard lock(mutex_);
  return sleeps_;
}
void Sandbox::clear_sleeps() {
  std::lock_guard lock(mutex_);
  sleeps_.clear();
}
void Sandbox::interrupt_next_sleep(const struct timespec& remaining) {
  std::lock_guard lock(mutex_);
  interrupt_next_sleep_ = true;
  interrupt_remaining_ = remaining;
}
void Sandbox::set_calendar_time(time_t t) {
  std::lock_guard lock(mutex_);
  calendar_time_ = t;
}

void Sandbox::add_group(const std::string& name, gid_t gid) {
  std::lock_guard lock(mutex_);
  groups_[name] = gid;
}

bool Sandbox::group_id(const char* name, gid_t* gid) {
  if (!name || !gid) return false;
  std::lock_guard lock(mutex_);
  auto it = groups_.find(name);
  if (it == groups_.end()) return false;
  *gid = it->second;
  return true;
}

// ---- descriptors ----

std::shared_ptr<Handle> Sandbox::handle(int fd) const {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(fd);
  return it == handles_.end() ? nullptr : it->second;
}

int Sandbox::open(const char* path, int flags, mode_t mode) {
  if (!path) {
    errno = EFAULT;
    return -1;
  }
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(path);
    if (it != devices_.end()) device = it->second;
  }
  if (!device) return os::Backend::open(path, flags, mode);

  auto h = std::make_shared<Handle>();
  h->device = device;
  h->path = path;
  h->flags = flags;
  if (device->open(*h) < 0) return -1;
  // A real descriptor number, so it never collides with the process's own.
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  std::lock_guard lock(mutex_);
  handles_[fd] = std::move(h);
  return fd;
}

int Sandbox::close(int fd) {
  std::shared_ptr<Handle> h;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(fd);
    if (it == handles_.end()) return ::close(fd);
    h = it->second;
    handles_.erase(it);
  }
  ::close(fd);
  return h->device->close(*h);
}

ssize_t Sandbox::read(int fd, void* buf, size_t len) {
  if (auto h = handle(fd)) return h->device->read(*h, buf, len);
  return os::Backend::read(fd, buf, len);
}
ssize_t Sandbox::write(int fd, const void* buf, size_t len) {
  if (auto h = handle(fd)) return h->device->write(*h, buf, len);
  return os::Backend::write(fd, buf, len);
}
ssize_t Sandbox::pread(int fd, void* buf, size_t len, off_t offset) {
  if (auto h = handle(fd)) return h->device->pread(*h, buf, len, offset);
  return os::Backend::pread(fd, buf, len, offset);
}
ssize_t Sandbox::pwrite(int fd, const void* buf, size_t len, off_t offset) {
  if (auto h = handle(fd)) return h->device->pwrite(*h, buf, len, offset);
  return os::Backend::pwrite(fd, buf, len, offset);
}
off_t Sandbox::lseek(int fd, off_t offset, int whence) {
  if (auto h = handle(fd)) return h->device->lseek(*h, offset, whence);
  return os::Backend::lseek(fd, offset, whence);
}
int Sandbox::ioctl(int fd, unsigned long request, void* arg) {
  if (auto h = handle(fd)) return h->device->ioctl(*h, request, arg);
  return os::Backend::ioctl(fd, request, arg);
}
int Sandbox::fsync(int fd) {
  if (handle(fd)) return 0;
  return os::Backend::fsync(fd);
}

// ---- names ----

key_t Sandbox::ipc_key(key_t key) {
  const key_t mapped = ipc_base_ | (key & 0xFFFF);
  std::lock_guard lock(mutex_);
  bool known = false;
  for (key_t k : keys_used_) known = known || k == mapped;
  if (!known) keys_used_.push_back(mapped);
  return mapped;
}

std::string Sandbox::sem_name(const char* name) {
  std::string base = name ? name : "";
  if (!base.empty() && base[0] == '/') base.erase(0, 1);
  const std::string mapped = "/crxsim." + std::to_string(ipc_base_ >> 16) + "." + base;
  std::lock_guard lock(mutex_);
  bool known = false;
  for (const auto& s : sems_used_) known = known || s == mapped;
  if (!known) sems_used_.push_back(mapped);
  return mapped;
}

// ---- log sinks ----

void Sandbox::console(const char* fmt, va_list ap) {
  std::string text = vformat(fmt, ap);
  std::lock_guard lock(mutex_);
  console_.push_back(std::move(text));
}

void Sandbox::syslog(int priority, const char* fmt, va_list ap) {
  std::string text = vformat(fmt, ap);
  std::lock_guard lock(mutex_);
  syslog_.push_back({priority, std::move(text)});
}

// ---- time ----

struct timespec Sandbox::shifted(struct timespec t) const {
  int64_t ns = to_ns(t) + clock_shift_ns_;
  return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

time_t Sandbox::now() {
  {
    std::lock_guard lock(mutex_);
    if (calendar_time_) return calendar_time_;
  }
  return realtime().tv_sec;
}

struct timespec Sandbox::realtime() {
  const struct timespec t = os::Backend::realtime();
  std::lock_guard lock(mutex_);
  return shifted(clock_held_ ? held_realtime_ : t);
}

void Sandbox::set_tai_offset(int seconds) {
  std::lock_guard lock(mutex_);
  tai_offset_ = seconds;
}

struct timespec Sandbox::tai() {
  struct timespec t = realtime();
  std::lock_guard lock(mutex_);
  t.tv_sec += tai_offset_;
  return t;
}

int Sandbox::tai_offset() {
  std::lock_guard lock(mutex_);
  return tai_offset_;
}

struct timespec Sandbox::monotonic() {
  const struct timespec t = os::Backend::monotonic();
  std::lock_guard lock(mutex_);
  return shifted(clock_held_ ? held_monotonic_ : t);
}

int Sandbox::sleep(const struct timespec& request, struct timespec* remain) {
  bool fast;
  {
    std::lock_guard lock(mutex_);
    if (sleeps_.size() < kMaxRecordedSleeps) sleeps_.push_back(to_ns(request));
    if (interrupt_next_sleep_) {
      interrupt_next_sleep_ = false;
      if (remain) *remain = interrupt_remaining_;
      return EINTR;
    }
    fast = fast_clock_;
    if (fast) clock_shift_ns_ += to_ns(request);
  }
  if (fast) return 0;
  return os::Backend::sleep(request, remain);
}

// ---- waits ----

void Sandbox::notify_pollers() {
  {
    std::lock_guard lock(poll_mutex_);
    ++poll_generation_;
  }
  poll_cv_.notify_all();
}

uint64_t Sandbox::event_wakeups() const {
  std::lock_guard lock(poll_mutex_);
  return event_wakeups_;
}

int Sandbox::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    uint64_t generation;
    {
      std::lock_guard lock(poll_mutex_);
      generation = poll_generation_;
    }
    int ready = 0;
    int device_ready = 0;
    bool host_fds = false;
    for (nfds_t i = 0; i < count; ++i) {
      fds[i].revents = 0;
      if (fds[i].fd < 0) continue;
      if (auto h = handle(fds[i].fd)) {
        fds[i].revents = h->device->poll_events(*h, fds[i].events);
        if (fds[i].revents) ++device_ready;
      } else {
        host_fds = true;
        if (::poll(&fds[i], 1, 0) < 0) return -1;
      }
      if (fds[i].revents) ++ready;
    }
    if (device_ready) {
      std::lock_guard lock(poll_mutex_);
      ++event_wakeups_;
    }
    if (ready || timeout_ms == 0) return ready;
    const auto now = Clock::now();
    if (timeout_ms > 0 && now >= deadline) return 0;
    std::unique_lock lock(poll_mutex_);
    if (generation != poll_generation_) continue;
    // Host descriptors cannot wake the condition: look at them every ms.
    auto until = timeout_ms < 0 ? Clock::time_point::max() : deadline;
    if (host_fds) until = std::min(until, now + std::chrono::milliseconds(1));
    if (until == Clock::time_point::max()) poll_cv_.wait(lock);
    else poll_cv_.wait_until(lock, until);
  }
}

}  // namespace crx::sim

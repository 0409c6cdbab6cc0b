// The installed program: the gateway's real paths and keys. While start
// runs, the library's console lines (standard output) are collected through
// a pipe; the program's own output goes to a copy of standard output taken
// before that.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag.h"

namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted.store(true); }

class GatewayHost : public crxdiag::Host {
 public:
  ~GatewayHost() override { capture_log(false); }

  void capture_log(bool on) override {
    std::fflush(stdout);
    if (on && saved_ < 0) {
      int p[2];
      if (::pipe2(p, O_CLOEXEC) != 0) return;
      saved_ = ::dup(STDOUT_FILENO);
      if (saved_ < 0 || ::dup2(p[1], STDOUT_FILENO) < 0) {
        for (int fd : {p[0], p[1], saved_})
          if (fd >= 0) ::close(fd);
        saved_ = -1;
        return;
      }
      ::close(p[1]);
      reader_ = std::thread([this, fd = p[0]] { read_lines(fd); });
    } else if (!on && saved_ >= 0) {
      // Standard output back: the pipe's last writer goes, its reader ends.
      ::dup2(saved_, STDOUT_FILENO);
      ::close(saved_);
      saved_ = -1;
      reader_.join();
    }
  }

  // Everything the library wrote so far: a marker line goes through the
  // pipe behind it, and the reader has taken all before it once it sees it.
  std::vector<crxdiag::LogLine> take_log() override {
    std::unique_lock lock(mutex_);
    if (saved_ >= 0) {
      const unsigned long mark = ++marks_sent_;
      lock.unlock();
      std::fflush(stdout);
      const std::string line = std::string(kMarker) + std::to_string(mark) + "\n";
      const bool sent = ::write(STDOUT_FILENO, line.data(), line.size()) == ssize_t(line.size());
      lock.lock();
      if (sent) seen_.wait_for(lock, std::chrono::seconds(2), [&] { return marks_seen_ >= mark; });
    }
    std::vector<crxdiag::LogLine> out;
    out.swap(lines_);
    return out;
  }

  bool interrupted() const override { return g_interrupted.load(); }

 private:
  void read_lines(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      partial.append(buf, size_t(n));
      for (size_t nl; (nl = partial.find('\n')) != std::string::npos;) {
        std::lock_guard lock(mutex_);
        std::string line = partial.substr(0, nl);
        partial.erase(0, nl + 1);
        if (line.rfind(kMarker, 0) == 0) {
          marks_seen_ = std::strtoul(line.c_str() + std::strlen(kMarker), nullptr, 10);
          seen_.notify_all();
          continue;
        }
        lines_.push_back({monotonic(), std::move(line)});
      }
    }
    if (!partial.empty()) {
      std::lock_guard lock(mutex_);
      lines_.push_back({monotonic(), partial});
    }
    ::close(fd);
  }

  static constexpr const char* kMarker = "\x01crxdiag-mark ";

  int saved_ = -1;
  std::thread reader_;
  std::mutex mutex_;  // guards lines_ and the marks (the reader appends, take_log takes)
  std::condition_variable seen_;
  std::vector<crxdiag::LogLine> lines_;
  unsigned long marks_sent_ = 0, marks_seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  // Line-buffered, so each library line reaches the pipe as it is written.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int fd = ::dup(STDOUT_FILENO);
  std::FILE* out = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
  if (!out) {
    std::perror("crxdiag: standard output");
    return crxdiag::kExitFailed;
  }
  // The first interrupt ends start's receiving so the board is stopped
  // cleanly; a second one ends the program as usual.
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sa.sa_flags = SA_RESETHAND;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  GatewayHost host;
  const int status = crxdiag::run(std::vector<std::string>(argv + 1, argv + argc), host, out, stderr);
  std::fclose(out);
  return status;
}

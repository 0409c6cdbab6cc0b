// What crxdiag takes from its caller: where the gateway's files and System V
// keys are, the kernel's TAI offset, the library's console lines and the
// clocks. The installed program uses the real ones; crxdiag-sim maps them
// into a simulator sandbox and adds the simulated board.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

namespace crxdiag {

// One line the library printed, stamped with the monotonic time (seconds)
// at which it arrived.
struct LogLine {
  double t = 0;
  std::string text;
};

class Host {
 public:
  virtual ~Host() = default;

  // Where an absolute path of the gateway really is.
  virtual std::string locate(const std::string& path) const { return path; }
  // The System V key the library uses for `key`.
  virtual key_t ipc_key(key_t key) const { return key; }
  // The kernel's TAI - UTC offset in seconds (0 while unset), -1 unknown.
  virtual int tai_offset() const;

  // Collecting the library's console lines (crx_console_log_enable): on
  // from `capture_log(true)` to `capture_log(false)`.
  virtual void capture_log(bool on) = 0;
  // The lines collected since the last call.
  virtual std::vector<LogLine> take_log() = 0;

  // The board has just started (the simulated board starts its traffic).
  virtual void board_started() {}
  // The board is about to stop.
  virtual void board_stopping() {}

  // True once the user asked the program to end (start then stops early).
  virtual bool interrupted() const { return false; }

  virtual double monotonic() const;
  virtual time_t now() const;
  virtual void sleep_ms(int ms) const;
};

}  // namespace crxdiag

#include "device/gpio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#include "device/paths.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"

namespace crx {

namespace {

// "/sys/class/gpio/gpio" + a pin number + the longest attribute name.
using PathBuffer = char[64];

void pin_path(PathBuffer& out, int pin, const char* attribute) {
  std::snprintf(out, sizeof out, "%sgpio%d%s", paths::kGpioClassDir, pin, attribute);
}

// A write that takes fewer bytes than offered failed as well; give it an
// error number so the log line says something true.
bool write_all(int fd, const void* text, size_t len) {
  const ssize_t n = os::write(fd, text, len);
  if (n == ssize_t(len)) return true;
  if (n >= 0) errno = EIO;
  return false;
}

// Closes a file the operation is done with; export and read word their
// failure differently from the setting writers.
bool close_file(int fd, bool gpio_fd_wording) {
  if (os::close(fd) == 0) return true;
  const int err = errno;
  if (gpio_fd_wording) log_line("Failed to close GPIO FD %d: %s [%d]", fd, std::strerror(err), err);
  else log_line("Failed to close %d: %s [%d]", fd, std::strerror(err), err);
  return false;
}

// Open, write, close of one attribute file. The three setting writers share
// their open and close messages; each logs its own write failure.
int write_setting(int pin, const char* attribute, const void* text, size_t len,
                  void (*log_write_failure)(const char* path, const char* word, int err),
                  const char* word) {
  PathBuffer path;
  pin_path(path, pin, attribute);
  const int fd = os::open(path, O_RDWR);
  if (fd < 0) {
    const int err = errno;
    log_line("Failed to open '%s' for reading and writing: %s [%d]", path, std::strerror(err), err);
    return -1;
  }
  if (!write_all(fd, text, len)) {
    const int err = errno;
    log_write_failure(path, word, err);
    os::close(fd);
    return -1;
  }
  return close_file(fd, false) ? 0 : -1;
}

void log_direction_failure(const char* path, const char* word, int err) {
  log_line("Failed to write '%s' direction to '%s': %s [%d]", word, path, std::strerror(err), err);
}
void log_edge_failure(const char* path, const char* word, int err) {
  log_line("Failed to write '%s' to '%s': %s [%d]", word, path, std::strerror(err), err);
}
void log_active_failure(const char* path, const char*, int err) {
  log_line("Failed to write active low/high to '%s': %s [%d]", path, std::strerror(err), err);
}

int set_edge(int pin, const char* word) {
  return write_setting(pin, "/edge", word, std::strlen(word), log_edge_failure, word);
}

int set_active_low(int pin, bool active_low) {
  return write_setting(pin, "/active_low", active_low ? "1" : "0", 1, log_active_failure, nullptr);
}

}  // namespace

bool is_gpio_pin_exported(int pin) {
  PathBuffer path;
  pin_path(path, pin, "");
  struct stat st {};
  return os::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int gpio_export_pin(int pin) {
  if (is_gpio_pin_exported(pin)) return 0;
  const char* path = paths::kGpioExport;
  const int fd = os::open(path, O_WRONLY);
  if (fd < 0) {
    const int err = errno;
    log_line("Failed to open '%s' for writing: %s [%d]", path, std::strerror(err), err);
    return fail(ERR_UNSPECIFIED);
  }
  char number[16];
  const int len = std::snprintf(number, sizeof number, "%d", pin);
  if (!write_all(fd, number, size_t(len))) {
    const int err = errno;
    log_line("Failed to write GPIO %d to '%s': %s [%d]", pin, path, std::strerror(err), err);
    os::close(fd);
    return fail(ERR_UNSPECIFIED);
  }
  if (!close_file(fd, true)) return fail(ERR_UNSPECIFIED);
  if (!is_gpio_pin_exported(pin)) {
    log_line("GPIO export for %d pin failed", pin);
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

int gpio_set_direction(int pin, int direction) {
  // Four bytes either way, the word's terminating zeros included.
  const char* word = direction == kGpioOut ? "out" : "in";
  char padded[4] = {};
  std::memcpy(padded, word, std::strlen(word));
  if (write_setting(pin, "/direction", padded, sizeof padded, log_direction_failure, word) < 0)
    return fail(ERR_UNSPECIFIED);
  return 0;
}

int gpio_read_pin(int pin, uint8_t* value) {
  if (!value) return fail(ERR_UNSPECIFIED);
  PathBuffer path;
  pin_path(path, pin, "/value");
  const int fd = os::open(path, O_RDONLY);
  if (fd < 0) {
    const int err = errno;
    log_line("Failed to open '%s' for reading: %s [%d]", path, std::strerror(err), err);
    return fail(ERR_UNSPECIFIED);
  }
  char text[21] = {};
  const ssize_t n = os::read(fd, text, 20);
  if (n < 0) {
    const int err = errno;
    log_line("Failed to read GPIO %d to '%s': %s [%d]", pin, path, std::strerror(err), err);
    os::close(fd);
    return fail(ERR_UNSPECIFIED);
  }
  if (!close_file(fd, true)) return fail(ERR_UNSPECIFIED);
  *value = uint8_t(std::strtol(text, nullptr, 10));
  return 0;
}

int gpio_set_rising_edge(int pin) { return set_edge(pin, "rising"); }
int gpio_set_falling_edge(int pin) { return set_edge(pin, "falling"); }
int gpio_set_active_high(int pin) { return set_active_low(pin, false); }
int gpio_set_active_low(int pin) { return set_active_low(pin, true); }

int gpio_read_edge(int pin, char* out, size_t size) {
  if (!out || size == 0) return -1;
  out[0] = '\0';
  PathBuffer path;
  pin_path(path, pin, "/edge");
  const int fd = os::open(path, O_RDONLY);
  if (fd < 0) return -1;
  const ssize_t n = os::read(fd, out, size - 1);
  os::close(fd);
  if (n < 0) return -1;
  size_t len = size_t(n);
  while (len > 0 && (out[len - 1] == '\n' || out[len - 1] == '\0' || out[len - 1] == ' ')) --len;
  out[len] = '\0';
  return 0;
}

int gpio_open_pin_fd(int pin, int flags) {
  PathBuffer path;
  pin_path(path, pin, "/value");
  log_line("Open pin: %s", path);
  return os::open(path, flags);
}

}  // namespace crx

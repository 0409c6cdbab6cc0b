// Hexadecimal dumps of byte, word and long-word arrays, one log line per
// `per_line` items, with the item index in front when the dump spans lines.
#include <cassert>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "crx.h"
#include "log.h"
#include "platform/os.h"

namespace {

std::string format_title(const char* fmt, va_list ap) {
  if (!fmt) return {};
  va_list measure;
  va_copy(measure, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return {};
  std::string title(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(title.data(), title.size(), fmt, ap);
  title.resize(static_cast<std::size_t>(n));
  return title;
}

template <typename T>
void dump(unsigned flags, const T* data, unsigned count, unsigned per_line, const char* item_fmt,
          const char* title_fmt, va_list ap) {
  if (count == 0 || !data) return;
  if (per_line == 0) per_line = 1;  // a zero line width would never advance
  const std::string title = format_title(title_fmt, ap);

  char probe[16];
  const int item_width = std::snprintf(probe, sizeof probe, item_fmt, static_cast<unsigned>(data[0]));
  std::string line(static_cast<std::size_t>(per_line) * static_cast<std::size_t>(item_width) + 1, '\0');
  const bool indexed = count > per_line;
  const bool to_console = (flags & CRX_LOG_CONSOLE) != 0;
  const bool to_syslog = (flags & CRX_LOG_SYSLOG) != 0;

  for (unsigned start = 0; start < count; start += per_line) {
    char* p = line.data();
    char* const limit = line.data() + line.size();
    for (unsigned i = start; i < count && i < start + per_line; ++i) {
      // A negative long word prints as its 32-bit pattern.
      const unsigned value = static_cast<unsigned>(data[i]);
      const int n = std::snprintf(p, static_cast<std::size_t>(limit - p), item_fmt, value);
      assert(n < (limit - p) && "n < (pLimit - p)");
      p += n;
    }
    const intmax_t now = static_cast<intmax_t>(crx::os::now());
    if (indexed) {
      if (to_console) LogToConsole("[%10jd] %s: %08x:%s\n", now, title.c_str(), start, line.c_str());
      if (to_syslog) LogToSyslog("%s: %08x:%s", title.c_str(), start, line.c_str());
    } else {
      if (to_console) LogToConsole("[%10jd] %s:%s\n", now, title.c_str(), line.c_str());
      if (to_syslog) LogToSyslog("%s:%s", title.c_str(), line.c_str());
    }
  }
}

}  // namespace

extern "C" void LogBytes(unsigned flags, const uint8_t* data, unsigned count, unsigned per_line,
                         const char* title_fmt, ...) {
  va_list ap;
  va_start(ap, title_fmt);
  dump(flags, data, count, per_line, " %02x", title_fmt, ap);
  va_end(ap);
}

extern "C" void LogWords(unsigned flags, const uint16_t* data, unsigned count, unsigned per_line,
                         const char* title_fmt, ...) {
  va_list ap;
  va_start(ap, title_fmt);
  dump(flags, data, count, per_line, " %04x", title_fmt, ap);
  va_end(ap);
}

extern "C" void LogLongwords(unsigned flags, const int32_t* data, unsigned count, unsigned per_line,
                             const char* title_fmt, ...) {
  va_list ap;
  va_start(ap, title_fmt);
  dump(flags, data, count, per_line, " %08x", title_fmt, ap);
  va_end(ap);
}

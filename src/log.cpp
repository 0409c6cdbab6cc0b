#include "log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include <syslog.h>

#include "platform/os.h"

namespace {
// Plain flag, flipped by the application rarely; read from every thread
// that logs, hence the relaxed atomic accesses.
int log_to_console = 0;

bool console_on() { return std::atomic_ref<int>(log_to_console).load(std::memory_order_relaxed) != 0; }

constexpr int kSyslogPriority = LOG_LOCAL0 | LOG_DEBUG;

void console_printf(const char* fmt, ...) CRX_PRINTF(1, 2);
void console_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  crx::os::backend().console(fmt, ap);
  va_end(ap);
}

void syslog_printf(const char* fmt, ...) CRX_PRINTF(1, 2);
void syslog_printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  crx::os::backend().syslog(kSyslogPriority, fmt, ap);
  va_end(ap);
}

std::string vformat(const char* fmt, va_list ap) {
  va_list measure;
  va_copy(measure, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (n <= 0) return {};
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), fmt, ap);
  text.resize(static_cast<std::size_t>(n));
  return text;
}
}  // namespace

extern "C" int crx_console_log_enable(int enable) {
  std::atomic_ref<int>(log_to_console).store(enable, std::memory_order_relaxed);
  return enable;
}

extern "C" void LogToConsole(const char* fmt, ...) {
  if (!console_on() || !fmt) return;
  va_list ap;
  va_start(ap, fmt);
  crx::os::backend().console(fmt, ap);
  va_end(ap);
}

extern "C" void LogToSyslog(const char* fmt, ...) {
  if (!fmt) return;
  va_list ap;
  va_start(ap, fmt);
  crx::os::backend().syslog(kSyslogPriority, fmt, ap);
  va_end(ap);
}

namespace crx {

bool console_enabled() { return console_on(); }

void vlog_line(const char* fmt, va_list ap) {
  const std::string text = vformat(fmt, ap);
  if (console_on()) console_printf("[%10jd] %s\n", static_cast<intmax_t>(os::now()), text.c_str());
  syslog_printf("%s", text.c_str());
}

void log_line(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vlog_line(fmt, ap);
  va_end(ap);
}

}  // namespace crx

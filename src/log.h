// Diagnostics. Every line of the library goes out twice: to the console
// (only when the application switched it on) with the "[%10jd] " time
// prefix and a newline, and to syslog as the bare text.
#pragma once

#include <cstdarg>

#include "crx.h"

namespace crx {

// Writes one diagnostic as the console/syslog pair.
void log_line(const char* fmt, ...) CRX_PRINTF(1, 2);
void vlog_line(const char* fmt, va_list ap);

// True when console output is on.
bool console_enabled();

}  // namespace crx

// Names and texts of the things crxdiag reports.
#include <cstdarg>
#include <cstdio>

#include "diag.h"

namespace crxdiag {

const char* board_name(uint32_t type) {
  static const char* const kNames[] = {"unknown",        "Condor NA",  "Condor EU",  "Condor JP",
                                       "Calder Condor",  "OPAL",       "Plover",     "Heron FDD",
                                       "Heron TDD",      "Heron Plover Norvik",       "Heron Calder",
                                       "Heron Rail",     "Wren TDD",   "SCM",        "Tamar",
                                       "Wren Outdoor"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "unknown";
}

// Faults the library raises itself, and the rest that applications of the
// gateway set through crx_update_fault_status.
const char* fault_name(int id) {
  switch (id) {
    case 1: return "radio hardware";
    case 2: return "transceiver";
    case 3: return "time sync";
    case 7: return "downlink idle";
    case 4: case 5: case 6: case 8: case 9: case 10: return "application fault";
    default: return "unknown";
  }
}

const char* fault_text(int id) {
  switch (id) {
    case 1: return "SPI, FPGA, SX1301, firmware, DSP, GPS command or AD9361 version failure";
    case 2: return "AD9361 calibration or start-up failure";
    case 3: return "GPS or sync block not synced";
    case 4: return "set by an application of the gateway (alarm 2)";
    case 5: return "set by an application of the gateway (alarm 3)";
    case 6: return "set by an application of the gateway (alarm 4)";
    case 7: return "no downlink for 600 s, or the concentrator is stopped";
    case 8: return "set by an application of the gateway (alarm 2)";
    case 9: case 10: return "set by an application of the gateway (no alarm)";
    default: return "";
  }
}

const char* alarm_name(int id) {
  switch (id) {
    case 1: return "radio (faults 1, 2)";
    case 2: return "service (faults 3, 4, 7, 8)";
    case 3: return "fault 5";
    case 4: return "fault 6";
    default: return "unused";
  }
}

int sf_of_index(int index) { return 7 + index; }

std::string printf_string(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  std::string s;
  if (n < 0) {
    va_end(ap);
    return s;
  }
  if (size_t(n) < sizeof small) {
    s.assign(small, size_t(n));
  } else {
    s.resize(size_t(n) + 1);
    std::vsnprintf(s.data(), s.size(), fmt, ap);
    s.resize(size_t(n));
  }
  va_end(ap);
  return s;
}

}  // namespace crxdiag

namespace crxdiag {

std::string field(const char* text, size_t size) {
  std::string s;
  for (size_t i = 0; i < size && text[i]; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    s += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  }
  return s;
}

std::string dump(const Json& doc) { return doc.dump(2, ' ', false, Json::error_handler_t::replace); }

}  // namespace crxdiag

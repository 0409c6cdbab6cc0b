// What the localization engine takes from the time, GPS and sync modules.
// Each source is a plain function pointer, so that the engine's tests can
// put a known time reference and position in place; the defaults
// (environment.cpp) are the library's own calls.
#pragma once

#include <cstdint>

namespace crx::loc {

struct TimeRef {
  uint32_t gps_s;     // GPS seconds of the last PPS
  uint32_t count_us;  // concentrator count latched at that PPS
  uint64_t fpga_hs;   // FPGA high-speed count latched at that PPS (37 bits)
};

struct Position {
  double lat;
  double lon;
  uint16_t alt;
};

struct Environment {
  int (*reference)(TimeRef& out);   // 0, or -1 while no reference is valid
  int (*count_now)(uint32_t& out);  // current concentrator count, µs; 0 or -1
  void (*position)(Position& out);  // the gateway's position, zeros when unknown
  int (*set_holdover)(uint16_t seconds);  // the sync block's holdover time; 0 or -1
};

Environment& environment();

}  // namespace crx::loc

// The engine's view of the time reference, the concentrator counter, the
// GPS position and the sync block's holdover: the library's own calls by
// default, replaceable by tests through loc::environment().
#include "crx.h"
#include "loc/loc_env.h"

namespace crx::loc {
namespace {

int reference(TimeRef& out) {
  crx_tref_t t{};
  if (crx_get_ref_time(&t) != 0) return -1;
  out.gps_s = static_cast<uint32_t>(t.gps.sec);
  out.count_us = t.count_us;
  out.fpga_hs = t.fpga_hs;
  return 0;
}

int count_now(uint32_t& out) { return crx_get_instcnt(0, 0, &out); }

void position(Position& out) {
  crx_coord_t c{};
  crx_get_gps_position(&c);
  out = {c.lat, c.lon, c.alt};
}

int set_holdover(uint16_t seconds) { return set_gps_holdover_time(seconds); }

}  // namespace

Environment& environment() {
  static Environment env{reference, count_now, position, set_holdover};
  return env;
}

}  // namespace crx::loc

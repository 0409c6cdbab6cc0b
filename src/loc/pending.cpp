// Where the engine meets modules that are built beside it: the time
// reference, the concentrator counter, the GPS position and the sync
// block's holdover. They are reached through weak references, so the
// library links and runs (reporting no reference, hence localizing
// nothing) until those modules are part of it, and uses them as soon as
// they are. The records are spelt out here rather than taken from crx.h,
// which declares them only once those modules are in.
#include <cstdint>

#include "crx_hal/hooks.h"
#include "loc/loc_env.h"

namespace {

// The time module's reference record (64 bytes, fields in its order).
struct tref_t {
  int32_t systime;
  uint32_t hs_pps;
  uint64_t fpga_hs;
  uint32_t count_us;
  struct {
    int32_t sec, nsec;
  } utc, gps;
  double xtal_err;
  double hs_xtal_err;
  uint32_t sync_count;
};
static_assert(sizeof(tref_t) == 64);

struct coord_t {
  double lat;
  double lon;
  uint16_t alt;
};

}  // namespace

extern "C" {
[[gnu::weak]] int crx_get_ref_time(tref_t* out);
[[gnu::weak]] int crx_get_instcnt(uint8_t board, uint8_t chip, uint32_t* count);
[[gnu::weak]] int crx_get_gps_position(coord_t* coord);
[[gnu::weak]] int set_gps_holdover_time(uint16_t seconds);
}

namespace crx::loc {
namespace {

int reference(TimeRef& out) {
  tref_t t{};
  if (!crx_get_ref_time || crx_get_ref_time(&t) != 0) return -1;
  out.gps_s = static_cast<uint32_t>(t.gps.sec);
  out.count_us = t.count_us;
  out.fpga_hs = t.fpga_hs;
  return 0;
}

int count_now(uint32_t& out) { return crx_get_instcnt ? crx_get_instcnt(0, 0, &out) : -1; }

void position(Position& out) {
  coord_t c{};
  if (crx_get_gps_position) crx_get_gps_position(&c);
  out = {c.lat, c.lon, c.alt};
}

int set_holdover(uint16_t seconds) { return set_gps_holdover_time ? set_gps_holdover_time(seconds) : 0; }

}  // namespace

// Until start-up keeps it: diversity off, so every uplink is localized on
// the antenna that heard it.
}  // namespace crx::loc

namespace crx::hooks {
[[gnu::weak]] bool diversity() { return false; }
}  // namespace crx::hooks

namespace crx::loc {

Environment& environment() {
  static Environment env{reference, count_now, position, set_holdover};
  return env;
}

}  // namespace crx::loc

// The application's own time reference: a record it fills at each PPS it
// handles, a copy the library keeps, and the fine-count conversion that
// reads it.
#include "errors.h"
#include "gps/gps_internal.h"
#include "gps/time_math.h"
#include "platform/os.h"

extern "C" {

crx_tref_t time_ref_hal = {-1, 0, 0, 0, {-1, 0}, {0, 0}, 1.0, 1.0, 0};

crx_tref_t* crx_init_tref(crx_tref_t* ref) {
  if (ref) *ref = crx_tref_t{-1, 0, 0, 0, {-1, 0}, {0, 0}, 1.0, 1.0, 0};
  time_ref_hal.systime = static_cast<int32_t>(crx::os::now());
  return ref;
}

int crx_synchronize(uint8_t, crx_tref_t* ref, struct timespec utc, uint64_t fpga_hs, uint32_t hs_pps,
                    uint32_t* status) {
  if (!ref) return crx::fail(ERR_NULL_PTR);
  if (status) *status = 0;
  ref->systime = static_cast<int32_t>(crx::os::now());
  ref->fpga_hs = fpga_hs;
  crx_get_trigcnt(0, &ref->count_us);
  ref->hs_pps = hs_pps;
  ref->utc.sec = static_cast<int32_t>(utc.tv_sec);
  ref->utc.nsec = static_cast<int32_t>(utc.tv_nsec);
  if (ref->sync_count != 4294967295u) ++ref->sync_count;
  return 0;
}

int crx_save_tref(crx_tref_t* ref) {
  if (!ref) return crx::fail(ERR_NULL_PTR);
  time_ref_hal = *ref;
  return 0;
}

int gwloc_hs2utc(crx_tref_t ref, uint32_t hs, struct timespec* utc) {
  if (!utc || ref.sync_count == 0) return crx::fail(ERR_UNSPECIFIED);
  if (!crx::gps::hs_to_utc(ref, hs, utc)) return crx::fail(ERR_UNSPECIFIED);
  return 0;
}

}  // extern "C"

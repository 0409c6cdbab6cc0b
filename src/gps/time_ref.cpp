// The shared time reference and the sampler that keeps it, and the public
// conversions between the concentrator count, UTC and GPS time.
#include "gps/time_ref.h"

#include <atomic>
#include <mutex>

#include "board.h"
#include "crx_hal/hooks.h"
#include "crx_hal/rxtx_deps.h"
#include "errors.h"
#include "gps/gps_internal.h"
#include "gps/time_math.h"
#include "log.h"
#include "platform/os.h"

namespace crx::gps {
namespace {

// ref_lock guards the four value fields; validity and the lock state are
// read without it.
std::mutex ref_lock;
uint32_t ref_tai_sec = 0;
uint32_t ref_sys_sec = 0;
uint32_t ref_count_us = 0;
uint32_t ref_hs = 0;
std::atomic<uint8_t> ref_valid{0};
std::atomic<uint8_t> gps_locked{0};

// Sampler pacing, touched only by the timer's thread.
int expiries = 0;
int period_s = 10;
std::atomic<bool> tai_warned{false};

bool agree(const RefSample& a, const RefSample& b) { return a.tai.tv_sec == b.tai.tv_sec && a.count == b.count; }

// A kernel whose TAI offset nobody set gives CLOCK_TAI = UTC, and every
// GPS time derived from it comes out early by the leap seconds.
void check_tai_offset() {
  if (os::tai_offset() != 0 || tai_warned.exchange(true)) return;
  log_line("HAL: WARNING - the kernel's TAI offset is not set (CLOCK_TAI equals UTC): GPS times will be off by "
           "the leap seconds until a time daemon with a leap-second table sets it");
}

void follow_gps_lock() {
  const bool locked = gps_lock_word();
  if (locked && gps_locked == 0) {
    log_line("GPS is locked");
    gps_locked = 1;
  } else if (!locked && gps_locked == 1) {
    log_line("GPS out of lock");
    gps_locked = 0;
  }
}

}  // namespace

int choose_sample(const RefSample (&s)[3]) {
  auto sec = [&](int i) { return static_cast<unsigned>(s[i].tai.tv_sec); };
  auto ns = [&](int i) { return static_cast<int>(s[i].tai.tv_nsec); };
  const char* vote = "Majority vote %s: %us, %dns, desagreed: %us %uns";
  if (agree(s[0], s[1]) && agree(s[1], s[2])) {
    log_line("All agreed: %us, %u", sec(0), s[0].count);
    return 0;
  }
  struct {
    int a, b, kept, other;
    const char* name;
  } pairs[] = {{0, 1, 0, 2, "1 & 2"}, {1, 2, 1, 0, "2 & 3"}, {0, 2, 2, 1, "1 & 3"}};
  for (const auto& p : pairs) {
    if (!agree(s[p.a], s[p.b])) continue;
    log_line(vote, p.name, sec(p.kept), ns(p.kept), sec(p.other), static_cast<unsigned>(ns(p.other)));
    return p.kept;
  }
  log_line("No agreement, drop the sample:");
  for (int i = 0; i < 3; ++i) log_line("time: %us, %dns, latched: %u", sec(i), ns(i), s[i].count);
  return -1;
}

void store_reference(uint32_t tai_sec, uint32_t sys_sec, uint32_t count_us, uint32_t hs) {
  {
    std::lock_guard lock(ref_lock);
    ref_tai_sec = tai_sec;
    ref_sys_sec = sys_sec;
    ref_count_us = count_us;
    ref_hs = hs;
  }
  // The outdoor Wren's FPGA counter and its chip's may have drifted apart
  // while the reference was not valid. Taken again before the reference is
  // published, so that nobody converts with it and the old offset.
  if (ref_valid != 1 && board_type == CRX_BOARD_WREN_OUTDOOR) hooks::recapture_counter_offset();
  ref_valid = 1;
}

void reference_sampler() {
  ++expiries;
  if (expiries * 2 < period_s) return;
  const int sync = read_sync_block_status();
  if (sync == 1) {
    follow_gps_lock();
    RefSample s[3] = {};
    {
      std::lock_guard lock(ref_lock);
      for (auto& x : s) {
        x.tai = os::tai();
        x.utc = os::now();
        crx_get_trigcnt(0, &x.count);
        if (board_type != CRX_BOARD_WREN_OUTDOOR) crx_get_fpga_hs(&x.hs);
      }
    }
    const int k = choose_sample(s);
    if (k >= 0) {
      store_reference(static_cast<uint32_t>(s[k].tai.tv_sec), static_cast<uint32_t>(s[k].utc), s[k].count,
                      static_cast<uint32_t>(s[k].hs));
      check_tai_offset();
    }
  } else if (ref_valid == 1) {
    ref_valid = 0;
    if (board_type == CRX_BOARD_WREN_OUTDOOR) hooks::recapture_counter_offset();
  }
  period_s = sync == 1 ? 60 : 30;
  expiries = 0;
}

}  // namespace crx::gps

namespace crx::hooks {

void gps_lock_check() {
  identify_board();
  if (board_type == CRX_BOARD_WREN_TDD || board_type == CRX_BOARD_HERON_RAIL) return;
  gps::reference_sampler();
}

void time_ref_reset() {
  gps::ref_valid = 0;
  gps::gps_locked = 0;
  // The next start samples as soon as the first one after load did.
  gps::expiries = 0;
  gps::period_s = 10;
}

}  // namespace crx::hooks

using namespace crx::gps;
using crx::fail;
using crx::log_line;

extern "C" {

int crx_gps2cnt(struct timespec gps_time, uint32_t* count_us) {
  if (!count_us) return fail(ERR_NULL_PTR);
  if (ref_valid != 1) return fail(ERR_NOT_SYNCED);
  int64_t gps_us = 0, target_us = 0;
  if (!to_us(gps_time.tv_sec, gps_time.tv_nsec, &gps_us) ||
      __builtin_add_overflow(gps_us, kTaiToGps * 1000000, &target_us))
    return fail(ERR_UNSPECIFIED);
  std::lock_guard lock(ref_lock);
  if (!us_to_count(target_us, int64_t{ref_tai_sec} * 1000000, ref_count_us, count_us)) {
    log_line("BrvDBG-HAL %s gps time already too late to convert.", __func__);
    *count_us = 0;
    return -1;
  }
  return 0;
}

int crx_cnt2gps(uint32_t count_us, struct timespec* gps_time) {
  if (!gps_time) return fail(ERR_NULL_PTR);
  if (ref_valid != 1) return fail(ERR_NOT_SYNCED);
  std::lock_guard lock(ref_lock);
  *gps_time = count_to_time(count_us, ref_count_us, int64_t{ref_tai_sec} - kTaiToGps);
  return 0;
}

int crx_get_ref_time(crx_tref_t* ref) {
  if (!ref || ref_valid != 1) return -1;
  std::lock_guard lock(ref_lock);
  ref->fpga_hs = ref_hs;
  ref->count_us = ref_count_us;
  ref->utc.sec = static_cast<int32_t>(ref_sys_sec);
  ref->gps.sec = static_cast<int32_t>(int64_t{ref_tai_sec} - kTaiToGps);
  return 0;
}

int crx_get_sync_status(uint32_t* status) {
  if (!status) {
    log_line("%s invalid parameter.", __func__);
    return -1;
  }
  *status = ref_valid == 1 ? 1 : 0;
  return 0;
}

int crx_cnt2utc(crx_tref_t, uint32_t count_us, struct timespec* utc) {
  if (!utc) return fail(ERR_UNSPECIFIED);
  crx_tref_t ref{};
  if (crx_get_ref_time(&ref) < 0) return -1;
  *utc = count_to_time(count_us, ref.count_us, static_cast<uint32_t>(ref.utc.sec));
  return 0;
}

int crx_utc2cnt(crx_tref_t, struct timespec utc, uint32_t* count_us) {
  if (!count_us) return fail(ERR_UNSPECIFIED);
  crx_tref_t ref{};
  if (crx_get_ref_time(&ref) < 0) return -1;
  int64_t target_us = 0;
  if (!to_us(utc.tv_sec, utc.tv_nsec, &target_us)) return fail(ERR_UNSPECIFIED);
  const int64_t ref_us = int64_t{static_cast<uint32_t>(ref.utc.sec)} * 1000000;
  // Compared as unsigned: a time before 1970 counts as far in the future.
  if (static_cast<uint64_t>(target_us) < static_cast<uint64_t>(ref_us)) {
    log_line("BrvDBG-HAL %s utc time already too late to convert.", __func__);
    *count_us = 0;
    return -1;
  }
  *count_us = static_cast<uint32_t>(uint64_t(ref.count_us) + (static_cast<uint64_t>(target_us) - uint64_t(ref_us)));
  return 0;
}

int crx_get_fpga_hs(uint64_t* hs) {
  if (!hs) return fail(ERR_NULL_PTR);
  uint8_t b[5] = {};
  crx_reg_brd_rb(0, 343, b, 5);
  *hs = uint64_t(b[0]) | uint64_t(b[1]) << 8 | uint64_t(b[2]) << 16 | uint64_t(b[3]) << 24 |
        uint64_t(b[4] & 0x1F) << 32;
  return 0;
}

}  // extern "C"

namespace crx {

// The transmit path's view of the reference: TAI seconds and the counter
// latched at the last accepted PPS; false while no reference is valid.
bool time_reference(uint32_t* ref_tai_sec, uint32_t* latched_count) {
  crx_tref_t ref{};
  if (crx_get_ref_time(&ref) != 0) return false;
  *ref_tai_sec = uint32_t(int64_t(ref.gps.sec) + gps::kTaiToGps);
  *latched_count = ref.count_us;
  return true;
}

}  // namespace crx

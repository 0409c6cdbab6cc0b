// The localization filter list: which device addresses get localized.
#include <atomic>

#include "crx.h"
#include "loc/loc_shm.h"
#include "log.h"

namespace crx::loc {
namespace {

// Entries are whole words, so that the receive path may read the list
// while a process updates it.
uint32_t entry(Segment& seg, size_t i) {
  return std::atomic_ref(seg.filter[i]).load(std::memory_order_relaxed);
}
void set_entry(Segment& seg, size_t i, uint32_t a) {
  std::atomic_ref(seg.filter[i]).store(a, std::memory_order_relaxed);
}
void set_active(Segment& seg, bool on) { std::atomic_ref(seg.filter_active).store(on ? 1 : 0, std::memory_order_relaxed); }

// Attaches first when this process has not yet; -1 when that fails.
int ensure_attached() { return segment() || shm_attach() == 0 ? 0 : -1; }

}  // namespace
}  // namespace crx::loc

using crx::log_line;
using namespace crx::loc;

extern "C" {

int crx_loc_add_mote(uint32_t addr) {
  if (addr == 0) {
    log_line("%s: Invalid mote address.", __func__);
    return -1;
  }
  if (ensure_attached() != 0) return -1;
  SegmentUse seg;
  if (!seg) return -1;  // detached meanwhile by another thread
  FilterLock lock(*seg);
  size_t free = kFilterLength;
  for (size_t i = 0; i < kFilterLength; ++i) {
    const uint32_t a = entry(*seg, i);
    if (a == addr) return 0;
    if (a == 0 && free == kFilterLength) free = i;
  }
  if (free == kFilterLength) {
    log_line("%s: filter list full.", __func__);
    return -1;
  }
  set_entry(*seg, free, addr);
  set_active(*seg, true);
  return 0;
}

int crx_loc_del_mote(uint32_t addr) {
  if (addr == 0) {
    log_line("%s: Empty entry.", __func__);
    return -1;
  }
  if (ensure_attached() != 0) return -1;
  SegmentUse seg;
  if (!seg) return -1;  // detached meanwhile by another thread
  FilterLock lock(*seg);
  size_t at = 0;
  while (at < kFilterLength && entry(*seg, at) != addr) ++at;
  if (at == kFilterLength) {
    log_line("%s: Mote not in filter list.", __func__);
    return -1;
  }
  for (size_t i = at; i + 1 < kFilterLength; ++i) set_entry(*seg, i, entry(*seg, i + 1));
  set_entry(*seg, kFilterLength - 1, 0);
  if (entry(*seg, 0) == 0) set_active(*seg, false);
  return 0;
}

}  // extern "C"

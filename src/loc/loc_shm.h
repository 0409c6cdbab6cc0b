// The localization segment: System V shared memory that every process of
// the gateway attaches to, holding the queue of localization results and
// the filter list of device addresses. Its layout is fixed (peers of other
// builds attach to the same key), so the struct spells out every byte and
// the offsets are checked below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include <sys/types.h>

namespace crx::loc {

inline constexpr key_t kShmKey = 44970;
inline constexpr size_t kQueueLength = 40;
inline constexpr size_t kResultSize = 96;
inline constexpr size_t kFilterLength = 100;

struct Segment {
  uint8_t enabled;     // 1 while localization is enabled
  uint8_t unused0[3];
  // Owner of the filter list: the holder's process id, 0 when free. The
  // word sits in what the layout leaves unused, so peers unaware of it
  // still agree on every other field.
  uint32_t filter_owner;
  alignas(8) uint8_t results[kQueueLength][kResultSize];  // the processed queue
  uint16_t read_index;                                   // 0 to 39
  uint16_t write_index;                                  // 0 to 39
  // Process-shared semaphores of the queue: one guarding it (initially 1),
  // one counting queued results (initially 0). Sixteen bytes each, the size
  // of a semaphore on the gateway's 32-bit ABI; a 64-bit host's sem_t does
  // not fit, so the queue keeps a semaphore of its own making here.
  uint32_t queue_lock[4];
  uint32_t queue_count[4];
  uint8_t filter_active;  // 1 while the list holds an address
  uint8_t unused1[3];
  // Device addresses, 0 = free; the used entries are packed at the front.
  uint32_t filter[kFilterLength];
};

static_assert(offsetof(Segment, enabled) == 0);
static_assert(offsetof(Segment, filter_owner) == 4);
static_assert(offsetof(Segment, results) == 8);
static_assert(offsetof(Segment, read_index) == 3848);
static_assert(offsetof(Segment, write_index) == 3850);
static_assert(offsetof(Segment, queue_lock) == 3852);
static_assert(offsetof(Segment, queue_count) == 3868);
static_assert(offsetof(Segment, filter_active) == 3884);
static_assert(offsetof(Segment, filter) == 3888);
static_assert(sizeof(Segment) == 4288);

// The segment this process is attached to, or null. The pointer is only
// good while nothing detaches; calls that may run beside a detach in
// another thread hold a SegmentUse instead.
Segment* segment();

// Keeps this process's attachment in place while held: shm_detach waits
// until every holder has let go, so no call touches a segment that is no
// longer mapped. Hold it briefly (never across a wait that may last) and
// never across shm_attach or shm_detach.
class SegmentUse {
 public:
  SegmentUse();
  Segment* get() const { return seg_; }
  Segment* operator->() const { return seg_; }
  Segment& operator*() const { return *seg_; }
  explicit operator bool() const { return seg_ != nullptr; }
  // Changes with every attach and detach: a caller that lets go and takes
  // the segment again learns whether it is still the same attachment.
  uint64_t generation() const { return generation_; }

 private:
  std::shared_lock<std::shared_mutex> lock_;
  Segment* seg_;
  uint64_t generation_;
};

// Attaches to the segment, creating it (mode 0666, zero-filled) when no
// process has yet. 0 when attached (or already attached, which is logged),
// -1 after logging why not.
int shm_attach();

// Detaches, and destroys the segment when no process remains attached;
// true when it was destroyed.
bool shm_detach();

// Holds the filter list of `seg` for the life of the object. Processes
// update the list one at a time; an owner that died holding it is taken
// over, and the list repaired, so a crash never blocks the others.
class FilterLock {
 public:
  explicit FilterLock(Segment& seg);
  ~FilterLock();
  FilterLock(const FilterLock&) = delete;
  FilterLock& operator=(const FilterLock&) = delete;

 private:
  Segment& seg_;
  uint32_t self_;
};

}  // namespace crx::loc

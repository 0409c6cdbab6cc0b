// The result queue in the localization segment: 40 records that any
// process of the gateway may fetch, newest overwriting oldest when full.
//
// Its two semaphores are of the queue's own making (see loc_shm.h): the
// lock word holds the owning process id (0 free), so that a holder that
// died is recognised and its lock taken over; the count word holds the
// number of waiting results and is a futex for fetchers. The count changes
// only under the lock, together with the indexes.
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "loc/loc_shm.h"
#include "log.h"
#include "platform/os.h"

namespace crx::loc {
namespace {

// A holder keeps the lock for a copy of 96 bytes; a second is far beyond
// any live holder, so waiting longer only protects a dead one.
constexpr int64_t kLockWaitNs = 1000000000;

std::atomic_ref<uint32_t> owner_word(Segment& s) { return std::atomic_ref(s.queue_lock[0]); }
std::atomic_ref<uint32_t> count_word(Segment& s) { return std::atomic_ref(s.queue_count[0]); }

int64_t ns_of(const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

bool alive(uint32_t pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

void futex_wait(uint32_t* word, uint32_t expected, int64_t max_ns) {
  struct timespec rel = {static_cast<time_t>(max_ns / 1000000000), static_cast<long>(max_ns % 1000000000)};
  ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &rel, nullptr, 0);
}
void futex_wake(uint32_t* word) { ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

// Holds the queue of `seg`; ok() false when the lock could not be had.
class QueueLock {
 public:
  explicit QueueLock(Segment& seg) : seg_(seg), self_(static_cast<uint32_t>(::getpid())) {
    const int64_t until = ns_of(os::monotonic()) + kLockWaitNs;
    for (unsigned spin = 0;; ++spin) {
      uint32_t holder = 0;
      if (owner_word(seg_).compare_exchange_weak(holder, self_, std::memory_order_acquire)) break;
      if (holder != 0 && holder != self_ && !alive(holder) &&
          owner_word(seg_).compare_exchange_strong(holder, self_, std::memory_order_acquire)) {
        log_line("%s: queue holder %u gone, lock taken over.", "loc_processed_queue", holder);
        break;
      }
      if (ns_of(os::monotonic()) > until) {
        log_line("%s: queue held by %u for too long.", "loc_processed_queue", holder);
        return;
      }
      if (spin > 64) {
        const struct timespec pause = {0, 100000};
        os::sleep(pause, nullptr);
      }
    }
    held_ = true;
  }
  ~QueueLock() {
    if (held_) owner_word(seg_).store(0, std::memory_order_release);
  }
  bool ok() const { return held_; }

 private:
  Segment& seg_;
  uint32_t self_;
  bool held_ = false;
};

// Indexes as another process may have left them: always inside the queue.
uint16_t index_of(uint16_t raw) { return static_cast<uint16_t>(raw % kQueueLength); }

}  // namespace

int queue_reset() {
  SegmentUse seg;
  if (!seg) return -1;
  QueueLock lock(*seg);
  if (!lock.ok()) return -1;
  seg->read_index = 0;
  seg->write_index = 0;
  count_word(*seg).store(0, std::memory_order_relaxed);
  return 0;
}

int queue_store(const crx_loc_result_t& r) {
  SegmentUse seg;
  if (!seg) return -1;
  {
    QueueLock lock(*seg);
    if (!lock.ok()) return -1;
    const uint16_t w = index_of(seg->write_index);
    uint16_t rd = index_of(seg->read_index);
    uint32_t count = count_word(*seg).load(std::memory_order_relaxed);
    if (count > kQueueLength) count = kQueueLength;
    std::memcpy(seg->results[w], &r, kResultSize);
    seg->write_index = static_cast<uint16_t>((w + 1) % kQueueLength);
    if (count == kQueueLength) {
      rd = static_cast<uint16_t>((rd + 1) % kQueueLength);  // the oldest is lost
    } else {
      ++count;
    }
    seg->read_index = rd;
    count_word(*seg).store(count, std::memory_order_release);
  }
  futex_wake(&seg->queue_count[0]);
  return 0;
}

size_t queue_waiting() {
  SegmentUse seg;
  if (!seg) return 0;
  const uint32_t c = count_word(*seg).load(std::memory_order_acquire);
  return c > kQueueLength ? kQueueLength : c;
}

}  // namespace crx::loc

using namespace crx::loc;
using crx::log_line;

extern "C" int crx_loc_fetch(crx_loc_result_t *out, const struct timeval *timeout) {
  if (!out) {
    log_line("%s: NULL loc pointer.", __func__);
    return -1;
  }
  uint64_t attachment = 0;
  {
    SegmentUse seg;
    if (!seg) {
      log_line("%s: Not initiaized, please call crx_loc_enable() first.", __func__);
      return -1;
    }
    attachment = seg.generation();
  }
  int64_t deadline = -1;  // realtime ns; -1: for ever
  if (timeout) {
    const struct timespec now = crx::os::realtime();
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000) {
      log_line("%s: sem: %d %d, time: %d %d", __func__, -1, EINVAL, static_cast<int>(now.tv_sec + timeout->tv_sec),
               static_cast<int>(now.tv_nsec + timeout->tv_usec * 1000));
      return -1;
    }
    deadline = ns_of(now) + int64_t(timeout->tv_sec) * 1000000000 + int64_t(timeout->tv_usec) * 1000;
  }
  for (;;) {
    uint32_t* count_addr = nullptr;
    {
      // The segment is held only between waits: a thread that detaches it
      // (a stop, crx_loc_enable(0)) ends this fetch instead of unmapping
      // the memory under it.
      SegmentUse use;
      if (!use || use.generation() != attachment) {
        log_line("%s: Not initiaized, please call crx_loc_enable() first.", __func__);
        return -1;
      }
      Segment* seg = use.get();
      uint32_t count = count_word(*seg).load(std::memory_order_acquire);
      if (count != 0) {
        QueueLock lock(*seg);
        if (!lock.ok()) return -1;
        count = count_word(*seg).load(std::memory_order_relaxed);
        if (count != 0) {
          const uint16_t rd = index_of(seg->read_index);
          const uint16_t w = index_of(seg->write_index);
          if (count > kQueueLength || (rd + count) % kQueueLength != w) {
            // The count and the indexes disagree: a segment someone else
            // corrupted. Trust the indexes from here on.
            log_line("loc_processed_queue empty, something wrong.");
            count_word(*seg).store(static_cast<uint32_t>((w + kQueueLength - rd) % kQueueLength),
                                   std::memory_order_relaxed);
            seg->read_index = rd;
            seg->write_index = w;
            return -1;
          }
          std::memcpy(out, seg->results[rd], kResultSize);
          seg->read_index = static_cast<uint16_t>((rd + 1) % kQueueLength);
          count_word(*seg).store(count - 1, std::memory_order_relaxed);
          return 0;
        }
        continue;  // another fetcher was first
      }
      count_addr = &seg->queue_count[0];
    }
    int64_t slice = 50000000;
    if (deadline >= 0) {
      const int64_t left = deadline - ns_of(crx::os::realtime());
      if (left <= 0) {
        crx_errno = ERR_LOC_FETCH_TIMEOUT;
        return -1;
      }
      if (left < slice) slice = left;
    }
    // Without the hold: should the segment go meanwhile, the kernel
    // refuses the address (or the word differs) and the next round ends.
    futex_wait(count_addr, 0, slice);
  }
}

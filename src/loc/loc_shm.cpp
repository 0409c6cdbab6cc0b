#include "loc/loc_shm.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include "log.h"
#include "platform/os.h"

namespace crx::loc {

namespace {

// Guards the three below: shared by the users of the segment, exclusive
// for attaching and detaching.
std::shared_mutex attach_mutex;
int shm_id = -1;
Segment* attached = nullptr;
uint64_t attach_count = 0;  // the generation of SegmentUse

bool process_alive(uint32_t pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The list as a dead owner may have left it mid-update: addresses packed at
// the front again, each once, the flag matching.
void repair_filter(Segment& seg) {
  size_t used = 0;
  for (size_t i = 0; i < kFilterLength; ++i) {
    const uint32_t a = seg.filter[i];
    bool seen = a == 0;
    for (size_t k = 0; k < used && !seen; ++k) seen = seg.filter[k] == a;
    if (!seen) std::atomic_ref(seg.filter[used++]).store(a, std::memory_order_relaxed);
  }
  for (size_t i = used; i < kFilterLength; ++i) std::atomic_ref(seg.filter[i]).store(0, std::memory_order_relaxed);
  seg.filter_active = used > 0 ? 1 : 0;
}

// Waits are short (an update moves at most 100 words), so spin politely
// first; then sleep, so that a lower-priority owner gets the processor.
constexpr unsigned kSpinsBeforeSleep = 64;
constexpr struct timespec kBackoff = {0, 100000};

}  // namespace

Segment* segment() {
  std::shared_lock lock(attach_mutex);
  return attached;
}

SegmentUse::SegmentUse() : lock_(attach_mutex), seg_(attached), generation_(attach_count) {}

int shm_attach() {
  std::lock_guard lock(attach_mutex);
  if (attached) {
    log_line("%s shared memory already initialized. Do nothing.", __func__);
    return 0;
  }
  int id = os::shmget(kShmKey, sizeof(Segment), IPC_CREAT | IPC_EXCL | 0666);
  const bool created = id >= 0;
  if (!created) {
    if (errno != EEXIST) {
      log_line("%s shmget - cannot create shared memory, errno %s (%d)", __func__, std::strerror(errno), errno);
      return -1;
    }
    // Also refuses a segment under the key that is too small to be ours.
    id = os::shmget(kShmKey, sizeof(Segment), 0);
    if (id < 0) {
      log_line("%s shmget - memory already exists, but we can't find it. errno: %s (%d)", __func__,
               std::strerror(errno), errno);
      return -1;
    }
  }
  void* p = os::shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    log_line("%s shmat - can not attach shared memory.", __func__);
    if (created) os::shmctl(id, IPC_RMID, nullptr);
    return -1;
  }
  // A new segment comes zero-filled from the kernel. It is not cleared
  // again here: another process may already be attached and writing.
  shm_id = id;
  attached = static_cast<Segment*>(p);
  ++attach_count;
  return 0;
}

bool shm_detach() {
  std::lock_guard lock(attach_mutex);
  if (!attached) return false;
  os::shmdt(attached);
  attached = nullptr;
  ++attach_count;
  struct shmid_ds ds {};
  bool destroyed = false;
  if (os::shmctl(shm_id, IPC_STAT, &ds) == 0 && ds.shm_nattch == 0)
    destroyed = os::shmctl(shm_id, IPC_RMID, nullptr) == 0;
  shm_id = -1;
  return destroyed;
}

FilterLock::FilterLock(Segment& seg) : seg_(seg), self_(static_cast<uint32_t>(::getpid())) {
  std::atomic_ref owner(seg_.filter_owner);
  for (unsigned attempt = 1;; ++attempt) {
    uint32_t holder = 0;
    if (owner.compare_exchange_weak(holder, self_, std::memory_order_acquire)) return;
    if (attempt < kSpinsBeforeSleep) {
      std::this_thread::yield();
      continue;
    }
    if (holder != 0 && !process_alive(holder) &&
        owner.compare_exchange_strong(holder, self_, std::memory_order_acquire)) {
      log_line("%s: filter list owner %u gone, list repaired.", "crx_loc_filter", holder);
      repair_filter(seg_);
      return;
    }
    os::sleep(kBackoff, nullptr);
  }
}

FilterLock::~FilterLock() { std::atomic_ref(seg_.filter_owner).store(0, std::memory_order_release); }

}  // namespace crx::loc

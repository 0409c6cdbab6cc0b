// The fault memory shared with the other processes of the gateway.
//
// The segment outlives every process: the first writer on the system creates
// and initialises it, everybody else attaches. Writes of all processes are
// serialised by the POSIX semaphore inside the segment; reads take no lock,
// every field being read one byte at a time. Within this process the bytes
// are touched through relaxed atomic references only, because the receive
// thread, the timers and the application may write concurrently.
#include "health/faults.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "crx.h"
#include "log.h"
#include "platform/os.h"

namespace crx::health {

namespace {

// The attachment is made once and kept for the life of the process.
std::mutex attach_mutex;  // serialises the first attachment
std::atomic<uint8_t*> attached{nullptr};

uint8_t* base() { return attached.load(std::memory_order_acquire); }
sem_t* semaphore(uint8_t* b) { return reinterpret_cast<sem_t*>(b + kSemaphoreOffset); }

uint8_t load8(const uint8_t* b, size_t offset) {
  return std::atomic_ref(const_cast<uint8_t&>(b[offset])).load(std::memory_order_relaxed);
}
void store8(uint8_t* b, size_t offset, uint8_t value) {
  std::atomic_ref(b[offset]).store(value, std::memory_order_relaxed);
}
uint16_t load16(const uint8_t* b, size_t offset) {
  return uint16_t(load8(b, offset) | load8(b, offset + 1) << 8);
}
void store16(uint8_t* b, size_t offset, uint16_t value) {
  store8(b, offset, uint8_t(value));
  store8(b, offset + 1, uint8_t(value >> 8));
}

uint8_t major(const uint8_t* b) { return load8(b, kMajorOffset); }
uint16_t minor(const uint8_t* b) { return load16(b, kMinorOffset); }

// The status byte's offset of the entry holding `id`, or 0 when no entry
// holds it (a segment someone else filled).
size_t status_offset(const uint8_t* b, size_t table, int entries, uint16_t id) {
  for (int i = 0; i < entries; ++i) {
    const size_t entry = table + size_t(i) * kEntrySize;
    if (load16(b, entry) == id) return entry + 2;
  }
  return 0;
}

// Takes the semaphore, bounded: a process killed while holding it must not
// stop every writer of the gateway for good.
bool lock(const char* caller, uint8_t* b) {
  constexpr struct timespec kWait = {kSemaphoreWaitMs / 1000, (kSemaphoreWaitMs % 1000) * 1000000};
  if (os::sem_timedwait(semaphore(b), kWait) == 0) return true;
  const int e = errno;
  log_line("%s: fault memory semaphore not free after %ld ms (holder gone?), errno %s (%d), write dropped.",
           caller, kSemaphoreWaitMs, std::strerror(e), e);
  return false;
}
void unlock(uint8_t* b) { os::sem_post(semaphore(b)); }

// One semaphore-guarded byte store.
int locked_store(const char* caller, uint8_t* b, size_t offset, uint8_t value) {
  if (!lock(caller, b)) return -1;
  store8(b, offset, value);
  unlock(b);
  return 0;
}

int init_shared_memory() {
  uint8_t* b = base();
  if (!b) {
    log_line("%s something wrong, shared memory or semaphore empty.", __func__);
    return -1;
  }
  if (!lock(__func__, b)) return -1;
  store8(b, kMajorOffset, kVersionMajor);
  store16(b, kMinorOffset, kVersionMinor);
  for (int i = 0; i < kFaultEntries; ++i) store16(b, kFaultTableOffset + size_t(i) * kEntrySize, uint16_t(i));
  for (int i = 0; i < kAlarmEntries; ++i) store16(b, kAlarmTableOffset + size_t(i) * kEntrySize, uint16_t(i));
  store8(b, kFaultTableOffset + 7 * kEntrySize + 2, 1);  // no downlink sent yet
  store8(b, kAlarmTableOffset + 2 * kEntrySize + 2, 1);
  unlock(b);
  log_line("%s: initialized shared memory, ver: %d.%d %d.", __func__, major(b), minor(b), minor(b));
  return 0;
}

// Creates and initialises the segment, or attaches to the one that exists.
// Called with attach_mutex held.
int fault_init() {
  int id = os::shmget(kFaultShmKey, kFaultShmSize, IPC_CREAT | IPC_EXCL | 0666);
  if (id >= 0) {
    void* p = os::shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
      log_line("%s shmat - can not attach shared memory.", __func__);
      // Left in place it would read as uninitialised to every later writer.
      os::shmctl(id, IPC_RMID, nullptr);
      return -1;
    }
    log_line("%s: allocated shared memory @0x%p.", __func__, p);
    auto* b = static_cast<uint8_t*>(p);
    std::memset(b, 0, kFaultShmSize);
    if (os::sem_init(semaphore(b), 1, 1) != 0) {
      const int e = errno;
      log_line("%s can't initialize shared mem semaphore, errno %s (%d).", __func__, std::strerror(e), e);
      os::shmdt(p);
      os::shmctl(id, IPC_RMID, nullptr);
      return -1;
    }
    attached.store(b, std::memory_order_release);
    return init_shared_memory();
  }
  if (errno != EEXIST) {
    const int e = errno;
    log_line("%s shmget - cannot create shared memory, errno %s (%d)", __func__, std::strerror(e), e);
    return -1;
  }
  id = os::shmget(kFaultShmKey, kFaultShmSize, 0666);
  if (id < 0) {
    const int e = errno;
    log_line("%s shmget - memory already exists, but we can't find it. errno: %s (%d)", __func__,
             std::strerror(e), e);
    return -1;
  }
  void* p = os::shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    log_line("%s shmat - can not attach shared memory.", __func__);
    return -1;
  }
  auto* b = static_cast<uint8_t*>(p);
  attached.store(b, std::memory_order_release);
  log_line("%s: shared memory exists, attached to it: 0x%p.", __func__, p);
  log_line("%s: shared memory version: %d.%d.", __func__, major(b), minor(b));
  return 0;
}

// Attaches to an existing segment without creating one (readers).
// Called with attach_mutex held.
int attach_fault_module() {
  const int id = os::shmget(kFaultShmKey, kFaultShmSize, 0666);
  if (id < 0) {
    log_line("%s fault shared memory does not exist.", __func__);
    return -1;
  }
  void* p = os::shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    log_line("%s shmat - can not attach shared memory.", __func__);
    return -1;
  }
  attached.store(static_cast<uint8_t*>(p), std::memory_order_release);
  return 0;
}

bool fault_active(const uint8_t* b, uint16_t id) {
  if (id >= 8 && minor(b) == 0) return false;  // older layouts lack it
  const size_t at = status_offset(b, kFaultTableOffset, kFaultEntries, id);
  return at != 0 && load8(b, at) != 0;
}

int set_fault_alarms(const char* caller, int code, uint8_t value) {
  if (code > kMaxErrorCode) {
    log_line("%s, invalid error code: %d", caller, code);
    return -1;
  }
  const uint16_t fault = error2fault(code);
  if (fault == 0) return 0;
  update_shm_fault_status(fault, value);
  if (const uint16_t alarm = fault2alarm(fault)) update_shm_alarm_status(alarm, value);
  return 0;
}

}  // namespace

uint16_t error2fault(int code) {
  if ((code >= 1 && code <= 2) || (code >= 9 && code <= 13) || (code >= 27 && code <= 38) || code == 69) return 1;
  if (code >= 39 && code <= 57) return 2;
  if (code == 65) return 3;
  return 0;
}

uint16_t fault2alarm(uint16_t fault_id) {
  switch (fault_id) {
    case 1: case 2: return 1;
    case 3: case 4: case 7: case 8: return 2;
    case 5: return 3;
    case 6: return 4;
    case 9: case 10: return 0;
    default:
      log_line("%s: invalid fault id: %d", __func__, fault_id);
      return 0;
  }
}

uint8_t is_alarm_on(uint16_t alarm_id) {
  if (alarm_id == 0 || alarm_id > 7) {
    log_line("%s: invalid alarm id: %d", __func__, alarm_id);
    return 0;
  }
  const uint8_t* b = base();
  if (!b) return 0;
  if (alarm_id == 1) return fault_active(b, 1) || fault_active(b, 2);
  if (alarm_id == 2) return fault_active(b, 3) || fault_active(b, 4) || fault_active(b, 7) || fault_active(b, 8);
  return 0;
}

}  // namespace crx::health

using namespace crx::health;
using crx::log_line;

namespace {

// The segment for a reader, attached on a process's first read; null (after
// logging for `who`) when it cannot be attached or was never initialised.
const uint8_t* segment_for_read(const char* who) {
  if (!base()) {
    log_line("%s: first time read, attaching to shared memory.", who);
    std::lock_guard guard(attach_mutex);
    if (!base() && attach_fault_module() != 0) {
      log_line("%s: Failed to attach to shared memory.", who);
      return nullptr;
    }
  }
  const uint8_t* b = base();
  if (major(b) == 0) {
    log_line("%s uninitialized shared memory or unsupported version: %d.", who, major(b));
    return nullptr;
  }
  return b;
}

}  // namespace

extern "C" {

int get_shm_fault_status(uint16_t fault_id) {
  const uint8_t* b = segment_for_read(__func__);
  if (!b) return -1;
  if (fault_id == 0 || fault_id > 10) {
    log_line("%s invalid fault id: %d.", __func__, fault_id);
    return -1;
  }
  if (fault_id >= 8 && minor(b) == 0) {
    log_line("%s fault id: %d not supported on shm version: %d.%d.", __func__, fault_id, major(b), minor(b));
    return 0;
  }
  const size_t at = status_offset(b, kFaultTableOffset, kFaultEntries, fault_id);
  if (at == 0) {
    log_line("%s fault id: %d not found in shared memory.", __func__, fault_id);
    return -1;
  }
  return load8(b, at);
}

int get_shm_alarm_status(uint16_t alarm_id) {
  const uint8_t* b = segment_for_read(__func__);
  if (!b) return -1;
  if (alarm_id == 0 || alarm_id > 7) {
    log_line("%s invalid alarm id: %d.", __func__, alarm_id);
    return -1;
  }
  if (alarm_id >= 6 && minor(b) == 0) {
    log_line("%s alarm id: %d not supported on shm version: %d.", __func__, alarm_id, minor(b));
    return 0;
  }
  const size_t at = status_offset(b, kAlarmTableOffset, kAlarmEntries, alarm_id);
  if (at == 0) {
    log_line("%s alarm id: %d not found in shared memory.", __func__, alarm_id);
    return -1;
  }
  return load8(b, at);
}

int update_shm_fault_status(uint16_t fault_id, uint8_t status) {
  if (!base()) {
    log_line("%s: first time update, creating/init shared memory.", __func__);
    std::lock_guard guard(attach_mutex);
    if (!base() && fault_init() != 0) {
      log_line("%s: Failed to create shared memory.", __func__);
      return -1;
    }
  }
  uint8_t* b = base();
  if (major(b) == 0) {
    log_line("%s uninitialized shared memory or unsupported version: %d", __func__, major(b));
    return -1;
  }
  if (fault_id == 0 || fault_id > 10) {
    log_line("%s invalid fault id: %d", __func__, fault_id);
    return -1;
  }
  if (fault_id >= 8 && minor(b) == 0) {
    log_line("%s fault id: %d not supported on shm version: %d.", __func__, fault_id, minor(b));
    return 0;
  }
  const size_t at = status_offset(b, kFaultTableOffset, kFaultEntries, fault_id);
  if (at == 0) {
    log_line("%s fault id: %d not found in shared memory.", __func__, fault_id);
    return -1;
  }
  if (locked_store(__func__, b, at, status) != 0) return -1;
  return update_shm_alarm_status(fault2alarm(fault_id), status);
}

int update_shm_alarm_status(uint16_t alarm_id, uint8_t status) {
  uint8_t* b = base();
  if (!b) {
    log_line("%s something wrong, shared memory or semaphore empty.", __func__);
    return -1;
  }
  if (major(b) == 0) {
    log_line("%s uninitialized shared memory or unsupported version: %d.", __func__, major(b));
    return -1;
  }
  if (alarm_id == 0 || alarm_id > 7) {
    log_line("%s invalid alarm id: %d.", __func__, alarm_id);
    return -1;
  }
  if (alarm_id >= 6 && minor(b) == 0) {
    log_line("%s alarm id: %d not supported on shm version: %d.", __func__, alarm_id, minor(b));
    return 0;
  }
  const size_t at = status_offset(b, kAlarmTableOffset, kAlarmEntries, alarm_id);
  if (at == 0) {
    log_line("%s alarm id: %d not found in shared memory.", __func__, alarm_id);
    return -1;
  }
  // Alarms 3 and 4 have one fault each and follow it as written; the others
  // only clear once none of their faults is active any more.
  uint8_t value = status;
  if (alarm_id != 3 && alarm_id != 4 && status == 0) value = is_alarm_on(alarm_id);
  return locked_store(__func__, b, at, value);
}

int crx_update_fault_status(uint16_t fault_id, uint8_t status) {
  if (update_shm_fault_status(fault_id, status) < 0) {
    log_line("BrvDBG-HAL %s ERROR failed to update fault: %d", __func__, fault_id);
    return -1;
  }
  return 0;
}

int crx_get_fault_status(uint16_t fault_id) { return get_shm_fault_status(fault_id); }
int crx_get_alarm_status(uint16_t alarm_id) { return get_shm_alarm_status(alarm_id); }

int raise_fault_alarms(int error_code) { return set_fault_alarms(__func__, error_code, 1); }
int clear_fault_alarms(int error_code) { return set_fault_alarms(__func__, error_code, 0); }

}  // extern "C"

// The engine's life: settings, start and stop, and the thread mode's
// pipeline from the receive thread's requests to the shared queue.
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>

#include "crx_hal/hooks.h"
#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "loc/loc_shm.h"
#include "log.h"
#include "platform/named_sem.h"
#include "platform/os.h"

extern "C" {
uint8_t loc_use_thread = 1;
}

namespace crx::loc {
namespace {

constexpr int kRegVersion = 387;
constexpr size_t kRingLength = 40;
constexpr const char* kInitSem = "loc_init_sem";

std::atomic<uint32_t> version{1};

// The request ring between the receive thread and the geolocation thread.
std::mutex ring_mutex;  // guards ring
std::condition_variable ring_ready;
std::deque<Request> ring;

std::mutex life_mutex;  // guards the three below: start and stop
std::thread worker;
std::atomic<bool> stop_worker{false};
sem_t* init_sem = nullptr;
// Read by the receive thread without the lock.
std::atomic<bool> running{false};

// The library's gateway_id as crx_start filled it, copied at start so that
// the worker never reads the exported array while an application writes it.
char gw_id[17];

bool take_request(Request& out) {
  std::unique_lock lock(ring_mutex);
  ring_ready.wait(lock, [] { return !ring.empty() || stop_worker.load(); });
  if (stop_worker.load()) return false;
  out = ring.front();
  ring.pop_front();
  return true;
}

void localize_once(Request& req, bool second_antenna) {
  if (program_block(req, second_antenna) != 0) return;
  if (wait_block(0, &stop_worker) != 1) return;
  Peaks peaks;
  if (read_peaks(req, peaks) != 0) return;
  const auto e = estimate(req, peaks, geoloc_version());
  if (!e) return;
  crx_loc_result_t r{};
  fill_result(r, req, *e);
  Position pos{};
  environment().position(pos);
  r.gw_lat = pos.lat;
  r.gw_lon = pos.lon;
  r.gw_alt = pos.alt;
  std::memcpy(r.gw_id, gw_id, sizeof r.gw_id);
  queue_store(r);
}

void geolocation_thread() {
  log_line("%s: geolocation thread", "thread_loc");
  Request req;
  while (take_request(req)) {
    if (!loc_is_pkt_valid(req)) continue;
    localize_once(req, false);
    if (req.diversity && loc_is_pkt_valid(req) && !stop_worker.load()) {
      req.antenna ^= 1;
      localize_once(req, true);
    }
  }
}

void stop_thread() {
  if (!worker.joinable()) return;
  {
    std::lock_guard lock(ring_mutex);
    stop_worker.store(true);
  }
  ring_ready.notify_all();
  worker.join();
  stop_worker.store(false);
}

void release_sem(bool unlink) {
  if (!init_sem) return;
  os::sem_close(init_sem);
  init_sem = nullptr;
  if (unlink) os::sem_unlink(kInitSem);
}

}  // namespace

bool engine_running() { return running.load(); }

uint32_t geoloc_version() { return version.load(std::memory_order_relaxed); }
void set_geoloc_version(uint32_t v) { version.store(v == 1 || v == 2 ? v : 1, std::memory_order_relaxed); }

// Other processes of the gateway open it too: its mode is set whole, without
// touching the process umask while other threads may be creating files.
sem_t* open_init_sem() {
  sem_t* s = os::sem_open_shared(kInitSem, 0666, 0);
  return s == SEM_FAILED ? nullptr : s;
}

int loc_process_pkt(const Request& req) {
  if (!loc_is_pkt_valid(req)) return -1;
  bool dropped = false;
  {
    std::lock_guard lock(ring_mutex);
    if (ring.size() >= kRingLength) {
      ring.pop_front();  // the oldest is the least likely still in the buffer
      dropped = true;
    }
    ring.push_back(req);
  }
  if (!dropped) ring_ready.notify_one();
  return 0;
}

size_t ring_size() {
  std::lock_guard lock(ring_mutex);
  return ring.size();
}

int engine_start(uint8_t use_thread) {
  std::lock_guard lock(life_mutex);
  if (open_int_line() != 0) log_line("No location int: %s", __func__);
  int32_t v = 0;
  crx_reg_brd_r(0, kRegVersion, &v);
  log_line("BrvDBG-HAL %s INFO - geolocation FPGA ver: %d", "loc_init", v);
  if (v != 1 && v != 2) log_line("BrvDBG-HAL %s WARNING - wrong geolocation FPGA ver, default to %d", "loc_init", 1);
  set_geoloc_version(static_cast<uint32_t>(v));

  if (!init_sem) init_sem = open_init_sem();
  if (!init_sem) {
    log_line("BrvDBG-HAL %s ERROR - failed to open loc semaphore", "loc_init");
    close_int_line();
    return -1;
  }
  {
    std::lock_guard rl(ring_mutex);
    ring.clear();
  }
  // A segment this process holds already (crx_loc_enable, the filter
  // list) keeps its queue; one attached now starts empty.
  const bool fresh = segment() == nullptr;
  if (shm_attach() != 0 || (fresh && queue_reset() != 0)) {
    log_line("BrvDBG-HAL %s ERROR - can't init localization service", "loc_init");
    close_int_line();
    release_sem(false);
    return -1;
  }
  std::memcpy(gw_id, ::gateway_id, sizeof gw_id - 1);
  gw_id[sizeof gw_id - 1] = '\0';

  if (use_thread && !worker.joinable()) {
    try {
      worker = std::thread(geolocation_thread);
    } catch (const std::system_error& e) {
      log_line("BrvDBG-HAL %s ERROR - can't create loc thread: %s(%d)", "loc_init", e.what(), e.code().value());
      close_int_line();
      release_sem(false);
      return -1;
    }
  }
  loc_pkt_direct_finished();
  running.store(true);
  os::sem_post(init_sem);
  return 0;
}

void engine_stop() {
  std::lock_guard lock(life_mutex);
  running.store(false);
  close_int_line();
  stop_thread();
  loc_pkt_direct_finished();
  release_sem(true);
  {
    std::lock_guard rl(ring_mutex);
    ring.clear();
  }
  if (Segment* seg = segment()) {
    const bool destroyed = shm_detach();
    log_line("BrvDBG-HAL %s INFO - dettached to shm: 0x%p", "loc_deinit", static_cast<void*>(seg));
    if (destroyed) log_line("BrvDBG-HAL %s INFO - shm destroyed", "loc_deinit");
  }
}

}  // namespace crx::loc

namespace crx::hooks {
int loc_init(uint8_t use_thread) { return loc::engine_start(use_thread); }
void loc_deinit(uint8_t) { loc::engine_stop(); }
}  // namespace crx::hooks

#include "crx_hal/rx_queue.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <semaphore.h>
#include <sys/time.h>

#include "board.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "errors.h"
#include "log.h"
#include "platform/os.h"

namespace crx::rxq {

namespace {

struct Queue {
  // Guards ring, rd and wr, and every copy into or out of the ring.
  std::mutex mutex;
  std::array<crx_rx_pkt_t, kSlots> ring{};
  uint16_t rd = 0;
  uint16_t wr = 0;
  // One post per packet queued; a wake-up may find the packets already
  // taken by another consumer.
  sem_t sem;
  // Fetch calls inside their wait, so that a stop can wake each of them.
  std::atomic<int> waiters{0};
  Queue() { os::sem_init(&sem, 0, 0); }
  size_t count() const { return size_t((wr - rd) % kSlots); }
};

Queue& queue() {
  static Queue q;
  return q;
}

bool running() { return std::atomic_ref<bool>(brd_cfg_priv.running).load(std::memory_order_relaxed); }

}  // namespace

void push(const crx_rx_pkt_t& pkt) {
  Queue& q = queue();
  bool overwrote;
  {
    std::lock_guard lock(q.mutex);
    q.ring[q.wr % kSlots] = pkt;
    q.wr = uint16_t((q.wr + 1) % kSlots);
    overwrote = q.wr == q.rd;
    if (overwrote) q.rd = uint16_t((q.rd + 1) % kSlots);
  }
  if (!overwrote) os::sem_post(&q.sem);
}

size_t pop(crx_rx_pkt_t* out, size_t max) {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  size_t n = 0;
  while (n < max && q.rd != q.wr) {
    out[n++] = q.ring[q.rd];
    q.rd = uint16_t((q.rd + 1) % kSlots);
  }
  return n;
}

size_t pop_chip(uint8_t chip, crx_rx_pkt_t* out, size_t max) {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  size_t n = 0;
  while (n < max && q.rd != q.wr) {
    const crx_rx_pkt_t& p = q.ring[q.rd];
    if (p.if_chain / 10 == chip) out[n++] = p;
    q.rd = uint16_t((q.rd + 1) % kSlots);
  }
  return n;
}

size_t size() {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  return q.count();
}

void clear() {
  Queue& q = queue();
  std::lock_guard lock(q.mutex);
  q.rd = q.wr = 0;
  while (::sem_trywait(&q.sem) == 0) {
  }
}

}  // namespace crx::rxq

namespace crx::hooks {

int rx_queue_init() {
  // Packets left from an earlier run stay readable; only the count of
  // pending wake-ups starts again from 0.
  rxq::Queue& q = rxq::queue();
  while (::sem_trywait(&q.sem) == 0) {
  }
  return 0;
}

void rx_queue_release_waiters() {
  rxq::Queue& q = rxq::queue();
  // Pairs with the waiter's count-then-check: either it sees the board
  // stopped, or this sees it counted and posts for it.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  for (int n = q.waiters.load(); n > 0; --n) os::sem_post(&q.sem);
}

}  // namespace crx::hooks

using namespace crx;

namespace {

// The checks crx_fetch and crx_fetch_v2 share, in their order.
int check_fetch(const crx_rx_pkt_t* pkts, uint8_t max_nb, const uint8_t* nb) {
  if (!pkts || !nb) return fail(ERR_NULL_PTR);
  if (max_nb > CRX_MAX_PKT_NB) return fail(ERR_UNSPECIFIED);
  if (!rxq::running()) {
    raise_fault_alarms(ERR_WRONG_STATE);
    return fail(ERR_WRONG_STATE);
  }
  return 0;
}

}  // namespace

namespace crx::rxq {

int wait_and_pop(crx_rx_pkt_t* pkts, uint8_t max_nb, uint8_t* nb, const struct timeval* timeout) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (check_fetch(pkts, max_nb, nb) < 0) return -1;
  *nb = 0;
  Queue& q = queue();
  int rc;
  if (!timeout) {
    do rc = ::sem_wait(&q.sem);
    while (rc < 0 && errno == EINTR);
  } else {
    // The wait runs on the monotonic clock, so a step of the wall clock
    // neither stretches nor cuts it; the wall-clock deadline is for the log.
    const struct timespec wait = {timeout->tv_sec, long(timeout->tv_usec) * 1000};
    rc = os::sem_timedwait(&q.sem, wait);
    if (rc < 0 && errno == ETIMEDOUT) return fail(ERR_FETCH_TIMEOUT);
    if (rc < 0 && errno == EINVAL) {
      struct timespec deadline = os::realtime();
      deadline.tv_sec += wait.tv_sec;
      deadline.tv_nsec += wait.tv_nsec;
      log_line("%s: sem: %d %d, time: %d %d", "crx_fetch_v2", int(deadline.tv_sec), int(deadline.tv_nsec),
               int(timeout->tv_sec), int(timeout->tv_usec));
      return -1;
    }
  }
  if (rc < 0) return -1;
  // Woken by a stop: the board no longer delivers packets.
  if (!running()) return fail(ERR_WRONG_STATE);
  *nb = uint8_t(pop(pkts, max_nb));
  return 0;
}

}  // namespace crx::rxq

extern "C" int crx_fetch(uint8_t board, crx_rx_pkt_t* pkts, uint8_t max_nb, uint8_t* nb) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (check_fetch(pkts, max_nb, nb) < 0) return -1;
  *nb = uint8_t(rxq::pop(pkts, max_nb));
  return 0;
}

extern "C" int crx_fetch_v2(crx_rx_pkt_t* pkts, uint8_t max_nb, uint8_t* nb, const struct timeval* timeout) {
  rxq::Queue& q = rxq::queue();
  // Counted before the running check, so that a stop in between still
  // wakes this call.
  q.waiters.fetch_add(1);
  const int rc = rxq::wait_and_pop(pkts, max_nb, nb, timeout);
  q.waiters.fetch_sub(1);
  return rc;
}

extern "C" int crx_fetch_chip(uint8_t board, uint8_t chip, crx_rx_pkt_t* pkts, uint8_t max_nb, uint8_t* nb) {
  if (board != 0) return fail(ERR_BAD_BOARD_NB);
  if (!pkts) {
    log_line("ERROR: No Packet");
    return fail(ERR_UNSPECIFIED);
  }
  if (!nb) {
    log_line("ERROR: No return packet count");
    return fail(ERR_UNSPECIFIED);
  }
  if (!rxq::running()) {
    log_line("ERROR: Board %d not running", board);
    return fail(ERR_UNSPECIFIED);
  }
  if (chip >= kBoardChips || !brd_cfg_priv.chip_enable[chip]) {
    log_line("ERROR: chip %d not running", chip);
    return fail(ERR_UNSPECIFIED);
  }
  const size_t max = max_nb > CRX_MAX_PKT_NB ? CRX_MAX_PKT_NB : max_nb;
  *nb = uint8_t(rxq::pop_chip(chip, pkts, max));
  return 0;
}

// The receive thread: wakes on a rising receive-status line of any enabled
// chip (or the localization interrupt), and at the latest every 10 ms; reads
// the FIFOs of the chips whose line is high, drops ghosts and duplicates,
// and queues the rest. It stops cooperatively: stop sets a flag the next
// wake-up sees, then joins.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>

#include "board_pins.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/dedup.h"
#include "crx_hal/hooks.h"
#include "crx_hal/rx_fetch.h"
#include "crx_hal/rx_loc.h"
#include "crx_hal/rx_queue.h"
#include "crx_hal/rxtx_deps.h"
#include "device/gpio.h"
#include "errors.h"
#include "health/pkt_stats.h"
#include "log.h"
#include "platform/os.h"

namespace crx::rx {

namespace {

constexpr int kPollMs = 10;
constexpr const char* kThreadName = "thread_rx";

class Receiver {
 public:
  explicit Receiver(const std::atomic<bool>& stop) : stop_(stop) { fds_.fill(-1); }
  ~Receiver() {
    for (int& fd : fds_)
      if (fd >= 0) os::close(fd);
  }

  void run() {
    log_line("HAL: rx thread running");
    for (int c = 0; c < kBoardChips; ++c) {
      if (!brd_cfg_priv.chip_enable[c]) continue;
      const uint16_t pin = get_rx_status_pin(uint8_t(c));
      ensure_rising_edge(pin);
      fds_[size_t(c)] = gpio_open_pin_fd(pin, O_RDONLY);
      if (fds_[size_t(c)] < 0) {
        log_line("%s: Failed to open fd to gpio pin: %d", kThreadName, pin);
        return;
      }
    }
    std::srand(unsigned(os::now()));
    while (!stop_.load(std::memory_order_acquire)) {
      if (wait_for_event()) poll();
      loc_.check_expiry();
    }
    loc_.abandon();
  }

 private:
  // The wake-up needs the line's rising edge. Set-up leaves a pin that was
  // exported before alone, so a pin left at "none" (a boot script, a run
  // killed half-way) would silently leave the thread on its 10 ms poll.
  static void ensure_rising_edge(uint16_t pin) {
    char edge[16];
    if (gpio_read_edge(pin, edge, sizeof edge) < 0) return;
    if (std::strcmp(edge, "rising") == 0 || std::strcmp(edge, "both") == 0) return;
    log_line("%s: rx status pin %d had edge \"%s\", set to \"rising\" for the wake-up", kThreadName, pin, edge);
    gpio_set_rising_edge(pin);
  }

  // True when the chips should be polled: a receive-status edge or the
  // poll period; false after a failed wait or a localization event alone.
  bool wait_for_event() {
    std::array<struct pollfd, kBoardChips + 1> pfds{};
    nfds_t n = 0;
    for (int fd : fds_)
      if (fd >= 0) pfds[n++] = {fd, short(POLLPRI | POLLERR), 0};
    const int loc_fd = loc_.irq_fd();
    const nfds_t loc_slot = n;
    if (loc_fd >= 0) pfds[n++] = {loc_fd, short(POLLPRI | POLLERR), 0};
    const int rc = os::poll(pfds.data(), n, kPollMs);
    if (rc < 0) {
      if (errno == EINTR) return false;
      log_line("%s: Warning: select returned error: %s", kThreadName, std::strerror(errno));
      // Not a busy loop when the wait keeps failing.
      const struct timespec pause = {0, kPollMs * 1000000L};
      os::sleep(pause, nullptr);
      return false;
    }
    if (loc_fd >= 0 && pfds[loc_slot].revents) {
      loc_.on_irq();
      for (nfds_t i = 0; i < loc_slot; ++i)
        if (pfds[i].revents) return true;
      return false;
    }
    return true;
  }

  // The line's level; a failed read counts as low. Reading also consumes
  // the edge event, which re-arms the descriptor for the next one.
  static bool line_high(int fd) {
    char value[4] = {};
    if (os::lseek(fd, 0, SEEK_SET) < 0) return false;
    if (os::read(fd, value, sizeof value) <= 0) return false;
    return value[0] == '1';
  }

  void poll() {
    // A batch larger than the queue would overwrite its own oldest packets
    // before anyone could fetch them; what does not fit stays in the chips'
    // FIFOs for the next poll.
    constexpr size_t kBatchLimit = std::min<size_t>(kMaxPackets, rxq::kCapacity);
    batch_.n = 0;
    for (int c = 0; c < kBoardChips && batch_.n < kBatchLimit; ++c) {
      const int fd = fds_[size_t(c)];
      if (fd < 0 || !line_high(fd)) continue;
      if (fetch_chip(uint8_t(c), &batch_, kBatchLimit - batch_.n) < 0) {
        log_line("BrvDBG/HAL: E R R O R Failed to fetch packets (error=%d)", get_errno());
        raise_fault_alarms(ERR_RX_FETCH);
      }
      line_high(fd);
    }
    publish_counters();
    remove_ghosts(batch_, history_);
    merge_duplicates(batch_, hooks::diversity());
    rebuild_history(history_, batch_);
    loc_.queue_batch(batch_);
  }

  // Another process asks for a reset through the segment; the counters
  // then start again from 0 here too.
  static void publish_counters() {
    counters c;
    crx_get_packet_counters(&c);
    uint32_t words[health::kPktStatWords];
    static_assert(sizeof words == sizeof c);
    std::memcpy(words, &c, sizeof words);
    if (health::publish_packet_counters(words)) crx_reset_txrx_packet_statistics();
  }

  const std::atomic<bool>& stop_;
  std::array<int, kBoardChips> fds_;
  Batch batch_;
  History history_;
  LocFeed loc_;
};

struct ThreadSlot {
  std::mutex mutex;  // guards thread against concurrent start and stop
  std::thread thread;
  std::atomic<bool> stop{false};
};

ThreadSlot& slot() {
  static ThreadSlot s;
  return s;
}

}  // namespace

}  // namespace crx::rx

namespace crx::hooks {

int rx_thread_start() {
  auto& s = rx::slot();
  std::lock_guard lock(s.mutex);
  if (s.thread.joinable()) return EBUSY;
  s.stop.store(false, std::memory_order_release);
  try {
    s.thread = std::thread([&s] {
      auto receiver = std::make_unique<rx::Receiver>(s.stop);
      receiver->run();
    });
  } catch (const std::system_error& e) {
    return e.code().value() ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

void rx_thread_stop() {
  auto& s = rx::slot();
  std::lock_guard lock(s.mutex);
  if (!s.thread.joinable()) return;
  s.stop.store(true, std::memory_order_release);
  s.thread.join();
}

}  // namespace crx::hooks

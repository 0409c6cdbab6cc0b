// Live packet counters in shared memory and the current hour's statistics.
#include "health/pkt_stats.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "crx.h"
#include "crx_hal/hooks.h"
#include "log.h"
#include "platform/os.h"

namespace crx::health {

namespace {

// The packet-statistics segment, attached once for the life of the process.
std::mutex shm_mutex;  // serialises the attachment
std::atomic<uint32_t*> counters{nullptr};

// The current hour's record. Written by the receive thread, taken and
// zeroed by the housekeeping timer.
std::mutex current_mutex;  // guards `current`
StatRecord current{};

// Set at the save of minute 0, cleared by the first tick of another minute,
// so each hour is saved once. Only the housekeeping timer touches it.
std::atomic<bool> saved_this_hour{false};

// Entry 0 for SF7 (mask 0x02) up to entry 5 for SF12 (0x40); -1 otherwise.
int sf_entry(uint32_t datarate) {
  for (int i = 0; i < kSfEntries; ++i)
    if (datarate == (2u << i)) return i;
  return -1;
}

uint32_t& count_of(uint32_t status, uint32_t& crc_ok, uint32_t& other) {
  return status == STAT_CRC_OK ? crc_ok : other;
}

}  // namespace

int create_pkt_statistic_shm() {
  std::lock_guard guard(shm_mutex);
  if (counters.load(std::memory_order_acquire)) return 0;
  constexpr size_t kSize = kPktStatWords * sizeof(uint32_t);
  int id = os::shmget(kPktStatShmKey, kSize, IPC_CREAT | IPC_EXCL | 0666);
  if (id < 0) {
    if (errno != EEXIST) {
      const int e = errno;
      log_line("BrvDBG-HAL %s E R R O R  shmget - cannot create shared memory, errno %s (%d)", __func__,
               std::strerror(e), e);
      return -1;
    }
    id = os::shmget(kPktStatShmKey, kSize, 0666);
    if (id < 0) {
      const int e = errno;
      log_line("BrvDBG-HAL %s E R R O R  shmget - memory already exists, but we can't find it. errno: %s (%d)",
               __func__, std::strerror(e), e);
      return -1;
    }
  }
  void* p = os::shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    log_line("BrvDBG-HAL %s E R R O R  shmat - can not attach shared memory", __func__);
    return -1;
  }
  counters.store(static_cast<uint32_t*>(p), std::memory_order_release);
  return 0;
}

bool publish_packet_counters(const uint32_t (&words)[kPktStatWords]) {
  uint32_t* seg = counters.load(std::memory_order_acquire);
  if (!seg) return false;
  // The request and its acknowledgement in one step, so that a request
  // written while we publish is never overwritten unseen.
  std::atomic_ref control(seg[0]);
  uint32_t seen = control.load(std::memory_order_relaxed);
  bool reset;
  do {
    reset = (seen & 0xFF) > 254;
  } while (!control.compare_exchange_weak(seen, reset ? 0 : words[0], std::memory_order_relaxed));
  for (size_t i = 1; i < kPktStatWords; ++i)
    std::atomic_ref(seg[i]).store(reset ? 0 : words[i], std::memory_order_relaxed);
  return reset;
}

StatRecord current_statistics() {
  std::lock_guard guard(current_mutex);
  return current;
}

void do_packet_history() {
  const time_t now = os::now();
  struct tm utc {};
  gmtime_r(&now, &utc);
  if (utc.tm_min != 0) {
    saved_this_hour.store(false, std::memory_order_relaxed);
    return;
  }
  if (saved_this_hour.exchange(true, std::memory_order_relaxed)) return;
  // Taken and zeroed in one step: a packet counted while the file is being
  // written belongs to the new hour instead of being lost.
  StatRecord hour;
  {
    std::lock_guard guard(current_mutex);
    hour = current;
    current = StatRecord{};
  }
  save_history_to_file(&hour, true);
}

}  // namespace crx::health

namespace crx::hooks {
int create_pkt_statistic_shm() { return health::create_pkt_statistic_shm(); }
void do_packet_history() { health::do_packet_history(); }
}  // namespace crx::hooks

using namespace crx::health;

extern "C" {

void save_per_chan_stat(const crx_rx_pkt_t* pkt) {
  if (!pkt || pkt->if_chain >= kChannels) return;
  // Bandwidth codes outside the enumeration count as unknown (0 Hz).
  const int bw = pkt->bandwidth <= BW_7K8HZ ? crx_bw_enum2nb(crx_bw_t(pkt->bandwidth)) : -1;
  std::lock_guard guard(current_mutex);
  ChanStat& e = current.chan[pkt->if_chain];
  if (e.freq_hz == 0)
    e.freq_hz = pkt->freq_hz;
  else if (e.freq_hz != pkt->freq_hz)
    crx::log_line("in %s, current_history.channel[ch].freq (%d) != freq_hz (%d)\n", __func__, int(e.freq_hz),
                  int(pkt->freq_hz));
  ++count_of(pkt->status, e.crc_ok, e.other);
  e.bandwidth_hz = bw < 0 ? 0 : uint32_t(bw);
}

void save_per_sf_stat(const crx_rx_pkt_t* pkt) {
  if (!pkt) return;
  const int i = sf_entry(pkt->datarate);
  if (i < 0) return;
  std::lock_guard guard(current_mutex);
  SfStat& e = current.sf[i];
  if (e.datarate == 0)
    e.datarate = uint8_t(pkt->datarate);
  else if (e.datarate != pkt->datarate)
    crx::log_line("in %s, current_history.sf[%d].sf (%d) != sf (%d)\n", __func__, i, e.datarate,
                  int(pkt->datarate));
  ++count_of(pkt->status, e.crc_ok, e.other);
}

}  // extern "C"

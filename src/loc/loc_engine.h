// The localization engine inside the library: the request record, the
// calls the receive thread makes, and the pure arithmetic the tests reach.
//
// How the receive thread drives it (one batch = the packets of one poll):
//   thread mode (loc_use_thread == 1): for each packet with
//     loc_pkt_eligible(frame, pkt): loc_init_req(req, frame, pkt, 1) and
//     loc_process_pkt(req); the geolocation thread does the rest and the
//     results go to the shared queue.
//   direct mode (loc_use_thread == 0), at most one packet per batch:
//     idx = loc_schedule_pkt(frames, pkts, req); when idx >= 0,
//     loc_get_wait_time(req.sf, &ms) and loc_process_pkt_direct(req, ms, 0),
//     then hold pkts[idx] back from the receive queue. Its select adds
//     loc_get_int_fd() to the exception set; when that line is ready:
//     loc_pkt_direct_finished() and loc_fetch_loc_info(req, held packet),
//     then queue the packet. When loc_get_fpga_expire_status() turns true
//     first: loc_reset_fpga() and queue the packet without a fine
//     timestamp. A request found too old is not programmed: log
//     "BrvDBG/HAL: too late to trigger location" and try the next one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <semaphore.h>

#include "crx.h"

namespace crx::loc {

// What the receive thread decoded of the frame header.
struct FrameHeader {
  uint8_t msg_type;  // MType: 2 unconfirmed, 4 confirmed data up
  uint16_t fcnt;
  uint64_t dev;  // the device field; addresses fit in its low 32 bits
};

// A localization request (88 bytes; in-process only, but its fields keep
// the order and places peers of the engine know).
struct Request {
  uint32_t count_us;
  uint32_t freq_hz;
  uint32_t rx_freq_hz;
  uint32_t bandwidth_hz;
  uint32_t dev_addr;
  uint32_t payload_tail;
  uint16_t fcnt;
  uint8_t sf;
  uint8_t cr;
  uint8_t size;
  uint8_t antenna;
  uint8_t has_crc;
  uint8_t unused0;
  uint32_t rssi_raw;
  uint32_t snr_raw;
  uint64_t us_from_ref;
  int32_t residual;
  uint32_t ref_gps_s;
  uint32_t ref_count_us;
  uint32_t unused1;
  uint64_t ref_fpga_hs;
  uint32_t duration_us;
  uint8_t diversity;
  uint8_t up_peaks;
  uint8_t down_peaks;
  uint8_t unused2;
  int32_t start_sec;  // monotonic start of a direct-mode request
  int32_t start_nsec;
};
static_assert(offsetof(Request, fcnt) == 24 && offsetof(Request, has_crc) == 30);
static_assert(offsetof(Request, us_from_ref) == 40 && offsetof(Request, ref_fpga_hs) == 64);
static_assert(offsetof(Request, duration_us) == 72 && offsetof(Request, start_sec) == 80);
static_assert(sizeof(Request) == 88);
static_assert(sizeof(crx_loc_result_t) == 96 && offsetof(crx_loc_result_t, gps_sec) == 20);
static_assert(offsetof(crx_loc_result_t, gw_lat) == 56 && offsetof(crx_loc_result_t, gw_id) == 74);
static_assert(offsetof(crx_loc_result_t, payload_tail) == 92);

inline constexpr size_t kMaxUp = 8;
inline constexpr size_t kMaxDown = 2;

// What the block reports for one request.
struct Peaks {
  uint8_t up = 0, down = 0;
  uint16_t up_pos[kMaxUp] = {};
  uint16_t up_coarse = 0;
  uint16_t down_pos[kMaxDown] = {};
  uint16_t down_coarse = 0;
  uint32_t magnitude[kMaxUp + kMaxDown] = {};  // read and kept, not used
};

struct Estimate {
  uint32_t gps_s;
  uint32_t ns;
  int32_t freq_offset_hz;
  float time_accuracy_ns;
  float freq_accuracy_hz;
};

// ---- process-wide settings (engine.cpp, api.cpp) ----
uint32_t geoloc_version();             // 1 or 2
void set_geoloc_version(uint32_t v);   // anything but 1 or 2 becomes 1
uint8_t thread_up_peaks();
uint8_t thread_down_peaks();

// ---- requests (request.cpp), no I/O except where said ----
bool loc_pkt_eligible(const FrameHeader& frame, const crx_rx_pkt_t& pkt);
void loc_init_req(Request& req, const FrameHeader& frame, const crx_rx_pkt_t& pkt, uint8_t thread_mode);
uint32_t loc_estimate_pkt_len_us(const Request& req);
// Reads the current concentrator count; false when it cannot.
bool loc_is_pkt_valid(const Request& req);
// The same with the count given: the pure rule.
bool pkt_valid_at(const Request& req, uint32_t now_us, uint32_t version);
void loc_get_wait_time(uint8_t sf, uint16_t* ms);
// Index of the chosen packet of a batch (frames[i] goes with pkts[i]),
// its request built in `req`; -1 when none qualifies.
int loc_schedule_pkt(std::span<const FrameHeader> frames, std::span<const crx_rx_pkt_t> pkts, Request& req);

// ---- estimators (estimator.cpp), pure ----
// No value when the design is singular or the numbers are not finite.
std::optional<Estimate> estimate_v1(const Request& req, const Peaks& peaks);
std::optional<Estimate> estimate_v2(const Request& req, const Peaks& peaks);
std::optional<Estimate> estimate(const Request& req, const Peaks& peaks, uint32_t version);
void fill_result(crx_loc_result_t& out, const Request& req, const Estimate& e);

// ---- the geolocation block (block.cpp) ----
int open_int_line();   // 0 or -1; the line's descriptor is loc_get_int_fd()
void close_int_line();
int loc_get_int_fd();
// First antenna: the whole request; second: flags only. 0 or -1.
int program_block(Request& req, bool second_antenna);
// 1 when the line fired, 0 on time-out (the block is then reset), -1 on
// error. wait_ms 0 means the default of one second. `stop` ends a wait
// early (returns 0 without reset).
int wait_block(uint16_t wait_ms, const std::atomic<bool>* stop = nullptr);
int read_peaks(const Request& req, Peaks& out);
void loc_reset_fpga();
// Direct mode.
int loc_process_pkt_direct(Request& req, uint16_t wait_ms, uint8_t second_antenna);
bool loc_get_fpga_expire_status();
void loc_pkt_direct_finished();
int loc_fetch_loc_info(const Request& req, crx_rx_pkt_t& pkt);

// ---- life (engine.cpp): crx::hooks::loc_init / loc_deinit call these ----
int engine_start(uint8_t use_thread);
void engine_stop();
// Between a successful engine_start and engine_stop.
bool engine_running();
// "loc_init_sem", created when missing (mode 0666, value 0); null on failure.
sem_t* open_init_sem();

// ---- thread mode (engine.cpp) ----
// Accepts a valid request into the ring of 40; 0, or -1 when refused.
int loc_process_pkt(const Request& req);
size_t ring_size();

// ---- the shared result queue (queue.cpp) ----
// Both indexes and the count back to 0, under the queue lock.
int queue_reset();
int queue_store(const crx_loc_result_t& r);
size_t queue_waiting();

}  // namespace crx::loc

// The FPGA's geolocation block: its request registers, its interrupt line
// and its peak registers, and the direct mode's expiry.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <poll.h>

#include "device/gpio.h"
#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "log.h"
#include "platform/os.h"

namespace crx::loc {
namespace {

// Rows of the FPGA board register table.
constexpr int kRegReset = 230;
constexpr int kRegHsNow = 345;
constexpr int kRegRequest = 347;
constexpr int kRegSecondAntenna = 350;
constexpr int kRegArm = 351;
constexpr int kRegPeakPos = 353;
constexpr int kRegPeakMag = 365;

constexpr uint64_t kHsMask = (uint64_t{1} << 37) - 1;
constexpr uint32_t kPositionMask = (1u << 25) - 1;
constexpr int kDefaultWaitMs = 1000;

std::atomic<int> int_fd{-1};

// Direct mode: the deadline of the request in flight (monotonic ns), 0
// when none, and the flag set once it passed.
std::atomic<int64_t> direct_deadline{0};
std::atomic<bool> expired{false};

int64_t mono_ns() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Consumes the line's pending edge, if any.
void drain_line() {
  const int fd = int_fd.load();
  if (fd < 0) return;
  char c;
  os::lseek(fd, 0, SEEK_SET);
  (void)os::read(fd, &c, 1);
}

uint8_t flags_of(const Request& req) {
  return static_cast<uint8_t>((req.down_peaks & 0x3) << 5 | (req.up_peaks & 0xF) << 1 | (req.antenna & 1));
}

}  // namespace

int open_int_line() {
  if (int_fd.load() >= 0) return 0;
  if (!is_gpio_pin_exported(kGpioLocalizationIrq) && gpio_export_pin(kGpioLocalizationIrq) != 0) return -1;
  if (gpio_set_falling_edge(kGpioLocalizationIrq) != 0 || gpio_set_active_high(kGpioLocalizationIrq) != 0) return -1;
  const int fd = gpio_open_pin_fd(kGpioLocalizationIrq, O_RDONLY);
  if (fd < 0) return -1;
  int_fd.store(fd);
  crx_reg_brd_w(0, kRegArm, 1);
  return 0;
}

void close_int_line() {
  const int fd = int_fd.exchange(-1);
  if (fd >= 0) os::close(fd);
}

int loc_get_int_fd() { return int_fd.load(); }

int program_block(Request& req, bool second_antenna) {
  if (req.up_peaks < 1 || req.up_peaks > kMaxUp || req.down_peaks < 1 || req.down_peaks > kMaxDown) return -1;
  if (second_antenna) {
    drain_line();  // the first antenna's edge
    const uint8_t bytes[2] = {flags_of(req), 3};
    return crx_reg_brd_wb(0, kRegSecondAntenna, bytes, sizeof bytes);
  }
  if (crx_reg_brd_w(0, kRegArm, 1) != 0) return -1;
  TimeRef ref{};
  if (environment().reference(ref) != 0) {
    log_line("BrvDBG-HAL %s ERROR - no time reference", __func__);
    return -1;
  }
  req.ref_gps_s = ref.gps_s;
  req.ref_count_us = ref.count_us;
  req.ref_fpga_hs = ref.fpga_hs & kHsMask;
  const uint32_t us_from_ref = (req.count_us - ref.count_us) - req.duration_us;
  req.us_from_ref = us_from_ref;

  uint8_t hs[5] = {};
  if (crx_reg_brd_rb(0, kRegHsNow, hs, sizeof hs) != 0) return -1;
  const uint64_t now_hs = (uint64_t{hs[0]} | uint64_t{hs[1]} << 8 | uint64_t{hs[2]} << 16 | uint64_t{hs[3]} << 24 |
                           uint64_t{hs[4] & 0x1Fu} << 32);
  uint64_t position;
  if (geoloc_version() == 2) {
    const uint64_t d = (req.ref_fpga_hs - now_hs) & kHsMask;
    position = d / 2 + uint64_t{us_from_ref} * 16;
    req.residual = -static_cast<int32_t>(d & 1);
  } else {
    position = uint64_t{us_from_ref} * 32 + req.ref_fpga_hs - now_hs;
    req.residual = 0;
  }
  const uint32_t pos = static_cast<uint32_t>(position) & kPositionMask;
  // The word has 16 bits; a packet further than 64 MHz from the centre
  // cannot be in the band, so the clamp only keeps the conversion defined.
  const double word = std::clamp(
      std::round((static_cast<double>(req.rx_freq_hz) - static_cast<double>(req.freq_hz)) * 512.0 / 1e6), -32768.0,
      32767.0);
  const uint16_t fw = static_cast<uint16_t>(static_cast<int16_t>(word));
  const uint8_t bytes[9] = {req.sf,
                            static_cast<uint8_t>(fw),
                            static_cast<uint8_t>(fw >> 8),
                            static_cast<uint8_t>(pos),
                            static_cast<uint8_t>(pos >> 8),
                            static_cast<uint8_t>(pos >> 16),
                            static_cast<uint8_t>(pos >> 24),
                            flags_of(req),
                            3};
  drain_line();
  return crx_reg_brd_wb(0, kRegRequest, bytes, sizeof bytes);
}

int wait_block(uint16_t wait_ms, const std::atomic<bool>* stop) {
  const int fd = int_fd.load();
  if (fd < 0) {
    log_line("No location int: %s", __func__);
    return -1;
  }
  const int64_t until = mono_ns() + int64_t(wait_ms ? wait_ms : kDefaultWaitMs) * 1000000;
  for (;;) {
    const int64_t left_ms = (until - mono_ns()) / 1000000;
    if (left_ms <= 0 || (stop && stop->load())) break;
    struct pollfd p = {fd, POLLPRI, 0};
    // Short slices, so that a stop request is seen quickly.
    const int r = os::poll(&p, 1, static_cast<int>(left_ms < 50 ? left_ms : 50));
    if (r < 0) {
      if (errno == EINTR) continue;
      log_line("select error: %s: %s", __func__, std::strerror(errno));
      return -1;
    }
    if (r > 0 && (p.revents & (POLLPRI | POLLERR))) return 1;
  }
  if (stop && stop->load()) return 0;
  loc_reset_fpga();
  return 0;
}

int read_peaks(const Request& req, Peaks& out) {
  const size_t up = req.up_peaks, down = req.down_peaks;
  if (up < 1 || up > kMaxUp || down < 1 || down > kMaxDown) return -1;
  uint8_t words[2 * (kMaxUp + kMaxDown + 2)] = {};
  uint8_t mags[4 * (kMaxUp + kMaxDown)] = {};
  if (crx_reg_brd_rb(0, kRegPeakPos, words, static_cast<uint32_t>(2 * (up + down + 2))) != 0) return -1;
  if (crx_reg_brd_rb(0, kRegPeakMag, mags, static_cast<uint32_t>(4 * (up + down))) != 0) return -1;
  auto word = [&](size_t i) { return static_cast<uint16_t>(words[2 * i] | words[2 * i + 1] << 8); };
  out = Peaks{};
  out.up = static_cast<uint8_t>(up);
  out.down = static_cast<uint8_t>(down);
  for (size_t k = 0; k < up; ++k) out.up_pos[k] = word(k);
  out.up_coarse = word(up);
  for (size_t j = 0; j < down; ++j) out.down_pos[j] = word(up + 1 + j);
  out.down_coarse = word(up + 1 + down);
  for (size_t i = 0; i < up + down; ++i)
    out.magnitude[i] = uint32_t{mags[4 * i]} | uint32_t{mags[4 * i + 1]} << 8 | uint32_t{mags[4 * i + 2]} << 16 |
                       uint32_t{mags[4 * i + 3]} << 24;
  return 0;
}

void loc_reset_fpga() {
  drain_line();
  crx_reg_brd_w(0, kRegReset, 8);
  crx_reg_brd_w(0, kRegReset, 0);
}

int loc_process_pkt_direct(Request& req, uint16_t wait_ms, uint8_t second_antenna) {
  const struct timespec now = os::monotonic();
  req.start_sec = static_cast<int32_t>(now.tv_sec);
  req.start_nsec = static_cast<int32_t>(now.tv_nsec);
  if (program_block(req, second_antenna != 0) != 0) return -1;
  expired.store(false);
  direct_deadline.store(mono_ns() + int64_t(wait_ms) * 1000000);
  return 0;
}

bool loc_get_fpga_expire_status() {
  const int64_t deadline = direct_deadline.load();
  if (deadline != 0 && mono_ns() >= deadline) {
    direct_deadline.store(0);
    expired.store(true);
  }
  return expired.load();
}

void loc_pkt_direct_finished() {
  direct_deadline.store(0);
  expired.store(false);
}

int loc_fetch_loc_info(const Request& req, crx_rx_pkt_t& pkt) {
  Peaks peaks;
  if (read_peaks(req, peaks) != 0) return -1;
  const auto e = estimate(req, peaks, geoloc_version());
  if (!e) return -1;
  crx_rsig_t& rs = pkt.rsig[req.antenna & 1];
  crx_loc_result_t r{};
  fill_result(r, req, *e);
  rs.fine_ts_flag = 1;
  rs.freq_offset_hz = e->freq_offset_hz;
  rs.fine_ts_gps_s = e->gps_s;
  rs.fine_ts_ns = e->ns;
  rs.fine_ts_ns_adj = r.gps_nsec_adj;
  rs.time_accuracy_ns = e->time_accuracy_ns;
  rs.freq_accuracy_hz = e->freq_accuracy_hz;
  return 0;
}

}  // namespace crx::loc

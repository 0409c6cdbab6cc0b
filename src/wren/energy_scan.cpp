// Energy measurements of the Wren side radio through the GPIO FPGA: the
// listen-before-talk reading the transmit path takes before a packet, and
// the spectral scan, usually run from another process than the one that
// drives the concentrator.
//
// Coordination between processes goes through named semaphores. The scan
// opens its own handles for each scan and closes only those; it never
// unlinks one, since another process may hold it open and an unlinked name
// would give the next opener a fresh semaphore that excludes nobody.
// "/sx127x_in_use" is held from the retune of the side radio to its last
// sample, by the scan and by LBT alike, so neither measures at the other's
// frequency.
#include "wren/energy_scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "board.h"
#include "errors.h"
#include "log.h"
#include "platform/named_sem.h"
#include "platform/os.h"
#include "radio/sx126x.h"
#include "radio/sx127x.h"
#include "wren/bus.h"
#include "wren/gpio_fpga_table.h"
#include "wren/semaphores.h"
#include "wren/start.h"

namespace crx {

namespace {
std::atomic<bool> g_scan_claimed{false};
}  // namespace

bool scan_claim() { return !g_scan_claimed.exchange(true, std::memory_order_acq_rel); }
void scan_release() { g_scan_claimed.store(false, std::memory_order_release); }

}  // namespace crx

namespace crx::wren {

namespace {

constexpr const char* kScanRunningSem = "/wren_spec_scan_running";
constexpr const char* kCsvPath = "/tmp/spectralScan.csv";
constexpr mode_t kSemMode = 0777;
constexpr int kBins = 101;
constexpr int kLowestLevel = -130;  // dBm of bin 0
constexpr int kSamples = 4096;
constexpr int kMaxConsecutiveFailures = 50;
constexpr unsigned kRetryPauseMs = 200;
constexpr int kWaitSemReads = 20;
constexpr uint32_t kMaxLbtLength = 0xFFFF;  // the FPGA's 16-bit field, 5 us units
constexpr int64_t kLbtMarginUs = 100000;
constexpr int64_t kReadyBoundUs = 100000;
constexpr uint16_t kScanFpgaVersion = 0x5007;
constexpr uint16_t kScanFpgaBuild = 0x24;

// Scan bandwidths per list, as the side radio takes them: SX127x table
// indexes, or SX126x RxBw codes.
constexpr uint32_t kSx127xBw125 = 14, kSx127xBw500 = 20;
constexpr uint32_t kSx126xBw125 = radio::kSx126xRxBw58k6, kSx126xBw500 = radio::kSx126xRxBw234k3;

// Progress of the scan running in this process (plain counters by
// contract; atomics because another thread reads them).
std::atomic<uint32_t> g_measured{0};
std::atomic<uint32_t> g_requested{0};

// The LBT measurement in progress: when it started and how long it
// listens, for the bound of the result's wait. Only the transmitting thread
// that holds the side-radio guard writes them.
std::atomic<int64_t> g_lbt_started_us{0};
std::atomic<uint32_t> g_lbt_length{0};

int64_t now_us() {
  const struct timespec t = os::monotonic();
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

bool sx126x_board() { return board_type == CRX_BOARD_WREN_OUTDOOR || read_wren_variant() == 1; }

// A handle of our own on a named semaphore, closed (never unlinked) when it
// goes.
struct OwnSem {
  sem_t* sem = nullptr;
  OwnSem() = default;
  OwnSem(const OwnSem&) = delete;
  OwnSem& operator=(const OwnSem&) = delete;
  ~OwnSem() { close(); }
  bool open(const char* name, unsigned initial) {
    sem_t* s = os::sem_open_shared(name, kSemMode, initial);
    if (s == SEM_FAILED) return false;
    sem = s;
    return true;
  }
  void close() {
    if (sem) os::sem_close(sem);
    sem = nullptr;
  }
  int value() const {
    int v = 0;
    return sem && os::sem_getvalue(sem, &v) == 0 ? v : 0;
  }
};

// Holds the side-radio guard for a scope.
struct GuardHold {
  int result;
  explicit GuardHold(const char* who) : result(radio::hold_guard(who)) {}
  ~GuardHold() {
    if (result == 0) radio::release_guard();
  }
};

// Retunes the side radio; `bw` is what the installed radio takes.
int retune(uint32_t freq_hz, uint32_t bw) {
  if (sx126x_board()) return sx126x_change_fsk(freq_hz, uint8_t(bw));
  return sx127x_change_FSK(freq_hz, bw);
}

// A scan process that never started the concentrator has not identified
// the SX127x; its retune would otherwise use the other chip's PLL register.
void identify_sx127x() {
  if (sx126x_board() || sx127x_cfg.radio_type != 0) return;
  uint8_t version = 0;
  if (sx127x_reg_r(0x42, &version) == 0) sx127x_cfg.radio_type = version == 0x22 ? radio::kSx1272 : radio::kSx1276;
}

// The SX126x code nearest to an SX127x bandwidth index: the scan's own
// codes for the 125 and 500 kHz measurements, the nearest bandwidth
// otherwise. No code for an index outside the table.
bool sx126x_code_of(uint32_t sx127x_index, uint8_t* code) {
  if (sx127x_index >= SX127X_FSK_BW_COUNT) return false;
  if (sx127x_index == kSx127xBw125) *code = uint8_t(kSx126xBw125);
  else if (sx127x_index == kSx127xBw500) *code = uint8_t(kSx126xBw500);
  else *code = radio::sx126x_rx_bw_code_nearest(sx127x_FskBandwidths[sx127x_index].bandwidth_hz);
  return true;
}

// The bandwidth to hand the installed side radio for an SX127x index.
bool side_radio_bw(uint32_t sx127x_index, uint32_t* bw) {
  if (!sx126x_board()) {
    *bw = sx127x_index;
    return true;
  }
  uint8_t code = 0;
  if (!sx126x_code_of(sx127x_index, &code)) return false;
  *bw = code;
  return true;
}

int clear_lbt_start() { return ostra_wren_gpio_fpga_write(GPIO_LBT_START, 0); }

uint32_t clamp_bin(int level) {
  const int bin = level - kLowestLevel;
  return uint32_t(bin < 0 ? 0 : bin > kBins - 1 ? kBins - 1 : bin);
}

// Waits for the FPGA's sample-ready flag with the scan enabled. 0 ready,
// 1 a transmission took the air, else the failing read's error or -1 when
// the FPGA never said ready.
int wait_ready(const OwnSem& scan_tx, const char* who) {
  const int64_t deadline = now_us() + kReadyBoundUs;
  for (;;) {
    if (scan_tx.value() < 1) return 1;
    uint16_t ready = 0;
    if (int rc = ostra_wren_gpio_fpga_read(GPIO_SCAN_READY, &ready); rc != 0) {
      log_line("BrvDBG-HAL: %s ERROR: Could not read from GPIO FPGA", who);
      return rc;
    }
    if (ready != 0) return 0;
    if (now_us() > deadline) {
      log_line("BrvDBG-HAL: %s ERROR: GPIO FPGA spectral scan samples not ready", who);
      return -1;
    }
  }
}

// Releases what a scan took; runs on every exit once it claimed the
// scan-running semaphore.
struct ScanResources {
  OwnSem running;
  bool running_taken = false;
  bool ports_opened_here = false;
  ~ScanResources() {
    if (running_taken) os::sem_post(running.sem);
    running.close();
    if (ports_opened_here) ostra_wren_close_spi();
  }
};

struct FreeDeleter {
  void operator()(uint32_t* p) const { std::free(p); }
};
using Histograms = std::unique_ptr<uint32_t, FreeDeleter>;

// count x 101 bins; calloc refuses a size that does not fit.
Histograms allocate_histograms(uint32_t count) {
  return Histograms(static_cast<uint32_t*>(std::calloc(count ? count : 1, kBins * sizeof(uint32_t))));
}

// Measures one list; false after 50 failures in a row on one frequency.
bool scan_list(uint32_t count, uint32_t first_khz, uint32_t step_khz, uint32_t bw, uint32_t* histogram) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t khz = uint64_t(first_khz) + uint64_t(i) * step_khz;
    const uint32_t hz = uint32_t(khz * 1000u);
    int failures = 0;
    while (ostra_wren_measure_spec_scan_freq(i, hz, bw, histogram) != 0) {
      if (++failures >= kMaxConsecutiveFailures) return false;
      crx_wait_ms(kRetryPauseMs);
    }
  }
  return true;
}

void append_lines(std::string& out, uint32_t count, uint32_t first_khz, uint32_t step_khz, const uint32_t* histogram) {
  char pair[40];
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t khz = uint64_t(first_khz) + uint64_t(i) * step_khz;
    out += std::to_string(int(uint32_t(khz * 1000u)));
    for (int b = 0; b < kBins; ++b) {
      std::snprintf(pair, sizeof pair, ",%0.0f,%d", double(b + kLowestLevel), int(histogram[size_t(i) * kBins + b]));
      out += pair;
    }
    out += '\n';
  }
}

// The file is replaced whole: written under a private name and renamed, so
// a reader never sees half a scan and a failed write leaves the last one.
bool save_results(const ostra_wren_spec_scan_req_t& req, const uint32_t* h125, const uint32_t* h500, const char* who) {
  std::string text;
  append_lines(text, req.count_125k, req.freq_125k, req.step_125k, h125);
  append_lines(text, req.count_500k, req.freq_500k, req.step_500k, h500);
  const std::string tmp = std::string(kCsvPath) + "." + std::to_string(::getpid()) + ".tmp";
  FILE* f = os::fopen(tmp.c_str(), "w");
  bool ok = f != nullptr;
  if (f) {
    ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    ok = ok && os::rename(tmp.c_str(), kCsvPath) == 0;
    if (!ok) os::unlink(tmp.c_str());
  }
  if (!ok) log_line("BrvDBG-HAL: %s E R R O R Unable to save results in %s", who, kCsvPath);
  return ok;
}

// Step 4: a concentrator must be running in some process.
int check_hal_running(uint32_t& status, const char* who) {
  OwnSem hal;
  if (!hal.open(kHalRunningSem, 0)) {
    log_line("BrvDBG-HAL: %s failed to open HAL started sema: %s", who, std::strerror(errno));
    status = 1;
    return -1;
  }
  if (hal.value() < 1) {
    log_line("BrvDBG-HAL: %s ERROR: The concentrator must be started before a spectral scan can be performed.", who);
    status = 1;
    return -1;
  }
  return 0;
}

// Step 5: the FPGA must carry the scan engine.
int check_fpga(uint32_t& status, const char* who) {
  uint16_t version = 0, build = 0;
  if (ostra_wren_gpio_fpga_read(GPIO_FPGA_VERSION, &version) != 0 ||
      ostra_wren_gpio_fpga_read(GPIO_FPGA_BUILD, &build) != 0) {
    log_line("BrvDBG-HAL %s E R R O R - Could not read from GPIO FPGA.", who);
    status = 1;
    return -1;
  }
  if (version < kScanFpgaVersion || (version == kScanFpgaVersion && (build & 0xFF) < kScanFpgaBuild)) {
    log_line("BrvDBG-HAL %s E R R O R - GPIO FPGA does not support Spectral Scan. Version = %#04x, Build=%#04x", who,
             version, build);
    status = 1;
    return -1;
  }
  return 0;
}

}  // namespace

int spec_scan_claimed(ostra_wren_spec_scan_req_t* req) {
  static const char* const who = "ostra_wren_spec_scan";
  if (!req) {
    log_line("BrvDBG-HAL: %s ERROR: Null Pointer", who);
    return 3;
  }
  // Written for every outcome, so a caller never reads a failure as the
  // previous scan's success.
  uint32_t ignored = 0;
  uint32_t& status = req->status ? *req->status : ignored;

  Histograms h125 = allocate_histograms(req->count_125k);
  Histograms h500 = allocate_histograms(req->count_500k);
  if (!h125 || !h500) {
    log_line("BrvDBG-HAL: %s ERROR: no memory for %u + %u histograms", who, req->count_125k, req->count_500k);
    status = 1;
    return -1;
  }

  ScanResources res;
  // Whether the ports were closed before this scan touched them: the FPGA
  // reads below open them.
  res.ports_opened_here = ports().side_radio < 0;
  {
    OwnSem scan_tx;
    if (!scan_tx.open(kScanTxSem, 1)) {
      log_line("BrvDBG-HAL: %s failed to open ss_tx sema: %s", who, std::strerror(errno));
      status = 1;
      return -1;
    }
  }
  if (!res.running.open(kScanRunningSem, 1)) {
    log_line("BrvDBG-HAL: %s failed to open ss running sema: %s", who, std::strerror(errno));
    status = 1;
    return -1;
  }
  if (check_hal_running(status, who) != 0) return -1;
  if (check_fpga(status, who) != 0) return -1;
  status = 2;

  if (res.ports_opened_here) {
    ostra_wren_reg_setup();
    if (ostra_indoor_db_configured != 1 && ostra_wren_get_db_config() != 0) {
      log_line("BrvDBG-HAL: %s ERROR: ostra_wren_get_db_config() failed", who);
      status = 1;
      return -1;
    }
  }

  if (::sem_trywait(res.running.sem) != 0) {
    log_line("BrvDBG-HAL: %s ERROR: Spectral Scan is running in another process", who);
    status = 1;
    return -1;
  }
  res.running_taken = true;

  identify_sx127x();
  const bool sx126x = sx126x_board();
  g_measured.store(0);
  g_requested.store(uint32_t(uint64_t(req->count_125k) + req->count_500k));
  const bool ok = scan_list(req->count_125k, req->freq_125k, req->step_125k, sx126x ? kSx126xBw125 : kSx127xBw125,
                            h125.get()) &&
                  scan_list(req->count_500k, req->freq_500k, req->step_500k, sx126x ? kSx126xBw500 : kSx127xBw500,
                            h500.get());
  if (!ok || !save_results(*req, h125.get(), h500.get(), who)) {
    // A scan that ended shows 100, whatever its outcome: a share left
    // below would read as a scan still running and refuse every later one.
    g_measured.store(g_requested.load());
    status = 1;
    return -1;
  }
  status = 0;
  return 0;
}

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

int ostra_wren_start_lbt_meas(uint32_t freq_hz, uint32_t bw_index, uint32_t length) {
  if (!side_radio_available()) return fail(ERR_UNSPECIFIED);
  if (length > kMaxLbtLength) {
    // The FPGA's field would keep only the low 16 bits: a long listen time
    // would wrap into a short one.
    log_line("BrvDBG-HAL: %s WARNING: LBT measurement length %u too long, limited to %u", __func__, length,
             kMaxLbtLength);
    length = kMaxLbtLength;
  }
  uint32_t bw = 0;
  if (!side_radio_bw(bw_index, &bw)) {
    log_line("BrvDBG-HAL: %s ERROR: Could not configure the %s", __func__, "SX126x");
    return fail(ERR_UNSPECIFIED);
  }
  // Held until the result is read: no scan may retune the radio meanwhile.
  if (radio::hold_guard(__func__) != 0) return fail(ERR_UNSPECIFIED);
  if (retune(freq_hz, bw) != 0) {
    log_line("BrvDBG-HAL: %s ERROR: Could not configure the %s", __func__, sx126x_board() ? "SX126x" : "SX127x");
    radio::release_guard();
    return fail(ERR_UNSPECIFIED);
  }
  g_lbt_length.store(length);
  g_lbt_started_us.store(now_us());
  if (ostra_wren_gpio_fpga_write(GPIO_LBT_LENGTH, uint16_t(length)) != 0 ||
      ostra_wren_gpio_fpga_write(GPIO_LBT_START, 1) != 0) {
    log_line("BrvDBG-HAL: %s ERROR: Could not write to GPIO FPGA", __func__);
    clear_lbt_start();
    radio::release_guard();
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

int ostra_wren_get_lbt_meas(int32_t* rssi_dbm) {
  if (!rssi_dbm) {
    log_line("BrvDBG-HAL: %s ERROR: Invalid RSSI container", __func__);
    return fail(ERR_UNSPECIFIED);
  }
  if (!side_radio_available()) return fail(ERR_UNSPECIFIED);
  // Another process's read-modify-write of the same FPGA register (the
  // LEDs) can clear the start bit: the result would never come.
  const int64_t deadline = g_lbt_started_us.load() + int64_t(g_lbt_length.load()) * 5 + kLbtMarginUs;
  uint16_t value = 0;
  int result = 0;
  for (;;) {
    if (ostra_wren_gpio_fpga_read(GPIO_LBT_RESULT, &value) != 0) {
      log_line("BrvDBG-HAL: %s ERROR: Could not read from GPIO FPGA", __func__);
      result = -1;
      break;
    }
    if (value & 0x100) break;
    if (now_us() > deadline) {
      log_line("BrvDBG-HAL: %s ERROR: LBT measurement did not complete", __func__);
      result = -1;
      break;
    }
  }
  if (result == 0) *rssi_dbm = -int32_t((value >> 1) & 0x7F);
  if (clear_lbt_start() != 0) {
    log_line("BrvDBG-HAL: %s ERROR: Could not write to GPIO FPGA", __func__);
    result = -1;
  }
  radio::release_guard();
  return result == 0 ? 0 : fail(ERR_UNSPECIFIED);
}

int ostra_wren_spec_scan(ostra_wren_spec_scan_req_t* req) {
  if (!req) {
    log_line("BrvDBG-HAL: %s ERROR: Null Pointer", __func__);
    return 3;
  }
  if (!scan_claim()) {
    log_line("BrvDBG-HAL: %s ERROR: Spectral Scan is already running in this process", __func__);
    return -1;
  }
  const int result = spec_scan_claimed(req);
  scan_release();
  return result;
}

uint8_t ostra_wren_spec_scan_get_progress(void) {
  const uint32_t requested = g_requested.load();
  if (requested == 0) return 0;
  const float percent = float(g_measured.load()) / float(requested) * 100.0f;
  return uint8_t(percent > 100.0f ? 100.0f : percent);
}

int ostra_wren_measure_spec_scan_freq(uint32_t index, uint32_t freq_hz, uint32_t bw_index, uint32_t* histogram) {
  if (!histogram) {
    log_line("BrvDBG-HAL: %s ERROR: Null Pointer", __func__);
    return 3;
  }
  OwnSem scan_tx;
  if (!scan_tx.open(kScanTxSem, 1)) {
    log_line("BrvDBG-HAL: %s failed to open ss_tx sema: %s", __func__, std::strerror(errno));
    return -1;
  }
  if (ostra_wren_wait_sem(scan_tx.sem) != 0) return 1;
  GuardHold guard(__func__);
  if (guard.result != 0) return -1;
  if (int rc = retune(freq_hz, bw_index); rc != 0) return rc;
  if (scan_tx.value() < 1) return 1;
  if (int rc = ostra_wren_gpio_fpga_write(WREN_GREG_S_SCAN_EN, 1); rc != 0) {
    log_line("BrvDBG-HAL: %s ERROR: Could not write to WREN_GREG_S_SCAN_EN on the GPIO FPGA", __func__);
    return rc;
  }
  if (int rc = wait_ready(scan_tx, __func__); rc != 0) {
    ostra_wren_gpio_fpga_write(WREN_GREG_S_SCAN_EN, 0);
    return rc;
  }
  uint32_t* row = histogram + size_t(index) * kBins;
  for (int n = 0; n < kSamples; ++n) {
    uint16_t value = 0;
    if (int rc = ostra_wren_gpio_fpga_read(GPIO_SCAN_SAMPLE, &value); rc != 0) {
      log_line("BrvDBG-HAL: %s ERROR: Could not read from GPIO FPGA", __func__);
      ostra_wren_gpio_fpga_write(WREN_GREG_S_SCAN_EN, 0);
      return rc;
    }
    ++row[clamp_bin(-int(value >> 1))];
    crx_wait_us(5);
  }
  const int rc = ostra_wren_gpio_fpga_write(WREN_GREG_S_SCAN_EN, 0);
  if (rc != 0) return rc;
  g_measured.fetch_add(1);
  return 0;
}

int ostra_wren_measure_rssi_hist_index(uint32_t freq_hz, uint32_t bw_index, uint32_t* bin) {
  if (!bin) {
    log_line("BrvDBG-HAL: %s ERROR: Null Pointer", __func__);
    return 3;
  }
  uint32_t bw = 0;
  if (!side_radio_bw(bw_index, &bw)) return fail(ERR_UNSPECIFIED);
  GuardHold guard(__func__);
  if (guard.result != 0) return fail(ERR_UNSPECIFIED);
  if (int rc = retune(freq_hz, bw); rc != 0) return rc;
  int level = 0;
  if (sx126x_board()) {
    float dbm = 0;
    if (int rc = sx126x_get_rssi(&dbm); rc != 0) return rc;
    level = int(dbm);
  } else {
    uint8_t value = 0;
    if (int rc = sx127x_reg_r(0x11, &value); rc != 0) return rc;
    level = -int(value >> 1);
  }
  *bin = clamp_bin(level);
  return 0;
}

int ostra_wren_wait_sem(sem_t* sem) {
  if (!sem) return 1;
  for (int i = 0; i < kWaitSemReads; ++i) {
    int value = 0;
    if (os::sem_getvalue(sem, &value) == 0 && value > 0) return 0;
  }
  return 1;
}

}  // extern "C"

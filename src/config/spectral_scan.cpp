// The spectral scan of the large boards: the FPGA's power detector measured
// on a list of LoRa channels, one 101-bin histogram per channel, written as
// one CSV line per channel for the management tools.
//
// A scan is synchronous and runs in the caller's thread; other threads only
// read the progress byte. The progress byte and the caller's status word
// are plain memory by contract (the management tool polls them).
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "log.h"
#include "platform/os.h"
#include "wren/energy_scan.h"

uint8_t progress = 0;

namespace {

using crx::log_line;

constexpr const char* kCsvPath = "/tmp/spectralScan.csv";
constexpr int kBins = 101;
constexpr int kSamplesPerChannel = 4096;
constexpr uint8_t kScanDone = 100;
constexpr float kDefaultDbfsOffset = 37.0f;
constexpr double kMaxLoOffsetHz = 16000000.0;
constexpr double kOffsetStepHz = 3906.25;
constexpr long kMaxOffsetWord = 4095;

// Board registers of the power detector.
enum : int {
  kRegFpgaVersion = 2,
  kRegRfChainSelect = 57,  // bit 0: chain 1
  kRegFreqOffset = 100,
  kRegBandwidth = 221,     // 0 = 125 kHz, 1 = 500 kHz
  kRegDwell = 223,
  kRegStart = 224,
  kRegSample = 225,
  kRegResultReset = 232,
};

struct spectral_scan_params {
  uint32_t* status;
  uint32_t dwell;
  uint32_t rf_chain;
  uint32_t count_125k;
  uint32_t freq_125k;  // kHz
  uint32_t step_125k;  // kHz
  uint32_t count_500k;
  uint32_t freq_500k;  // kHz
  uint32_t step_500k;  // kHz
};

// One channel's kBins counters inside the scan's single allocation.
using Histogram = uint32_t*;
struct FreeDeleter {
  void operator()(uint32_t* p) const { std::free(p); }
};

// The database's LO in MHz as Hz, in single precision as the factory tools
// compute it; values outside the unsigned range saturate instead of
// converting with undefined behaviour.
uint32_t mhz_to_unsigned_hz(float mhz) {
  const float hz = mhz * 1000000.0f;
  if (!(hz > 0.0f)) return 0;
  if (hz >= 4294967295.0f) return UINT32_MAX;
  return uint32_t(hz);
}

// Read once per process. The LO is also read by the transmit path's
// listen-before-talk measurement, which may run beside a scan.
std::atomic<uint32_t> cached_lo_hz{0};
// Only the scanning thread touches these.
bool dbfs_offsets_read = false;
float dbfs_offset[2] = {kDefaultDbfsOffset, kDefaultDbfsOffset};

// The progress byte is exported as a plain variable; the library's own
// accesses are atomic so a reader thread never races the scanner.
void set_progress(uint8_t value) { std::atomic_ref<uint8_t>(progress).store(value, std::memory_order_relaxed); }
uint8_t get_progress() { return std::atomic_ref<uint8_t>(progress).load(std::memory_order_relaxed); }

bool scan_running() {
  const uint8_t p = get_progress();
  return p != 0 && p != kScanDone;
}

int readResults(Histogram histogram) {
  std::fill(histogram, histogram + kBins, 0u);
  int32_t value = 0;
  if (int rc = crx_reg_brd_r(0, kRegFpgaVersion, &value); rc != 0) {
    log_line("%s reading fpga version failed with code %d", __func__, rc);
    return 1;
  }
  int rc = crx_reg_brd_w(0, kRegResultReset, 1);
  rc |= crx_reg_brd_w(0, kRegResultReset, 0);
  if (rc != 0) {
    log_line("%s address reset failed with code %d", __func__, rc);
    return 1;
  }
  for (int n = 0; n < kSamplesPerChannel; ++n) {
    if (int rc2 = crx_reg_brd_r(0, kRegSample, &value); rc2 != 0) {
      log_line("%s value retrieval failed with code %d", __func__, rc2);
      return 1;
    }
    const uint32_t sample = uint32_t(value);
    long bin = kBins - 1;
    if (sample != 0) {
      bin = std::lround(-10.0 * std::log10(double(sample) / 4294967296.0));
      if (bin > kBins - 1) bin = kBins - 1;
      if (bin < 0) bin = 0;
    }
    ++histogram[size_t(bin)];
  }
  return 0;
}

// One CSV line: the frequency, then the (level, count) pairs from the
// lowest power to the highest.
std::string csv_line(uint64_t freq_hz, const uint32_t* histogram, float offset) {
  std::string line = std::to_string(freq_hz);
  char pair[64];
  for (int b = kBins - 1; b >= 0; --b) {
    std::snprintf(pair, sizeof pair, ",-%0.0f,%d", double(float(b) + offset), int(histogram[size_t(b)]));
    line += pair;
  }
  line += '\n';
  return line;
}

// The file is replaced whole: written under a private name, then renamed,
// so a reader never sees a half-written scan.
bool save_results(const spectral_scan_params& p, const uint32_t* histograms) {
  const std::string tmp = std::string(kCsvPath) + ".tmp";
  FILE* f = crx::os::fopen(tmp.c_str(), "w");
  if (!f) {
    log_line("BrvDBG-HAL: %s E R R O R Unable to save results in %s", "SpectralScan", kCsvPath);
    return false;
  }
  const float offset = readDbfs2dbmOffset(p.rf_chain);
  bool ok = true;
  for (uint64_t i = 0; i < uint64_t(p.count_125k) + p.count_500k && ok; ++i) {
    const uint64_t khz = i < p.count_125k ? uint64_t(p.freq_125k) + uint64_t(i) * p.step_125k
                                          : uint64_t(p.freq_500k) + uint64_t(i - p.count_125k) * p.step_500k;
    const std::string line = csv_line(khz * 1000u, histograms + i * kBins, offset);
    ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  }
  ok = (std::fclose(f) == 0) && ok;
  if (ok) ok = crx::os::rename(tmp.c_str(), kCsvPath) == 0;
  if (!ok) {
    crx::os::unlink(tmp.c_str());
    log_line("BrvDBG-HAL: %s E R R O R Unable to save results in %s", "SpectralScan", kCsvPath);
  }
  return ok;
}

// Measures channels [first, first + count) of one bandwidth; false at the
// first failing measurement.
bool scan_channels(const spectral_scan_params& p, uint32_t first, uint32_t count, uint32_t freq_khz,
                   uint32_t step_khz, uint32_t bw_flag, uint32_t* histograms) {
  const uint64_t total = uint64_t(p.count_125k) + p.count_500k;
  // A dwell near the top of its range asks for more than the wait's 32 bits
  // hold (about 71 minutes); it waits that long rather than a wrapped time.
  const double wait = (double(p.dwell) + 1.0) / 2.0 * kSamplesPerChannel + 1000.0;
  const unsigned wait_us = wait >= double(UINT_MAX) ? UINT_MAX : unsigned(wait);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t i = first + k;
    set_progress(uint8_t(100u * i / total));
    log_line(bw_flag == 0 ? "scanning 125k channel %d" : "scanning 500k channel %d", int(i));
    const uint32_t f = uint32_t(uint64_t(freq_khz) + uint64_t(k) * step_khz);
    if (startSpectralScanMeasurement(f, bw_flag, p.dwell, p.rf_chain) != 0) return false;
    crx_wait_us(wait_us);
    if (readResults(histograms + size_t(i) * kBins) != 0) return false;
  }
  return true;
}

int spectral_scan_run(const spectral_scan_params& p) {
  uint32_t& status = *p.status;
  bool opened_here = false;
  if (crx_reg_isSpiInitialized()) {
    log_line("BrvDBG-HAL: seems like spi was already initialized, carry on, nothing to do here!!!\n");
  } else {
    log_line("BrvDBG-HAL: seems like spi has not been initialized, initializing now\n");
    if (crx_reg_setup(0) != 0) {
      status = 1;
      log_line("BrvDBG-HAL %s E R R O R - setup register", "SpectralScan");
      set_progress(kScanDone);
      return int(status);
    }
    opened_here = true;
  }

  // The counts come from the caller unchecked: a plan too large for memory
  // fails the scan instead of ending the process. One zeroed allocation for
  // all channels, which the system only commits as channels are measured.
  const size_t channels = size_t(p.count_125k) + p.count_500k;
  std::unique_ptr<uint32_t, FreeDeleter> histograms(
      static_cast<uint32_t*>(std::calloc(std::max<size_t>(channels, 1), kBins * sizeof(uint32_t))));
  bool ok = histograms != nullptr;
  if (!ok)
    log_line("BrvDBG-HAL %s E R R O R - no memory for %zu histograms", "SpectralScan", channels);
  ok = ok && scan_channels(p, 0, p.count_125k, p.freq_125k, p.step_125k, 0, histograms.get()) &&
       scan_channels(p, p.count_125k, p.count_500k, p.freq_500k, p.step_500k, 1, histograms.get());
  if (ok) ok = save_results(p, histograms.get());
  status = ok ? 0 : 1;

  if (opened_here) {
    log_line("BrvDBG-HAL: Closing SPI\n");
    crx_reg_close();
  }
  set_progress(kScanDone);
  return int(status);
}

// Refuses a scan while another of this process runs; the claim is taken
// before anything else, as the progress byte still reads 0 during a scan's
// first channel.
bool refuse_running(uint32_t* status, bool running) {
  if (!running && crx::scan_claim()) return false;
  log_line("got request to start, but we already have a scan running");
  *status = 2;
  return true;
}

int start_scan(spectral_scan_params& p) {
  if (!p.status) {
    log_line("BrvDBG-HAL: E R R O R: %s NULL pointer", "SpectralScan");
    return 1;
  }
  if (refuse_running(p.status, scan_running())) return 2;
  *p.status = 2;
  const int result = spectral_scan_run(p);
  crx::scan_release();
  return result;
}

bool wren_scan_running() {
  const uint8_t p = ostra_wren_spec_scan_get_progress();
  return p != 0 && p != kScanDone;
}

}  // namespace

int runSpectralScan(uint32_t* status, uint32_t dwell, uint32_t rf_chain) {
  // The US915 uplink plan: 64 channels of 125 kHz and 8 of 500 kHz.
  spectral_scan_params p{status, dwell, rf_chain, 64, 902300, 200, 8, 903000, 1600};
  return start_scan(p);
}

int runSpectralScanFlexible(uint32_t* status, uint32_t dwell, uint32_t rf_chain, uint32_t count_125k,
                            uint32_t freq_125k, uint32_t step_125k, uint32_t count_500k, uint32_t freq_500k,
                            uint32_t step_500k) {
  crx::identify_board();
  if (crx::is_wren_board(board_type)) {
    // The Wren scan keeps its own status word updates; dwell and RF chain
    // have no meaning for its side radio.
    if (!status) {
      log_line("BrvDBG-HAL: E R R O R: %s NULL pointer", "SpectralScan");
      return 1;
    }
    if (refuse_running(status, wren_scan_running())) return 2;
    ostra_wren_spec_scan_req_t req{status, 4096, count_125k, freq_125k, step_125k, count_500k, freq_500k, step_500k};
    const int result = crx::wren::spec_scan_claimed(&req);
    crx::scan_release();
    return result;
  }
  spectral_scan_params p{status, dwell, rf_chain, count_125k, freq_125k, step_125k,
                         count_500k, freq_500k, step_500k};
  return start_scan(p);
}

uint8_t readSpectralScanProgress(void) {
  crx::identify_board();
  if (crx::is_wren_board(board_type)) return ostra_wren_spec_scan_get_progress();
  return get_progress();
}

int startSpectralScanMeasurement(uint32_t freq_khz, uint32_t bandwidth, uint32_t dwell, uint32_t rf_chain) {
  if (cached_lo_hz.load(std::memory_order_relaxed) == 0)
    cached_lo_hz.store(readRxLoFreq(), std::memory_order_relaxed);
  const uint32_t lo_hz = cached_lo_hz.load(std::memory_order_relaxed);

  int32_t chain_select = 0;
  int err = crx_reg_brd_r(0, kRegRfChainSelect, &chain_select);
  chain_select = rf_chain != 0 ? (chain_select | 1) : (chain_select & ~1);
  err |= crx_reg_brd_w(0, kRegRfChainSelect, chain_select);
  err |= crx_reg_brd_w(0, kRegBandwidth, int32_t(bandwidth));
  err |= crx_reg_brd_w(0, kRegDwell, int32_t(dwell));

  const double wanted_hz = double(freq_khz) * 1000.0;
  const double offset = double(lo_hz) - wanted_hz;
  const double magnitude = std::trunc(std::fabs(offset));
  if (magnitude > kMaxLoOffsetHz) {
    log_line("ERROR: Desired frequency (%d) too far from LO (%d). Max offset: %d, calculated offset %d",
             int(int64_t(wanted_hz)), int(lo_hz), int(kMaxLoOffsetHz), int(int64_t(magnitude)));
    return 1;
  }
  // The offset field is 13 bits signed: an offset of a full 16 MHz below the
  // LO rounds to one step past its largest value and would wrap to 16 MHz
  // above it, so it is held at the last step (3.9 kHz short of the channel).
  const long word = std::min(std::lround(offset / kOffsetStepHz), kMaxOffsetWord);
  err |= crx_reg_brd_w(0, kRegFreqOffset, int32_t(word));
  err |= crx_reg_brd_w(0, kRegStart, 1);
  err |= crx_reg_brd_w(0, kRegStart, 0);
  if (err != 0) {
    log_line("%s failed with code %d", __func__, err);
    return 1;
  }
  return 0;
}

uint32_t readRxLoFreq(void) {
  // Zeroed first: a database older than the LO column fills the record
  // without it, and that must read as no LO rather than as stack garbage.
  cx_config_table_t cfg{};
  const bool from_db = CxGetConfigTable(&cfg);
  uint32_t lo = 0;
  if (!from_db) {
    log_line("failed to get configuration data from database\n");
  } else {
    lo = mhz_to_unsigned_hz(cfg.Rx_LO_MHz);
    log_line("INFO: Read RX LO from DB at %f\n", double(cfg.Rx_LO_MHz));
  }
  if (!from_db || !(cfg.Rx_LO_MHz >= 1.0f)) {
    log_line("INFO: Couldn't read RX LO from DB, read config.json\n");
    if (crx::brd_cfg_priv.rx_freq == 0) crx_read_cfg_json(nullptr);
    lo = crx::brd_cfg_priv.rx_freq;
    log_line("INFO: Read RX LO from config.json at %f\n", double(lo) / 1e6);
  }
  return lo;
}

float readDbfs2dbmOffset(uint32_t rf_chain) {
  if (!dbfs_offsets_read) {
    log_line("in %s, reading db", __func__);
    cx_rx_table_t rx;
    if (CxGetRxTable(&rx)) {
      dbfs_offset[0] = rx.DBFS_TO_DBM_GAIN_RX0;
      dbfs_offset[1] = rx.DBFS_TO_DBM_GAIN_RX1;
      dbfs_offsets_read = true;
    } else {
      log_line("BrvDBG-HAL: failed to get rx table from eeprom in %s supplying canned data", __func__);
    }
  }
  return dbfs_offset[rf_chain == 0 ? 0 : 1];
}

// crx_start on the FPGA boards: one function per group of bring-up steps,
// in the order they run.
//
// Failure policy. A step that fails sets crx_errno, raises the fault where
// a fault belongs to it, and start returns -1 with the board stopped. Every
// bus transfer of the bring-up counts: a register that did not take its
// value leaves a chip that would receive nothing while start reported
// success. Whatever start made before the failure (timers, the
// transceiver, the meter receiver, the receive thread) is released, so a
// second start in the same process begins from a clean slate.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/firmware.h"
#include "crx_hal/hooks.h"
#include "crx_hal/if_conv.h"
#include "crx_hal/start_steps.h"
#include "crx_hal/timers.h"
#include "errors.h"
#include "log.h"

extern "C" {
CRX_API char gateway_id[17] = {};
}

namespace crx::start {

int multicarrier_chip = 0;

namespace {

constexpr const char* kWho = "crx_start";
constexpr int32_t kMaxSpanHz = 2599999;
constexpr int32_t kGroupShiftHz = 100000;

// Written by start and, on the outdoor Wren, by the housekeeping thread;
// read by any caller of crx_get_instcnt.
std::atomic<int32_t> g_counter_offset{0};
bool g_diversity = false;
bool g_stand_in_logged = false;

// What start has brought up so far, for the release on a failure.
struct Progress {
  bool transceiver = false;
  bool meter = false;
};

bool type_in(std::initializer_list<uint32_t> types) {
  return std::find(types.begin(), types.end(), board_type) != types.end();
}

// ---- steps 1 to 5: identity and checks ----

void log_version_and_poe() {
  log_line("Linked HAL version: %s", kHalVersion);
  if (firmware::stand_in_images() && !g_stand_in_logged) {
    g_stand_in_logged = true;
    log_line("HAL: SX1301 firmware images are stand-ins: the chips will not run on a board");
  }
  uint8_t poe[3] = {};
  if (readPoeStatus(poe) < 0) log_line("Could not determine PoE status");
  else log_line("DC_AUX = %d, T2P = %d, T4P = %d", poe[0], poe[1], poe[2]);
}

void fill_gateway_id() {
  crx_module_id_t id{};
  if (crx_get_module_id(&id) == 0) {
    std::memcpy(gateway_id, id.gateway_id, sizeof gateway_id);
    gateway_id[sizeof gateway_id - 1] = '\0';
  } else {
    std::memset(gateway_id, 0, sizeof gateway_id);
  }
}

// ---- step 8 ----

void open_register_path(uint8_t board) {
  const int r = crx_reg_setup(board);
  if (r != 0) log_line("BrvDBG-HAL %s E R R O R - sx1301_reg_setup returned: %d", kWho, r);
  const bool all_chips = type_in({7, 8, 9, 10, 11, 14});
  multicarrier_chip = all_chips ? chip_count() : 4;
  // A database that gives a four-chip family fewer chips must not send the
  // first pass to empty sockets.
  if (multicarrier_chip > chip_count()) {
    log_line("BrvDBG-HAL %s - %d chips: first firmware pass limited to them", kWho, chip_count());
    multicarrier_chip = chip_count();
  }
}

// ---- step 9 ----

int create_housekeeping_and_check(uint8_t board) {
  if (timers::create_housekeeping() < 0) {
    log_line("BrvDBG-HAL %s E R R O R - create house keeping timer.", kWho);
    crx_reg_close();
    timers::delete_dl_idle();
    return fail(ERR_UNSPECIFIED);
  }
  const int r = crx_reg_init(board);
  if (r != 0) log_line("BrvDBG-HAL %s E R R O R - sx1301_reg_init returned: %d check versions", kWho, r);
  return r < 0 ? raise_and_fail() : 0;
}

// ---- step 10 ----

int reset_front_end() {
  log_line("\nBrvDBG-HAL: %s - Configure SPI bridge", kWho);
  if (brd_w(8, 0) || brd_w(9, 1) || brd_w(7, 0) || brd_w(12, 5)) return -1;
  log_line("\nBrvDBG: %s - Put the FPGA PLL in reset before AD9361 conf", kWho);
  if (brd_w(77, 1)) return -1;
  log_line("\nBrvDBG-HAL: %s - Get control of AD9361 Rx and Tx enables\n", kWho);
  if (brd_w(20, 1) || brd_w(17, 0) || brd_w(18, 0) || brd_w(210, 0)) return -1;
  log_line("\nBrvDBG-HAL: %s - Hard reset AD9361 and SX1301", kWho);
  if (brd_w(16, 0) || brd_w(49, 1)) return -1;
  crx_wait_us(1000);
  if (brd_w(16, 1) || brd_w(49, 0)) return -1;
  crx_wait_us(1000);
  log_line("Configuring radio...");
  return 0;
}

// ---- steps 11 and 12 ----

int start_transceiver(uint8_t board, Progress& progress) {
  const uint8_t chains = uint8_t((brd_cfg_priv.rf_chain[0].rx_enable ? 1 : 0) |
                                 (brd_cfg_priv.rf_chain[1].rx_enable ? 2 : 0));
  if (ad9361_start(board, board_type, brd_cfg_priv.rx_freq, 0, chains, 3, brd_cfg_priv.freq_band) < 0)
    return raise_and_fail();
  progress.transceiver = true;
  return brd_w(52, 0) || brd_w(54, 0) || brd_w(50, 15) || brd_w(51, 0) ? -1 : 0;
}

// ---- step 13 ----

struct ChipMasks {
  uint8_t reset = 0;
  uint8_t radio_mux = 0;
  uint8_t enabled = 0;
};

int first_chip_pass(ChipMasks& m) {
  for (int c = 0; c < chip_count(); ++c) {
    const bool enabled = brd_cfg_priv.chip_enable[c];
    if (enabled || c < multicarrier_chip) {
      m.reset |= uint8_t(1u << c);
      if (chip_w(c, 18, 1)) return -1;
    }
    if (brd_cfg_priv.chip_rf_chain[c] == 1) m.radio_mux |= uint8_t(1u << (7 - c));
    if (enabled) m.enabled |= uint8_t(1u << c);
  }
  if (brd_w(57, 0) || brd_w(242, 0) || brd_w(241, m.radio_mux)) return -1;
  log_line("BrvDBG-HAL: Info  rx radio mux 0x%x", m.radio_mux);
  return brd_w(51, m.reset);
}

// ---- steps 14 and 15 ----

int load_agc(int c) {
  const auto image = firmware::agc_image();
  return firmware::load(0, uint8_t(c), firmware::kAgc, image.data(), image.size());
}

int sync_word(int c, bool with_size) {
  if (brd_cfg_priv.fsk_sync_size == 0) return 0;
  if (with_size && chip_w(c, 244, brd_cfg_priv.fsk_sync_size - 1)) return -1;
  return chip_w(c, 237, int32_t(brd_cfg_priv.fsk_sync[1])) || chip_w(c, 238, int32_t(brd_cfg_priv.fsk_sync[0]))
             ? -1
             : 0;
}

int first_agc_pass() {
  for (int c = 0; c < multicarrier_chip; ++c)
    if (load_agc(c) < 0) return raise_and_fail();
  return brd_w(20, 0) || brd_w(11, 0) || brd_w(247, 0) ? -1 : 0;
}

int init_first_pass_chips() {
  for (int c = 0; c < multicarrier_chip; ++c) {
    if (chip_w(c, 158, 0) || chip_w(c, 157, 0) || chip_w(c, 161, 0) || chip_w(c, 302, 32)) return -1;
    int32_t version = 0;
    if (chip_r(c, 286, &version)) return -1;
    if (version != firmware::kAgcVersion) {
      log_line("BrvDBG-HAL: E R R O R  AGC ver = %d should be %d", version, firmware::kAgcVersion);
      raise_fault_alarms(ERR_AGC_FW_VERSION);
    }
    if (chip_w(c, 196, 1) || chip_w(c, 183, 1500) || chip_w(c, 241, 2)) return -1;
    if (brd_cfg_priv.loramac_public && (chip_w(c, 184, 3) || chip_w(c, 185, 4))) return -1;
    if (sync_word(c, true)) return -1;
  }
  return 0;
}

// ---- steps 16 and 17 ----

struct Dividers {
  int32_t a;
  int32_t b;
};

int late_agc(int c) {
  if (chip_w(c, 157, 0)) return -1;
  if (load_agc(c) < 0) return -1;
  if (chip_w(c, 161, 0) || chip_w(c, 302, 32)) return -1;
  int32_t version = 0;
  if (chip_r(c, 286, &version)) return -1;
  log_line("BrvDBG-HAL: chip %d AGC ver = %d should be %d", c, version, firmware::kAgcVersion);
  if (version != firmware::kAgcVersion)
    log_line("BrvDBG-HAL: E R R O R  chip %d AGC ver = %d should be %d", c, version, firmware::kAgcVersion);
  return sync_word(c, false);
}

int modem_setup(int c, const Dividers& d) {
  int32_t mask = 0;
  if (brd_r(53, &mask) || brd_w(53, mask | (1 << c))) return -1;
  if (chip_w(c, 87, type_in({1, 2, 3, 4, 5, 6, 14}) ? 1 : 0)) return -1;
  static constexpr int32_t kModem[][2] = {
      {91, 0},   {88, 1},    {172, 6}, {173, 7}, {174, 7}, {169, 23}, {171, 85},  {170, 66},
      {155, 7},  {156, 4},   {128, 1}, {129, 4094}, {127, 7}, {150, 3}, {227, 4}, {229, 1},
      {231, 1},  {232, 2},   {234, 10}, {239, 255}, {248, 128}};
  for (const auto& [row, value] : kModem)
    if (chip_w(c, row, value)) return -1;
  if (brd_cfg_priv.loramac_public &&
      (chip_w(c, 144, 3) || chip_w(c, 145, 4) || chip_w(c, 202, 3) || chip_w(c, 203, 4)))
    return -1;
  if (brd_cfg_priv.fsk_sync_size != 0 && chip_w(c, 230, brd_cfg_priv.fsk_sync_size - 1)) return -1;
  return chip_w(c, 140, d.a) || chip_w(c, 210, d.b) ? -1 : 0;
}

// Channel words relative to `centre` for every enabled channel.
int program_channels(int c, int32_t centre) {
  for (int n = 0; n < kChipChannels; ++n)
    if (brd_cfg_priv.chan_enable[c][n] &&
        chip_w(c, 92 + n, ChanReg(centre - int32_t(brd_cfg_priv.chan_freq[c][n]))))
      return -1;
  return 0;
}

// The lowest and highest enabled multi-SF channel of channels [from, to).
bool channel_range(int c, int from, int to, int32_t& lo, int32_t& hi) {
  bool any = false;
  for (int n = from; n < to; ++n) {
    if (!brd_cfg_priv.chan_enable[c][n]) continue;
    const int32_t f = int32_t(brd_cfg_priv.chan_freq[c][n]);
    lo = any ? std::min(lo, f) : f;
    hi = any ? std::max(hi, f) : f;
    any = true;
  }
  return any;
}

// Chips 6 and 7 can split their eight channels into two groups of four,
// each with an IF of its own.
int group_two_by_four(int c, int32_t rx_freq) {
  const int chain = brd_cfg_priv.chip_rf_chain[c];
  if (c <= 5) {
    log_line("BrvDBG-HAL: E R R O R  chip 0 - 5 only support standard 8 channel configuration (chip: %d)", c);
    return fail(ERR_BAD_CHAN_CONFIG);
  }
  if (chain == 0 && c != 6) {
    log_line("BrvDBG-HAL: E R R O R  chip 7 only supports 2x4 chan grouping on ant 1");
    return fail(ERR_BAD_CHAN_GROUPING);
  }
  if (chain == 1 && c != 7) {
    log_line("BrvDBG-HAL: E R R O R  chip 6 only supports 2x4 chan grouping on ant 0");
    return fail(ERR_BAD_CHAN_GROUPING);
  }
  // H: the highest channel of the lower group, L: the lowest of the upper
  // one. A group without an enabled channel is centred on the chip.
  const int32_t chip_centre = int32_t(brd_cfg_priv.chip_freq[c]);
  int32_t lo = 0, hi = 0;
  const int32_t h = channel_range(c, 0, 4, lo, hi) ? hi : chip_centre - kGroupShiftHz;
  const int32_t l = channel_range(c, 4, 8, lo, hi) ? lo : chip_centre + kGroupShiftHz;
  const int32_t lower_centre = h + kGroupShiftHz;
  const int32_t upper_centre = l - kGroupShiftHz;
  const int lower_row = c == 6 ? 24 : 233;
  const int upper_row = c == 6 ? 23 : 234;
  if (brd_w(lower_row, IFreg(lower_centre - rx_freq)) || brd_w(upper_row, IFreg(upper_centre - rx_freq))) return -1;
  int32_t bits = 0;
  if (brd_r(242, &bits) || brd_w(242, bits | (c == 6 ? 1 : 2))) return -1;
  for (int n = 0; n < kChipChannels; ++n) {
    if (!brd_cfg_priv.chan_enable[c][n]) continue;
    const int32_t centre = n <= 3 ? lower_centre : upper_centre;
    if (chip_w(c, 92 + n, ChanReg(centre - int32_t(brd_cfg_priv.chan_freq[c][n])))) return -1;
  }
  return 0;
}

int program_if(int c, int32_t rx_freq) {
  const int16_t r = IFreg(int32_t(brd_cfg_priv.chip_freq[c]) - rx_freq);
  log_line("BrvDBG-HAL: chip %d chip_if_reg %x radio_freq %d from json chip_freq %d", c, r, rx_freq,
           int(brd_cfg_priv.chip_freq[c]));
  const int32_t centre = rx_freq - IFinv(r);
  const int if_row = brd_cfg_priv.chip_rf_chain[c] == 1 ? 240 - c : 30 - c;
  if (board_type != CRX_BOARD_OPAL) {
    int32_t lo = 0, hi = 0;
    if (channel_range(c, 0, kMultiSfChannels, lo, hi) && hi - lo > kMaxSpanHz) return group_two_by_four(c, rx_freq);
  }
  if (brd_w(if_row, r)) return -1;
  return program_channels(c, centre);
}

int demodulators(int c) {
  for (int n = 0; n < kMultiSfChannels; ++n)
    if (chip_w(c, 104 + n, brd_cfg_priv.chan_enable[c][n] ? brd_cfg_priv.multisf_mask[c][n] : 0)) return -1;
  if (chip_w(c, 151, 96) || chip_w(c, 16, 1)) return -1;
  if (brd_cfg_priv.chan_enable[c][kLoraStdChannel]) {
    const uint32_t bw = brd_cfg_priv.std_bandwidth[c];
    const uint8_t sf = brd_cfg_priv.std_sf[c];
    if (chip_w(c, 216, 3 - int32_t(bw)) || chip_w(c, 222, sf) ||
        chip_w(c, 221, ppm_mode_en(crx_bw_t(bw), sf)) || chip_w(c, 15, 1))
      return -1;
  }
  if (brd_cfg_priv.chan_enable[c][kFskChannel]) {
    const uint32_t rate = brd_cfg_priv.fsk_bitrate[c];
    if (chip_w(c, 226, int32_t(brd_cfg_priv.fsk_bandwidth[c])) || chip_w(c, 236, rate ? int32_t(32000000 / rate) : 0))
      return -1;
  }
  return 0;
}

int start_arbiter(int c) {
  const auto image = firmware::arb_image();
  if (firmware::load(0, uint8_t(c), firmware::kArbiter, image.data(), image.size()) < 0) return raise_and_fail();
  if (chip_w(c, 160, 0) || chip_w(c, 301, 32)) return -1;
  int32_t version = 0;
  if (chip_r(c, 285, &version)) return -1;
  if (version != firmware::kArbVersion)
    log_line("BrvDBG-HAL: E R R O R  ARB ver = %d, should be: %d", version, firmware::kArbVersion);
  log_line("BrvDBG-HAL: setup rx status pin %d", c);
  // Without its line the receive thread still polls the chip.
  if (setup_rx_status_pin(uint8_t(c)) != 0) log_line("BrvDBG-HAL: %s - rx status pin %d not set up", kWho, c);
  return chip_w(c, 77, 31) || chip_w(c, 76, 0) ? -1 : 0;
}

int second_chip_pass() {
  if (chip_w(1, 316, 1)) return -1;
  const int32_t rx_freq = int32_t(brd_cfg_priv.rx_freq);
  const Dividers d{rx_divider(brd_cfg_priv.rx_freq, 2), rx_divider(brd_cfg_priv.rx_freq, 8)};
  for (int c = 0; c < chip_count(); ++c) {
    const bool enabled = brd_cfg_priv.chip_enable[c];
    if (enabled && c >= multicarrier_chip && late_agc(c) < 0) return -1;
    log_line("BrvDBG-HAL: chip_freq[%d] =%d", c, int(brd_cfg_priv.chip_freq[c]));
    if (!enabled) continue;
    if (modem_setup(c, d) || program_if(c, rx_freq) || demodulators(c) || start_arbiter(c)) return -1;
  }
  return 0;
}

// ---- step 18 ----

int finish_board(const ChipMasks& m, Progress& progress) {
  if (brd_w(56, m.enabled) || brd_w(230, 255)) return -1;
  crx_wait_us(1000);
  if (brd_w(230, 0)) return -1;
  if (board_type == CRX_BOARD_PLOVER && brd_w(298, 2)) return -1;
  if (board_type == CRX_BOARD_HERON_CALDER && brd_w(382, 0)) return -1;
  if (board_type == CRX_BOARD_CALDER_CONDOR && (brd_w(379, 1) || brd_w(381, 12))) return -1;
  if (brd_w(247, type_in({7, 8, 9, 10, 11, 14}) ? 3 : 5)) return -1;
  if (board_type == CRX_BOARD_SCM) {
    if (crx_cg_init() < 0) return raise_and_fail();
    progress.meter = true;
  }
  timers::arm_housekeeping();
  return 0;
}

// ---- step 19 ----

void find_diversity() {
  g_diversity = false;
  for (int i = 0; i < chip_count(); ++i)
    for (int j = 0; j < chip_count(); ++j) {
      if (i == j || brd_cfg_priv.chip_rf_chain[i] == brd_cfg_priv.chip_rf_chain[j]) continue;
      for (uint32_t fi : brd_cfg_priv.chan_freq[i])
        for (uint32_t fj : brd_cfg_priv.chan_freq[j])
          // A frequency never configured (0) is no shared channel.
          if (fi != 0 && fi == fj) g_diversity = true;
    }
  log_line("Diversity enabled: %d", g_diversity ? 1 : 0);
}

// ---- step 20 ----

int measure_counter_offset() {
  int32_t trigger = 0;
  if (brd_w(210, 0) || chip_r(1, 316, &trigger)) return -1;
  if (trigger) {
    if (brd_w(231, 1)) return -1;
    crx_wait_us(1100000);
  }
  for (int i = 0; i < 10; ++i) {
    if (!trigger && (brd_w(205, 0) || brd_w(205, 0))) return -1;
    int32_t fpga = 0, chip = 0;
    if (brd_r(205, &fpga) || chip_r(1, 289, &chip)) return -1;
    g_counter_offset = int32_t(uint32_t(fpga) - uint32_t(chip));
    crx_wait_us(100000);
  }
  return brd_w(231, 0);
}

// ---- step 21 ----

int start_services(uint8_t board) {
  if (hooks::loc_init(loc_use_thread) < 0) log_line("BrvDBG-HAL %s E R R O R - localization not started", kWho);
  if (board_type != CRX_BOARD_WREN_TDD && hooks::init_temperature_sensor() < 0)
    log_line("BrvDBG-HAL %s E R R O R - temperature sensor not set up", kWho);
  if (hooks::create_pkt_statistic_shm() < 0)
    log_line("BrvDBG-HAL %s E R R O R - packet statistics not available", kWho);
  if (hooks::rx_queue_init() < 0) {
    log_line("%s can't initialize rx queue semaphore, errno %s (%d).", kWho, std::strerror(errno), errno);
    stop_hardware(board);
    release_software();
    return fail(ERR_UNSPECIFIED);
  }
  // The receive thread is created here; until the receive path is part of
  // the library this hook starts none.
  if (const int err = hooks::rx_thread_start(); err != 0) {
    log_line("BrvDBG-HAL %s ERROR - can't create rx thread: %s(%d)", kWho, std::strerror(err), err);
    stop_hardware(board);
    release_software();
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

// Steps 9 to 18: the hardware bring-up of a full start.
int bring_up(uint8_t board, Progress& progress) {
  ChipMasks masks;
  if (create_housekeeping_and_check(board) < 0) return -1;
  if (reset_front_end() < 0 || start_transceiver(board, progress) < 0) return -1;
  if (first_chip_pass(masks) < 0 || first_agc_pass() < 0 || init_first_pass_chips() < 0) return -1;
  if (second_chip_pass() < 0) return -1;
  return finish_board(masks, progress);
}

// Undoes what a failed start made before the receive services.
void release_partial_start(const Progress& progress) {
  const int code = crx_errno;
  if (progress.meter) crx_cg_close();
  if (progress.transceiver) ad9361_stop();
  timers::delete_housekeeping();
  timers::delete_dl_idle();
  crx_errno = code;
}

int fpga_start(uint8_t board) {
  open_register_path(board);
  Progress progress;
  const bool full = brd_cfg_priv.full_start;
  if (full && bring_up(board, progress) < 0) {
    release_partial_start(progress);
    return -1;
  }
  find_diversity();
  if (measure_counter_offset() < 0) {
    raise_and_fail();
    release_partial_start(progress);
    return -1;
  }
  if (full && start_services(board) < 0) return -1;
  std::atomic_ref<bool>(brd_cfg_priv.running).store(true, std::memory_order_relaxed);
  return 0;
}

// The Wren boards: the driver brings the hardware up and marks the board
// running; the timers, the statistics and the receive thread are these.
int wren_start(uint8_t board) {
  const bool full = brd_cfg_priv.full_start;
  if (full && timers::create_housekeeping() < 0) {
    log_line("BrvDBG-HAL %s E R R O R - create house keeping timer.", kWho);
    crx_reg_close();
    timers::delete_dl_idle();
    return fail(ERR_UNSPECIFIED);
  }
  const int result = ostra_wren_start();
  if (result != 0) {
    timers::delete_housekeeping();
    timers::delete_dl_idle();
    return result;
  }
  if (hooks::create_pkt_statistic_shm() < 0)
    log_line("BrvDBG-HAL %s E R R O R - packet statistics not available", kWho);
  if (!full) return result;
  if (board_type == CRX_BOARD_WREN_OUTDOOR) {
    crx_wait_us(1000000);
    recapture_wren_offset();
  }
  timers::arm_housekeeping();
  if (hooks::rx_queue_init() < 0) {
    log_line("%s can't initialize rx queue semaphore, errno %s (%d).", kWho, std::strerror(errno), errno);
    const int code = crx_errno;
    crx_stop(board);
    crx_errno = code ? code : ERR_UNSPECIFIED;
    return -1;
  }
  if (const int err = hooks::rx_thread_start(); err != 0) {
    log_line("BrvDBG-HAL %s ERROR - can't create rx thread: %s(%d)", kWho, std::strerror(err), err);
    crx_stop(board);
    return fail(ERR_UNSPECIFIED);
  }
  return result;
}

}  // namespace

// The outdoor Wren's counter offset from its FPGA timer; a failed read
// keeps the offset already known.
void recapture_wren_offset() {
  uint32_t delta = 0;
  if (ostra_wren_get_delta_t(&delta) == 0) g_counter_offset = int32_t(delta);
}

int chip_count() { return std::clamp<int>(num_sx1301_chips, 0, kBoardChips); }

int raise_and_fail() {
  raise_fault_alarms(crx_errno);
  return -1;
}

int brd_w(int row, int32_t value) {
  if (crx_reg_brd_w(0, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - board register %d not written", kWho, row);
  return raise_and_fail();
}
int brd_r(int row, int32_t* value) {
  if (crx_reg_brd_r(0, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - board register %d not read", kWho, row);
  return raise_and_fail();
}
int chip_w(int chip, int row, int32_t value) {
  if (crx_reg_chip_w(0, chip, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - chip %d register %d not written", kWho, chip, row);
  return raise_and_fail();
}
int chip_r(int chip, int row, int32_t* value) {
  if (crx_reg_chip_r(0, chip, row, value) == 0) return 0;
  log_line("BrvDBG-HAL %s E R R O R - chip %d register %d not read", kWho, chip, row);
  return raise_and_fail();
}

}  // namespace crx::start

namespace crx::hooks {
int32_t counter_offset() { return start::g_counter_offset; }
void recapture_counter_offset() { start::recapture_wren_offset(); }
bool diversity() { return start::g_diversity; }
}  // namespace crx::hooks

extern "C" {

int crx_start(uint8_t board) {
  using namespace crx;
  using namespace crx::start;
  log_version_and_poe();
  if (board != 0) {
    log_line("BrvDBG-HAL %s E R R O R brd = %d", kWho, board);
    return fail(ERR_BAD_BOARD_NB);
  }
  fill_gateway_id();
  if (brd_cfg_priv.running) {
    log_line("BrvDBG-HAL %s E R R O R - is started", kWho);
    raise_fault_alarms(ERR_WRONG_STATE);
    return fail(ERR_WRONG_STATE);
  }
  identify_board();
  if (timers::create_dl_idle() < 0) {
    log_line("BrvDBG-HAL %s E R R O R - create dl idle timer.", kWho);
    return fail(ERR_UNSPECIFIED);
  }
  if (is_wren_board(board_type)) return wren_start(board);
  return fpga_start(board);
}

}  // extern "C"

// ostra_wren_start: the Wren boards' bring-up, one function per group of
// steps, in the order they run.
//
// Failure policy. A failing step logs its line, sets crx_errno and (after
// the SX1301 reset) raises the matching fault; start then releases what it
// made (scan-TX timer, named semaphores, the side radio's guard) and closes
// the ports, so the board is left stopped and a second start begins from a
// clean slate. The running flag is set by the last step only.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "board.h"
#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/if_conv.h"
#include "device/reg_access.h"
#include "errors.h"
#include "log.h"
#include "platform/named_sem.h"
#include "platform/os.h"
#include "radio/sx125x.h"
#include "wren/db_snapshot.h"
#include "wren/firmware.h"
#include "wren/channel_plan.h"
#include "wren/gpio_fpga_table.h"
#include "wren/semaphores.h"
#include "wren/start.h"
#include "wren/start_steps.h"
#include "wren/tx_lut.h"
#include "wren/wren_conf.h"

namespace crx::wren {

TxCalibration tx_calibration{};

namespace {

constexpr const char* kWho = "ostra_wren_start";
constexpr uint8_t kChip = 0;
constexpr uint32_t kCalibrationWaitMs = 2300;
constexpr int kCalStatusRow = 80;
constexpr int kMcuMailboxRow = 91;
constexpr int kAgcParamRow = 302;
constexpr int kAgcValueRow = 286;
constexpr int kArbParamRow = 301;
constexpr int kArbValueRow = 285;
constexpr int32_t kAskVersion = 32;
constexpr int32_t kAgcReady = 0x10;
constexpr uint16_t kLbtFpgaVersion = 0x5007;
constexpr uint16_t kLbtFpgaBuild = 0x11;
constexpr uint8_t kFskModulation = 2;
constexpr uint32_t kSideRadioBandwidthIndex = 20;
constexpr int8_t kSideRadioRssiOffset = -25;
constexpr uint8_t kSx126xSideRadioBandwidth = 10;  // RxBw 234.3 kHz

std::atomic<bool> g_side_radio{false};
int g_variant = -1;  // -1: not read yet

// ---- steps 1 to 5: ports, configuration, database, LBT table, HAL semaphore ----

int open_ports() {
  if (ostra_wren_reg_setup() != 0) {
    log_line("BrvDBG-HAL %s E R R O R - Failed to open SPI connections.", kWho);
    return fail(ERR_SPI_OPEN);
  }
  return 0;
}

int check_configuration() {
  if (!priv_cfg_initialised()) {
    log_line("BrvDBG-HAL %s E R R O R - Gateway has not been configured.", kWho);
    return fail(ERR_UNSPECIFIED);
  }
  identify_board();
  return ensure_snapshot(kWho) ? 0 : -1;
}

void log_lbt_intervals() {
  if (!brd_cfg_priv.lbt.enabled) return;
  log_line("    Listen Before Talk Intervals:");
  const crx_lbt_cfg_t& lbt = brd_cfg_priv.lbt;
  for (uint32_t i = 0; i < lbt.count && i < CRX_LBT_MAX_ENTRIES; ++i) {
    const crx_lbt_entry_t& e = lbt.entries[i];
    log_line("        Tx Power: %d dBm, Range: %.2f MHz - %.2f MHz, Max Time on Air: %d ms, Listen Time: %d us, "
             "Threshold: %d dB",
             int(e.max_tx_power_dbm), double(e.min_freq_hz) / 1e6, double(e.max_freq_hz) / 1e6,
             int(e.max_talk_time_ms), int(e.listen_time_us), int(e.threshold_dbm));
  }
}

int open_hal_semaphore() {
  if (!open_hal_running()) {
    log_line("BrvDBG-HAL: %s failed to open HAL sema: %s", kWho, std::strerror(errno));
    return fail(ERR_UNSPECIFIED);
  }
  return 0;
}

// ---- step 8: SX1301 reset and register check ----

int reset_sx1301() {
  if (gpio_w(GPIO_SX1301_RESET, 1) < 0) return -1;
  crx_wait_us(1000);
  if (gpio_w(GPIO_SX1301_RESET, 0) < 0) return -1;
  crx_wait_us(1000);
  const int r = crx_reg_init(0);
  if (r != 0) log_line("BrvDBG-HAL %s E R R O R - sx1301_reg_init returned: %d check versions", kWho, r);
  return r < 0 ? raise_and_fail() : 0;
}

// ---- steps 9 and 10: radio records and the channel plan ----

uint32_t radio_type() {
  const char* rf = ostra_indoor_db_config.RF_Type;
  if (std::strncmp(rf, "SX1255", 6) == 0) {
    log_line("BrvDBG-HAL: %s INFO: SX1255 RF Chips Identified", kWho);
    return radio::kSx1255;
  }
  if (std::strncmp(rf, "SX1257", 6) == 0) {
    log_line("BrvDBG-HAL: %s INFO: SX1257 RF Chips Identified", kWho);
    return radio::kSx1257;
  }
  log_line("BrvDBG-HAL: %s INFO: Unknown RF Chip Type", kWho);
  return 0;
}

void plan_radios() {
  const uint32_t type = radio_type();
  for (int i = 0; i < 2; ++i) {
    sx125x_radio_t& r = ostra_wren_prv_cfg.radio[i];
    const ostra_wren_db_radio_t& db = ostra_indoor_db_config.radio[kChip * 2 + i];
    ostra_wren_prv_cfg.radio_enable[i] = 1;
    r.enabled = true;
    r.clk_src = db.clk_src != 0;
    r.tx_enable = db.tx_enable != 0;
    r.rssi_offset = db.rssi_offset;
    r.type = type;
    r.freq_hz = default_centre(i);
  }
  wren_assign_sx1301_channels_to_RF(kChip);
}

// ---- steps 11 and 12: radios on, out of reset, set up ----

int power_radios() {
  if (chip_w(18, 1) || chip_w(257, 1) || chip_w(258, 1)) return -1;
  crx_wait_ms(500);
  if (chip_w(259, 1)) return -1;
  crx_wait_ms(5);
  return chip_w(259, 0);
}

int setup_radios() {
  for (uint8_t i = 0; i < 2; ++i) {
    const sx125x_radio_t& r = ostra_wren_prv_cfg.radio[i];
    if (setup_sx125x(0, kChip, i, r.freq_hz, r) != 0) return raise_and_fail();
  }
  return chip_w(77, 31) || chip_w(76, 2) ? -1 : 0;
}

// ---- steps 14 to 18: calibration ----

int32_t calibration_command() {
  const sx125x_radio_t* r = ostra_wren_prv_cfg.radio;
  int32_t cmd = 0x10;
  if (r[0].enabled) cmd |= 0x01;
  if (r[1].enabled) cmd |= 0x02;
  if (r[0].enabled && r[0].tx_enable) cmd |= 0x04;
  if (r[1].enabled && r[1].tx_enable) cmd |= 0x08;
  if (r[0].type == radio::kSx1255) cmd |= 0x20;
  else if (r[0].type != radio::kSx1257)
    log_line("BrvDBG-HAL %s E R R O R - UNEXPECTED VALUE %d FOR RADIO TYPE", kWho, int(r[0].type));
  return cmd;
}

void warn_calibration_bits(int32_t status) {
  const sx125x_radio_t* r = ostra_wren_prv_cfg.radio;
  struct Bit {
    int32_t mask;
    bool applies;
    const char* text;
  };
  const Bit bits[] = {
      {0x02, r[0].enabled, "calibration could not access radio A"},
      {0x04, r[1].enabled, "calibration could not access radio B"},
      {0x08, r[0].enabled, "problem in calibration of radio A for image rejection"},
      {0x10, r[1].enabled, "problem in calibration of radio B for image rejection"},
      {0x20, r[0].enabled && r[0].tx_enable, "problem in calibration of radio A for TX imbalance"},
      {0x40, r[1].enabled && r[1].tx_enable, "problem in calibration of radio B for TX imbalance"},
  };
  for (const Bit& b : bits)
    if (b.applies && !(status & b.mask)) log_line("BrvDBG-HAL: %s WARNING: %s", kWho, b.text);
}

int run_calibration() {
  const int32_t cmd = calibration_command();
  const auto image = cal_image();
  if (load_wren_firmware(0, kChip, kMcuAgc, image.data(), uint32_t(image.size())) < 0) return raise_and_fail();
  if (chip_w(157, 0) || chip_w(kMcuMailboxRow, cmd) || chip_w(161, 0) || chip_w(kAgcParamRow, kAskVersion)) return -1;
  int32_t version = 0;
  if (chip_r(kAgcValueRow, &version)) return -1;
  if (version != kCalVersion) {
    log_line("BrvDBG-HAL %s E R R O R - WRONG CALIBRATION FIRMWARE VERSION: ACTUAL: %d EXPECTED: %d", kWho, version,
             kCalVersion);
    return fail_and_raise(ERR_AGC_FW_VERSION);
  }
  // Row 0 is the page register: the register layer must select its page
  // again after this write.
  const int paged = chip_w(0, 3);
  regs::forget_page();
  if (paged || chip_w(83, 0)) return -1;
  log_line("BrvDBG-HAL: %s INFO: calibration started (time: %u ms)", kWho, kCalibrationWaitMs);
  crx_wait_ms(kCalibrationWaitMs);
  int32_t status = 0;
  if (chip_w(83, 1) || chip_r(kCalStatusRow, &status)) return -1;
  if ((status & 0x81) != 0x81) {
    log_line("BrvDBG-HAL %s E R R O R -CALIBRATION FAILURE (STATUS = %u)", kWho, unsigned(status));
    return fail_and_raise(ERR_UNSPECIFIED);
  }
  log_line("BrvDBG-HAL: %s INFO: calibration finished (status = %u)", kWho, unsigned(status));
  warn_calibration_bits(status);
  return 0;
}

int read_calibration_results() {
  int8_t* arrays[4] = {tx_calibration.a_i, tx_calibration.a_q, tx_calibration.b_i, tx_calibration.b_q};
  for (int a = 0; a < 4; ++a)
    for (int i = 0; i < 8; ++i) {
      int32_t v = 0;
      if (chip_w(kAgcParamRow, 0xA0 + 8 * a + i) || chip_r(kAgcValueRow, &v)) return -1;
      arrays[a][i] = int8_t(v);
    }
  return 0;
}

// ---- steps 19 to 23: modem and channels ----

int program_dividers() {
  // A plan without a centre for radio A must not divide by zero.
  const uint32_t centre = ostra_wren_prv_cfg.radio[0].freq_hz;
  return chip_w(140, rx_divider(centre, 2)) || chip_w(210, rx_divider(centre, 8)) ? -1 : 0;
}

uint8_t channel_radio(int n) { return ostra_wren_prv_cfg.chan_radio[n] == 1 ? 1 : 0; }

int16_t channel_if(int n) {
  const uint32_t centre = ostra_wren_prv_cfg.radio[channel_radio(n)].freq_hz;
  return if_to_reg(int32_t(centre - brd_cfg_priv.chan_freq[kChip][n]));
}

int32_t multisf_radio_mask() {
  int32_t mask = 0;
  for (int n = 0; n < 8; ++n)
    if (channel_radio(n)) mask |= 1 << n;
  return mask;
}

int program_multisf() {
  for (int n = 0; n < 8; ++n)
    if (brd_cfg_priv.chan_enable[kChip][n] && chip_w(92 + n, channel_if(n))) return -1;
  log_line("BrvDBG-HAL: %s INFO: Configuring LoRa Multi-SF channels", kWho);
  for (int n = 0; n < 8; ++n)
    if (chip_w(104 + n, brd_cfg_priv.chan_enable[kChip][n] ? brd_cfg_priv.multisf_mask[kChip][n] : 0)) return -1;
  return chip_w(151, 96) || chip_w(16, 1) ? -1 : 0;
}

int program_lora_std() {
  constexpr int n = 8;
  log_line("BrvDBG-HAL: %s INFO: Configuring LoRa STD channel", kWho);
  if (chip_w(100, channel_if(n))) return -1;
  if (!brd_cfg_priv.chan_enable[kChip][n]) return 0;
  const uint32_t bw = brd_cfg_priv.std_bandwidth[kChip];
  const uint8_t sf = brd_cfg_priv.std_sf[kChip];
  return chip_w(217, channel_radio(n)) || chip_w(216, 3 - int32_t(bw)) || chip_w(222, sf) ||
                 chip_w(221, ppm_mode_en(crx_bw_t(bw), sf)) || chip_w(15, 1)
             ? -1
             : 0;
}

int program_fsk() {
  constexpr int n = 9;
  log_line("BrvDBG-HAL: %s INFO: Configuring FSK Modem", kWho);
  if (const uint8_t size = brd_cfg_priv.fsk_sync_size; size != 0) {
    if (chip_w(230, size - 1) || chip_w(244, size - 1) || chip_w(237, int32_t(brd_cfg_priv.fsk_sync[0])) ||
        chip_w(238, int32_t(brd_cfg_priv.fsk_sync[1])))
      return -1;
  }
  if (!brd_cfg_priv.chan_enable[kChip][n]) return 0;
  const uint32_t rate = brd_cfg_priv.fsk_bitrate[kChip];
  return chip_w(101, channel_if(n)) || chip_w(226, int32_t(brd_cfg_priv.fsk_bandwidth[kChip])) ||
                 chip_w(236, rate ? int32_t(32000000 / rate) : 0) || chip_w(235, channel_radio(n)) || chip_w(17, 0)
             ? -1
             : 0;
}

// ---- steps 24 and 25: reception firmware and the AGC dialogue ----

int load_reception_firmware() {
  log_line("BrvDBG-HAL: %s INFO: Loading ARB Firmware", kWho);
  const auto arb = arb_image();
  if (load_wren_firmware(0, kChip, kMcuArbiter, arb.data(), uint32_t(arb.size())) < 0) return raise_and_fail();
  log_line("BrvDBG-HAL: %s INFO: Loading AGC Firmware", kWho);
  const auto agc = agc_image();
  if (load_wren_firmware(0, kChip, kMcuAgc, agc.data(), uint32_t(agc.size())) < 0) return raise_and_fail();
  for (int row : {157, 158, 159, kMcuMailboxRow, 160, 161})
    if (chip_w(row, 0)) return -1;
  int32_t version = 0;
  if (chip_w(kAgcParamRow, kAskVersion) || chip_r(kAgcValueRow, &version)) return -1;
  if (version != kAgcVersion) {
    log_line("BrvDBG-HAL: %s ERROR: Version of AGC firmware not expected, actual:%d expected:%d", kWho, version,
             kAgcVersion);
    return fail_and_raise(ERR_AGC_FW_VERSION);
  }
  if (chip_w(kArbParamRow, kAskVersion) || chip_r(kArbValueRow, &version)) return -1;
  if (version != kArbVersion) {
    log_line("BrvDBG-HAL: %s ERROR: Version of arbiter firmware not expected, actual:%d expected:%d", kWho,
             version, kArbVersion);
    return fail_and_raise(ERR_ARB_FW_VERSION);
  }
  crx_wait_ms(1);
  int32_t status = 0;
  if (chip_r(kCalStatusRow, &status)) return -1;
  if (status != kAgcReady) {
    log_line("BrvDBG-HAL: %s ERROR: AGC FIRMWARE INITIALIZATION FAILURE, STATUS 0x%02X", kWho, unsigned(status));
    return fail_and_raise(ERR_AGC_FW_VERSION);
  }
  return 0;
}

// One command of the AGC's start-up dialogue: a handshake, the value, and
// the acknowledgement the firmware must answer.
int agc_command(int32_t value, int32_t expected) {
  if (chip_w(kMcuMailboxRow, kAgcReady)) return -1;
  crx_wait_ms(1);
  if (chip_w(kMcuMailboxRow, value)) return -1;
  crx_wait_ms(1);
  int32_t status = 0;
  if (chip_r(kCalStatusRow, &status)) return -1;
  if (status != expected) {
    log_line("BrvDBG-HAL: %s ERROR: AGC FIRMWARE INITIALIZATION FAILURE, STATUS 0x%02X", kWho, unsigned(status));
    return fail_and_raise(ERR_AGC_FW_VERSION);
  }
  return 0;
}

int agc_dialogue() {
  const int entries = std::min<int>(tx_lut.size, kTxLutMaxEntries);
  for (int i = 0; i < entries; ++i) {
    const tx_gain_entry_t& e = tx_lut.lut[i];
    if (agc_command(64 * e.pa_gain + 16 * e.dac_gain + e.mix_gain, 0x30 + i)) return -1;
  }
  if (entries < kTxLutMaxEntries && agc_command(0x11, 0x30)) return -1;
  return agc_command(3, 0x33) || agc_command(0, 0x30) || agc_command(multisf_radio_mask(), 0x40) ? -1 : 0;
}

// ---- steps 26 and 27 ----

int finish_chip() {
  log_line("BrvDBG-HAL: setup rx status pin");
  // Without its line the receive thread still polls the chip.
  if (setup_rx_status_pin(kChip) != 0) log_line("BrvDBG-HAL: %s - rx status pin not set up", kWho);
  return chip_w(77, 31) || chip_w(76, 0) ? -1 : 0;
}

// The GPS trigger belongs to the board type, whether or not the chip takes
// part in the run.
int set_gps_trigger() { return chip_w(316, board_type == CRX_BOARD_WREN_OUTDOOR ? 1 : 0); }

// Steps 8 to 26, for an enabled chip.
int bring_up_chip() {
  if (reset_sx1301() < 0) return -1;
  plan_radios();
  if (power_radios() < 0 || setup_radios() < 0) return -1;
  if (run_calibration() < 0 || read_calibration_results() < 0) return -1;
  if (ostra_wren_constant_adjust(kChip) < 0) return raise_and_fail();
  if (program_dividers() < 0 || program_multisf() < 0 || program_lora_std() < 0 || program_fsk() < 0) return -1;
  if (load_reception_firmware() < 0 || agc_dialogue() < 0) return -1;
  return finish_chip();
}

// ---- step 28: side radio ----

// An FPGA whose version cannot be read is treated as one too old for
// listen-before-talk: nothing is known about its side-radio interface.
bool fpga_supports_lbt() {
  uint16_t version = 0, build = 0;
  const bool read = ostra_wren_gpio_fpga_read(GPIO_FPGA_VERSION, &version) == 0 &&
                    ostra_wren_gpio_fpga_read(GPIO_FPGA_BUILD, &build) == 0;
  if (!read) log_line("BrvDBG-HAL %s E R R O R - Could not read from GPIO FPGA.", kWho);
  if (read && (version > kLbtFpgaVersion || (version == kLbtFpgaVersion && build >= kLbtFpgaBuild))) return true;
  log_line("BrvDBG-HAL: %s WARNING: Current GPIO FPGA version incompatible with Listen Before Talk.", kWho);
  log_line("                        Requires 0x5007 Build 0x11 or greater, current version: 0x%04x, Build 0x%04x.",
           version, build);
  return false;
}

void setup_side_radio() {
  g_side_radio = false;
  if (!fpga_supports_lbt()) return;
  const sx125x_radio_t& a = ostra_wren_prv_cfg.radio[0];
  if (a.type == radio::kSx1255) {
    log_line("BrvDBG-HAL: %s WARNING: No SX127x on China variant gateways.", kWho);
    return;
  }
  // Only a radio that took its set-up may serve listen-before-talk.
  if (board_type == CRX_BOARD_WREN_OUTDOOR) g_variant = 0;
  if (side_radio_is_sx126x()) {
    g_side_radio = sx126x_setup_fsk(a.freq_hz, kSx126xSideRadioBandwidth) == 0;
    if (!g_side_radio) log_line("BrvDBG-HAL: %s WARNING: SX126x set-up failed, side radio unavailable.", kWho);
    return;
  }
  g_side_radio = sx127x_setup(a.freq_hz, kFskModulation, kSideRadioBandwidthIndex, kSideRadioRssiOffset) == 0;
  if (!g_side_radio) log_line("BrvDBG-HAL: %s WARNING: SX127x set-up failed, side radio unavailable.", kWho);
}

// ---- steps 29 and 30: the semaphores other processes watch ----

int publish_running() {
  sem_t* scan_tx = open_scan_tx();
  if (!scan_tx) {
    log_line("BrvDBG-HAL: %s failed to open ss tx sema %s", kWho, std::strerror(errno));
    return fail(ERR_UNSPECIFIED);
  }
  int value = 0;
  if (os::sem_getvalue(hal_running_sem(), &value) == 0 && value == 0) os::sem_post(hal_running_sem());
  value = 0;
  os::sem_getvalue(scan_tx, &value);
  log_line("BrvDBG-HAL: %s Semaphore opened - value = %d", kWho, value);
  if (value == 0) os::sem_post(scan_tx);
  return 0;
}

// Undoes what a failed start made; the code of the failure survives.
void release_failed_start() {
  const int code = crx_errno;
  scan_tx_timer_delete();
  close_and_unlink_semaphores();
  sx127x_deinit();
  g_side_radio = false;
  ostra_wren_close_spi();
  crx_errno = code;
}

int start_sequence() {
  if (open_ports() < 0 || check_configuration() < 0) return -1;
  log_lbt_intervals();
  if (open_hal_semaphore() < 0) return -1;
  if (scan_tx_timer_create() < 0) log_line("BrvDBG-HAL %s E R R O R - create sscan semaphore timer.", kWho);
  if (brd_cfg_priv.chip_enable[kChip] && bring_up_chip() < 0) return -1;
  if (set_gps_trigger() < 0) return -1;
  setup_side_radio();
  return publish_running();
}

}  // namespace

bool side_radio_available() { return g_side_radio; }

bool side_radio_is_sx126x() { return board_type == CRX_BOARD_WREN_OUTDOOR || read_wren_variant() == 1; }
void side_radio_release() { g_side_radio = false; }

}  // namespace crx::wren

using namespace crx;
using namespace crx::wren;

extern "C" {

int read_wren_variant(void) {
  if (g_variant >= 0) return g_variant;
  uint16_t v = 0;
  if (ostra_wren_gpio_fpga_read(GPIO_BOARD_VARIANT, &v) < 0) {
    log_line("BrvDBG-HAL %s E R R O R - Could not read GPIO brd vesion.", __func__);
    return 0;
  }
  g_variant = v == 3 ? 1 : 0;
  return g_variant;
}

int16_t if_to_reg(int32_t offset_hz) { return ChanReg(offset_hz); }

int ostra_wren_start(void) {
  if (start_sequence() < 0) {
    release_failed_start();
    return -1;
  }
  std::atomic_ref<bool>(brd_cfg_priv.running).store(true, std::memory_order_seq_cst);
  return 0;
}

int ostra_wren_constant_adjust(uint8_t chip) {
  const bool pub = brd_cfg_priv.loramac_public;
  const int32_t head[][2] = {{172, 6}, {173, 7},  {174, 7},  {169, 23},       {171, 85},       {170, 66},
                             {155, 7}, {156, 6},  {150, 3},  {144, pub ? 3 : 1}, {202, pub ? 3 : 1},
                             {145, pub ? 4 : 2}, {203, pub ? 4 : 2}, {128, 1}, {129, 4094}, {127, 7},
                             {228, 1}, {89, 1},   {227, 4},  {229, 1},        {231, 1},        {232, 2},
                             {234, 10}, {239, 255}, {248, 128}, {183, 1500}, {196, 1},
                             {184, pub ? 3 : 1}, {185, pub ? 4 : 2}};
  for (const auto& [row, value] : head)
    if (crx_reg_chip_w(0, chip, row, value) < 0) return -1;
  return crx_reg_chip_w(0, chip, 241, 2);
}

}  // extern "C"

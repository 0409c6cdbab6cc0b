// A configured Wren board on the simulator, ready for crx_start: its
// commissioning database, its TX gain file, its receive-status line, a plan
// of channels applied through the generic configuration calls, and probes
// of the chip's registers and of what a run leaves behind.
#pragma once

#include <dirent.h>
#include <fcntl.h>

#include <cstdio>
#include <memory>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/timers.h"
#include "platform/os.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/gpio.h"
#include "sim/testing.h"
#include "tests/support/checks.h"
#include "wren/semaphores.h"

namespace crx::test {

inline constexpr const char* kTddPcba = "Q7000112";
inline constexpr const char* kOutdoorPcba = "Q7000118";

inline sim::CxDatabase wren_db(const char* pcba, const char* band, double ul_min, double ul_max) {
  sim::CxDatabase db(6);
  db.board(pcba)
      .set("Configuration", "Operating_Band", band)
      .set("Configuration", "Min_UL_Frequency_MHz", ul_min)
      .set("Configuration", "Max_UL_Frequency_MHz", ul_max)
      .set("Configuration", "Min_DL_Frequency_MHz", ul_min)
      .set("Configuration", "Max_DL_Frequency_MHz", ul_max)
      .set("Configuration", "Num_of_SX1301s", 1);
  return db;
}

// A gain file of `n` entries, 2 dBm apart from 10 dBm.
inline std::string tx_lut_file(int n) {
  std::string text = R"({"txgain_lut": [)";
  for (int i = 0; i < n; ++i) {
    char entry[128];
    std::snprintf(entry, sizeof entry,
                  R"(%s{"dig_gain": 0, "pa_gain": %d, "dac_gain": 3, "mix_gain": %d, "rf_power": %d})",
                  i ? ", " : "", i < 8 ? 1 : 2, 8 + i % 8, 10 + 2 * i);
    text += entry;
  }
  return text + "]}";
}

inline int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

class WrenStartTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
    gpio_ = sim::SysfsGpio::install(sandbox());
  }
  void TearDown() override {
    crx_stop(0);
    crx_reg_close();
    SandboxTest::TearDown();
  }

  // The board, its database and gain file; nothing configured yet. The
  // outdoor board's side radio is an SX126x; `side` gives another board
  // one (a variant-1 board).
  void install(const char* pcba = kTddPcba, int lut_entries = 1,
               sim::WrenSideRadio side = sim::WrenSideRadio::kSx127x) {
    const bool outdoor = std::string(pcba) == kOutdoorPcba;
    if (outdoor) side = sim::WrenSideRadio::kSx126x;
    sim::cx_put_file(sandbox(), (outdoor ? wren_db(pcba, "EU868", 863.0, 870.0)
                                         : wren_db(pcba, "US915", 902.0, 928.0))
                                    .image());
    sandbox().write_file("/etc/default/tx_lut.json", tx_lut_file(lut_entries));
    board_ = sim::install_wren_board(sandbox(), side);
    sim::wire_wren_rx_status(board_, gpio_);
    sim::wire_sx126x_busy(board_, gpio_);
    board_.sx1301->chip().set_calibration_offsets(kOffsets);
  }

  // The installed `pcba` configured with its band's plan, then started.
  void configure_and_start(const char* pcba) {
    ASSERT_EQ(std::string(pcba) == kOutdoorPcba ? configure_eu() : configure_us(), 0) << syslog_dump();
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  }

  // The board settings `b` and chip 0 (enabled or not), no channels yet.
  static int configure_board(const crx_board_cfg_t& b, bool chip_enabled = true) {
    crx_board_cfg_t board = b;
    if (crx_conf_board(0, &board) != 0) return -1;
    crx_chip_cfg_t c;
    crx_init_chip_cfg(&c);
    c.enable = chip_enabled;
    return crx_conf_chip(0, 0, &c);
  }

  // The eight US multi-SF channels 902.3-903.7 MHz, the stand-alone LoRa
  // channel at 903.0 MHz (500 kHz, SF8) and an FSK channel at 902.8 MHz.
  int configure_us(bool public_net = true) {
    crx_board_cfg_t b;
    crx_init_board_cfg(&b);
    b.freq_band = FREQ_BAND_US915;
    b.loramac_public = public_net;
    b.fsk_sync_size = 3;
    b.fsk_sync = 0xC194C1;
    if (configure_board(b) != 0) return -1;
    for (uint8_t n = 0; n < 8; ++n)
      if (chan(n, 902300000 + 200000 * n) != 0) return -1;
    if (chan(8, 903000000, BW_500KHZ, DR_LORA_SF8) != 0) return -1;
    return chan(9, 902800000, BW_125KHZ, 50000);
  }

  // Three EU channels (868.1, 868.3, 868.5 MHz).
  int configure_eu() {
    crx_board_cfg_t b;
    crx_init_board_cfg(&b);
    b.freq_band = FREQ_BAND_EU868;
    if (configure_board(b) != 0) return -1;
    for (uint8_t n = 0; n < 3; ++n)
      if (chan(n, 868100000 + 200000 * n) != 0) return -1;
    return 0;
  }

  static int chan(uint8_t n, uint32_t freq, uint32_t bw = BW_UNDEFINED, uint32_t rate = 0) {
    crx_chan_cfg_t ch;
    crx_init_chan_cfg(&ch);
    ch.enable = true;
    ch.freq_hz = freq;
    if (bw != BW_UNDEFINED) ch.bandwidth = bw;
    if (n == 8 && rate) ch.modrate = rate;
    if (n == 9 && rate) ch.modrate = rate;
    return crx_conf_chan(0, n, &ch);
  }

  sim::WrenBoard& board() { return board_; }
  sim::Sx1301Chip& chip() { return board_.sx1301->chip(); }
  sim::SysfsGpio& gpio() { return *gpio_; }

  // A register field as the chip holds it: little-endian bytes from
  // `address` on `page` (-1 for the common addresses).
  int64_t field(int page, int address, int offset, int width, bool sign = false) {
    uint64_t raw = 0;
    const int bytes = (offset + width + 7) / 8;
    for (int i = 0; i < bytes; ++i)
      raw |= uint64_t(chip().peek(uint8_t(page < 0 ? 0 : page), uint8_t(address + i))) << (8 * i);
    raw = (raw >> offset) & ((uint64_t{1} << width) - 1);
    if (sign && (raw >> (width - 1))) return int64_t(raw) - (int64_t{1} << width);
    return int64_t(raw);
  }

  int status() {
    int s = 0;
    EXPECT_EQ(crx_brd_status(0, &s), 0);
    return s;
  }
  bool has_line(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }
  // A named semaphore's value, or -1 when it does not exist.
  static int semaphore(const char* name) {
    sem_t* s = os::sem_open(name, 0);
    if (s == SEM_FAILED) return -1;
    int v = -1;
    sem_getvalue(s, &v);
    os::sem_close(s);
    return v;
  }

  // After a failed start or a stop: nothing of the run is left.
  void expect_released(const std::string& when) {
    EXPECT_EQ(status(), 1) << when;
    EXPECT_EQ(sandbox().open_device_count(), 0) << when << ": ports";
    EXPECT_EQ(semaphore(wren::kHalRunningSem), -1) << when;
    EXPECT_EQ(semaphore(wren::kScanTxSem), -1) << when;
    EXPECT_FALSE(wren::scan_tx_timer_exists()) << when;
    EXPECT_FALSE(timers::housekeeping_exists()) << when;
    EXPECT_FALSE(timers::dl_idle_exists()) << when;
  }

  static constexpr std::array<int8_t, 32> kOffsets = {
      1,  -2, 3,  -4, 5,  -6, 7,  -8, 11, -12, 13, -14, 15, -16, 17, -18,
      21, -22, 23, -24, 25, -26, 27, -28, 31, -32, 33, -34, 35, -36, 37, -38};

 private:
  std::shared_ptr<sim::SysfsGpio> gpio_;
  sim::WrenBoard board_;
};

}  // namespace crx::test

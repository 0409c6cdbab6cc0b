// Set-up shared by the configuration tests: a sandbox with a fast clock, a
// commissioning database for one board, and the simulated ports that the
// register path of that board family opens.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "crx.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace crx::test {

inline constexpr const char* kWrenPcba = "Q7000112";
inline constexpr const char* kWrenOutdoorPcba = "Q7000118";

// A Wren database as the factory writes it for the one-chip board.
inline sim::CxDatabase wren_database(int version) {
  sim::CxDatabase db(version);
  db.board(kWrenPcba);
  if (version >= 2) db.set("Configuration", "Num_of_SX1301s", 1);
  return db;
}

// A gain file the Wren configuration accepts.
inline constexpr const char* kSmallTxLut = R"({"txgain_lut": [
  {"dig_gain": 0, "pa_gain": 1, "dac_gain": 3, "mix_gain": 10, "rf_power": 14}]})";

class BoardTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
  }

  void use_database(const sim::CxDatabase& db) { sim::cx_put_file(sandbox(), db.image()); }

  // A large board behind the FPGA port.
  void fpga_board(const sim::CxDatabase& db) {
    use_database(db);
    fpga_port_ = sim::install_fpga_board(sandbox());
  }

  // A Wren board with its three spidev ports and a gain file where the
  // database's snapshot points by default.
  void wren_board(const sim::CxDatabase& db) {
    use_database(db);
    wren_ = sim::install_wren_board(sandbox());
    sandbox().write_file("/etc/default/tx_lut.json", kSmallTxLut);
  }

  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }

  // The transmit limits the library reports, as (minimum, maximum).
  static std::pair<uint32_t, uint32_t> tx_freq() {
    uint32_t lo = 0, hi = 0;
    EXPECT_EQ(crx_get_tx_freq(&lo, &hi), 0);
    return {lo, hi};
  }

  static crx_board_cfg_t board_cfg(uint32_t band, uint32_t rx_freq) {
    crx_board_cfg_t cfg;
    crx_init_board_cfg(&cfg);
    cfg.freq_band = band;
    cfg.rx_freq = rx_freq;
    return cfg;
  }
  static crx_chip_cfg_t chip_cfg(bool enable, uint32_t freq, uint8_t rf_chain = 0) {
    crx_chip_cfg_t cfg;
    crx_init_chip_cfg(&cfg);
    cfg.enable = enable;
    cfg.freq_hz = freq;
    cfg.rf_chain = rf_chain;
    return cfg;
  }
  static crx_chan_cfg_t chan_cfg(bool enable, uint32_t freq, uint32_t modrate = 0, uint32_t bandwidth = 0) {
    crx_chan_cfg_t cfg;
    crx_init_chan_cfg(&cfg);
    cfg.enable = enable;
    cfg.freq_hz = freq;
    cfg.modrate = modrate;
    cfg.bandwidth = bandwidth;
    return cfg;
  }

  std::shared_ptr<sim::FpgaBoardPort> fpga_port_;
  sim::WrenBoard wren_;
};

}  // namespace crx::test

// Configuration files applied to a simulated board: a commissioning
// database that identifies it and the ports its register path opens.
#pragma once

#include "config_fixture.h"
#include "crx_hal/brd_cfg.h"
#include "sim/boards.h"

namespace crx::test {

using crx::sim::CxDatabase;

// The regional part of a database: band name, uplink and downlink limits in
// MHz, the receive LO the board is tuned to and the chip count.
inline CxDatabase region(CxDatabase db, const char* band, double ul_min, double ul_max, double rx_lo, int chips) {
  db.set("Configuration", "Operating_Band", band)
      .set("Configuration", "Min_UL_Frequency_MHz", ul_min)
      .set("Configuration", "Max_UL_Frequency_MHz", ul_max)
      .set("Configuration", "Min_DL_Frequency_MHz", ul_min)
      .set("Configuration", "Max_DL_Frequency_MHz", ul_max)
      .set("Configuration", "Rx_LO_MHz", rx_lo)
      .set("Configuration", "Num_of_SX1301s", chips);
  return db;
}

inline CxDatabase condor_na_db() { return region(CxDatabase(6).board("Q7000101"), "US915", 902.0, 928.0, 908.6, 8); }
inline CxDatabase condor_eu_db() { return region(CxDatabase(6).board("Q7000102"), "EU868", 863.0, 870.0, 866.5, 4); }
inline CxDatabase heron_db() { return region(CxDatabase(6).board("Q7000106"), "AS923_J", 920.0, 928.0, 922.5, 2); }
inline CxDatabase plover_db() { return region(CxDatabase(6).board("Q7000103"), "US_FULL_ISM", 902.0, 928.0, 915.0, 8); }
inline CxDatabase wren_tdd_db() { return region(CxDatabase(6).board("Q7000112"), "US915", 902.0, 928.0, 915.0, 1); }
inline CxDatabase wren_outdoor_db() { return region(CxDatabase(6).board("Q7000118"), "EU868", 863.0, 870.0, 868.0, 1); }

// The Wren's TX gain file, which its board configuration loads.
inline constexpr const char* kWrenTxLut = R"({"txgain_lut": [
  {"dig_gain": 0, "pa_gain": 1, "dac_gain": 3, "mix_gain": 10, "rf_power": 14}]})";

class BoardFile : public ConfigFile {
 protected:
  void SetUp() override {
    ConfigFile::SetUp();
    sandbox().set_fast_clock(true);
  }
  void TearDown() override {
    crx_reg_close();
    ConfigFile::TearDown();
  }
  void fpga_board(const CxDatabase& db, int chips) {
    database(db);
    port_ = crx::sim::install_fpga_board(sandbox(), chips);
  }
  void wren_board(const CxDatabase& db) {
    database(db);
    wren_ = crx::sim::install_wren_board(sandbox());
    sandbox().write_file("/etc/default/tx_lut.json", kWrenTxLut);
  }
  crx::sim::WrenBoard& wren() { return wren_; }

  static const brd_cfg_priv_t& priv() { return brd_cfg_priv; }
  // A receive chain of the board state as (rx, tx, RSSI offset, coefficient a, coefficient b).
  static auto rf_chain(int i) {
    const auto& c = brd_cfg_priv.rf_chain[i];
    return std::tuple(c.rx_enable, c.tx_enable, c.rssi_offset, int{c.rssi_offset_coeff_a}, int{c.rssi_offset_coeff_b});
  }

 private:
  std::shared_ptr<crx::sim::FpgaBoardPort> port_;
  crx::sim::WrenBoard wren_;
};

}  // namespace crx::test

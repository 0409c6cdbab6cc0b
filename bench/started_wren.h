// A Wren board (type 12) on the simulator, configured for eight US915
// channels and started with the real clock, for the Wren benchmarks. One
// per program: the library's state is process-wide.
#pragma once

#include <cstdlib>
#include <memory>

#include "crx.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/gpio.h"

namespace crx::bench {

class StartedWren {
 public:
  crx::sim::Sandbox sandbox;
  crx::sim::WrenBoard board;
  std::shared_ptr<crx::sim::SysfsGpio> gpio;

  // Without `full_start` no receive thread runs, so every SX1301 message
  // counted is the caller's own.
  explicit StartedWren(bool full_start) {
    sandbox.install();
    crx::sim::CxDatabase db(6);
    db.board("Q7000112")
        .set("Configuration", "Operating_Band", "US915")
        .set("Configuration", "Min_UL_Frequency_MHz", 902.0)
        .set("Configuration", "Max_UL_Frequency_MHz", 928.0)
        .set("Configuration", "Min_DL_Frequency_MHz", 902.0)
        .set("Configuration", "Max_DL_Frequency_MHz", 928.0)
        .set("Configuration", "Num_of_SX1301s", 1);
    crx::sim::cx_put_file(sandbox, db.image());
    sandbox.write_file("/etc/default/tx_lut.json",
                       R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 1, "dac_gain": 3, "mix_gain": 10, "rf_power": 14},
                                          {"dig_gain": 0, "pa_gain": 2, "dac_gain": 3, "mix_gain": 12, "rf_power": 20}]})");
    board = crx::sim::install_wren_board(sandbox);
    gpio = crx::sim::SysfsGpio::install(sandbox);
    crx_board_cfg_t b;
    crx_init_board_cfg(&b);
    b.freq_band = FREQ_BAND_US915;
    b.full_start = full_start;
    crx_chip_cfg_t c;
    crx_init_chip_cfg(&c);
    c.enable = true;
    if (crx_conf_board(0, &b) != 0 || crx_conf_chip(0, 0, &c) != 0) std::abort();
    for (uint8_t n = 0; n < 8; ++n) {
      crx_chan_cfg_t ch;
      crx_init_chan_cfg(&ch);
      ch.enable = true;
      ch.freq_hz = 902300000 + 200000u * n;
      if (crx_conf_chan(0, n, &ch) != 0) std::abort();
    }
    if (crx_start(0) != 0) std::abort();
    // Nothing here reads the access record; it would only grow.
    board.sx1301->set_recording(false);
  }
  ~StartedWren() {
    crx_stop(0);
    crx_reg_close();
    sandbox.uninstall();
  }
};

}  // namespace crx::bench

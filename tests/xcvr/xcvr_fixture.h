// A large board in the sandbox with its register path open, the fast
// clock, and the transmit-power and transceiver state of the process put
// back to load values, so the cases also run one after another in one
// process.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/tx_power.h"
#include "crx_hal/xcvr.h"
#include "sim/boards.h"
#include "sim/cxdb.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace crx::test {

class XcvrTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    txpower::reset_tx_gain_powers();
    txpower::forget_tx_cal();
    xcvr_stop();
    rfRegionInfo = cx_rf_region_info_t{};
    rfRegionInfo.Version = -1;
    port_ = sim::install_fpga_board(sandbox(), 8);
    ASSERT_EQ(crx_reg_setup(0), 0);
    port_->clear_accesses();
  }
  void TearDown() override {
    xcvr_stop();
    crx_reg_close();
    SandboxTest::TearDown();
  }

 public:
  sim::FpgaBoardPort& port() { return *port_; }
  sim::Ad9361Chip& chip() { return port_->ad9361(); }
  sim::TemperatureSensor& sensor() { return *port_->temperature_sensor(); }
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
  size_t count_logged(const std::string& text) {
    size_t n = 0;
    for (const auto& t : sandbox().syslog_texts()) n += t.find(text) != std::string::npos;
    return n;
  }

  // A TX calibration record in the database, read as start reads it.
  void calibrate(int tx1_msb, int tx1_lsb, int tx2_msb, int tx2_lsb, double celsius) {
    sim::CxDatabase db;
    db.set("Tx", "AD936x_TX1_Atten_MSB", tx1_msb)
        .set("Tx", "AD936x_TX1_Atten_LSB", tx1_lsb)
        .set("Tx", "AD936x_TX2_Atten_MSB", tx2_msb)
        .set("Tx", "AD936x_TX2_Atten_LSB", tx2_lsb)
        .set("Tx", "Temperature_degC", celsius);
    sim::cx_put_file(sandbox(), db.image());
    ASSERT_TRUE(txpower::load_tx_cal());
  }

  // Attenuation of a transceiver output as its registers hold it, in 0.25 dB.
  int atten_steps(int output) {
    const uint16_t low = output == 0 ? 0x073 : 0x075;
    return chip().peek(low) | (chip().peek(uint16_t(low + 1)) & 1) << 8;
  }

  int32_t board_reg(int row) {
    int32_t v = 0;
    EXPECT_EQ(crx_reg_brd_r(0, row, &v), 0);
    return v;
  }

 private:
  std::shared_ptr<sim::FpgaBoardPort> port_;
};

}  // namespace crx::test

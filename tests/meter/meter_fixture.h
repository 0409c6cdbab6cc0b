// A simulated SCM board (type 13) with the FPGA's meter receiver and AMI
// transceivers attached, the register path open.
#pragma once

#include <memory>

#include "crx.h"
#include "sim/meter.h"
#include "sim/meter_ami.h"
#include "tests/regs/board_fixture.h"

namespace crx::test {

class MeterBoardTest : public FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    board_type = CRX_BOARD_SCM;
    num_sx1301_chips = 1;
    meter_ = sim::install_meter_receiver(port());
    ami_ = sim::install_ami_transceivers(port());
    open();
  }
  void TearDown() override {
    crx_cg_close();
    FpgaBoardTest::TearDown();
  }
  sim::MeterReceiver& meter() { return *meter_; }
  sim::AmiTransceivers& ami() { return *ami_; }

 private:
  std::shared_ptr<sim::MeterReceiver> meter_;
  std::shared_ptr<sim::AmiTransceivers> ami_;
};

}  // namespace crx::test

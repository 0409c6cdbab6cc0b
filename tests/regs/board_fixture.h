// Fixtures with a whole simulated board in the sandbox and the board
// identity set directly, so no commissioning database is needed.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "crx.h"
#include "sim/boards.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace crx::test {

class FpgaBoardTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    port_ = sim::install_fpga_board(sandbox(), 8);
  }
  void TearDown() override {
    crx_reg_close();
    SandboxTest::TearDown();
  }
  // Opens the register path and forgets the traffic of opening it.
  void open() {
    ASSERT_EQ(crx_reg_setup(0), 0);
    port_->clear_accesses();
  }
  sim::FpgaBoardPort& port() { return *port_; }

  // The port's accesses since the last clear, one text each: "w 8:ff:1134 33"
  // writes the byte 0x33 to address 1134 of target 8 on any page.
  std::vector<std::string> trace() {
    std::vector<std::string> out;
    for (const auto& a : port_->accesses()) {
      char text[32];
      std::snprintf(text, sizeof text, "%c %u:%02x:%u", a.write ? 'w' : 'r', a.target, a.page, a.address);
      out.push_back(text);
      for (uint8_t b : a.data) {
        std::snprintf(text, sizeof text, " %02x", b);
        out.back() += text;
      }
    }
    return out;
  }

 private:
  std::shared_ptr<sim::FpgaBoardPort> port_;
};

class WrenBoardTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    board_type = CRX_BOARD_WREN_TDD;
    num_sx1301_chips = 1;
    board_ = sim::install_wren_board(sandbox());
  }
  void TearDown() override {
    crx_reg_close();
    SandboxTest::TearDown();
  }
  void open() {
    ASSERT_EQ(crx_reg_setup(0), 0);
    board_.sx1301->clear_messages();
    board_.gpio_fpga->clear_messages();
  }
  sim::WrenBoard& board() { return board_; }
  sim::Sx1301Chip& chip() { return board_.sx1301->chip(); }

 private:
  sim::WrenBoard board_;
};

}  // namespace crx::test

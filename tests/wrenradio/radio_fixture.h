// A Wren board with its ports open, a fast clock for the radios' fixed
// waits, and helpers to read what reached the SX125x radios.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../regs/board_fixture.h"
#include "crx.h"

namespace crx::test {

class WrenRadioTest : public WrenBoardTest {
 protected:
  void SetUp() override {
    WrenBoardTest::SetUp();
    sandbox().set_fast_clock(true);
  }

  // Radios enabled and out of reset, as the start leaves them before their
  // set-up.
  void power_radios() {
    ASSERT_EQ(crx_reg_chip_w(0, 0, 257, 1), 0);
    ASSERT_EQ(crx_reg_chip_w(0, 0, 258, 1), 0);
    ASSERT_EQ(crx_reg_chip_w(0, 0, 259, 0), 0);
  }

  sim::Sx125xRadio& radio(int chain) { return *board().radios[chain]; }
  sim::Sx127xRadio& side() { return *board().side_radio; }

  // A radio's transactions as text: "w 10=03" writes 0x03 to 0x10, "r 07>21"
  // reads 0x21 from 0x07.
  std::vector<std::string> radio_trace(int chain) {
    std::vector<std::string> out;
    for (const auto& t : radio(chain).transactions()) {
      char text[16];
      std::snprintf(text, sizeof text, "%c %02x%c%02x", t.write ? 'w' : 'r', t.address, t.write ? '=' : '>', t.value);
      out.emplace_back(text);
    }
    return out;
  }

  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
  int count_logged(const std::string& fragment) {
    int n = 0;
    for (const auto& t : sandbox().syslog_texts()) n += t.find(fragment) != std::string::npos;
    return n;
  }
};

}  // namespace crx::test

// Whole starts of both Wren types against the register effects they must
// leave, and each refusal of the start with its code and line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "crx_hal/if_conv.h"
#include "wren/firmware.h"
#include "wren/start.h"
#include "wren/tx_lut.h"
#include "wren_fixture.h"

namespace {

using crx::sim::McuProgram;

class WrenStart : public crx::test::WrenStartTest {};

TEST_F(WrenStart, TddStartLeavesEveryBlockProgrammed) {
  install();
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(status(), 2);

  // One pulse of the reset line, then the register check's soft resets.
  EXPECT_EQ(board().gpio_fpga->reset_pulses(), 1);
  EXPECT_GE(chip().reset_count(), 3);

  // The plan: channels 0-3 on radio A, 4-7 on radio B; each IF word is the
  // channel's offset from its radio's centre, and the radio mask went to
  // the AGC last.
  const auto& plan = ostra_wren_prv_cfg;
  for (int n = 0; n < 8; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(plan.chan_radio[n], n < 4 ? 0 : 1);
    const int32_t offset = int32_t(plan.radio[plan.chan_radio[n]].freq_hz - (902300000u + 200000u * n));
    EXPECT_EQ(field(0, 36 + 2 * n, 0, 13, true), crx::ChanReg(offset));
    EXPECT_LE(std::abs(offset), 550000 - 62500) << "the channel fits its radio";
    EXPECT_EQ(field(0, 65 + n, 0, 7), 0x1E) << "SF mask";
  }
  // Rows 140 and 210 from radio A's centre.
  const uint32_t a = plan.radio[0].freq_hz;
  EXPECT_EQ(field(0, 93, 0, 6), std::min<int64_t>(4096000000ll / (a >> 1), 63));
  EXPECT_EQ(field(1, 53, 0, 6), std::min<int64_t>(4096000000ll / (a >> 3), 63));
  EXPECT_EQ(field(0, 93, 0, 6), 9);

  // Stand-alone LoRa: radio, bandwidth code, SF, enable.
  EXPECT_EQ(field(1, 58, 2, 1), plan.chan_radio[8]);
  EXPECT_EQ(field(1, 58, 0, 2), 3 - BW_500KHZ);
  EXPECT_EQ(field(1, 60, 0, 4), 8);
  EXPECT_EQ(field(-1, 16, 0, 1), 1);
  // FSK: sync word, bandwidth, bit rate divider, radio; the FSK enable bit
  // of row 17 stays clear.
  EXPECT_EQ(field(1, 64, 0, 3), 2) << "sync size - 1";
  EXPECT_EQ(field(1, 77, 5, 3), 2);
  EXPECT_EQ(field(1, 68, 0, 32), 0xC194C100);
  EXPECT_EQ(field(1, 72, 0, 32), 0);
  EXPECT_EQ(field(1, 63, 0, 3), BW_125KHZ);
  EXPECT_EQ(field(1, 66, 0, 16), 32000000 / 50000);
  EXPECT_EQ(field(1, 65, 7, 1), plan.chan_radio[9]);
  EXPECT_EQ(field(-1, 16, 2, 1), 0);

  // Constant adjustment with a public network.
  EXPECT_EQ(field(0, 111, 0, 5), 6);
  EXPECT_EQ(field(0, 104, 4, 4), 6);
  EXPECT_EQ(std::pair(field(0, 95, 0, 4), field(0, 95, 4, 4)), std::pair(int64_t{3}, int64_t{4}));
  EXPECT_EQ(std::pair(field(1, 36, 0, 4), field(1, 36, 4, 4)), std::pair(int64_t{3}, int64_t{4}));
  EXPECT_EQ(field(1, 34, 0, 16), 1500);

  // Reception firmware in the right MCUs, running.
  EXPECT_EQ(chip().program(crx::wren::kMcuArbiter), McuProgram::kArbiter);
  EXPECT_EQ(chip().program(crx::wren::kMcuAgc), McuProgram::kWrenAgc);
  const auto agc = crx::wren::agc_image();
  EXPECT_EQ(chip().mcu_ram(1), std::vector<uint8_t>(agc.begin(), agc.end()));
  // One gain entry: its word, the end mark, two parameters, the radio mask.
  const auto& e = crx::wren::tx_lut.lut[0];
  EXPECT_EQ(chip().agc_commands(),
            (std::vector<uint8_t>{uint8_t(64 * e.pa_gain + 16 * e.dac_gain + e.mix_gain), 0x11, 3, 0, 0xF0}));

  // Calibration: what the image answered is what transmit will use.
  EXPECT_TRUE(has_line("BrvDBG-HAL: ostra_wren_start INFO: calibration finished (status = 191)")) << syslog_dump();
  EXPECT_FALSE(has_line("BrvDBG-HAL: ostra_wren_start WARNING: problem in calibration of radio B for TX imbalance"))
      << "radio B does not transmit";
  EXPECT_EQ(crx::wren::tx_calibration.a_i[0], 1);
  EXPECT_EQ(crx::wren::tx_calibration.a_q[7], -18);
  EXPECT_EQ(crx::wren::tx_calibration.b_q[7], -38);

  // Receive line, GPS trigger off on this board, side radio set up.
  EXPECT_EQ(gpio().edge(crx::sim::kWrenRxLine), "rising");
  EXPECT_EQ(field(2, 89, 0, 1), 0);
  EXPECT_TRUE(crx::wren::side_radio_available());
  EXPECT_TRUE(board().side_radio->rx_continuous());

  // What other processes see.
  EXPECT_EQ(semaphore(crx::wren::kHalRunningSem), 1);
  EXPECT_EQ(semaphore(crx::wren::kScanTxSem), 1);
  EXPECT_TRUE(crx::wren::scan_tx_timer_exists());

  ASSERT_EQ(crx_stop(0), 0);
  // Radios held in reset and disabled; everything released.
  EXPECT_EQ(field(2, 43, 0, 3), 0x4);
  expect_released("after stop");
}

}  // namespace

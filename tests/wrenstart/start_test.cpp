// Whole starts of both Wren types against the register effects they must
// leave, and each refusal of the start with its code and line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <functional>

#include "crx_hal/hooks.h"
#include "crx_hal/if_conv.h"
#include "sim/sync_block.h"
#include "wren/firmware.h"
#include "wren/start.h"
#include "wren/tx_lut.h"
#include "wren_fixture.h"

namespace {

using crx::sim::McuProgram;

class WrenStart : public crx::test::WrenStartTest {
 protected:
  // An outdoor board started after a PPS edge the chip and the FPGA timer
  // both latched: the FPGA counts 5 s ahead of the chip.
  void start_outdoor_five_seconds_ahead() {
    install(crx::test::kOutdoorPcba);
    ASSERT_EQ(configure_eu(), 0) << syslog_dump();
    board().gpio_fpga->set_counter_offset(5000000);
    board().sx1301->set_auto_pps(false);
    chip().poke(2, 0x59, 1);
    board().sx1301->pps();
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  }
};

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

TEST_F(WrenStart, OutdoorStartTakesTheCounterOffsetFromTheFpgaTimer) {
  start_outdoor_five_seconds_ahead();
  EXPECT_EQ(board_type, uint32_t(CRX_BOARD_WREN_OUTDOOR));
  EXPECT_EQ(field(2, 89, 0, 1), 1) << "GPS trigger on the outdoor board";
  EXPECT_EQ(crx::hooks::counter_offset(), 5000000);

  // The instantaneous count comes back on the chip's time base.
  const uint32_t before = chip().count();
  uint32_t count = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &count), 0);
  const uint32_t after = chip().count();
  EXPECT_LE(count - before, after - before) << count << " not within " << before << ".." << after;

  // A timer that cannot be read keeps the offset known.
  board().gpio_fpga->fail_next(1);
  uint32_t delta = 7;
  EXPECT_EQ(ostra_wren_get_delta_t(&delta), -1);
  EXPECT_EQ(delta, 7u);
  board().gpio_fpga->fail_next(1);
  crx::hooks::recapture_counter_offset();
  EXPECT_EQ(crx::hooks::counter_offset(), 5000000);

  // The outdoor board's side radio is an SX126x, listening on radio A's
  // centre.
  EXPECT_TRUE(crx::wren::side_radio_available());
  EXPECT_EQ(board().sx126x->mode(), 5);
  EXPECT_EQ(board().sx126x->frequency_word(),
            uint32_t((uint64_t{ostra_wren_prv_cfg.radio[0].freq_hz} << 25) / 32000000));
}

TEST_F(WrenStart, OutdoorOffsetIsTakenAgainWhenTheTimeReferenceBecomesValid) {
  start_outdoor_five_seconds_ahead();
  ASSERT_EQ(crx::hooks::counter_offset(), 5000000);

  // The FPGA's counter moved while no reference was valid; once the sync
  // block reports sync, the housekeeping's first accepted sample takes the
  // offset again.
  board().gpio_fpga->set_counter_offset(6000000);
  board().sx1301->pps();
  crx::sim::install_sync_block(sandbox());
  ASSERT_TRUE(crx::sim::run_to_time_reference(sandbox())) << syslog_dump();
  EXPECT_EQ(crx::hooks::counter_offset(), 6000000) << syslog_dump();
}

TEST_F(WrenStart, SixteenGainEntriesNeedNoEndMark) {
  install(crx::test::kTddPcba, 20);
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  const auto commands = chip().agc_commands();
  ASSERT_EQ(commands.size(), 16u + 3u);
  for (int i = 0; i < 16; ++i) {
    const auto& e = crx::wren::tx_lut.lut[i];
    EXPECT_EQ(commands[size_t(i)], 64 * e.pa_gain + 16 * e.dac_gain + e.mix_gain) << i;
  }
  EXPECT_EQ(std::vector<uint8_t>(commands.begin() + 16, commands.end()), (std::vector<uint8_t>{3, 0, 0xF0}));
}

TEST_F(WrenStart, ConstantsFollowThePrivateNetworkSetting) {
  install();
  ASSERT_EQ(configure_us(false), 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(std::pair(field(0, 95, 0, 4), field(0, 95, 4, 4)), std::pair(int64_t{1}, int64_t{2}));
  EXPECT_EQ(std::pair(field(1, 46, 0, 4), field(1, 46, 4, 4)), std::pair(int64_t{1}, int64_t{2}));
  EXPECT_EQ(std::pair(field(1, 36, 0, 4), field(1, 36, 4, 4)), std::pair(int64_t{1}, int64_t{2}));
}

// Each refusal: its code and line, nothing left behind, and the same
// process starts once the cause is gone.
TEST_F(WrenStart, EachRefusalNamesItsCauseAndTheNextStartWorks) {
  install();
  struct Case {
    const char* what;
    std::function<void()> cause, cure;
    int code;
    std::string line;
  };
  const auto cal = crx::wren::cal_image();
  const auto arb = crx::wren::arb_image();
  const auto agc = crx::wren::agc_image();
  const std::vector<Case> cases = {
      {"calibration version", [&] { chip().recognise_image(1, {cal.begin(), cal.end()}, 3, McuProgram::kCalibration); },
       [&] { chip().recognise_image(1, {cal.begin(), cal.end()}, 2, McuProgram::kCalibration); }, ERR_AGC_FW_VERSION,
       "BrvDBG-HAL ostra_wren_start E R R O R - WRONG CALIBRATION FIRMWARE VERSION: ACTUAL: 3 EXPECTED: 2"},
      {"calibration status", [&] { chip().set_calibration_status(0x80); },
       [&] { chip().set_calibration_status(std::nullopt); }, ERR_UNSPECIFIED,
       "BrvDBG-HAL ostra_wren_start E R R O R -CALIBRATION FAILURE (STATUS = 128)"},
      {"AGC version", [&] { chip().recognise_image(1, {agc.begin(), agc.end()}, 3, McuProgram::kWrenAgc); },
       [&] { chip().recognise_image(1, {agc.begin(), agc.end()}, 4, McuProgram::kWrenAgc); }, ERR_AGC_FW_VERSION,
       "BrvDBG-HAL: ostra_wren_start ERROR: Version of AGC firmware not expected, actual:3 expected:4"},
      {"arbiter version", [&] { chip().recognise_image(0, {arb.begin(), arb.end()}, 2, McuProgram::kArbiter); },
       [&] { chip().recognise_image(0, {arb.begin(), arb.end()}, 1, McuProgram::kArbiter); }, ERR_ARB_FW_VERSION,
       "BrvDBG-HAL: ostra_wren_start ERROR: Version of arbiter firmware not expected, actual:2 expected:1"},
      {"AGC answer", [&] { chip().answer_agc_wrongly_at(2); }, [&] { chip().answer_agc_wrongly_at(-1); },
       ERR_AGC_FW_VERSION, "BrvDBG-HAL: ostra_wren_start ERROR: AGC FIRMWARE INITIALIZATION FAILURE, STATUS 0x3B"},
      {"PLL", [&] { board().radios[1]->lock_on_attempt(0); }, [&] { board().radios[1]->lock_on_attempt(1); },
       ERR_UNSPECIFIED, "BrvDBG-HAL setup_sx125x E R R O R - FAILED TO LOCK PLL."},
  };
  ASSERT_EQ(configure_us(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sandbox().clear_logs();
    c.cause();
    crx_errno = 0;
    EXPECT_EQ(crx_start(0), -1);
    EXPECT_EQ(crx_errno, c.code);
    EXPECT_TRUE(has_line(c.line)) << syslog_dump();
    expect_released("after the refusal");
    c.cure();
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
    ASSERT_EQ(crx_stop(0), 0);
  }
}

TEST_F(WrenStart, StartBeforeAnyConfigurationIsRefused) {
  install();
  EXPECT_FAILS_WITH(crx_start(0), ERR_UNSPECIFIED);
  EXPECT_TRUE(has_line("BrvDBG-HAL ostra_wren_start E R R O R - Gateway has not been configured."));
  expect_released("unconfigured");
}

// A run without the concentrator chip still sets the outdoor board's GPS
// trigger and publishes the run to other processes.
TEST_F(WrenStart, OutdoorGpsTriggerIsSetWithTheChipDisabled) {
  install(crx::test::kOutdoorPcba);
  crx_board_cfg_t b;
  crx_init_board_cfg(&b);
  b.freq_band = FREQ_BAND_EU868;
  ASSERT_EQ(configure_board(b, false), 0);
  chip().poke(2, 89, 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_EQ(board().gpio_fpga->reset_pulses(), 0) << "the chip stays as it was";
  EXPECT_EQ(field(2, 89, 0, 1), 1);
  EXPECT_EQ(semaphore(crx::wren::kHalRunningSem), 1);
}

TEST_F(WrenStart, SideRadioOnlyWithAnFpgaThatSupportsListenBeforeTalk) {
  install();
  ASSERT_EQ(configure_us(), 0);
  board().gpio_fpga->set_build(0x10);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_FALSE(crx::wren::side_radio_available());
  EXPECT_TRUE(has_line(
      "BrvDBG-HAL: ostra_wren_start WARNING: Current GPIO FPGA version incompatible with Listen Before Talk."));
  EXPECT_TRUE(has_line("                        Requires 0x5007 Build 0x11 or greater, current version: 0x5007, "
                       "Build 0x0010."));
  EXPECT_TRUE(board().side_radio->register_writes().empty());
  ASSERT_EQ(crx_stop(0), 0);

  // Build 0x11 is enough; a radio that never enters reception is not
  // available, and the start goes on.
  board().gpio_fpga->set_build(0x11);
  board().side_radio->set_rx_entry(crx::sim::Sx127xRadio::RxEntry::kModeReadyOnly);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_FALSE(crx::wren::side_radio_available());
  ASSERT_EQ(crx_stop(0), 0);
  board().side_radio->set_rx_entry(crx::sim::Sx127xRadio::RxEntry::kReady);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_TRUE(crx::wren::side_radio_available());

  // The side radio's thermometer.
  board().side_radio->set_temperature(41);
  int16_t celsius = 0;
  ASSERT_EQ(crx_get_1301_temperature(0, nullptr, &celsius), 0);
  EXPECT_EQ(celsius, 41);
}

TEST_F(WrenStart, NamedSemaphoresGetTheirModeWithoutTouchingTheUmask) {
  install();
  ASSERT_EQ(configure_us(), 0);
  const mode_t before = ::umask(022);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  const mode_t during = ::umask(before);
  EXPECT_EQ(during, 022u);
  for (const char* name : {crx::wren::kHalRunningSem, crx::wren::kScanTxSem}) {
    std::string file = crx::os::sem_name(name);
    struct stat st {};
    ASSERT_EQ(::stat(("/dev/shm/sem." + file.substr(1)).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0777u) << name;
  }
}

TEST_F(WrenStart, ResetOfTheRadioPathPulsesTheLineAndChecksTheChip) {
  install();
  ASSERT_EQ(configure_us(), 0);
  ASSERT_EQ(crx_reset_radio(0), 0) << syslog_dump();
  EXPECT_EQ(board().gpio_fpga->reset_pulses(), 1);
  chip().set_version(0);
  EXPECT_EQ(crx_reset_radio(0), -1);
  EXPECT_EQ(board().gpio_fpga->reset_pulses(), 2);
}

TEST_F(WrenStart, SelfTestPrintsWhatTheBoardAnswers) {
  install();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ostra_wren_test(), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  for (const char* line : {"Board Type Defined in Database: 12\n", "HW_Init: True\n", "PCBA Product Code: Q7000112 \n",
                           "Register 0x0c: ", "Register VERSION: 0x00000067\n", "GPIO FPGA Version: 0x5007\n",
                           "GPIO Build Version: 0x0024\n", "GPIO LED WREN_GREG_GPIO_3_ALL: 0xc220\n",
                           "The measured temperature is 25.000000 C.\n", "Starting Spectral Scan Test\n",
                           "Spectral Scan Test completed with status code 1\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  EXPECT_EQ(out.find("Register 0x0d"), std::string::npos) << "registers 0x00 to 0x0C only";
}

TEST(WrenIfWord, BoundsOfTheChannelWord) {
  EXPECT_EQ(crx::wren::if_to_reg(2000000), -4096);
  EXPECT_EQ(crx::wren::if_to_reg(2000001), -32768);
  EXPECT_EQ(crx::wren::if_to_reg(-1999512), 4095);
  EXPECT_EQ(crx::wren::if_to_reg(-1999513), -32768);
  EXPECT_EQ(crx::wren::if_to_reg(-300000), 614);
}

}  // namespace

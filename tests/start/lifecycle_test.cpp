// The life cycle's refusals, the reduced start, the counter offset, the
// status calls and the transmitters' drain at stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "health/faults.h"
#include "start_fixture.h"

namespace {

class Lifecycle : public crx::test::StartTest {
 protected:
  // Transfers to one chip address (page 0xFF for the common ones).
  size_t accesses(bool write, int target, int page, int address) {
    size_t n = 0;
    for (const auto& a : board().accesses())
      if (a.write == write && a.target == target && a.page == page && a.address == address) ++n;
    return n;
  }
  static constexpr int kTxStatusPage = 1, kTxStatusAddr = 62, kTxCommandAddr = 33;
};

TEST_F(Lifecycle, RefusalsComeBeforeAnyTraffic) {
  configure(crx::test::kHeron);
  const uint64_t before = board().transfer_count();
  EXPECT_FAILS_WITH(crx_start(1), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(has_line("BrvDBG-HAL crx_start E R R O R brd = 1"));
  EXPECT_FALSE(crx::timers::dl_idle_exists());
  EXPECT_FAILS_WITH(crx_stop(1), ERR_BAD_BOARD_NB);
  int s = 0;
  EXPECT_FAILS_WITH(crx_brd_status(1, &s), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_brd_status(0, nullptr), ERR_UNSPECIFIED);
  uint32_t count = 0;
  EXPECT_FAILS_WITH(crx_get_instcnt(1, 0, &count), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_get_instcnt(0, 1, &count), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_get_instcnt(0, 2, &count), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_get_trigcnt(1, &count), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_tx_status(1, 0, &s), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_tx_status(0, 0, nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_tx_status(0, 2, &s), ERR_BAD_CHIP_NB);
  EXPECT_TRUE(has_line("BrvDBG-HAL: crx_tx_status E R R O R  invalid chip num 2"));
  EXPECT_FAILS_WITH(crx_abort_tx(1), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(readPoeStatus(nullptr), ERR_NULL_PTR);
  EXPECT_EQ(board().transfer_count(), before);
  // Not running: status 1 and success, without touching the chip.
  EXPECT_EQ(crx_tx_status(0, 0, &s), 0);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(board().transfer_count(), before);
}

TEST_F(Lifecycle, SecondStartIsRefusedAndSecondStopIsANoOp) {
  configure(crx::test::kCondorEu);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  // The start's waits moved the fast clock past the first housekeeping
  // expiry, whose temperature job talks to the transceiver: let it pass
  // before counting.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  const uint64_t before = board().transfer_count();
  EXPECT_FAILS_WITH(crx_start(0), ERR_WRONG_STATE);
  EXPECT_TRUE(has_line("BrvDBG-HAL crx_start E R R O R - is started"));
  EXPECT_EQ(board().transfer_count(), before);
  EXPECT_EQ(status(), 2) << "the running board is left as it was";
  const uint16_t fault = crx::health::error2fault(ERR_WRONG_STATE);
  if (fault) {
    EXPECT_EQ(crx_get_fault_status(fault), 1) << "raised in the fault memory";
  }
  EXPECT_TRUE(crx::timers::housekeeping_armed());
  ASSERT_EQ(crx_update_fault_status(7, 0), 0);
  EXPECT_EQ(crx_stop(0), 0);
  EXPECT_EQ(crx_get_fault_status(7), 1) << "a stopped board sends no downlink";
  const uint64_t stopped = board().transfer_count();
  EXPECT_EQ(crx_stop(0), 0);
  EXPECT_EQ(board().transfer_count(), stopped);
}

TEST_F(Lifecycle, ReducedStartOnlyMeasuresTheTimeBase) {
  configure(crx::test::kCondorNa);
  priv().full_start = false;
  board().set_counter_base(5000000);
  board().chip(1).set_counter_base(1000);
  sandbox().clear_sleeps();
  // Held, only the start's own waits move the counters between the two
  // readings, not a pause of the test's thread on a busy machine.
  sandbox().hold_clock(true);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  sandbox().hold_clock(false);
  EXPECT_EQ(status(), 2);
  EXPECT_TRUE(board().firmware_releases().empty());
  EXPECT_TRUE(crx::timers::dl_idle_exists());
  EXPECT_FALSE(crx::timers::housekeeping_exists());
  // Without the chip's PPS trigger the FPGA is latched by software, twice
  // per reading, and the ten readings are 100 ms apart.
  EXPECT_EQ(accesses(true, 8, 0xFF, 0x55), 20u);
  EXPECT_EQ(sandbox().sleeps(), std::vector<int64_t>(10, 100000000));
  // Latched by software just before the chip is read: the offset is the
  // bases' difference less the moment between the two.
  EXPECT_NEAR(double(crx::hooks::counter_offset()), 5000000.0 - 1000.0, 20000.0);

  board().clear_accesses();
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_EQ(accesses(true, 0, kTxStatusPage, kTxCommandAddr), 0u) << "no abort without full start";
  EXPECT_EQ(status(), 1);
  EXPECT_FALSE(crx::timers::dl_idle_exists());
}

TEST_F(Lifecycle, FullStartMeasuresTheOffsetAtThePps) {
  configure(crx::test::kHeron);
  board().set_counter_base(123456789);
  board().chip(0).set_counter_base(7);
  board().chip(1).set_counter_base(4000000000u);
  sandbox().clear_sleeps();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  // Both latched at the same edge: the offset is exact, modulo 2^32.
  EXPECT_EQ(crx::hooks::counter_offset(), int32_t(123456789u - 4000000000u));
  const auto sleeps = sandbox().sleeps();
  const std::vector<int64_t> expected = {1000000,   1000000,   100000,    1000000,   1000000,   1100000000,
                                         100000000, 100000000, 100000000, 100000000, 100000000, 100000000,
                                         100000000, 100000000, 100000000, 100000000, 250000000};
  EXPECT_EQ(sleeps, expected) << "hard reset, transceiver PLL settle and datapath reset, settle of step 18, "
                                 "PPS wait, ten readings, temperature sensor set-up";

  uint32_t trig = 0, now = 0;
  board().pps();
  ASSERT_EQ(crx_get_trigcnt(0, &trig), 0);
  EXPECT_EQ(trig, board().chip(1).latched_count());
  sandbox().hold_clock(true);
  ASSERT_EQ(crx_get_instcnt(0, 0, &now), 0);
  const uint32_t chip0 = board().chip(0).count();
  sandbox().hold_clock(false);
  EXPECT_LE(chip0 - now, 20000u) << "chip 0's running count";
  board().advance(5000000);
  ASSERT_EQ(crx_get_instcnt(0, 0, &now), 0);
  EXPECT_GE(now - chip0, 5000000u);
}

TEST_F(Lifecycle, StopDrainsTheTransmittersWithinTenReads) {
  configure(crx::test::kCondorNa);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  int s = 0;
  const struct {
    uint8_t reg;
    int status;
  } states[] = {{0x00, 2}, {0x10, 3}, {0x30, 4}, {0x50, 4}, {0x80, 2}};
  for (const auto& k : states) {
    board().chip(3).poke(kTxStatusPage, kTxStatusAddr, k.reg);
    ASSERT_EQ(crx_tx_status(0, 3, &s), 0);
    EXPECT_EQ(s, k.status) << int(k.reg);
  }
  board().chip(3).poke(kTxStatusPage, kTxStatusAddr, 0);

  // The ten reads are shared: a busy last chip gets what the others left.
  for (int c = 0; c < 8; ++c) board().chip(c).poke(kTxStatusPage, kTxCommandAddr, 0xFF);
  board().chip(7).poke(kTxStatusPage, kTxStatusAddr, 0x10);
  board().clear_accesses();
  EXPECT_FAILS_WITH(crx_stop(0), ERR_UNSPECIFIED);
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(accesses(false, c, kTxStatusPage, kTxStatusAddr), c == 7 ? 3u : 1u) << c;
    EXPECT_EQ(board().chip(c).peek(kTxStatusPage, kTxCommandAddr), 0) << "aborted, chip " << c;
  }
  EXPECT_EQ(status(), 2) << "a failed stop leaves the board running";

  // A busy first chip takes all ten reads, every other chip still gets
  // one, and the last chip's status decides.
  board().chip(7).poke(kTxStatusPage, kTxStatusAddr, 0);
  board().chip(0).poke(kTxStatusPage, kTxStatusAddr, 0x10);
  board().clear_accesses();
  EXPECT_EQ(crx_stop(0), 0) << syslog_dump();
  size_t reads = 0;
  for (int c = 0; c < 8; ++c) reads += accesses(false, c, kTxStatusPage, kTxStatusAddr);
  EXPECT_EQ(accesses(false, 0, kTxStatusPage, kTxStatusAddr), 10u);
  EXPECT_EQ(reads, 17u);
  EXPECT_EQ(status(), 1);
}

TEST_F(Lifecycle, VersionPoeAndRadioReset) {
  configure(crx::test::kHeron);
  uint16_t fpga = 0, dsp = 7;
  EXPECT_STREQ(crx_version_info(0, &fpga, &dsp), "4.0.4");
  EXPECT_EQ(std::pair(int{fpga}, int{dsp}), std::pair(48, 0));
  board().set_version(50);
  EXPECT_STREQ(crx_version_info(0, &fpga, nullptr), "4.0.4");
  EXPECT_EQ(fpga, 50);
  board().fail_next(1);
  crx_version_info(0, &fpga, nullptr);
  EXPECT_EQ(fpga, 48) << "the assumed version when the read fails";
  EXPECT_TRUE(has_line("BrvDBG: E R R O R in crx_version_info - can't read FPGA version brd 0"));
  fpga = 1;
  EXPECT_STREQ(crx_version_info(1, &fpga, &dsp), "4.0.4");
  EXPECT_EQ(fpga, 1);
  EXPECT_TRUE(has_line("BrvDBG-HAL: crx_version_info E R R O R Invalid board number (1)"));

  uint8_t poe[3] = {9, 9, 9};
  for (int pin : {97, 98, 113}) gpio_->export_line(pin);
  gpio_->set_level(97, true);
  gpio_->set_level(113, true);
  ASSERT_EQ(readPoeStatus(poe), 0);
  EXPECT_EQ(std::vector<int>(poe, poe + 3), (std::vector<int>{1, 0, 1}));
  ASSERT_EQ(crx_start(0), 0);
  EXPECT_TRUE(has_line("DC_AUX = 1, T2P = 0, T4P = 1"));
  ASSERT_EQ(crx_stop(0), 0);
  gpio_->attribute(98, "value")->fail_next(1);
  poe[1] = 9;
  crx_errno = 0;
  EXPECT_EQ(readPoeStatus(poe), -1);
  EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);

  ASSERT_EQ(crx_reg_setup(0), 0);
  sandbox().clear_sleeps();
  ASSERT_EQ(crx_reset_radio(0), 0) << syslog_dump();
  EXPECT_EQ(sandbox().sleeps(), (std::vector<int64_t>{1000000, 1000000}));
  // The reset leaves the bridge set up (0x42: bits 1-3 = 0, 1, 0), the
  // transceiver's hard reset released (0x46 bit 0) and the chips' too.
  EXPECT_EQ(board().peek(8, 0xFF, 0x42, 1)[0] & 0x0E, 0x08);
  EXPECT_EQ(board().peek(8, 0xFF, 0x46, 1)[0] & 0x17, 0x11);
  EXPECT_EQ(board().peek(8, 0xFF, 0x100, 1)[0] & 0x01, 0x00);
  board().fail_next(1);
  EXPECT_EQ(crx_reset_radio(0), -1);
}

TEST_F(Lifecycle, StartFillsTheGatewayId) {
  configure(crx::test::kHeron);
  std::memset(gateway_id, 'x', sizeof gateway_id);
  ASSERT_EQ(crx_start(0), 0);
  crx_module_id_t id{};
  if (crx_get_module_id(&id) == 0) EXPECT_STREQ(gateway_id, id.gateway_id);
  else EXPECT_EQ(std::count(gateway_id, gateway_id + 17, 0), 17);
  EXPECT_EQ(gateway_id[16], 0);
}

}  // namespace

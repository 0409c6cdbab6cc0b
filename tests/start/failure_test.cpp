// Starts that fail part-way, and many starts in one process: each failure
// names its code and leaves nothing behind that the next start trips on.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "crx_hal/firmware.h"
#include "health/faults.h"
#include "start_fixture.h"
#include "tests/support/checks.h"

namespace {

using crx::test::count_entries;
using crx::test::shm_attachments;

class StartFailure : public crx::test::StartTest {
 protected:
  struct Footprint {
    int fds, devices, threads, shm;
    bool operator==(const Footprint&) const = default;
  };
  Footprint footprint() {
    return {count_entries("/proc/self/fd"), sandbox().open_device_count(), count_entries("/proc/self/task"),
            shm_attachments()};
  }
  // A joined thread can still be listed for a moment while the kernel
  // reaps it: wait for the footprint to settle rather than sample it once.
  bool settles_to(const Footprint& want) {
    return crx::test::eventually([&] { return footprint() == want; }, std::chrono::seconds(5));
  }
  void expect_clean_stop(const char* when) {
    EXPECT_EQ(status(), 1) << when;
    EXPECT_FALSE(crx::timers::dl_idle_exists()) << when;
    EXPECT_FALSE(crx::timers::housekeeping_exists()) << when;
  }
};

TEST_F(StartFailure, EveryBusTransferOfAStartCanFailAndTheNextStartWorks) {
  configure(crx::test::kCondorNa);
  const uint64_t before = board().transfer_count();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  const int64_t transfers = int64_t(board().transfer_count() - before);
  ASSERT_EQ(crx_stop(0), 0);
  const Footprint clean = footprint();
  board().set_recording(false);

  // Some transfers may fail without failing the start: the transceiver
  // driver reads a lock or calibration bit again after a failed poll, the
  // geolocation version read falls back to version 1, and the receive
  // thread, running from the end of start, raises its own fault and goes on.
  // Then the start must be whole. Every other failure fails the start with
  // its code and leaves nothing behind.
  for (int64_t k = 0; k < transfers; ++k) {
    board().fail_transfer_at(k);
    crx_errno = 0;
    const int r = crx_start(0);
    board().fail_transfer_at(-1);
    if (r == 0) {
      EXPECT_EQ(status(), 2) << "transfer " << k;
      ASSERT_EQ(crx_stop(0), 0) << "transfer " << k;
    } else {
      ASSERT_EQ(r, -1) << "transfer " << k;
      // The register layer's code, or the code of the transceiver step the
      // transfer belonged to (start-up 39, LOs 42/43, bandwidths 44/45, PLL 27).
      static const std::set<int> codes = {ERR_SPI_READ, ERR_SPI_WRITE, 27, 39, 42, 43, 44, 45};
      ASSERT_TRUE(codes.count(crx_errno)) << "transfer " << k << ": " << crx_errno;
      expect_clean_stop("after a failed start");
    }
    sandbox().clear_logs();
  }
  // A failed start leaves the register path as it was; the next start
  // opens what it needs and runs.
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_TRUE(settles_to(clean));
}

TEST_F(StartFailure, FirmwareFaultsOfTheChips) {
  configure(crx::test::kCondorEu);
  // A load whose data the chip refuses fails start and raises its fault.
  board().chip(2).set_mcu_fault(crx::sim::McuFault::kRefuseLoad);
  EXPECT_FAILS_WITH(crx_start(0), ERR_SPI_WRITE);
  expect_clean_stop("refused load");

  // A load that lands corrupted is logged and the version check names the
  // chip's AGC; start still completes, as the chip may run regardless.
  board().chip(2).set_mcu_fault(crx::sim::McuFault::kCorruptLoad);
  sandbox().clear_logs();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_TRUE(has_line("BrvDBG-HAL: load_firmware E R R O R: Failed to load fw 1 on chip 2"));
  EXPECT_TRUE(has_line("BrvDBG-HAL: E R R O R  AGC ver = 0 should be 9"));
  if (const uint16_t fault = crx::health::error2fault(ERR_AGC_FW_VERSION)) {
    EXPECT_EQ(crx_get_fault_status(fault), 1);
  }
  EXPECT_EQ(board().chip(2).firmware_version(crx::firmware::kAgc), 0);
  ASSERT_EQ(crx_stop(0), 0);

  // An image the MCU answers with another version: logged, not fatal.
  board().chip(2).set_mcu_fault(crx::sim::McuFault::kNone);
  const auto arb = crx::firmware::arb_image();
  for (int c = 0; c < 4; ++c) board().chip(c).recognise_image(0, {arb.begin(), arb.end()}, 3);
  sandbox().clear_logs();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  EXPECT_TRUE(has_line("BrvDBG-HAL: E R R O R  ARB ver = 3, should be: 1"));
}

TEST_F(StartFailure, ArgumentsOfTheLoaderAreCheckedBeforeAnyTraffic) {
  configure(crx::test::kHeron);
  const auto img = crx::firmware::agc_image();
  const uint64_t before = board().transfer_count();
  EXPECT_FAILS_WITH(crx::firmware::load(1, 0, 1, img.data(), img.size()), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx::firmware::load(0, 2, 1, img.data(), img.size()), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx::firmware::load(0, 0, 2, img.data(), img.size()), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx::firmware::load(0, 0, 1, nullptr, 16), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx::firmware::load(0, 0, 1, img.data(), img.size() + 1), ERR_UNSPECIFIED);
  EXPECT_EQ(board().transfer_count(), before);
  // A good load leaves the image in the chip's RAM and the MCU released.
  ASSERT_EQ(crx::firmware::load(0, 1, 1, img.data(), img.size()), 0);
  EXPECT_EQ(board().chip(1).mcu_ram(1), std::vector<uint8_t>(img.begin(), img.end()));
}

TEST_F(StartFailure, AHundredCyclesLeaveNothingBehind) {
  configure(crx::test::kCondorNa);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  ASSERT_EQ(crx_stop(0), 0);
  const Footprint first = footprint();
  board().set_recording(false);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(crx_start(0), 0) << "cycle " << i;
    ASSERT_EQ(crx_stop(0), 0) << "cycle " << i;
    sandbox().clear_logs();
  }
  EXPECT_TRUE(settles_to(first));
  expect_clean_stop("after the cycles");
}

}  // namespace

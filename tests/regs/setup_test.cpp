// Opening and closing the FPGA port of the large boards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "crx.h"

namespace {

using crx::test::FpgaBoardTest;

TEST_F(FpgaBoardTest, SetupOpensTheFpgaPortOnceAndWarnsWhenAlreadyOpen) {
  EXPECT_FALSE(crx_reg_isSpiInitialized());
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_TRUE(crx_reg_isSpiInitialized());
  EXPECT_EQ(port().mode(), 0);
  EXPECT_EQ(port().max_speed_hz(), 5000000u);
  EXPECT_EQ(sandbox().open_device_count(), 1);

  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(sandbox().open_device_count(), 1);
  ASSERT_FALSE(sandbox().syslog_texts().empty());
  EXPECT_THAT(sandbox().syslog_texts().back(),
              ::testing::MatchesRegex("BrvDBG: WARNING in crx_reg_setup - SPI already initialized\\. spi_fd = [0-9]+"));
}

TEST_F(FpgaBoardTest, SetupRefusesAnotherBoardNumberEvenWithThePortOpen) {
  EXPECT_FAILS_WITH(crx_reg_setup(1), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: E R R O R in crx_reg_setup - wrong board"));
  EXPECT_EQ(sandbox().open_device_count(), 0);

  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_FAILS_WITH(crx_reg_setup(-1), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(crx_reg_isSpiInitialized());
}

TEST_F(FpgaBoardTest, PortThatWillNotOpenLeavesThePathClosedAndTheCodeAlone) {
  crx_errno = ERR_BAD_CHAN_NB;
  port().fail_next_open(1);
  EXPECT_EQ(crx_reg_setup(0), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_CHAN_NB);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR!!! Failed to open the FEFPGA device."));
  EXPECT_FALSE(crx_reg_isSpiInitialized());

  // Set-up requests that fail count as a failed open too.
  port().fail_settings(true);
  EXPECT_EQ(crx_reg_setup(0), -1);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  port().fail_settings(false);
  EXPECT_EQ(crx_reg_setup(0), 0);
}

TEST_F(FpgaBoardTest, AfterCloseTransfersFailWithoutTouchingThePortUntilTheNextSetup) {
  open();
  EXPECT_EQ(crx_reg_close(), 0);
  EXPECT_FALSE(crx_reg_isSpiInitialized());
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_EQ(crx_reg_close(), 0);  // closing twice is harmless

  int32_t value = 0;
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, 2, &value), ERR_SPI_READ);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, 15, 1), ERR_SPI_READ);  // the read half of a one-bit write
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, 4, 1), ERR_SPI_WRITE);
  EXPECT_EQ(port().access_count(), 0u);

  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(crx_reg_brd_r(0, 2, &value), 0);
  EXPECT_EQ(value, 48);
}

}  // namespace

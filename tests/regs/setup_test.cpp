// Opening and closing the register path on both board families.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "crx.h"
#include "device/spi.h"
#include "wren/bus.h"

namespace {

using crx::test::FpgaBoardTest;
using crx::test::WrenBoardTest;

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
  EXPECT_EQ(crx_reg_setup(1), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_BOARD_NB);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: E R R O R in crx_reg_setup - wrong board"));
  EXPECT_EQ(sandbox().open_device_count(), 0);

  ASSERT_EQ(crx_reg_setup(0), 0);
  crx_errno = 0;
  EXPECT_EQ(crx_reg_setup(-1), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_BOARD_NB);
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
  EXPECT_EQ(crx_reg_brd_r(0, 2, &value), -1);
  EXPECT_EQ(crx_errno, ERR_SPI_READ);
  EXPECT_EQ(crx_reg_chip_w(0, 0, 15, 1), -1);
  EXPECT_EQ(crx_errno, ERR_SPI_READ);  // the read half of a one-bit write
  EXPECT_EQ(crx_reg_chip_w(0, 0, 4, 1), -1);
  EXPECT_EQ(crx_errno, ERR_SPI_WRITE);
  EXPECT_EQ(port().access_count(), 0u);

  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(crx_reg_brd_r(0, 2, &value), 0);
  EXPECT_EQ(value, 48);
}

TEST_F(WrenBoardTest, SetupOpensTheThreePortsAndFillsTheSideRadioHooks) {
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);
  EXPECT_EQ(board().sx1301->max_speed_hz(), 5000000u);
  EXPECT_EQ(board().side_radio->max_speed_hz(), 5000000u);
  EXPECT_EQ(board().gpio_fpga->max_speed_hz(), 1000000u);
  // The FPGA port belongs to the large boards only.
  EXPECT_FALSE(crx_reg_isSpiInitialized());

  const auto& ports = crx::wren::ports();
  EXPECT_GE(ports.sx1301, 0);
  EXPECT_GE(ports.side_radio, 0);
  EXPECT_GE(ports.gpio_fpga, 0);
  EXPECT_EQ(crx::wren::gpio_fd(), &ports.gpio_fpga);
  EXPECT_EQ(sx127x_cfg.spi_fd, &ports.side_radio);
  EXPECT_EQ(sx126x_cfg.spi_fd, &ports.side_radio);
  EXPECT_EQ(sx127x_cfg.reg_write, &crx::spi_iodev_write);
  EXPECT_EQ(sx127x_cfg.reg_read, &crx::spi_iodev_read);

  // A second set-up opens nothing more.
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);
}

TEST_F(WrenBoardTest, PortsOpenInOrderAndTheFirstFailureStops) {
  board().side_radio->fail_next_open(1);
  EXPECT_EQ(ostra_wren_open_spi(), -1);
  EXPECT_EQ(crx_errno, ERR_SPI_OPEN);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_open_spi E R R O R - Could not open SPI connection to SX127x."));
  EXPECT_GE(crx::wren::ports().sx1301, 0);
  EXPECT_LT(crx::wren::ports().gpio_fpga, 0);
  EXPECT_EQ(crx::wren::gpio_fd(), nullptr);

  // The next attempt opens only what is still closed.
  board().gpio_fpga->fail_next_open(1);
  EXPECT_EQ(ostra_wren_open_spi(), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_open_spi E R R O R - Could not open SPI connection to the GPIO FPGA."));
  EXPECT_EQ(sandbox().open_device_count(), 2);

  EXPECT_EQ(ostra_wren_open_spi(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);

  ASSERT_EQ(ostra_wren_close_spi(), 0);
  board().sx1301->fail_next_open(1);
  EXPECT_EQ(ostra_wren_reg_setup(), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_open_spi E R R O R - Could not open SPI connection to SX1301."));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(WrenBoardTest, FailedCloseStopsThereAndLeavesTheLaterPortsOpen) {
  open();
  board().side_radio->fail_next_close(1);
  EXPECT_EQ(crx_reg_close(), -1);
  EXPECT_EQ(crx_errno, ERR_SPI_OPEN);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_close_spi E R R O R - Could not close SPI connection to SX127x."));
  const auto& ports = crx::wren::ports();
  EXPECT_LT(ports.sx1301, 0);
  EXPECT_LT(ports.side_radio, 0);  // released all the same
  EXPECT_GE(ports.gpio_fpga, 0);
  EXPECT_EQ(sandbox().open_device_count(), 1);

  EXPECT_EQ(crx_reg_close(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_EQ(crx::wren::gpio_fd(), nullptr);

  board().gpio_fpga->fail_next_close(1);
  open();
  EXPECT_EQ(ostra_wren_close_spi(), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_close_spi E R R O R - Could not close SPI connection to the GPIO FPGA."));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(WrenBoardTest, RegOpenSpiOpensOnlyWhileNothingIsPublished) {
  EXPECT_EQ(ostra_wren_reg_open_spi(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);
  EXPECT_EQ(ostra_wren_reg_open_spi(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);
}

}  // namespace

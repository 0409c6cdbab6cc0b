// The Wren ports: opening order, failures, closing order, the published
// GPIO descriptor and the side-radio hooks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../regs/board_fixture.h"
#include "crx.h"
#include "device/spi.h"
#include "wren/bus.h"

namespace {

using crx::test::WrenBoardTest;

TEST_F(WrenBoardTest, SetupOpensTheThreePortsAndFillsTheSideRadioHooks) {
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_EQ(sandbox().open_device_count(), 3);
  EXPECT_EQ(
      std::tuple(board().sx1301->max_speed_hz(), board().side_radio->max_speed_hz(), board().gpio_fpga->max_speed_hz()),
      std::tuple(5000000u, 5000000u, 1000000u));
  // The FPGA port belongs to the large boards only.
  EXPECT_FALSE(crx_reg_isSpiInitialized());

  const auto& ports = crx::wren::ports();
  EXPECT_TRUE(ports.sx1301 >= 0 && ports.side_radio >= 0 && ports.gpio_fpga >= 0);
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
  EXPECT_FAILS_WITH(ostra_wren_open_spi(), ERR_SPI_OPEN);
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
  EXPECT_FAILS_WITH(crx_reg_close(), ERR_SPI_OPEN);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_close_spi E R R O R - Could not close SPI connection to SX127x."));
  const auto& ports = crx::wren::ports();
  EXPECT_LT(ports.sx1301, 0);
  EXPECT_LT(ports.side_radio, 0) << "released all the same";
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

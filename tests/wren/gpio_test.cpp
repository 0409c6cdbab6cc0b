// GPIO FPGA fields by table row: values left in place, masks, and the
// read-modify-write of a field.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "../regs/board_fixture.h"
#include "crx.h"
#include "wren/bus.h"

namespace {

using ::testing::ElementsAre;

class GpioFpga : public crx::test::WrenBoardTest {
 protected:
  void SetUp() override {
    WrenBoardTest::SetUp();
    open();
  }
  crx::sim::WrenGpioFpga& fpga() { return *board().gpio_fpga; }
  uint16_t read(int row) {
    uint16_t v = 0xDEAD;
    EXPECT_EQ(ostra_wren_gpio_fpga_read(row, &v), 0) << "row " << row;
    return v;
  }
};

TEST_F(GpioFpga, ReadsMaskTheFieldButLeaveItAtItsBitPosition) {
  EXPECT_EQ(read(0), 0x5007);
  EXPECT_EQ(read(1), 0x0024);
  fpga().set_variant(3);
  EXPECT_EQ(read(25), 3);
  fpga().poke(6, 0x00FB);
  EXPECT_EQ(read(26), 0x0078);  // bits 3-6, not shifted down
  EXPECT_EQ(read(27), 0x0080);
  fpga().poke(2, 0x8001);
  EXPECT_EQ(read(3), 0x8000);
  EXPECT_EQ(read(2), 0x8001);

  // Two bytes, most significant first, at the row's address.
  fpga().clear_messages();
  read(25);
  const auto m = fpga().messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_THAT(m[0][0].tx, ElementsAre(0x06, 0x00, 0x00));
}

TEST_F(GpioFpga, WritesMergeTheShiftedValueIntoTheRegister) {
  fpga().poke(9, 0x0ABC);
  ASSERT_EQ(ostra_wren_gpio_fpga_write(45, 1), 0);  // SX1301 reset line, bit 12
  EXPECT_EQ(fpga().peek(9), 0x1ABC);
  ASSERT_EQ(ostra_wren_gpio_fpga_write(45, 0), 0);
  EXPECT_EQ(fpga().peek(9), 0x0ABC);
  ASSERT_EQ(ostra_wren_gpio_fpga_write(44, 0xFFFF), 0);  // bits 0-11
  EXPECT_EQ(fpga().peek(9), 0x0FFF);
  fpga().poke(16, 0xFFFF);
  ASSERT_EQ(ostra_wren_gpio_fpga_write(64, 0x5), 0);  // bits 4-7
  EXPECT_EQ(fpga().peek(16), 0xFF5F);

  fpga().clear_messages();
  ASSERT_EQ(ostra_wren_gpio_fpga_write(33, 0xC000), 0);  // the LED register, whole
  const auto m = fpga().messages();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_THAT(m[1][0].tx, ElementsAre(0x88, 0xC0, 0x00));
  EXPECT_EQ(fpga().peek(8), 0xC000);
}

TEST_F(GpioFpga, BadRowsAndReadOnlyRowsAreRefusedWithoutTraffic) {
  uint16_t v = 0;
  fpga().clear_messages();
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_read(78, &v), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG ostra_wren_gpio_fpga_read: E R R O R - wrong IDX (78)"));
  EXPECT_EQ(ostra_wren_gpio_fpga_read(-1, &v), -1);
  EXPECT_EQ(ostra_wren_gpio_fpga_read(0, nullptr), -1);
  EXPECT_EQ(ostra_wren_gpio_fpga_write(78, 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG ostra_wren_gpio_fpga_write: E R R O R - wrong IDX (78)"));
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_write(0, 1), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG ostra_wren_gpio_fpga_write: E R R O R - register 0 is read only"));
  EXPECT_EQ(fpga().message_count(), 0u);
}

TEST_F(GpioFpga, MasksCoverTheFieldsBits) {
  uint16_t mask = 0;
  const std::pair<int, uint16_t> cases[] = {{33, 0xFFFF}, {64, 0x00F0}, {45, 0x1000}, {71, 0x01FF},
                                            {25, 0x0007}, {63, 0x8000}, {74, 0x0200}};
  for (auto [row, expected] : cases) {
    ASSERT_EQ(ostra_wren_reg_create_gpio_mask(row, &mask), 0) << row;
    EXPECT_EQ(mask, expected) << row;
  }
  EXPECT_EQ(ostra_wren_reg_create_gpio_mask(78, &mask), -1);
  EXPECT_EQ(ostra_wren_reg_create_gpio_mask(-1, &mask), -1);
  EXPECT_EQ(ostra_wren_reg_create_gpio_mask(0, nullptr), -1);
}

// A GPIO FPGA whose register writes fail.
class WriteFailingFpga : public crx::sim::WrenGpioFpga {
 protected:
  int message(std::span<crx::sim::SpiTransfer> transfers) override {
    if (!transfers.empty() && transfers[0].tx && (transfers[0].tx[0] & 0x80)) {
      errno = EIO;
      return -1;
    }
    return WrenGpioFpga::message(transfers);
  }
};

TEST_F(GpioFpga, FailedTransfersAndClosedPortsGiveTheirCodes) {
  uint16_t v = 0;
  fpga().fail_next(1);
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_read(0, &v), ERR_SPI_READ);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG ostra_wren_gpio_fpga_read: E R R O R - Could not read SPI"));
  fpga().fail_next(1);
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_write(45, 1), ERR_SPI_READ);
  EXPECT_TRUE(
      sandbox().syslog_contains("BrvDBG ostra_wren_gpio_fpga_write: E R R O R - Could not read from the GPIO FPGA"));

  // Closed ports are opened again by the next access...
  ASSERT_EQ(ostra_wren_close_spi(), 0);
  EXPECT_EQ(read(1), 0x0024);
  EXPECT_EQ(sandbox().open_device_count(), 3);
  // ...unless they will not open.
  ASSERT_EQ(ostra_wren_close_spi(), 0);
  fpga().fail_next_open(1);
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_read(0, &v), ERR_SPI_OPEN);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL ostra_wren_gpio_fpga_read E R R O R - gpio_spi_fd is NULL."));

  ASSERT_EQ(ostra_wren_close_spi(), 0);
  auto failing = std::make_shared<WriteFailingFpga>();
  sandbox().add_device("/dev/spidev32766.6", failing);
  EXPECT_FAILS_WITH(ostra_wren_gpio_fpga_write(45, 1), ERR_SPI_WRITE);
}

}  // namespace

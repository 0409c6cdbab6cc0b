// The Wren SX1301 on its own spidev port: page selection and its cache,
// the register mutex, the three-byte rule, reset and bring-up, and the
// FPGA-only calls that have no hardware on these boards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "../regs/board_fixture.h"
#include "crx.h"
#include "device/reg_access.h"
#include "wren/bus.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

// Chip rows used below: 91 is page 0 address 35, 251 page 2 address 35,
// 200 page 1 address 44, 4 address 4 on every page.
constexpr int kPage0Row = 91;
constexpr int kPage1Row = 200;
constexpr int kPage2Row = 251;
constexpr int kAnyPageRow = 4;

class WrenChip : public crx::test::WrenBoardTest {
 protected:
  void SetUp() override {
    WrenBoardTest::SetUp();
    open();
    board().sx1301->clear_page_writes();
  }
  int32_t read(int row) {
    int32_t v = -1;
    EXPECT_EQ(crx_reg_chip_r(0, 0, row, &v), 0) << "row " << row;
    return v;
  }
  std::vector<uint8_t> page_writes() { return board().sx1301->page_writes(); }
};

TEST_F(WrenChip, PageRegisterIsWrittenOnlyWhenThePageChanges) {
  chip().poke(0, 35, 0x10);
  chip().poke(1, 44, 0x11);
  EXPECT_EQ(read(kPage0Row), 0x10);
  EXPECT_EQ(read(kPage0Row), 0x10);
  EXPECT_THAT(page_writes(), ElementsAre(0));
  EXPECT_EQ(read(kPage1Row), 0x11);
  EXPECT_THAT(page_writes(), ElementsAre(0, 1));
  // A register on every page still goes through the cache: it becomes
  // 0xFF, and the page register gets page & 3.
  read(kAnyPageRow);
  EXPECT_EQ(crx::regs::cached_page(), 0xFF);
  EXPECT_THAT(page_writes(), ElementsAre(0, 1, 3));
  EXPECT_EQ(read(kPage0Row), 0x10);
  EXPECT_THAT(page_writes(), ElementsAre(0, 1, 3, 0));
  // Five transfers, four of them after a page write.
  EXPECT_EQ(board().sx1301->message_count(), 9u);

  // Transfers go to the 7-bit address with the read and write bits.
  board().sx1301->clear_messages();
  ASSERT_EQ(crx_reg_chip_w(0, 0, kPage0Row, 0x42), 0);
  const auto messages = board().sx1301->messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_THAT(messages[0][0].tx, ElementsAre(0x80 | 35, 0x42));
  EXPECT_EQ(chip().peek(0, 35), 0x42);
  EXPECT_EQ(chip().peek(1, 35), 0x00);
}

TEST_F(WrenChip, ResetForgetsThePageAndSoftResetsTheChip) {
  read(kPage0Row);
  chip().poke(0, 40, 0x99);
  board().sx1301->clear_page_writes();
  ASSERT_EQ(crx_reg_reset(0), 0);
  EXPECT_EQ(chip().reset_count(), 1);
  EXPECT_EQ(chip().peek(0, 40), 0);
  EXPECT_EQ(crx::regs::cached_page(), 0xFF);
  // Row 1 (bit 7 of address 0) is on every page: page & 3, then the reset
  // bit set over the page bits read back.
  EXPECT_THAT(page_writes(), ElementsAre(3, 0x83));
  read(kPage0Row);
  EXPECT_THAT(page_writes(), ElementsAre(3, 0x83, 0));

  EXPECT_FAILS_WITH(crx_reg_reset(1), ERR_BAD_BOARD_NB);
}

TEST_F(WrenChip, FailedPageSelectionStopsTheAccessAndIsRetriedNextTime) {
  board().sx1301->fail_next(1);
  int32_t v = 0;
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 0, kPage1Row, &v), ERR_SPI_READ);
  // The failed page write was the only attempt: no transfer to an unknown page.
  EXPECT_EQ(board().sx1301->message_count(), 0u);
  EXPECT_EQ(crx::regs::cached_page(), 0xFF);

  chip().poke(1, 44, 0x5A);
  EXPECT_EQ(read(kPage1Row), 0x5A);
  EXPECT_THAT(page_writes(), ElementsAre(1));

  board().sx1301->fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, kPage2Row, 1), ERR_SPI_WRITE);
  EXPECT_EQ(chip().peek(1, 35), 0);
}

TEST_F(WrenChip, ThreeByteBurstsGoByteByByteAtOneAddress) {
  uint8_t bytes[3] = {7, 8, 9};
  ASSERT_EQ(crx_reg_chip_wb(0, 0, kPage0Row, bytes, 3), 0);
  auto messages = board().sx1301->messages();
  ASSERT_EQ(messages.size(), 4u);  // page, then three transfers
  for (size_t i = 1; i < 4; ++i) EXPECT_THAT(messages[i][0].tx, ElementsAre(0x80 | 35, bytes[i - 1]));

  board().sx1301->clear_messages();
  ASSERT_EQ(crx_reg_chip_rb(0, 0, kPage0Row, bytes, 3), 0);
  messages = board().sx1301->messages();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& m : messages) EXPECT_THAT(m[0].tx, ElementsAre(35, 0));

  // Other lengths are one transfer.
  board().sx1301->clear_messages();
  uint8_t four[4] = {};
  ASSERT_EQ(crx_reg_chip_rb(0, 0, kPage0Row, four, 4), 0);
  EXPECT_EQ(board().sx1301->message_count(), 1u);
}

TEST_F(WrenChip, TwoThreadsOnDifferentPagesNeverLandOnEachOthersPage) {
  // The chip holds the port after each page write, so a thread that let go
  // of the bus between its page selection and its transfer would see the
  // other thread's page every time.
  board().sx1301->set_page_write_delay(std::chrono::microseconds(200));
  std::atomic<int> mismatches{0};
  auto hammer = [&](int row, uint8_t tag) {
    for (int i = 0; i < 150; ++i) {
      const int32_t value = tag | (i & 0x7F);
      if (crx_reg_chip_w(0, 0, row, value) < 0) ++mismatches;
      int32_t back = -1;
      if (crx_reg_chip_r(0, 0, row, &back) < 0 || back != value) ++mismatches;
    }
  };
  std::thread a(hammer, kPage0Row, uint8_t(0x00));
  std::thread b(hammer, kPage2Row, uint8_t(0x80));
  a.join();
  b.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(chip().peek(0, 35) & 0x80, 0);
  EXPECT_EQ(chip().peek(2, 35) & 0x80, 0x80);
}

TEST_F(WrenChip, BringUpChecksTheOneChipWithoutAnFpga) {
  ASSERT_EQ(crx_reg_init(0), 0) << syslog_dump();
  EXPECT_EQ(chip().reset_count(), 2);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: initializing sx1301 instance: 0 of 1"));
  EXPECT_FALSE(sandbox().syslog_contains("FPGA version"));
  // The check ends by clearing bit 2 of address 16.
  const auto messages = board().sx1301->messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_THAT(messages.back()[0].tx, ElementsAre(0x80 | 16, 0x00));

  const struct {
    uint8_t version, identity;
    int code;
  } refusals[] = {{102, 1, ERR_CHIP_VERSION}, {0, 1, ERR_CHIP_VERSION_ZERO}, {103, 2, ERR_CHIP_ID}};
  for (const auto& r : refusals) {
    chip().set_version(r.version);
    chip().set_identity(r.identity);
    EXPECT_FAILS_WITH(crx_reg_init(0), r.code);
  }

  // A soft reset that cannot be written is reported.
  chip().set_identity(1);
  board().sx1301->fail_next(5);
  EXPECT_EQ(crx_reg_reset(0), -1);
}

TEST_F(WrenChip, TransfersReopenClosedPortsAndFailWhileTheChipPortStaysClosed) {
  ASSERT_EQ(crx_reg_close(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  chip().poke(0, 35, 0x21);
  EXPECT_EQ(read(kPage0Row), 0x21);
  EXPECT_EQ(sandbox().open_device_count(), 3);

  ASSERT_EQ(crx_reg_close(), 0);
  board().sx1301->fail_next_open(1);
  int32_t v = 0;
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 0, kAnyPageRow, &v), ERR_SPI_READ);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL ostra_wren_open_spi E R R O R - Could not open SPI connection to SX1301."));

  // The raw transport alone.
  uint8_t status = 0;
  uint8_t byte = 0;
  EXPECT_EQ(ostra_wren_sx1301_spi_read(0x01, &byte, 1, &status), 0);
  EXPECT_EQ(byte, 103);
  EXPECT_EQ(status, 103);
  const uint8_t value = 0x3C;
  EXPECT_EQ(ostra_wren_sx1301_spi_write(0x05, &value, 1, nullptr), 0);
  EXPECT_EQ(chip().peek(0, 5), 0x3C);
}

TEST_F(WrenChip, FpgaRegisterCallsAreRefusedOnTheWrenBoards) {
  int32_t v = 0;
  uint8_t bytes[4] = {};
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, 2, &v), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: E R R O R - register read: no FPGA registers on this board"));
  EXPECT_EQ(crx_reg_brd_w(0, 14, 1), -1);
  EXPECT_EQ(crx_reg_brd_rb(0, 6, bytes, 4), -1);
  EXPECT_EQ(crx_reg_brd_wb(0, 5, bytes, 4), -1);
  uint8_t answer = 0;
  EXPECT_EQ(crx_spibdg_w_r(0, bytes, 2, &answer, 1), -1);
  EXPECT_FAILS_WITH(crx_ad9361_r(0, 180, &answer), ERR_UNSPECIFIED);
  // Board numbers are still checked first.
  EXPECT_FAILS_WITH(crx_reg_brd_r(1, 2, &v), ERR_BAD_BOARD_NB);
  EXPECT_EQ(board().sx1301->message_count(), 0u);
  EXPECT_EQ(board().gpio_fpga->message_count(), 0u);
}

}  // namespace

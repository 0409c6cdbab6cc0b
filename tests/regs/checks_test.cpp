// Argument checks of the register calls: their order, their codes and
// texts, and that none of them lets a byte reach the bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_fixture.h"
#include "crx.h"

namespace {

class Checks : public crx::test::FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    open();
  }
};

TEST_F(Checks, BoardReadsCheckBoardRowAndPointerInOrderAndSayWhich) {
  int32_t v = 0;
  uint8_t bytes[4];
  EXPECT_FAILS_WITH(crx_reg_brd_r(1, 9999, nullptr), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, 389, nullptr), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, -1, &v), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, 388, nullptr), ERR_UNSPECIFIED);
  EXPECT_THAT(sandbox().syslog_texts(),
              ::testing::ElementsAre("BrvDBG: E R R O R - Bad Board", "BrvDBG: E R R O R - wrong IDX (389)",
                                     "BrvDBG: E R R O R - wrong IDX (-1)", "BrvDBG: E R R O R - NULL pointer"));
  sandbox().clear_logs();

  EXPECT_FAILS_WITH(crx_reg_brd_rb(2, 0, bytes, 4), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_reg_brd_rb(0, 389, bytes, 4), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_brd_rb(0, 0, nullptr, 4), ERR_UNSPECIFIED);
  EXPECT_THAT(sandbox().syslog_texts(),
              ::testing::ElementsAre("BrvDBG: E R R O R - Bad Board", "BrvDBG: E R R O R - idx not good",
                                     "BrvDBG: E R R O R - NULL pointer"));
  EXPECT_EQ(port().access_count(), 0u);
}

TEST_F(Checks, WritesAndChipCallsRefuseSilentlyInTheSameOrder) {
  int32_t v = 0;
  uint8_t bytes[4] = {};
  EXPECT_FAILS_WITH(crx_reg_brd_w(1, 2, 0), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_reg_brd_w(0, 389, 0), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_brd_wb(0, 5, nullptr, 1), ERR_UNSPECIFIED);

  EXPECT_FAILS_WITH(crx_reg_chip_r(1, 99, 999, nullptr), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 8, 999, nullptr), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, -1, 0, &v), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 7, 326, nullptr), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 7, 325, nullptr), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 8, 0, 0), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, -5, 0), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_chip_rb(0, 0, 10, nullptr, 4), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_reg_chip_wb(0, 0, 326, bytes, 4), ERR_UNSPECIFIED);

  // The chip count is the board's.
  num_sx1301_chips = 2;
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 2, 2, &v), ERR_BAD_CHIP_NB);

  EXPECT_TRUE(sandbox().syslog_texts().empty());
  EXPECT_EQ(port().access_count(), 0u);
  EXPECT_EQ(crx_reg_chip_r(0, 1, 2, &v), 0);
  EXPECT_GT(port().access_count(), 0u);
}

TEST_F(Checks, ReadOnlyRowsRefuseWritesWithoutAnyTraffic) {
  uint8_t bytes[1] = {};
  EXPECT_FAILS_WITH(crx_reg_brd_w(0, 2, 48), ERR_UNSPECIFIED);              // FPGA version
  EXPECT_FAILS_WITH(crx_reg_brd_wb(0, 6, bytes, 1), ERR_UNSPECIFIED);       // bridge receive buffer
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, 2, 103), ERR_UNSPECIFIED);         // SX1301 version
  EXPECT_FAILS_WITH(crx_reg_chip_wb(0, 0, 82, bytes, 1), ERR_UNSPECIFIED);  // chip identity
  EXPECT_EQ(port().access_count(), 0u);
  EXPECT_EQ(port().peek(8, 0xFF, 1, 1)[0], 48);
}

TEST_F(Checks, AChipCountAboveTheFpgaTargetsNeverReachesTheFpgaItself) {
  // A database may claim more chips than the FPGA has targets; target 8 is
  // the FPGA, not a ninth chip.
  num_sx1301_chips = 10;
  int32_t v = 0;
  EXPECT_FAILS_WITH(crx_reg_chip_r(0, 8, 2, &v), ERR_BAD_CHIP_NB);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 9, 4, 1), ERR_BAD_CHIP_NB);
  EXPECT_EQ(port().access_count(), 0u);
}

}  // namespace

// Field semantics on the bytes the FPGA port carries: extraction, sign
// extension, little-endian multi-byte fields, read-modify-write, the
// three-byte rule and bursts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "board_fixture.h"
#include "crx.h"
#include "device/reg_access.h"

namespace {

using crx::test::WrenBoardTest;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kFpga = 8;
constexpr uint8_t kAnyPage = 0xFF;

class Fields : public crx::test::FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    open();
  }
  int32_t board_read(int row) {
    int32_t v = 0x5A5A5A5A;
    EXPECT_EQ(crx_reg_brd_r(0, row, &v), 0) << "row " << row;
    return v;
  }
  int32_t chip_read(int chip, int row) {
    int32_t v = 0x5A5A5A5A;
    EXPECT_EQ(crx_reg_chip_r(0, chip, row, &v), 0) << "row " << row;
    return v;
  }
  void set_fpga(uint16_t address, Bytes bytes) { port().poke(kFpga, kAnyPage, address, bytes); }
  Bytes fpga_at(uint16_t address, size_t n) { return port().peek(kFpga, kAnyPage, address, n); }
};

TEST_F(Fields, FieldsInsideOneByteAreExtractedAndSignExtendedFromTheirWidth) {
  // Chip row 137: page 0, address 90, bits 1-3, unsigned.
  port().poke(2, 0, 90, Bytes{0b11110101});
  EXPECT_EQ(chip_read(2, 137), 0b010);
  // Chip row 319: page 2, address 91, bits 2-7, signed: 101000 is -24.
  port().poke(0, 2, 91, Bytes{0b10100011});
  EXPECT_EQ(chip_read(0, 319), -24);
  // Board row 164: a whole signed byte.
  set_fpga(740, {0xF1});
  EXPECT_EQ(board_read(164), -15);
  // A whole unsigned byte stays positive.
  set_fpga(515, {0xF1});
  EXPECT_EQ(board_read(103), 0xF1);
  // One bit at the top of its byte (board row 227: address 1137, bit 7).
  set_fpga(1137, {0x80});
  EXPECT_EQ(board_read(227), 1);

  // A signed 4-bit field at offset 2 holding 1010 is -6; the same bits
  // unsigned are 10.
  const crx_reg_t signed4{-1, 300, 2, true, 4, false, 0};
  const crx_reg_t unsigned4{-1, 300, 2, false, 4, false, 0};
  set_fpga(300, {0b11101011});
  int32_t v = 0;
  ASSERT_EQ(crx::regs::read_field(crx::regs::kFpgaSelf, signed4, &v), 0);
  EXPECT_EQ(v, -6);
  ASSERT_EQ(crx::regs::read_field(crx::regs::kFpgaSelf, unsigned4, &v), 0);
  EXPECT_EQ(v, 10);
}

TEST_F(Fields, MultiByteFieldsAreLittleEndianAndSignExtendedFromTheirWidth) {
  // Chip row 3: address 2, 16 bits.
  port().poke(1, kAnyPage, 2, Bytes{0x34, 0x12});
  EXPECT_EQ(chip_read(1, 3), 0x1234);
  // Board row 23: 13 bits signed; the upper bits of the second byte do not
  // matter, bit 12 is the sign.
  set_fpga(128, {0x80, 0xFE});
  EXPECT_EQ(board_read(23), -384);
  set_fpga(128, {0x80, 0x1E});
  EXPECT_EQ(board_read(23), -384);
  set_fpga(128, {0x80, 0xE1});
  EXPECT_EQ(board_read(23), 384);
  // Board row 163: 12 bits unsigned. Its bytes are taken as they are, so a
  // value written unmasked reads back whole.
  set_fpga(738, {0x40, 0xF3});
  EXPECT_EQ(board_read(163), 0xF340);
  ASSERT_EQ(crx_reg_brd_w(0, 163, 0xF123), 0);
  EXPECT_EQ(fpga_at(738, 2), (Bytes{0x23, 0xF1}));
  EXPECT_EQ(board_read(163), 0xF123);
  // Board row 181: 32 bits, all ones.
  set_fpga(768, {0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(board_read(181), -1);
  set_fpga(768, {0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(board_read(181), 0x12345678);
  // Each of these is one transfer of the field's byte count.
  EXPECT_EQ(trace().back(), "r 8:ff:768 78 56 34 12");
}

TEST_F(Fields, WholeByteWritesSendTheValueLittleEndianUnmasked) {
  // -384 into 13 signed bits.
  ASSERT_EQ(crx_reg_brd_w(0, 23, -384), 0);
  // Not masked to the width: 0xFFFF into 13 bits fills both bytes.
  ASSERT_EQ(crx_reg_brd_w(0, 24, 0xFFFF), 0);
  // 32 bits, to a chip on its page (chip row 237: page 1, address 68).
  ASSERT_EQ(crx_reg_chip_w(0, 5, 237, int32_t(0xA1B2C3D4)), 0);
  EXPECT_THAT(trace(), ElementsAre("w 8:ff:128 80 fe", "w 8:ff:130 ff ff", "w 5:01:68 d4 c3 b2 a1"));
  EXPECT_THAT(fpga_at(128, 2), ElementsAre(0x80, 0xFE));
  EXPECT_THAT(port().peek(5, 1, 68, 4), ElementsAre(0xD4, 0xC3, 0xB2, 0xA1));
}

TEST_F(Fields, NarrowWritesReadModifyWriteTheirByteAndKeepTheOtherBits) {
  // Chip row 17: address 16, bit 2.
  port().poke(0, kAnyPage, 16, Bytes{0xFF});
  ASSERT_EQ(crx_reg_chip_w(0, 0, 17, 0), 0);
  EXPECT_EQ(port().peek(0, kAnyPage, 16, 1)[0], 0xFB);
  ASSERT_EQ(crx_reg_chip_w(0, 0, 17, 1), 0);
  EXPECT_EQ(port().peek(0, kAnyPage, 16, 1)[0], 0xFF);
  // Board row 97: address 454, bits 5-7; only the field's bits of the value
  // count.
  set_fpga(454, {0x00});
  ASSERT_EQ(crx_reg_brd_w(0, 97, 0xFF), 0);
  EXPECT_EQ(fpga_at(454, 1)[0], 0xE0);
  set_fpga(454, {0xFF});
  ASSERT_EQ(crx_reg_brd_w(0, 97, 0b010), 0);
  EXPECT_EQ(fpga_at(454, 1)[0], 0x5F);
  // A signed narrow field takes its two's complement bits (chip row 319:
  // page 2, address 91, bits 2-7).
  port().poke(3, 2, 91, Bytes{0x03});
  ASSERT_EQ(crx_reg_chip_w(0, 3, 319, -24), 0);
  EXPECT_EQ(port().peek(3, 2, 91, 1)[0], 0xA3);
  EXPECT_EQ(chip_read(3, 319), -24);

  // Each narrow write is one read and one write of the same byte.
  port().clear_accesses();
  ASSERT_EQ(crx_reg_brd_w(0, 97, 1), 0);
  EXPECT_THAT(trace(), ElementsAre("r 8:ff:454 5f", "w 8:ff:454 3f"));
}

TEST_F(Fields, ThreeByteTransfersGoByteByByteAtOneAddress) {
  // Board row 228: 24 bits at address 1134.
  ASSERT_EQ(crx_reg_brd_w(0, 228, 0x112233), 0);
  EXPECT_THAT(trace(), ElementsAre("w 8:ff:1134 33", "w 8:ff:1134 22", "w 8:ff:1134 11"));

  // Reads alike, for chips as well; the bytes land in order.
  port().clear_accesses();
  port().poke(6, 0xFF, 2, Bytes{0x44});
  uint8_t bytes[3] = {};
  ASSERT_EQ(crx_reg_chip_rb(0, 6, 3, bytes, 3), 0);
  EXPECT_THAT(trace(), ElementsAre("r 6:ff:2 44", "r 6:ff:2 44", "r 6:ff:2 44"));
  EXPECT_THAT(bytes, ElementsAre(0x44, 0x44, 0x44));
  // Two and four bytes are single transfers.
  port().clear_accesses();
  ASSERT_EQ(crx_reg_chip_rb(0, 6, 3, bytes, 2), 0);
  uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_EQ(crx_reg_brd_wb(0, 31, four, 4), 0);
  EXPECT_EQ(port().access_count(), 2u);
}

TEST_F(Fields, BurstsMoveRawBytesUpToTheBounceBufferAndFailLongerOnesAsTransfers) {
  std::vector<uint8_t> data(CRX_REG_BURST_MAX + 1, 0xA5);
  ASSERT_EQ(crx_reg_brd_wb(0, 305, data.data(), CRX_REG_BURST_MAX), 0);
  ASSERT_EQ(port().access_count(), 1u);
  EXPECT_EQ(port().accesses()[0].data.size(), CRX_REG_BURST_MAX);
  EXPECT_EQ(port().accesses()[0].address, 8192);

  std::vector<uint8_t> back(CRX_REG_BURST_MAX + 1, 0);
  ASSERT_EQ(crx_reg_brd_rb(0, 305, back.data(), CRX_REG_BURST_MAX), 0);
  EXPECT_EQ(back[0], 0xA5);
  EXPECT_EQ(back[CRX_REG_BURST_MAX - 1], 0xA5);
  EXPECT_EQ(back[CRX_REG_BURST_MAX], 0);

  // The port's transfer refuses a longer one, so the calls report a failed
  // read or write, and nothing reaches the port.
  port().clear_accesses();
  EXPECT_FAILS_WITH(crx_reg_brd_wb(0, 305, data.data(), CRX_REG_BURST_MAX + 1), ERR_SPI_WRITE);
  EXPECT_FAILS_WITH(crx_reg_brd_rb(0, 305, back.data(), CRX_REG_BURST_MAX + 1), ERR_SPI_READ);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: crx_reg_brd_rb E R R O R register read failed"));
  EXPECT_FAILS_WITH(crx_reg_chip_wb(0, 0, 10, data.data(), CRX_REG_BURST_MAX + 1), ERR_SPI_WRITE);
  EXPECT_FAILS_WITH(crx_reg_chip_rb(0, 0, 10, back.data(), 0xFFFFFFFFu), ERR_SPI_READ);
  EXPECT_EQ(port().access_count(), 0u);
}

// The Wren SX1301 sits on spidev, whose layer moves long bursts of one data
// register in 1024-byte chunks, each after the same command byte.
TEST_F(WrenBoardTest, LongBurstsGoInChunksOnTheWrenPort) {
  open();
  const uint32_t length = CRX_REG_BURST_MAX + 1;
  std::vector<uint8_t> data(length, 0x5A);
  ASSERT_EQ(crx_reg_chip_wb(0, 0, 10, data.data(), length), 0) << crx_errno;
  std::vector<uint8_t> back(length, 0xEE);
  ASSERT_EQ(crx_reg_chip_rb(0, 0, 10, back.data(), length), 0) << crx_errno;
  EXPECT_EQ(std::count(back.begin(), back.end(), 0xEE), 0) << "every chunk lands in the buffer";

  size_t chunked = 0;
  uint32_t moved = 0;
  for (const auto& m : board().sx1301->messages()) {
    if (m.size() != 2) continue;
    ++chunked;
    EXPECT_EQ(m[0].len, 1u);
    EXPECT_LE(m[1].len, 1024u);
    moved += m[1].len;
  }
  EXPECT_EQ(chunked, 2u * 9u);  // eight full chunks and one of 1 byte, each way
  EXPECT_EQ(moved, 2u * length);
}

TEST_F(Fields, FailedTransfersGiveReadAndWriteCodes) {
  int32_t v = 0;
  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_brd_r(0, 2, &v), ERR_SPI_READ);
  EXPECT_TRUE(sandbox().syslog_contains(">BrvDBG: E R R O R - reg_read spi read"));

  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, 4, 7), ERR_SPI_WRITE);

  // A narrow write whose read fails writes nothing.
  port().fail_next(1);
  port().clear_accesses();
  EXPECT_FAILS_WITH(crx_reg_chip_w(0, 0, 17, 1), ERR_SPI_READ);

  uint8_t bytes[4];
  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_brd_rb(0, 3, bytes, 4), ERR_SPI_READ);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG: crx_reg_brd_rb E R R O R register read failed"));
  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_chip_wb(0, 0, 4, bytes, 4), ERR_SPI_WRITE);
}

}  // namespace

// The compiled register tables against the row lists, row by row, and the
// shape every row must have for the access layer to reach it.
#include <gtest/gtest.h>

#include <set>
#include <span>

#include "device/reg_tables.h"
#include "row_list.h"
#include "wren/gpio_fpga_table.h"

namespace {

using crx::test::ListedRow;
using crx::test::read_row_list;

void expect_rows_match(std::span<const crx_reg_t> table, const std::vector<ListedRow>& listed) {
  ASSERT_EQ(table.size(), listed.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    const crx_reg_t& t = table[i];
    const ListedRow& l = listed[i];
    SCOPED_TRACE("row " + std::to_string(i));
    EXPECT_EQ(t.page, l.page);
    EXPECT_EQ(t.address, l.address);
    EXPECT_EQ(t.offset, l.offset);
    EXPECT_EQ(t.is_signed, l.is_signed);
    EXPECT_EQ(t.width, l.width);
    EXPECT_EQ(t.read_only, l.read_only);
    EXPECT_EQ(t.default_value, l.default_value);
  }
}

// A field either sits inside one byte or is a whole run of 9 to 32 bits from
// bit 0; the access layer refuses any other shape, so such a row would be
// dead. The default must be a value the field can hold.
void expect_reachable_shapes(std::span<const crx_reg_t> table) {
  for (std::size_t i = 0; i < table.size(); ++i) {
    const crx_reg_t& r = table[i];
    SCOPED_TRACE("row " + std::to_string(i));
    ASSERT_GE(r.width, 1);
    ASSERT_LE(r.width, 32);
    EXPECT_TRUE(r.offset + r.width <= 8 || (r.offset == 0 && r.width >= 9));
    const int64_t lo = r.is_signed ? -(int64_t{1} << (r.width - 1)) : 0;
    const int64_t hi = r.is_signed ? (int64_t{1} << (r.width - 1)) - 1 : (int64_t{1} << r.width) - 1;
    EXPECT_GE(r.default_value, lo);
    EXPECT_LE(r.default_value, hi);
  }
}

TEST(BoardRegisterTable, EveryRowMatchesTheRowList) {
  const auto listed = read_row_list("board_registers.txt");
  EXPECT_EQ(listed.size(), 389u);
  EXPECT_EQ(crx::regs::kBoardRegCount, 389u);
  expect_rows_match(crx::regs::kBoardRegs, listed);
  for (const crx_reg_t& r : crx::regs::kBoardRegs) EXPECT_EQ(r.page, -1);
  expect_reachable_shapes(crx::regs::kBoardRegs);
}

TEST(ChipRegisterTable, EveryRowMatchesTheRowList) {
  const auto listed = read_row_list("chip_registers.txt");
  EXPECT_EQ(listed.size(), 326u);
  EXPECT_EQ(crx::regs::kChipRegCount, 326u);
  expect_rows_match(crx::regs::kChipRegs, listed);
  for (const crx_reg_t& r : crx::regs::kChipRegs) {
    EXPECT_GE(r.page, -1);
    EXPECT_LE(r.page, 2);
    // The Wren transport sends a 7-bit address.
    EXPECT_LT(r.address, 128);
  }
  expect_reachable_shapes(crx::regs::kChipRegs);
}

TEST(GpioFpgaRegisterTable, EveryRowMatchesTheRowList) {
  const auto listed = read_row_list("gpio_fpga_registers.txt");
  ASSERT_EQ(listed.size(), 78u);
  ASSERT_EQ(crx::wren::kGpioFpgaRegs.size(), 78u);
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const auto& t = crx::wren::kGpioFpgaRegs[i];
    const ListedRow& l = listed[i];
    SCOPED_TRACE("row " + std::to_string(i));
    // The GPIO FPGA has no pages, signed fields or listed defaults.
    EXPECT_EQ(l.page, -1);
    EXPECT_FALSE(l.is_signed);
    EXPECT_EQ(l.default_value, 0);
    EXPECT_EQ(t.address, l.address);
    EXPECT_EQ(t.offset, l.offset);
    EXPECT_EQ(t.width, l.width);
    EXPECT_EQ(t.read_only, l.read_only);
    // 16-bit registers behind a 7-bit address.
    EXPECT_LE(t.offset + t.width, 16);
    EXPECT_LT(t.address, 128);
  }
}

// The names the library uses must land on the registers they stand for.
TEST(RegisterTables, NamedRowsAddressTheirRegisters) {
  using namespace crx::regs;
  const auto& b = kBoardRegs;
  EXPECT_EQ(b[BRD_FPGA_VERSION].address, 1);
  EXPECT_TRUE(b[BRD_FPGA_VERSION].read_only);
  EXPECT_EQ(b[BRD_FPGA_VERSION].default_value, 48);
  EXPECT_EQ(b[BRD_SPIBDG_TX].address, 64);
  EXPECT_EQ(b[BRD_SPIBDG_RX].address, 65);
  EXPECT_TRUE(b[BRD_SPIBDG_RX].read_only);
  EXPECT_EQ(b[BRD_SPIBDG_START].address, 68);
  EXPECT_EQ(b[BRD_SPIBDG_START].width, 1);

  const auto& c = kChipRegs;
  EXPECT_EQ(c[CHIP_PAGE].address, 0);
  EXPECT_EQ(c[CHIP_PAGE].width, 2);
  EXPECT_EQ(c[CHIP_SOFT_RESET].offset, 7);
  EXPECT_EQ(c[CHIP_VERSION].default_value, 103);
  EXPECT_EQ(c[CHIP_INIT_CLEAR].address, 16);
  EXPECT_EQ(c[CHIP_INIT_CLEAR].offset, 2);
  EXPECT_EQ(c[CHIP_ID].address, 126);
  EXPECT_EQ(c[CHIP_ID].default_value, 1);

  using namespace crx::wren;
  const auto& g = kGpioFpgaRegs;
  EXPECT_EQ(g[GPIO_BOARD_VARIANT].address, 6);
  EXPECT_EQ(g[WREN_GREG_GPIO_3_ALL].address, 8);
  EXPECT_EQ(g[WREN_GREG_GPIO_3_ALL].width, 16);
  EXPECT_EQ(g[GPIO_SX1301_RESET].address, 9);
  EXPECT_EQ(g[GPIO_SX1301_RESET].offset, 12);
  EXPECT_EQ(g[WREN_GREG_S_SCAN_EN].offset, 1);
  EXPECT_EQ(g[GPIO_COUNTER_SELECT].address, 25);
  EXPECT_EQ(g[GPIO_COUNTER_VALUE].address, 26);
  EXPECT_TRUE(g[GPIO_COUNTER_VALUE].read_only);
}

TEST(Ad9361FieldTable, RowsTheRuntimeUsesAddressTheirRegisters) {
  using namespace crx::regs;
  const auto& f = kAd9361Fields;
  ASSERT_EQ(f.size(), 1375u);
  auto expect_row = [&](std::size_t row, unsigned address, unsigned offset, unsigned width) {
    SCOPED_TRACE("row " + std::to_string(row));
    EXPECT_EQ(f[row].address, address);
    EXPECT_EQ(f[row].offset, offset);
    EXPECT_EQ(f[row].width, width);
  };
  // The table opens with the SPI configuration register and its bits.
  const unsigned first_offsets[] = {0, 7, 6, 5, 2, 1, 0};
  for (std::size_t i = 0; i < 7; ++i) expect_row(i, 0x000, first_offsets[i], i == 0 ? 8 : 1);
  expect_row(7, 0x001, 0, 8);

  expect_row(AD9361_EXT_LNA_CTRL, 0x026, 0, 8);
  expect_row(AD9361_PRODUCT_ID, 0x037, 0, 8);
  // The factory TX correction words, two per output pair, then the offsets.
  const Ad9361Row correction[] = {AD9361_TX1_PHASE_CORR, AD9361_TX1_GAIN_CORR, AD9361_TX2_PHASE_CORR,
                                  AD9361_TX2_GAIN_CORR,  AD9361_TX1_OFFSET_I,  AD9361_TX1_OFFSET_Q,
                                  AD9361_TX2_OFFSET_I,   AD9361_TX2_OFFSET_Q};
  for (unsigned i = 0; i < 8; ++i) {
    EXPECT_EQ(correction[i], 343 + i);
    expect_row(correction[i], 0x08E + i, 0, 8);
  }
  expect_row(AD9361_QUAD_CAL_NCO, 0x0A0, 0, 8);
  expect_row(1374, 0, 0, 0);
}

TEST(Ad9361FieldTable, EveryRegisterIsAWholeByteRowFollowedByItsFieldsFromTheTop) {
  const auto& f = crx::regs::kAd9361Fields;
  std::set<unsigned> addresses;
  int previous_address = -1;
  unsigned used_bits = 0;
  unsigned previous_offset = 8;
  for (std::size_t i = 0; i + 1 < f.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const auto& r = f[i];
    ASSERT_GE(r.width, 1);
    ASSERT_LE(r.width, 8);
    ASSERT_LE(r.offset + r.width, 8);
    ASSERT_LE(r.address, 0x3FF);
    if (r.address != previous_address) {
      ASSERT_GT(static_cast<int>(r.address), previous_address) << "addresses ascend";
      ASSERT_EQ(r.offset, 0) << "a register starts with its whole byte";
      ASSERT_EQ(r.width, 8) << "a register starts with its whole byte";
      previous_address = r.address;
      addresses.insert(r.address);
      used_bits = 0;
      previous_offset = 8;
      continue;
    }
    const unsigned mask = ((1u << r.width) - 1) << r.offset;
    EXPECT_EQ(used_bits & mask, 0u) << "fields of one register do not overlap";
    EXPECT_LT(r.offset, previous_offset) << "fields go from the high bits down";
    EXPECT_NE(r.width, 8) << "only the first row of a register is its whole byte";
    used_bits |= mask;
    previous_offset = r.offset;
  }
  EXPECT_EQ(addresses.size(), 525u);
  EXPECT_EQ(*addresses.begin(), 0x000u);
  EXPECT_EQ(*addresses.rbegin(), 0x3FEu);
}

}  // namespace

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

// A row in the notation of the row lists: [pN:]address[.offset]/width[s][r][=default].
std::string notation(const crx_reg_t& r) {
  std::string s = r.page >= 0 ? "p" + std::to_string(r.page) + ":" : "";
  s += std::to_string(r.address) + (r.offset ? "." + std::to_string(r.offset) : "") + "/" + std::to_string(r.width);
  return s + (r.is_signed ? "s" : "") + (r.read_only ? "r" : "") +
         (r.default_value ? "=" + std::to_string(r.default_value) : "");
}
std::string notation(const crx::wren::GpioFpgaReg& r) {
  return notation(crx_reg_t{-1, r.address, r.offset, false, r.width, r.read_only, 0});
}

// The names the library uses must land on the registers they stand for.
TEST(RegisterTables, NamedRowsAddressTheirRegisters) {
  using namespace crx::regs;
  using namespace crx::wren;
  const std::pair<std::string, const char*> rows[] = {
      {notation(kBoardRegs[BRD_FPGA_VERSION]), "1/8r=48"},
      {notation(kBoardRegs[BRD_SPIBDG_TX]), "64/8"},
      {notation(kBoardRegs[BRD_SPIBDG_RX]), "65/8r"},
      {notation(kBoardRegs[BRD_SPIBDG_START]), "68/1"},
      {notation(kChipRegs[CHIP_PAGE]), "0/2"},
      {notation(kChipRegs[CHIP_SOFT_RESET]), "0.7/1"},
      {notation(kChipRegs[CHIP_VERSION]), "1/8r=103"},
      {notation(kChipRegs[CHIP_INIT_CLEAR]), "16.2/1"},
      {notation(kChipRegs[CHIP_ID]), "126/8r=1"},
      {notation(kGpioFpgaRegs[GPIO_BOARD_VARIANT]), "6/3r"},
      {notation(kGpioFpgaRegs[WREN_GREG_GPIO_3_ALL]), "8/16"},
      {notation(kGpioFpgaRegs[GPIO_SX1301_RESET]), "9.12/1"},
      {notation(kGpioFpgaRegs[WREN_GREG_S_SCAN_EN]), "8.1/1"},
      {notation(kGpioFpgaRegs[GPIO_COUNTER_SELECT]), "25/16"},
      {notation(kGpioFpgaRegs[GPIO_COUNTER_VALUE]), "26/16r"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
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

// The FPGA's SPI bridge to the AD9361: transaction sizes, the busy poll,
// AD9361 fields and the driver's byte hooks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "board_fixture.h"
#include "crx.h"

namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

class Bridge : public crx::test::FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    open();
  }
  crx::sim::Ad9361Chip& ad9361() { return port().ad9361(); }
  std::vector<Bytes> sent() {
    std::vector<Bytes> out;
    for (const auto& t : ad9361().transactions()) out.push_back(t.sent);
    return out;
  }
  size_t start_reads() {
    size_t n = 0;
    for (const auto& a : port().accesses()) n += !a.write && a.target == 8 && a.address == 68;
    return n;
  }
};

TEST_F(Bridge, TransactionClocksTheAnswerInAfterTheCommand) {
  ad9361().poke(0x123, 0x77);
  const uint8_t command[2] = {0x01, 0x23};
  uint8_t answer = 0;
  ASSERT_EQ(crx_spibdg_w_r(0, command, 2, &answer, 1), 0);
  EXPECT_EQ(answer, 0x77);
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x01, 0x23, 0x00}));
  // Bridge left idle.
  EXPECT_EQ(port().peek(8, 0xFF, 68, 1)[0] & 1, 0);

  // The largest transaction: 2 command bytes and 14 answer bytes, the
  // address counting down on the chip.
  const uint8_t multi[2] = {0x70 | 0x01, 0x23};  // eight bytes from 0x123
  uint8_t answers[14] = {};
  ad9361().poke(0x122, 0x66);
  ASSERT_EQ(crx_spibdg_w_r(0, multi, 2, answers, 14), 0);
  EXPECT_EQ(answers[0], 0x77);
  EXPECT_EQ(answers[1], 0x66);
  EXPECT_EQ(sent().back().size(), 16u);

  // Transmit only.
  const uint8_t write[4] = {0x80 | 0x10 | 0x01, 0x01, 0xAB, 0xCD};  // two bytes from 0x101
  ASSERT_EQ(crx_spibdg_w_r(0, write, 4, nullptr, 0), 0);
  EXPECT_EQ(ad9361().peek(0x101), 0xAB);
  EXPECT_EQ(ad9361().peek(0x100), 0xCD);
}

TEST_F(Bridge, SizesAboveSixteenAndMissingBuffersAreRefusedBeforeAnyTraffic) {
  uint8_t tx[16] = {}, rx[16] = {};
  EXPECT_FAILS_WITH(crx_spibdg_w_r(0, tx, 3, rx, 14), ERR_UNSPECIFIED);
  EXPECT_EQ(crx_spibdg_w_r(0, tx, 17, nullptr, 0), -1);
  // Counts whose sum would wrap.
  EXPECT_EQ(crx_spibdg_w_r(0, tx, 2, rx, 0xFFFFFFFFu), -1);
  EXPECT_EQ(crx_spibdg_w_r(0, nullptr, 2, rx, 1), -1);
  EXPECT_EQ(crx_spibdg_w_r(0, tx, 2, nullptr, 1), -1);
  EXPECT_FAILS_WITH(crx_spibdg_w_r(1, tx, 2, rx, 1), ERR_BAD_BOARD_NB);
  EXPECT_EQ(port().access_count(), 0u);
  EXPECT_TRUE(ad9361().transactions().empty());

  EXPECT_EQ(crx_spibdg_w_r(0, tx, 3, rx, 13), 0);
  EXPECT_EQ(crx_spibdg_w_r(0, tx, 16, nullptr, 0), 0);
}

TEST_F(Bridge, BusyIsPolledFiftyTimesAtMost) {
  const uint8_t command[2] = {0x00, 0x37};
  uint8_t answer = 0;
  port().set_bridge_busy_reads(49);
  EXPECT_EQ(crx_spibdg_w_r(0, command, 2, &answer, 1), 0);
  EXPECT_EQ(answer, crx::sim::Ad9361Chip::kProductId);

  port().clear_accesses();
  port().set_bridge_busy_reads(50);
  EXPECT_FAILS_WITH(crx_spibdg_w_r(0, command, 2, &answer, 1), ERR_UNSPECIFIED);
  // One read inside the start bit's read-modify-write, then the 50 polls.
  EXPECT_EQ(start_reads(), 51u);
  // Nothing is read back from a transaction that did not finish.
  for (const auto& a : port().accesses()) EXPECT_NE(a.address, 65);
}

TEST_F(Bridge, BufferBurstsOfThreeBytesStayOnTheBufferAddress) {
  // An AD9361 write is 3 bytes: three 1-byte writes into the transmit queue.
  ASSERT_EQ(crx_ad9361_w(0, 142, 0x5C), 0);
  std::vector<crx::sim::FpgaPortAccess> to_tx;
  for (const auto& a : port().accesses())
    if (a.write && a.address == 64) to_tx.push_back(a);
  // The read of the current byte (2 + 1 zero) and the write (3).
  ASSERT_EQ(to_tx.size(), 6u);
  for (const auto& a : to_tx) EXPECT_EQ(a.data.size(), 1u);
  EXPECT_EQ(ad9361().peek(0x026), 0x5C);
}

TEST_F(Bridge, Ad9361FieldsReadInPlaceAndWriteByReadModifyWrite) {
  uint8_t v = 0;
  ASSERT_EQ(crx_ad9361_r(0, 180, &v), 0);  // 0x037, whole byte
  EXPECT_EQ(v, 0x0A);
  ASSERT_EQ(crx_ad9361_r(0, 181, &v), 0);  // 0x037 bits 3-7
  EXPECT_EQ(v, 0x01);
  ASSERT_EQ(crx_ad9361_r(0, 182, &v), 0);  // 0x037 bits 0-2
  EXPECT_EQ(v, 0x02);
  EXPECT_THAT(sent()[0], ElementsAre(0x00, 0x37, 0x00));

  // Row 143: 0x026 bit 7.
  ad9361().poke(0x026, 0x0F);
  ad9361().clear_transactions();
  ASSERT_EQ(crx_ad9361_w(0, 143, 1), 0);
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x00, 0x26, 0x00}, Bytes{0x80, 0x26, 0x8F}));
  // Row 148: 0x026 bits 0-2; other bits kept, value bits above the width dropped.
  ASSERT_EQ(crx_ad9361_w(0, 148, 0xFA), 0);
  EXPECT_EQ(ad9361().peek(0x026), 0x8A);
  ASSERT_EQ(crx_ad9361_r(0, 148, &v), 0);
  EXPECT_EQ(v, 2);

  // The all-zero last row is a field of no bits at 0x000: it reads 0 and
  // writes the byte back unchanged.
  ad9361().poke(0x000, 0x18);
  ad9361().clear_transactions();
  v = 0x77;
  ASSERT_EQ(crx_ad9361_r(0, 1374, &v), 0);
  EXPECT_EQ(v, 0);
  ASSERT_EQ(crx_ad9361_w(0, 1374, 0xFF), 0);
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x00, 0x00, 0x00}, Bytes{0x00, 0x00, 0x00}, Bytes{0x80, 0x00, 0x18}));
  EXPECT_EQ(ad9361().peek(0x000), 0x18);

  // Rows outside the table, and bad arguments.
  port().clear_accesses();
  EXPECT_EQ(crx_ad9361_r(0, 1375, &v), -1);
  EXPECT_EQ(crx_ad9361_r(0, -1, &v), -1);
  EXPECT_EQ(crx_ad9361_r(0, 180, nullptr), -1);
  EXPECT_FAILS_WITH(crx_ad9361_w(0, 1375, 1), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_ad9361_w(1, 180, 1), ERR_BAD_BOARD_NB);
  EXPECT_EQ(port().access_count(), 0u);
}

TEST_F(Bridge, DriverHooksGoDownwardsOneTransactionPerByte) {
  const uint8_t data[3] = {0x11, 0x22, 0x33};
  ASSERT_EQ(platform_spi_write(nullptr, 0x101, data, 3), 0);
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x81, 0x01, 0x11}, Bytes{0x81, 0x00, 0x22}, Bytes{0x80, 0xFF, 0x33}));
  EXPECT_EQ(ad9361().peek(0x0FF), 0x33);

  ad9361().clear_transactions();
  uint8_t back[3] = {};
  ASSERT_EQ(platform_spi_read(nullptr, 0x101, back, 3), 0);
  EXPECT_THAT(back, ElementsAre(0x11, 0x22, 0x33));
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x01, 0x01, 0x00}, Bytes{0x01, 0x00, 0x00}, Bytes{0x00, 0xFF, 0x00}));

  // Count 0, null data and runs that leave the address space send nothing.
  port().clear_accesses();
  EXPECT_EQ(platform_spi_write(nullptr, 0x10, data, 0), -1);
  EXPECT_EQ(platform_spi_read(nullptr, 0x10, back, 0), -1);
  EXPECT_EQ(platform_spi_write(nullptr, 0x10, nullptr, 1), -1);
  EXPECT_EQ(platform_spi_read(nullptr, 0x001, back, 3), -1);
  EXPECT_EQ(platform_spi_write(nullptr, 0x400, data, 1), -1);
  EXPECT_EQ(port().access_count(), 0u);
  EXPECT_EQ(platform_spi_read(nullptr, 0x002, back, 3), 0);
}

// A bridge whose n-th transaction never finishes.
class StallingBridge : public crx::sim::FpgaBoardPort {
 public:
  int stall_at = -1;

 protected:
  ssize_t write_registers(uint8_t target, uint8_t page, uint16_t address,
                          std::span<const uint8_t> in) override {
    if (target == 8 && address == 68 && !in.empty() && (in[0] & 1) && starts_++ == stall_at)
      set_bridge_busy_reads(-1);
    return FpgaBoardPort::write_registers(target, page, address, in);
  }

 private:
  int starts_ = 0;
};

TEST_F(Bridge, ARunStopsAtItsFirstFailingTransaction) {
  crx_reg_close();
  auto stalling = std::make_shared<StallingBridge>();
  stalling->stall_at = 1;
  sandbox().add_device("/dev/spifpga32766.1", stalling);
  ASSERT_EQ(crx_reg_setup(0), 0);

  const uint8_t data[3] = {1, 2, 3};
  EXPECT_FAILS_WITH(platform_spi_write(nullptr, 0x50, data, 3), ERR_UNSPECIFIED);
  // The third byte is never sent.
  EXPECT_EQ(stalling->ad9361().transactions().size(), 2u);
  EXPECT_EQ(stalling->ad9361().peek(0x4E), 0);
}

}  // namespace

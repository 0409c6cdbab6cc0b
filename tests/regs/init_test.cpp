// Soft reset and the bring-up check of the FPGA and its SX1301 chips.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "board_fixture.h"
#include "crx.h"

namespace {

using ::testing::Contains;
using Bytes = std::vector<uint8_t>;

class BringUp : public crx::test::FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    open();
  }
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
  // Accesses to a chip's target, to see where the check stopped.
  size_t chip_accesses(uint8_t chip) {
    size_t n = 0;
    for (const auto& a : port().accesses()) n += a.target == chip;
    return n;
  }
};

TEST_F(BringUp, HealthyBoardPassesAndEndsByClearingTheBridgeStart) {
  for (uint8_t chip = 0; chip < 8; ++chip) port().poke(chip, 0xFF, 16, Bytes{0xFF});
  port().poke(8, 0xFF, 68, Bytes{0x01});

  ASSERT_EQ(crx_reg_init(0), 0) << syslog_dump();
  EXPECT_EQ(port().soft_reset_count(), 2);
  EXPECT_TRUE(logged("BrvDBG: crx_reg_init - FPGA version 48"));
  EXPECT_FALSE(logged("FPGA version = "));
  for (int chip = 0; chip < 8; ++chip) {
    EXPECT_TRUE(logged("BrvDBG: initializing sx1301 instance: " + std::to_string(chip) + " of 8"));
    // Bit 2 of address 16 cleared, the rest kept.
    EXPECT_EQ(port().peek(uint8_t(chip), 0xFF, 16, 1)[0], 0xFB) << chip;
  }
  // The first two accesses are the soft resets.
  const auto t = trace();
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[0], "w 8:ff:0 80");
  EXPECT_EQ(t[1], "w 8:ff:0 80");
  EXPECT_EQ(t.back(), "w 8:ff:68 00");
}

TEST_F(BringUp, FpgaVersionZeroIsFatalAndOtherVersionsAreOnlyLogged) {
  port().set_version(0);
  EXPECT_FAILS_WITH(crx_reg_init(0), ERR_FPGA_VERSION_ZERO);
  EXPECT_TRUE(logged("BrvDBG: E R R O R in crx_reg_init - FPGA version = 0"));
  EXPECT_EQ(chip_accesses(0), 0u);

  port().set_version(47);
  EXPECT_EQ(crx_reg_init(0), 0);
  EXPECT_TRUE(logged("FPGA version = 47"));
  EXPECT_TRUE(logged("BrvDBG: crx_reg_init - FPGA version 47"));
}

TEST_F(BringUp, ChipsThatDoNotAnswerAsAnSx1301StopTheCheckWithTheirCode) {
  struct Case {
    int chip;
    uint8_t version, identity;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {3, 0, 1, ERR_CHIP_VERSION_ZERO, "SX1301 #3 version = 0"},
      {0, 102, 1, ERR_CHIP_VERSION, "SX1301 #0 version = 102"},
      {5, 103, 2, ERR_CHIP_ID, "SX1301 #5 chip ID = 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    for (int chip = 0; chip < 8; ++chip) {
      port().chip(chip).set_version(chip == c.chip ? c.version : 103);
      port().chip(chip).set_identity(chip == c.chip ? c.identity : 1);
    }
    port().clear_accesses();
    sandbox().clear_logs();
    EXPECT_FAILS_WITH(crx_reg_init(0), c.code);
    EXPECT_TRUE(logged(c.line)) << syslog_dump();
    EXPECT_TRUE(logged("BrvDBG: initializing sx1301 instance: " + std::to_string(c.chip) + " of 8"));
    EXPECT_EQ(chip_accesses(uint8_t(c.chip + 1)), 0u);
  }
}

TEST_F(BringUp, EmptySocketsReadAsVersionZero) {
  crx_reg_close();
  sandbox().remove_device("/dev/spifpga32766.1");
  crx::sim::install_fpga_board(sandbox(), 2);
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_FAILS_WITH(crx_reg_init(0), ERR_CHIP_VERSION_ZERO);
  EXPECT_TRUE(logged("SX1301 #2 version = 0"));

  num_sx1301_chips = 2;
  EXPECT_EQ(crx_reg_init(0), 0);
}

// A port whose FPGA version register cannot be read.
class VersionUnreadable : public crx::sim::FpgaBoardPort {
 protected:
  ssize_t read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) override {
    if (target == 8 && address == 1) {
      errno = EIO;
      return -1;
    }
    return FpgaBoardPort::read_registers(target, page, address, out);
  }
};

TEST_F(BringUp, FailingResetsAndReadsEndTheCheck) {
  EXPECT_FAILS_WITH(crx_reg_init(3), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(logged("BrvDBG: E R R O R in crx_reg_init - wrong board #"));
  EXPECT_EQ(port().access_count(), 0u);

  // One of the two resets failing is enough.
  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_reg_init(0), ERR_SPI_WRITE);
  EXPECT_EQ(port().soft_reset_count(), 1);

  EXPECT_FAILS_WITH(crx_reg_reset(1), ERR_BAD_BOARD_NB);

  crx_reg_close();
  sandbox().add_device("/dev/spifpga32766.1", std::make_shared<VersionUnreadable>());
  ASSERT_EQ(crx_reg_setup(0), 0);
  EXPECT_FAILS_WITH(crx_reg_init(0), ERR_SPI_READ);
  EXPECT_TRUE(logged("BrvDBG: E R R O R in crx_reg_init - can't read FPGA version brd 0"));
}

TEST_F(BringUp, SoftResetRestoresTheFpgaDefaults) {
  port().poke(8, 0xFF, 300, Bytes{0x55});
  ASSERT_EQ(crx_reg_reset(0), 0);
  EXPECT_EQ(port().soft_reset_count(), 1);
  EXPECT_EQ(port().peek(8, 0xFF, 300, 1)[0], 0);
  EXPECT_THAT(trace(), ::testing::ElementsAre("w 8:ff:0 80"));

  crx_reg_close();
  EXPECT_FAILS_WITH(crx_reg_reset(0), ERR_SPI_WRITE);
}

}  // namespace

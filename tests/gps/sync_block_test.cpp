// The sync block on its SPI port and inside the FPGA: decisions, the fault
// they keep, and the holdover time.
#include <gtest/gtest.h>

#include "crx.h"
#include "sim/boards.h"
#include "sim/sync_block.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace {

constexpr uint16_t kFaultNotSynced = 3;  // where code 65 lands
constexpr uint16_t kFaultDevice = 2;     // where code 55 lands

class SyncBlock : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
  }
  void TearDown() override {
    if (fpga_) crx_reg_close();
    SandboxTest::TearDown();
  }
  void spi_board() {
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    spi_ = crx::sim::install_sync_block(sandbox());
  }
  void fpga_board(uint32_t type) {
    board_type = type;
    num_sx1301_chips = 8;
    fpga_ = crx::sim::install_fpga_board(sandbox());
    ASSERT_EQ(crx_reg_setup(0), 0);
  }

 public:
  void set(uint8_t state, uint8_t flags) {
    if (spi_) {
      spi_->set_state(state);
      spi_->set_flags(flags);
    } else {
      crx::sim::set_fpga_sync_block(*fpga_, state, flags);
    }
  }

 protected:
  std::shared_ptr<crx::sim::SyncBlockSpi> spi_;
  std::shared_ptr<crx::sim::FpgaBoardPort> fpga_;
};

// Each rule, with the fault set beforehand both ways so "unchanged" shows.
void check_rules(SyncBlock* t) {
  struct Case {
    uint8_t flags, state;
    int status;
    int fault;  // -1: left as it was
  } cases[] = {
      {0x00, 0x10, 1, 0},   // no holdover flag: in sync, fault cleared
      {0x48, 0xA4, 0, 1},   // lost flag wins
      {0x08, 0xA4, 1, -1},  // holdover, locked state
      {0x08, 0xA3, 0, -1},  // holdover, other state
      {0x00, 0xE6, 0, 1},   // fault state whatever the flags
      {0x08, 0xE6, 0, 1},
  };
  for (const auto& c : cases) {
    for (int before : {0, 1}) {
      SCOPED_TRACE(testing::Message() << "F=" << int(c.flags) << " S=" << int(c.state) << " before=" << before);
      before ? raise_fault_alarms(ERR_NOT_SYNCED) : clear_fault_alarms(ERR_NOT_SYNCED);
      t->set(c.state, c.flags);
      EXPECT_EQ(read_sync_block_status(), c.status);
      uint32_t synced = 7;
      EXPECT_EQ(crx_get_sync_block_status(&synced), 0);
      EXPECT_EQ(synced, uint32_t(c.status));
      EXPECT_EQ(crx_get_fault_status(kFaultNotSynced), c.fault < 0 ? before : c.fault);
    }
  }
}

TEST_F(SyncBlock, DecisionRulesOnTheSpiDevice) {
  spi_board();
  check_rules(this);
  EXPECT_EQ(sandbox().open_device_count(), 0);  // closed after each read
  // The block's port runs at 1 MHz in mode 0, not at the 5 MHz default.
  EXPECT_EQ(spi_->max_speed_hz(), 1000000u);
  EXPECT_EQ(spi_->mode(), 0);
}

TEST_F(SyncBlock, DecisionRulesInTheFpga) {
  for (uint32_t type : {CRX_BOARD_HERON_FDD, CRX_BOARD_TAMAR}) {
    SCOPED_TRACE(type);
    fpga_board(type);
    check_rules(this);
    crx_reg_close();
  }
}

TEST_F(SyncBlock, BoardsWithoutABlockAreNeverInSync) {
  for (uint32_t type : {CRX_BOARD_HERON_RAIL, CRX_BOARD_WREN_TDD}) {
    board_type = type;
    raise_fault_alarms(ERR_NOT_SYNCED);
    EXPECT_EQ(read_sync_block_status(), 0);
    EXPECT_EQ(crx_get_fault_status(kFaultNotSynced), 1);
  }
  EXPECT_EQ(crx_get_sync_block_status(nullptr), -1);
}

TEST_F(SyncBlock, MissingDeviceRaisesItsFault) {
  board_type = CRX_BOARD_CONDOR_EU;
  EXPECT_FAILS_WITH(read_sync_block_status(), ERR_SPI_OPEN);
  EXPECT_EQ(crx_get_fault_status(kFaultDevice), 1);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL read_condor_sync_block_status E R R O R - open SPI SYNC BLOCK"));
  uint32_t synced = 1;
  EXPECT_EQ(crx_get_sync_block_status(&synced), 0);
  EXPECT_EQ(synced, 0u);
  EXPECT_FAILS_WITH(set_gps_holdover_time(128), ERR_SPI_OPEN);
}

TEST_F(SyncBlock, ReadFailuresReportNotInSyncAndLeaveTheFault) {
  spi_board();
  raise_fault_alarms(ERR_NOT_SYNCED);
  spi_->set_flags(0);  // would clear it
  spi_->fail_next(1);
  EXPECT_EQ(read_sync_block_status(), 0);
  EXPECT_EQ(crx_get_fault_status(kFaultNotSynced), 1);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL read_condor_sync_block_status E R R O R - SYNC BLOCK reg read failed reg 54"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(SyncBlock, HoldoverOnTheSpiDevice) {
  spi_board();
  spi_->set_version(11);
  ASSERT_EQ(set_gps_holdover_time(3584), 0);
  EXPECT_EQ(spi_->holdover(), 56);
  spi_->set_version(12);
  ASSERT_EQ(set_gps_holdover_time(3584), 0);
  EXPECT_EQ(spi_->holdover(), 0x0E00);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL set_condor_holdover_time set holdover time to 3584s(0xe 0x0)"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(SyncBlock, HoldoverInTheFpgaAndRefusedOnWren) {
  fpga_board(CRX_BOARD_HERON_TDD);
  crx::sim::set_fpga_holdover_version(*fpga_, 11);
  ASSERT_EQ(set_gps_holdover_time(3584), 0);
  EXPECT_EQ(crx::sim::fpga_holdover(*fpga_), 56);
  crx::sim::set_fpga_holdover_version(*fpga_, 12);
  ASSERT_EQ(set_gps_holdover_time(128), 0);
  EXPECT_EQ(crx::sim::fpga_holdover(*fpga_), 128);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG-HAL set_heron_holdover_time set holdover time to 0x80"));
  board_type = CRX_BOARD_WREN_TDD;
  EXPECT_EQ(set_gps_holdover_time(128), -1);
  board_type = CRX_BOARD_HERON_TDD;  // so that the port is closed as opened
}

}  // namespace

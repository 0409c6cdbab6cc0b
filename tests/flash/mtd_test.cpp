// The commissioning area as an MTD partition.
#include "sim/mtd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "crx.h"
#include "crx_flash.h"
#include "sim/spi_flash.h"
#include "sim/testing.h"

using ::testing::ElementsAre;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

class MtdFlash : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    attach(std::make_shared<crx::sim::MtdPartition>());
    // A raw chip is present too: with a partition it must stay untouched.
    chip = crx::sim::SpiNorFlash::s25fl127s();
    crx::sim::SpiNorFlash::attach(sandbox(), chip);
  }
  void attach(std::shared_ptr<crx::sim::MtdPartition> p) {
    part = std::move(p);
    crx::sim::MtdPartition::attach(sandbox(), part);
  }
  std::shared_ptr<crx::sim::MtdPartition> part;
  std::shared_ptr<crx::sim::SpiNorFlash> chip;
};

TEST_F(MtdFlash, PartitionFromTheTableIsReadFromItsStart) {
  const auto data = pattern(1000);
  part->load(0, data);
  part->set_max_transfer(100);  // the driver hands out short reads; the loop goes on
  std::vector<uint8_t> got(1000);
  ASSERT_EQ(LddFlashReadCommissionDb(0, got.data(), got.size()), 1000);
  EXPECT_EQ(got, data);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashProbe: Commissioning partition information: type NOR, page size 1 bytes; sector size 64 KiB, total "
      "1024 KiB"));
  EXPECT_TRUE(crx::flash::info().isMtd);
  EXPECT_EQ(part->opens(), 1);
  EXPECT_EQ(chip->opens(), 0);
}

TEST_F(MtdFlash, FlashTypeIsNamedFromTheDriverInformation) {
  sandbox().remove_device("/dev/mtd3");
  attach(std::make_shared<crx::sim::MtdPartition>(0x40000, 0x20000, 2048, crx::sim::MtdPartition::kNand));
  uint8_t b;
  ASSERT_EQ(LddFlashReadCommissionDb(0, &b, 1), 1);
  EXPECT_STREQ(crx::flash::info().type, "NAND");
  EXPECT_EQ(crx::flash::info().pageSize, 2048u);
  EXPECT_EQ(crx::flash::info().sectorSize, 0x20000u);

  LddFlashCloseCommissionDb();
  sandbox().remove_device("/dev/mtd3");
  attach(std::make_shared<crx::sim::MtdPartition>(0x40000, 0x10000, 1, 7));
  ASSERT_EQ(LddFlashReadCommissionDb(0, &b, 1), 1);
  EXPECT_STREQ(crx::flash::info().type, "unk");
}

TEST_F(MtdFlash, ReadsAndWritesStopAtThePartitionEnd) {
  std::vector<uint8_t> buf(16);
  EXPECT_EQ(LddFlashReadCommissionDb(0x100000 - 8, buf.data(), 16), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashRead: trying to read beyond end of flash (size 1048576 bytes, read end 1048584)"));
  EXPECT_EQ(LddFlashWriteCommissionDb(0x100000, buf.data(), 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashWrite: trying to write beyond end of flash (size 1048576 bytes, write end 1048577)"));
  EXPECT_EQ(LddFlashReadCommissionDb(0x100000 - 16, buf.data(), 16), 16);

  // A device that ends early gives what it has.
  part->set_read_limit(0x1008);
  EXPECT_EQ(LddFlashReadCommissionDb(0x1000, buf.data(), 16), 8);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashRead: WARNING: Flash read returned 0 bytes"));

  part->fail_next(1);
  EXPECT_EQ(LddFlashReadCommissionDb(0, buf.data(), 16), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashRead: Failed to read data from flash: Input/output error [5]"));
  part->fail_next(1);
  EXPECT_EQ(LddFlashWriteCommissionDb(0, buf.data(), 16), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: Failed to write data from flash: Input/output error [5]"));
}

TEST_F(MtdFlash, EraseThenWriteStoresTheData) {
  part->load(0x100, pattern(64, 5));
  ASSERT_EQ(LddFlashEraseCommissionDb(0x200), 0);
  const auto data = pattern(300, 7);
  ASSERT_EQ(LddFlashWriteCommissionDb(0xF0, data.data(), data.size()), 300);
  EXPECT_EQ(part->contents(0xF0, 300), data);
}

TEST_F(MtdFlash, EraseUnlocksAndErasesEachCoveredSector) {
  ASSERT_EQ(LddFlashEraseCommissionDb(1), 0);
  EXPECT_THAT(part->erases(), ElementsAre(0u));
  EXPECT_THAT(part->unlocks(), ElementsAre(0u));
  ASSERT_EQ(LddFlashEraseCommissionDb(0x10001), 0);
  EXPECT_THAT(part->erases(), ElementsAre(0u, 0u, 0x10000u));
  EXPECT_EQ(LddFlashEraseCommissionDb(0x100001), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: Attempting to erase flash beyond size"));
  EXPECT_EQ(part->erases().size(), 3u);
}

TEST_F(MtdFlash, UnlockThatTheDriverDoesNotSupportDoesNotStopTheErase) {
  part->set_unlock_error(EOPNOTSUPP);
  part->load(0, pattern(16));
  ASSERT_EQ(LddFlashEraseCommissionDb(16), 0);
  EXPECT_THAT(part->erases(), ElementsAre(0u));
  EXPECT_EQ(part->contents(0, 16), std::vector<uint8_t>(16, 0xFF));
  EXPECT_FALSE(sandbox().syslog_contains("Failed to unlock"));
}

TEST_F(MtdFlash, DriverFailuresEndTheOperationWithTheirCause) {
  part->load(0, pattern(16));
  part->set_unlock_error(EIO);
  EXPECT_EQ(LddFlashEraseCommissionDb(16), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: Failed to unlock flash sector @0x00000000: "));
  part->set_unlock_error(0);
  part->set_erase_error(EROFS);
  EXPECT_EQ(LddFlashEraseCommissionDb(0x10001), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: Failed to erase flash sector @0x00000000: "));
  EXPECT_THAT(part->erases(), ::testing::IsEmpty());
  EXPECT_EQ(part->contents(0, 16), pattern(16));

  part->set_seek_fails(true);
  uint8_t buf[8];
  EXPECT_EQ(LddFlashReadCommissionDb(0x10, buf, sizeof buf), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashRead: Failed to seek address 0x10 in flash: "));
  EXPECT_EQ(LddFlashWriteCommissionDb(0x20, buf, sizeof buf), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: Failed to seek address 0x20 in flash: "));
}

TEST_F(MtdFlash, APartitionThatFailsTheProbeIsReportedAndNotReplacedByTheRawChip) {
  auto replace = [&](std::shared_ptr<crx::sim::MtdPartition> p) {
    sandbox().remove_device("/dev/mtd3");
    if (p) attach(std::move(p));
  };
  const std::pair<std::function<void()>, std::vector<const char*>> cases[] = {
      {[&] { part->set_info_fails(true); },
       {"lddFlashProbe: error obtaining MTD device information: Input/output error [5]",
        "LddFlashReadCommissionDb: failed to probe the commissioning flash"}},
      {[&] { replace(std::make_shared<crx::sim::MtdPartition>(0x100000, 0x10000, 0)); },
       {"LddFlashReadCommissionDb: unable to determine flash parameters"}},
      {[&] { replace(nullptr); },
       {"lddFlashProbe: error opening MTD device '/dev/mtd3': No such file or directory [2]"}},
  };
  for (const auto& [spoil, lines] : cases) {
    SCOPED_TRACE(lines[0]);
    spoil();
    uint8_t b;
    EXPECT_EQ(LddFlashReadCommissionDb(0, &b, 1), -1);
    for (const char* line : lines) EXPECT_TRUE(sandbox().syslog_contains(line)) << syslog_dump();
    EXPECT_EQ(sandbox().open_device_count(), 0);
    EXPECT_EQ(chip->opens(), 0);
  }
}

}  // namespace

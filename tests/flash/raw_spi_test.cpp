// The commissioning area on a raw SPI NOR chip: probing, page-wise reads and
// writes, sector erase and the status polling limits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "crx.h"
#include "crx_flash.h"
#include "sim/spi_flash.h"
#include "sim/testing.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr uint32_t kArea = 0x300000;  // where the chip's commissioning area starts

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

class RawFlash : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
    attach(crx::sim::SpiNorFlash::s25fl127s());
  }
  void attach(std::shared_ptr<crx::sim::SpiNorFlash> c) {
    chip = std::move(c);
    crx::sim::SpiNorFlash::attach(sandbox(), chip);
  }
  std::vector<crx::sim::SpiNorFlash::Operation> ops(uint8_t opcode) const {
    std::vector<crx::sim::SpiNorFlash::Operation> out;
    for (const auto& op : chip->operations())
      if (op.opcode == opcode) out.push_back(op);
    return out;
  }
  // The (address, length) of each operation with `opcode`.
  std::vector<std::pair<uint32_t, uint32_t>> spans(uint8_t opcode) const {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& op : ops(opcode)) out.emplace_back(op.address, op.length);
    return out;
  }
  std::shared_ptr<crx::sim::SpiNorFlash> chip;
};

TEST_F(RawFlash, WithoutPartitionTheKnownChipIsUsedFromItsCommissioningArea) {
  const auto data = pattern(64);
  chip->load(kArea, data);
  std::vector<uint8_t> got(64);
  ASSERT_EQ(LddFlashReadCommissionDb(0, got.data(), got.size()), 64);
  EXPECT_EQ(got, data);

  EXPECT_THAT(
      sandbox().syslog_texts(),
      ::testing::IsSupersetOf(
          {"lddFlashFindCommPartition: Failed to open partition table '/proc/mtd': No such file or directory [2]",
           "lddFlashProbe: Could not find commissioning partition in the partition table",
           "lddFlashProbe: Proceeding to try raw SPI access method",
           "lddFlashProbe: Spansion S25FL127S flash detected: sector size 64 KiB; total 16384 KiB"}));
  const auto& info = crx::flash::info();
  EXPECT_STREQ(info.type, "");
  EXPECT_EQ(std::tuple(info.isMtd, info.size, info.pageSize, info.sectorSize),
            std::tuple(false, 0x1000000u, 256u, 0x10000u));

  // Identification: command out, six bytes in, one two-transfer message at 12 MHz in mode 0.
  const auto first = chip->messages().at(0);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_THAT(first[0].tx, ElementsAre(0x9F));
  EXPECT_EQ(std::tuple(first[0].has_tx, first[0].has_rx, first[1].has_tx, first[1].has_rx, first[1].len),
            std::tuple(true, false, false, true, 6u));
  EXPECT_EQ(std::tuple(first[0].speed_hz, first[1].speed_hz, chip->mode()), std::tuple(12000000u, 12000000u, 0));

  // The open device is reused until closed; closing makes the next call probe again.
  ASSERT_EQ(LddFlashReadCommissionDb(0, got.data(), 1), 1);
  EXPECT_EQ(chip->opens(), 1);
  EXPECT_EQ(LddFlashCloseCommissionDb(), 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  ASSERT_EQ(LddFlashReadCommissionDb(0, got.data(), 1), 1);
  EXPECT_EQ(chip->opens(), 2);
}

TEST_F(RawFlash, ReadsArePageReadsOfAFullPageKeepingEachChunk) {
  const auto data = pattern(600, 3);
  chip->load(kArea, data);
  std::vector<uint8_t> got(300);
  ASSERT_EQ(LddFlashReadCommissionDb(0, got.data(), 300), 300);
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin(), data.begin() + 300));
  // The last chunk still clocks in a whole page.
  EXPECT_THAT(spans(0x03), ElementsAre(std::pair(kArea, 256u), std::pair(kArea + 256, 256u)));

  // An unaligned read gives the right bytes too.
  ASSERT_EQ(LddFlashReadCommissionDb(10, got.data(), 300), 300);
  EXPECT_EQ(got, std::vector<uint8_t>(data.begin() + 10, data.begin() + 310));
}

TEST_F(RawFlash, WritesAreSplitAtPageBoundaries) {
  ASSERT_EQ(LddFlashEraseCommissionDb(0x10000), 0);
  const auto data = pattern(600, 9);
  // Starting mid-page: a chunk of a full page from there would wrap inside
  // the chip's page and overwrite its start.
  ASSERT_EQ(LddFlashWriteCommissionDb(200, data.data(), data.size()), 600);
  EXPECT_EQ(chip->contents(kArea + 200, 600), data);
  EXPECT_EQ(chip->contents(kArea, 200), std::vector<uint8_t>(200, 0xFF));
  EXPECT_EQ(chip->contents(kArea + 800, 56), std::vector<uint8_t>(56, 0xFF));
  EXPECT_THAT(spans(0x02), ElementsAre(std::pair(kArea + 200, 56u), std::pair(kArea + 256, 256u),
                                       std::pair(kArea + 512, 256u), std::pair(kArea + 768, 32u)));

  // Every program is preceded by write enable and a status read.
  const auto msgs = chip->messages();
  size_t program_at = 0;
  while (msgs[program_at][0].tx[0] != 0x02) ++program_at;
  EXPECT_EQ(msgs[program_at - 2][0].tx[0], 0x06);
  EXPECT_EQ(msgs[program_at - 1][0].tx[0], 0x05);
  EXPECT_EQ(msgs[program_at].size(), 1u);  // nothing to clock in
}

TEST_F(RawFlash, EraseCoversWholeSectorsOfTheArea) {
  const auto data = pattern(0x20000);
  chip->load(kArea, data);
  ASSERT_EQ(LddFlashEraseCommissionDb(1), 0);
  auto erases = ops(0xD8);
  ASSERT_EQ(erases.size(), 1u);
  EXPECT_EQ(erases[0].address, kArea);
  EXPECT_EQ(chip->contents(kArea, 0x10000), std::vector<uint8_t>(0x10000, 0xFF));
  EXPECT_EQ(chip->contents(kArea + 0x10000, 16), std::vector<uint8_t>(data.begin() + 0x10000, data.begin() + 0x10010));

  ASSERT_EQ(LddFlashEraseCommissionDb(0x10001), 0);
  erases = ops(0xD8);
  ASSERT_EQ(erases.size(), 3u);
  EXPECT_EQ(erases[1].address, kArea);
  EXPECT_EQ(erases[2].address, kArea + 0x10000);
  // A length already on a sector boundary erases no further sector.
  ASSERT_EQ(LddFlashEraseCommissionDb(0x10000), 0);
  EXPECT_EQ(ops(0xD8).size(), 4u);
}

TEST_F(RawFlash, UnknownChipGetsFourMebibytesSoTheAreaIsOneMebibyte) {
  sandbox().remove_device("/dev/spidev1.0");
  attach(crx::sim::SpiNorFlash::unknown_part());
  std::vector<uint8_t> buf(0x101);
  EXPECT_EQ(LddFlashReadCommissionDb(0xFFF00, buf.data(), 0x100), 0x100);  // ends at the chip's last byte
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashProbe: unknown flash detected: id 0xef; type 0x40; capacity 0x16; using defaults: sector size 64 KiB; "
      "total 4MiB"));
  EXPECT_EQ(crx::flash::info().size, 0x400000u);

  sandbox().clear_logs();
  EXPECT_EQ(LddFlashReadCommissionDb(0xFFF00, buf.data(), 0x101), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashRead: trying to read beyond end of flash (size 4194304 bytes, read end 4194305)"));
  EXPECT_EQ(LddFlashWriteCommissionDb(0x100000, buf.data(), 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashWrite: trying to write beyond end of flash (size 4194304 bytes, write end 4194305)"));
  EXPECT_EQ(LddFlashEraseCommissionDb(0x100001), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: Attempting to erase flash beyond size"));
  EXPECT_EQ(LddFlashEraseCommissionDb(0x100000), 0);
  EXPECT_EQ(ops(0xD8).size(), 16u);
}

TEST_F(RawFlash, StatusIsPolledAtItsIntervalUntilWriteInProgressClears) {
  chip->set_program_busy_reads(3);
  chip->set_erase_busy_reads(2);
  const uint8_t byte = 0x5A;
  ASSERT_EQ(LddFlashEraseCommissionDb(1), 0);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(100000000, 100000000));
  sandbox().clear_sleeps();
  ASSERT_EQ(LddFlashWriteCommissionDb(0, &byte, 1), 1);
  EXPECT_THAT(sandbox().sleeps(), ElementsAre(100000, 100000, 100000));
  EXPECT_EQ(chip->contents(kArea, 1)[0], 0x5A);
}

TEST_F(RawFlash, ProgramThatNeverCompletesTimesOutAfterFiveMilliseconds) {
  chip->set_program_busy_reads(1 << 30);
  const auto data = pattern(10);
  EXPECT_EQ(LddFlashWriteCommissionDb(0, data.data(), data.size()), 0);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWaitWIP: error, WIP active after 5000us: status register: 0x03"));
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: error, page programming flash failed to complete"));
  EXPECT_EQ(sandbox().sleeps().size(), 50u);
}

TEST_F(RawFlash, EraseThatNeverCompletesTimesOutAfterThreeSeconds) {
  chip->set_erase_busy_reads(1 << 30);
  EXPECT_EQ(LddFlashEraseCommissionDb(1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWaitWIP: error, WIP active after 3000000us: status register: 0x03"));
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: error, sector erase flash failed to complete"));
  EXPECT_EQ(sandbox().sleeps().size(), 30u);
}

TEST_F(RawFlash, WriteProtectedChipRefusesWritesAndErases) {
  chip->set_write_protected(true);
  const auto data = pattern(10);
  EXPECT_EQ(LddFlashWriteCommissionDb(0, data.data(), data.size()), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: failure to enable write latch"));
  EXPECT_EQ(LddFlashEraseCommissionDb(1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: failure to enable write latch"));
  EXPECT_TRUE(ops(0x02).empty());
  EXPECT_TRUE(ops(0xD8).empty());
}

TEST_F(RawFlash, FailedTransfersEndWithWhatWasDone) {
  testing::internal::CaptureStdout();
  const auto data = pattern(300);
  ASSERT_EQ(LddFlashEraseCommissionDb(0x10000), 0);
  chip->fail_command(0x02, 1, 1);  // the second page program fails
  EXPECT_EQ(LddFlashWriteCommissionDb(0, data.data(), data.size()), 256);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: error programming flash page"));

  chip->fail_command(0x03, 1, 1);  // the second page read fails
  std::vector<uint8_t> got(300);
  EXPECT_EQ(LddFlashReadCommissionDb(0, got.data(), got.size()), 256);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashRead: error reading flash"));

  chip->fail_command(0x06, 1);
  EXPECT_EQ(LddFlashWriteCommissionDb(0, data.data(), 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashWrite: error enabling flash write"));
  chip->fail_command(0x05, 1);
  EXPECT_EQ(LddFlashEraseCommissionDb(1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: error reading flash status"));
  chip->fail_command(0xD8, 1);
  EXPECT_EQ(LddFlashEraseCommissionDb(1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashErase: error erasing flash sector address 0x300000"));

  chip->fail_settings(true);
  EXPECT_EQ(LddFlashReadCommissionDb(0, got.data(), 1), 0);
  chip->fail_settings(false);
  const std::string out = testing::internal::GetCapturedStdout();
  // The transaction layer reports on standard output, not in the log.
  EXPECT_THAT(out, HasSubstr("spiTransaction: spi transfer failure: Input/output error [5]\n"));
  EXPECT_THAT(out, HasSubstr("spiTransaction: failure to set spi mode: Invalid argument [22]\n"));
  EXPECT_FALSE(sandbox().syslog_contains("spi transfer failure"));
}

TEST_F(RawFlash, FailedProbeIsReportedAndLeavesNothingOpen) {
  testing::internal::CaptureStdout();
  chip->fail_command(0x9F, 1);
  uint8_t b = 0;
  EXPECT_EQ(LddFlashReadCommissionDb(0, &b, 1), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(sandbox().syslog_contains("lddFlashProbe: error reading flash"));
  EXPECT_TRUE(sandbox().syslog_contains("LddFlashReadCommissionDb: failed to probe the commissioning flash"));
  EXPECT_EQ(sandbox().open_device_count(), 0);

  sandbox().remove_device("/dev/spidev1.0");
  EXPECT_EQ(LddFlashWriteCommissionDb(0, &b, 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "lddFlashProbe: error opening driver '/dev/spidev1.0': No such file or directory [2]"));
  EXPECT_TRUE(sandbox().syslog_contains("LddFlashWriteCommissionDb: failed to probe the commissioning flash"));
  EXPECT_EQ(LddFlashEraseCommissionDb(1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("LddFlashEraseCommissionDb: failed to probe the commissioning flash"));
}

}  // namespace

// Copying the database out of flash on first use, and opening it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "crx.h"
#include "cx_fixture.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

using crx::sim::CxDatabase;

std::string as_text(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

class CxLoad : public CxTest {};

TEST_F(CxLoad, FirstOpenCopiesTheImageFromTheMtdPartitionOnce) {
  const auto image = CxDatabase(6).image();
  auto part = with_mtd(image);
  ASSERT_TRUE(CxInit());
  EXPECT_EQ(sandbox().read_file("/tmp/commissioning.db"), as_text(image));
  EXPECT_THAT(database_files(), ElementsAre("commissioning.db"));
  EXPECT_THAT(sandbox().syslog_texts(), ::testing::Contains("cxLoadDatabase: loaded " + std::to_string(image.size()) +
                                                            " byte database to /tmp/commissioning.db"));
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: database integrity verified"));
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: database version: 6"));
  EXPECT_EQ(CxGetDatabaseVersion(), 6);

  EXPECT_TRUE(CxInit());
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: already initialized"));
  ASSERT_TRUE(CxCleanup());
  EXPECT_EQ(sandbox().open_device_count(), 0);  // the flash is closed with the database
  EXPECT_EQ(CxGetDatabaseVersion(), -1);
  EXPECT_TRUE(sandbox().syslog_contains("CxGetDatabaseVersion: not initialized"));
  EXPECT_TRUE(CxCleanup());
  EXPECT_TRUE(sandbox().syslog_contains("CxCleanup: not initialized"));

  ASSERT_TRUE(CxInit());
  EXPECT_TRUE(sandbox().syslog_contains("cxLoadDatabase: database already loaded."));
  EXPECT_EQ(part->opens(), 1);
  CxCleanup();
}

TEST_F(CxLoad, RawFlashImageIsCopiedFromTheCommissioningArea) {
  const auto image = CxDatabase(5).image();
  auto chip = with_raw(image);
  ASSERT_TRUE(CxInit());
  EXPECT_EQ(CxGetDatabaseVersion(), 5);
  EXPECT_EQ(sandbox().read_file("/tmp/commissioning.db"), as_text(image));
  // Nothing beyond the image is copied.
  uint32_t highest = 0;
  for (const auto& op : chip->operations()) highest = std::max(highest, op.address);
  EXPECT_LT(highest, 0x300000u + image.size());
  CxCleanup();
}

TEST_F(CxLoad, ExistingFileIsUsedEvenWhenTheFlashHoldsAnotherImage) {
  with_file(CxDatabase(3));
  auto part = with_mtd(CxDatabase(6).image());
  auto chip = crx::sim::SpiNorFlash::s25fl127s();
  crx::sim::SpiNorFlash::attach(sandbox(), chip);
  ASSERT_TRUE(CxInit());
  EXPECT_EQ(CxGetDatabaseVersion(), 3);
  EXPECT_EQ(part->opens(), 0);
  EXPECT_EQ(chip->opens(), 0);
  CxCleanup();
}

TEST_F(CxLoad, CopyIsGroupReadableForLoraWhenThatGroupExists) {
  ::umask(0);
  sandbox().add_group("lora", 4242);
  with_mtd(CxDatabase(6).image());
  ASSERT_TRUE(CxInit());
  struct stat st {};
  ASSERT_EQ(::stat(sandbox().host_path("/tmp/commissioning.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(std::tuple(st.st_gid, st.st_uid), std::tuple(4242u, ::getuid()));
  CxCleanup();
}

TEST_F(CxLoad, CopyKeepsTheCallersGroupWithoutLora) {
  with_mtd(CxDatabase(6).image());
  ASSERT_TRUE(CxInit());
  struct stat st {};
  ASSERT_EQ(::stat(sandbox().host_path("/tmp/commissioning.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, ::getgid());
  CxCleanup();
}

// Flips one byte of the first occurrence of `marker` in the image.
void corrupt_at(std::vector<uint8_t>& image, const std::string& marker) {
  auto it = std::search(image.begin(), image.end(), marker.begin(), marker.end());
  ASSERT_NE(it, image.end());
  *it ^= 0x01;
}

struct Broken {
  const char* what;
  std::function<void(std::vector<uint8_t>&, crx::sim::MtdPartition&)> spoil;
  const char* message;
};
void PrintTo(const Broken& b, std::ostream* os) { *os << b.what; }

TEST_F(CxLoad, EveryBadImageFailsWithItsMessageAndLeavesNoFile) {
  const auto good = CxDatabase(6).image();
  const std::vector<Broken> cases = {
      {"bad magic", [](auto& img, auto&) { img[0] = 'X'; },
       "cxLoadDatabase: invalid database header string: 58 51 4c 69 74 65 20 66 6f 72 6d 61 74 20 33 00"},
      {"unconfirmed page count", [](auto& img, auto&) { img[95] ^= 0x01; }, "cxLoadDatabase: database size error"},
      {"zero page count", [](auto& img, auto&) { std::memset(&img[28], 0, 4); }, "cxLoadDatabase: database size error"},
      {"impossible page size", [](auto& img, auto&) { img[16] = 0x03; img[17] = 0x00; },
       "cxLoadDatabase: database size error"},
      {"short header", [](auto&, auto& part) { part.set_read_limit(50); },
       "cxLoadDatabase: unable to read 100 bytes from commissioning database (only 50 bytes read)"},
      {"short read inside the image", [](auto&, auto& part) { part.set_read_limit(4096 + 10); },
       "cxLoadDatabase: unable to read 256 bytes from commissioning database at offset 0x100a"},
      {"image larger than the partition",
       [](auto& img, auto&) { img[28] = 0; img[29] = 0; img[30] = 0x01; img[31] = 0x01; },
       "cxLoadDatabase: database size error"},
  };
  auto part = with_mtd(good);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto image = good;
    part->set_read_limit(SIZE_MAX);
    c.spoil(image, *part);
    part->load(0, image);
    sandbox().clear_logs();
    EXPECT_FALSE(CxInit());
    EXPECT_TRUE(sandbox().syslog_contains(c.message)) << syslog_dump();
    EXPECT_THAT(database_files(), IsEmpty());
    EXPECT_EQ(CxGetDatabaseVersion(), -1);
    cx_config_table_t t;
    EXPECT_FALSE(CxGetConfigTable(&t));
    EXPECT_TRUE(sandbox().syslog_contains("CxGetConfigTable:  Failed to open database"));
  }
  // The process goes on: a good image is loaded by the next attempt.
  part->set_read_limit(SIZE_MAX);
  part->load(0, good);
  EXPECT_TRUE(CxInit());
  EXPECT_EQ(CxGetDatabaseVersion(), 6);
  CxCleanup();
}

// An image whose copy fails SQLite's checks. The flash does not change
// under a running process, so the copy is not made again: later calls fail
// at once, without reading the flash and without repeating the reasons.
class CxRejectedCopy : public CxTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(CxRejectedCopy, IsRememberedForTheLifeOfTheProcess) {
  const auto good = CxDatabase(6).image();
  auto image = CxDatabase(6)
                   .extra_sql("CREATE TABLE Filler (x TEXT); CREATE INDEX FillerX ON Filler (x);"
                              "INSERT INTO Filler VALUES ('MARKER-ROW-0001');")
                   .image();
  auto part = with_mtd(image);
  GetParam().spoil(image, *part);
  part->load(0, image);
  auto count = [&](const std::string& fragment) {
    int n = 0;
    for (const auto& t : sandbox().syslog_texts()) n += t.find(fragment) != std::string::npos;
    return n;
  };

  EXPECT_FALSE(CxInit());
  EXPECT_EQ(count(GetParam().message), 1) << syslog_dump();
  EXPECT_EQ(count("cxLoadDatabase: loaded "), 1);
  EXPECT_THAT(database_files(), IsEmpty());

  // Even a good image put in its place now is not read.
  part->load(0, good);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(CxInit());
    cx_config_table_t t;
    EXPECT_FALSE(CxGetConfigTable(&t));
    EXPECT_EQ(CxGetDatabaseVersion(), -1);
  }
  EXPECT_EQ(count(GetParam().message), 1) << syslog_dump();
  EXPECT_EQ(count("cxLoadDatabase: "), 1) << "the flash is not copied again";
  EXPECT_THAT(database_files(), IsEmpty());

  // A database file that appears meanwhile (another process wrote it) is used.
  with_file(CxDatabase(6));
  EXPECT_TRUE(CxInit());
  EXPECT_EQ(CxGetDatabaseVersion(), 6);
  CxCleanup();
}

INSTANTIATE_TEST_SUITE_P(
    Checks, CxRejectedCopy,
    ::testing::Values(
        Broken{"NotADatabase", [](auto& img, auto&) { std::fill(img.begin() + 100, img.end(), 0xA5); },
               "CxInit: error, unable to perform database integrity check; expected 1, obtained -1 entries"},
        Broken{"IntegrityFailure", [](auto& img, auto&) { corrupt_at(img, "MARKER-ROW-0001"); },
               "CxInit: database integrity failure: "},
        Broken{"UserVersionZero", [](auto& img, auto&) { img[60] = img[61] = img[62] = img[63] = 0; },
               "CxInit: database version 0 is not supported"}),
    [](const ::testing::TestParamInfo<Broken>& info) { return std::string(info.param.what); });

TEST_F(CxLoad, NoFlashAtAllFailsTheLoad) {
  EXPECT_FALSE(CxInit());
  EXPECT_TRUE(sandbox().syslog_contains("LddFlashReadCommissionDb: failed to probe the commissioning flash"));
  EXPECT_TRUE(sandbox().syslog_contains(
      "cxLoadDatabase: unable to read 100 bytes from commissioning database (only 0 bytes read)"));
  EXPECT_TRUE(sandbox().syslog_contains("CxInit: failure to load commissioning database"));
  EXPECT_THAT(database_files(), IsEmpty());
}

}  // namespace

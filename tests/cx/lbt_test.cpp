// The listen-before-talk table of the unit's band.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crx.h"
#include "cx_fixture.h"

namespace {

using crx::sim::CxDatabase;
using crx::sim::CxLbtRow;

class CxLbt : public CxTest {
 protected:
  static CxDatabase required(const std::string& band) {
    CxDatabase db(6);
    db.set("Configuration", "Tx_Lbt_required", 1).set("Configuration", "Operating_Band", band);
    return db;
  }
};

auto fields(const crx_lbt_entry_t& e) {
  return std::tuple(e.max_tx_power_dbm, e.min_freq_hz, e.max_freq_hz, e.max_talk_time_ms, e.listen_time_us,
                    e.threshold_dbm);
}

TEST_F(CxLbt, NotRequiredReturnsAtOnceWithNoEntries) {
  with_file(CxDatabase(6));
  crx_lbt_cfg_t lbt;
  std::memset(&lbt, 0x11, sizeof lbt);
  ASSERT_TRUE(CxGetLbtParameters(&lbt));
  EXPECT_EQ(std::tuple(lbt.enabled, lbt.count), std::tuple(0, 0));
  CxCleanup();
}

TEST_F(CxLbt, AcceptedRowsOfTheBandArePackedAtTheFront) {
  auto db = required("AS923_J");
  db.add_lbt({"AS923_J", 13, 920.6, 922.2, 4000, 5000, -80})  // accepted
      .add_lbt({"AS923_J", 13, 1500.0, 1501.0, 4000, 5000, -80})  // frequency too high
      .add_lbt({"US915", 30, 902.0, 928.0, 400, 5000, -90})        // another band
      .add_lbt({"AS923_J", 10, 922.4, 923.4, 4000, 128, -85})      // accepted
      .add_lbt({"AS923_J", 13, 920.6, 922.2, 0, 5000, -80})        // no talk time
      .add_lbt({"AS923_J", 13, 920.6, 922.2, 4000, 0, -80})        // no listen time
      .add_lbt({"AS923_J", 13, 920.6, 922.2, 4000, 5000, 0})       // threshold not negative
      .add_lbt({"AS923_J", 13, -920.6, 922.2, 4000, 5000, -80})    // negative frequency
      .add_lbt({"AS923_J", 7, 868.6, 868.8, 1000, 1, -70});        // accepted
  with_file(db);
  crx_lbt_cfg_t lbt;
  std::memset(&lbt, 0, sizeof lbt);
  ASSERT_TRUE(CxGetLbtParameters(&lbt));
  EXPECT_EQ(lbt.enabled, 1);
  ASSERT_EQ(lbt.count, 3);
  EXPECT_EQ(fields(lbt.entries[0]), std::tuple(13, 920600000u, 922200000u, 4000, 5000, -80));
  EXPECT_EQ(fields(lbt.entries[1]), std::tuple(10, 922400000u, 923400000u, 4000, 128, -85));
  EXPECT_EQ(fields(lbt.entries[2]), std::tuple(7, 868600000u, 868800000u, 1000, 1, -70));
  EXPECT_EQ(fields(lbt.entries[3]), std::tuple(0, 0u, 0u, 0, 0, 0));
  EXPECT_EQ(CxGetDatabaseVersion(), -1);
}

TEST_F(CxLbt, NoUsableRowClearsTheRecordButKeepsRequired) {
  auto db = required("EU868");
  db.add_lbt({"EU868", 14, 868.0, 868.6, 0, 5000, -80});
  with_file(db);
  crx_lbt_cfg_t lbt;
  std::memset(&lbt, 0x22, sizeof lbt);
  ASSERT_TRUE(CxGetLbtParameters(&lbt));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetLbtWholeTable: Empty database LBT LUT detected. Using default values."));
  EXPECT_EQ(std::tuple(lbt.enabled, lbt.count), std::tuple(1, 0));
  crx_lbt_cfg_t zero;
  std::memset(&zero, 0, sizeof zero);
  zero.enabled = 1;
  EXPECT_EQ(std::memcmp(&lbt.entries, &zero.entries, sizeof zero.entries), 0);
}

TEST_F(CxLbt, BandIsBoundAsAValueNotWrittenIntoTheQuery) {
  auto db = required("EU'868");
  db.add_lbt({"EU'868", 14, 868.0, 868.6, 1000, 5000, -80});
  with_file(db);
  crx_lbt_cfg_t lbt{};
  ASSERT_TRUE(CxGetLbtParameters(&lbt));
  EXPECT_EQ(lbt.count, 1);
  EXPECT_FALSE(sandbox().syslog_contains("cxExec"));
}

TEST_F(CxLbt, BandTooLongForTheQueryLeavesNoEntries) {
  // "SELECT * FROM Lbt WHERE Operating_Band = '<band>'\n" is 44 characters plus the band.
  const std::string band(56, 'B');
  auto db = required(band);
  db.add_lbt({band, 14, 868.0, 868.6, 1000, 5000, -80});
  with_file(db);
  crx_lbt_cfg_t lbt{};
  ASSERT_TRUE(CxGetLbtParameters(&lbt));
  EXPECT_EQ(lbt.count, 0);
  EXPECT_TRUE(sandbox().syslog_contains("CxGetLbtWholeTable: Not enough space for query. Required: 101, available: 100"));

  // One character less fits.
  ASSERT_TRUE(CxInit());
  int rows = 16;
  const std::string fits(55, 'B');
  EXPECT_TRUE(CxGetLbtWholeTable(&lbt, fits.c_str(), "Lbt", &rows));
  EXPECT_EQ(rows, 0);
  CxCleanup();
}

TEST_F(CxLbt, NeverMoreEntriesThanTheRecordHolds) {
  auto db = required("US915");
  for (int i = 0; i < 20; ++i) db.add_lbt({"US915", i, 902.0 + i, 903.0 + i, 400, 5000, -90});
  with_file(db);
  ASSERT_TRUE(CxInit());
  crx_lbt_cfg_t lbt{};
  int rows = 40;
  ASSERT_TRUE(CxGetLbtWholeTable(&lbt, "US915", "Lbt", &rows));
  EXPECT_EQ(std::tuple(rows, lbt.count, lbt.entries[15].max_tx_power_dbm), std::tuple(16, 16, 15));
  rows = 2;
  ASSERT_TRUE(CxGetLbtWholeTable(&lbt, "US915", "Lbt", &rows));
  EXPECT_EQ(std::tuple(rows, lbt.count), std::tuple(2, 2));

  EXPECT_FALSE(CxGetLbtWholeTable(&lbt, "US915", "NoLbt", &rows));
  EXPECT_EQ(rows, -1);
  EXPECT_TRUE(sandbox().syslog_contains("CxGetLbtWholeTable: error, could not execute query"));
  EXPECT_FALSE(CxGetLbtWholeTable(nullptr, "US915", "Lbt", &rows));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetLbtWholeTable: invalid parameter"));
  CxCleanup();
}

}  // namespace

// Statements and the single-value getters on an open database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <string>
#include <vector>

#include "crx.h"
#include "cx_fixture.h"

using ::testing::ElementsAre;

namespace {

using crx::sim::CxDatabase;

class CxGeneric : public CxTest {
 protected:
  void open(const CxDatabase& db) {
    with_file(db);
    ASSERT_TRUE(CxInit());
    sandbox().clear_logs();
  }
  void TearDown() override {
    CxCleanup();
    CxTest::TearDown();
  }
};

TEST_F(CxGeneric, SingleValuesComeFromTheFirstRow) {
  open(CxDatabase(6)
           .set("Configuration", "Vendor_ID", crx::sim::CxValue::null())
           .add_row("Configuration")
           .set("Configuration", "Mfg_Year", 2001, 1)
           .set("Configuration", "Module_Name", "Second", 1));
  int year = 0;
  float f = 0;
  ASSERT_TRUE(CxGetInt("Mfg_Year", "Configuration", &year) && CxGetFloat("Min_DL_Frequency_MHz", "Configuration", &f));
  EXPECT_EQ(year, 2019);
  EXPECT_FLOAT_EQ(f, 923.3f);
  char name[32];
  ASSERT_TRUE(CxGetString("Module_Name", "Configuration", sizeof name, name));
  EXPECT_STREQ(name, "Ostra Gateway");
  // Cut to the destination with its terminator.
  char shortname[5];
  ASSERT_TRUE(CxGetString("Module_Name", "Configuration", sizeof shortname, shortname));
  EXPECT_STREQ(shortname, "Ostr");
  char one[1] = {'x'};
  ASSERT_TRUE(CxGetString("Module_Name", "Configuration", 1, one));
  EXPECT_EQ(one[0], '\0');
  // A NULL value reads as an empty text.
  ASSERT_TRUE(CxGetString("Vendor_ID", "Configuration", sizeof name, name));
  EXPECT_STREQ(name, "");
}

TEST_F(CxGeneric, IntegerArrayTakesOneValuePerRowUpToTheCount) {
  open(CxDatabase(6).add_row("Tx").add_row("Tx").set("Tx", "VCXO_CAL_VOLTAGE", 7, 1).set("Tx", "VCXO_CAL_VOLTAGE", 9, 2));
  int values[5] = {};
  int count = 5;
  ASSERT_TRUE(CxGetIntArr("VCXO_CAL_VOLTAGE", "Tx", values, &count));
  EXPECT_EQ(count, 3);
  EXPECT_THAT(std::vector<int>(values, values + 3), ElementsAre(1650, 7, 9));
  count = 2;
  int two[2] = {};
  ASSERT_TRUE(CxGetIntArr("VCXO_CAL_VOLTAGE", "Tx", two, &count));
  EXPECT_EQ(count, 2);
  EXPECT_EQ(two[1], 7);
}

TEST_F(CxGeneric, EmptyTableFailsEveryGetter) {
  open(CxDatabase(6).clear_rows("Rx"));
  float f = 0;
  EXPECT_FALSE(CxGetFloat("RSSI_OFFSET_RX0", "Rx", &f));
  EXPECT_TRUE(sandbox().syslog_contains(
      "CxGetFloat: error, unable to retrieve item: RSSI_OFFSET_RX0 from table Rx; expected 1, obtained 0 entries"));
  int values[4];
  int count = 4;
  EXPECT_FALSE(CxGetIntArr("Version", "Rx", values, &count));
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(sandbox().syslog_contains(
      "CxGetIntArr: error, unable to retrieve item: Version from table Rx; obtained 0 entries"));
}

TEST_F(CxGeneric, BadArgumentsAndOverlongQueriesAreRefusedBeforeAnySql) {
  open(CxDatabase(6));
  int i;
  float f;
  char s[8];
  EXPECT_FALSE(CxGetInt(nullptr, "Configuration", &i));
  EXPECT_FALSE(CxGetFloat("Version", nullptr, &f));
  EXPECT_FALSE(CxGetString("Version", "Configuration", sizeof s, nullptr));
  EXPECT_FALSE(CxGetIntArr("Version", "Configuration", &i, nullptr));
  for (const char* fn : {"CxGetInt", "CxGetFloat", "CxGetString", "CxGetIntArr"})
    EXPECT_TRUE(sandbox().syslog_contains(std::string(fn) + ": invalid parameter")) << fn;

  // "SELECT \"<item>\" FROM Configuration\n" is 29 characters plus the item.
  const std::string fits(70, 'a'), too_long(71, 'a');
  sandbox().clear_logs();
  EXPECT_FALSE(CxGetInt(too_long.c_str(), "Configuration", &i));
  EXPECT_TRUE(sandbox().syslog_contains("CxGetInt: Not enough space for querying item " + too_long +
                                        " in table Configuration. Required: 101, available: 100"));
  EXPECT_FALSE(sandbox().syslog_contains("cxExec"));
  EXPECT_FALSE(CxGetInt(fits.c_str(), "Configuration", &i));  // gets as far as SQLite
  EXPECT_TRUE(sandbox().syslog_contains("cxExec: failure compiling 'SELECT \"" + fits +
                                        "\" FROM Configuration\n' statement: error (1): no such column: " + fits));
}

TEST_F(CxGeneric, StatementErrorFailsTheGetterButKeepsTheConnection) {
  open(CxDatabase(6));
  int i = 0;
  EXPECT_FALSE(CxGetInt("Version", "NoSuchTable", &i));
  EXPECT_TRUE(sandbox().syslog_contains(
      "cxExec: failure compiling 'SELECT \"Version\" FROM NoSuchTable\n' statement: error (1): no such table: NoSuchTable"));
  EXPECT_TRUE(sandbox().syslog_contains(
      "CxGetInt: error, unable to retrieve item: Version from table NoSuchTable; expected 1, obtained -1 entries"));
  EXPECT_TRUE(CxGetInt("Version", "Configuration", &i));
  EXPECT_EQ(i, 6);

  // A column the table lacks is an error, not a text equal to its name.
  char text[32] = "untouched";
  EXPECT_FALSE(CxGetString("RF_Type_Missing", "Configuration", sizeof text, text));
  EXPECT_STREQ(text, "untouched");
  EXPECT_TRUE(sandbox().syslog_contains("no such column: RF_Type_Missing"));
}

void collect(sqlite3_stmt* st, void* arg, int row) {
  static_cast<std::vector<std::pair<int, int>>*>(arg)->emplace_back(row, sqlite3_column_int(st, 0));
}

TEST_F(CxGeneric, ExecHandsEachRowToTheCallbackUpToTheLimit) {
  open(CxDatabase(6));
  std::vector<std::pair<int, int>> rows;
  const char* sql = "WITH RECURSIVE n(x) AS (SELECT 10 UNION ALL SELECT x + 1 FROM n WHERE x < 14) SELECT x FROM n";
  EXPECT_EQ(CxExec(sql, collect, &rows, 3), 3);
  EXPECT_THAT(rows, ElementsAre(std::pair{0, 10}, std::pair{1, 11}, std::pair{2, 12}));
  rows.clear();
  EXPECT_EQ(CxExec(sql, collect, &rows, 100), 5);
  EXPECT_EQ(CxExec("SELECT 1 WHERE 0", collect, &rows, 5), 0);
  EXPECT_EQ(CxExec("SELEKT", collect, &rows, 5), -1);
  // A statement that fails while running, not while compiling.
  EXPECT_EQ(CxExec("SELECT abs(-9223372036854775807 - 1)", collect, &rows, 5), -1);
  EXPECT_TRUE(sandbox().syslog_contains("cxExec: failure evaluating 'SELECT abs(-9223372036854775807 - 1)' statement: "
                                        "error (1): integer overflow"));

  ASSERT_TRUE(CxCleanup());
  EXPECT_EQ(CxExec("SELECT 1", collect, &rows, 1), -1);
  EXPECT_TRUE(sandbox().syslog_contains("CxExec: not initialized"));
  int i;
  EXPECT_FALSE(CxGetInt("Version", "Configuration", &i));
}

}  // namespace

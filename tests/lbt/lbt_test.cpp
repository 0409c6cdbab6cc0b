// The active listen-before-talk table: the merge of database and
// application, its order, the lookup of the governing entry, and the table
// crx_conf_board builds from a commissioning database.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "tests/conf/board_fixture.h"

namespace {

using crx::brd_cfg_priv;
using crx::sim::CxDatabase;
using crx::sim::CxLbtRow;

crx_lbt_entry_t entry(int power, uint32_t min_hz, uint32_t max_hz, int talk = 4000, int listen = 5000,
                      int threshold = -80) {
  return {power, min_hz, max_hz, talk, listen, threshold};
}

crx_lbt_cfg_t table(int32_t enabled, const std::vector<crx_lbt_entry_t>& entries) {
  crx_lbt_cfg_t t;
  init_lbt_structure(&t);
  t.enabled = enabled;
  for (const auto& e : entries) t.entries[t.count++] = e;
  return t;
}

// One field of every entry of the active table, in table order.
template <typename T>
std::vector<T> column(T crx_lbt_entry_t::*field) {
  std::vector<T> out;
  for (int i = 0; i < brd_cfg_priv.lbt.count; ++i) out.push_back(brd_cfg_priv.lbt.entries[i].*field);
  return out;
}
std::vector<int> powers() { return column(&crx_lbt_entry_t::max_tx_power_dbm); }

class LbtMerge : public crx::sim::SandboxTest {
 protected:
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }
  const crx_lbt_cfg_t db4 = table(1, {entry(14, 1, 2), entry(20, 1, 2), entry(27, 1, 2), entry(10, 1, 2)});
  const crx_lbt_cfg_t app2 = table(1, {entry(5, 3, 4), entry(6, 3, 4)});
};

TEST_F(LbtMerge, NeitherSourceAskingLeavesTheTableAsItWas) {
  brd_cfg_priv.lbt = table(0, {entry(1, 2, 3)});
  crx_lbt_cfg_t app = app2;
  app.enabled = 0;
  crx_lbt_cfg_t db = db4;
  db.enabled = 0;
  EXPECT_EQ(set_lbt_brd_priv(&app, &db), 0);
  EXPECT_EQ(set_lbt_brd_priv(nullptr, nullptr), 0);
  EXPECT_THAT(powers(), ::testing::ElementsAre(1));
}

TEST_F(LbtMerge, ApplicationEntriesRuleWhereTheDatabaseDoesNotRequireLbt) {
  crx_lbt_cfg_t db = db4;
  db.enabled = 0;
  crx_lbt_cfg_t app = app2;
  app.enabled = 7;
  EXPECT_EQ(set_lbt_brd_priv(&app, &db), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 7);
  EXPECT_THAT(powers(), ::testing::ElementsAre(5, 6));
  EXPECT_FALSE(logged("INFO: No valid Listen Before Talk LUT entries found in API config. Using default values."));
}

TEST_F(LbtMerge, ApplicationWithoutEntriesTakesTheDatabaseEntries) {
  crx_lbt_cfg_t db = db4;
  db.enabled = 0;
  const crx_lbt_cfg_t app = table(1, {});
  EXPECT_EQ(set_lbt_brd_priv(&app, &db), 0);
  EXPECT_TRUE(logged("INFO: No valid Listen Before Talk LUT entries found in API config. Using default values."));
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_THAT(powers(), ::testing::ElementsAre(14, 20, 27, 10));

  // With an empty database as well the table is the all-zero default.
  EXPECT_EQ(set_lbt_brd_priv(&app, nullptr), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_EQ(brd_cfg_priv.lbt.count, 0);
  EXPECT_EQ(brd_cfg_priv.lbt.entries[0].max_freq_hz, 0u);
}

TEST_F(LbtMerge, MandatoryDatabaseTableWinsOverTheApplication) {
  EXPECT_EQ(set_lbt_brd_priv(&app2, &db4), 0);
  EXPECT_TRUE(logged("INFO: LBT is mandatory in this region, and Listen/talk times may not be customized. Using "
                     "database values."));
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_THAT(powers(), ::testing::ElementsAre(14, 20, 27, 10));

  sandbox().clear_logs();
  crx_lbt_cfg_t quiet_app{};
  EXPECT_EQ(set_lbt_brd_priv(&quiet_app, &db4), 0);
  EXPECT_FALSE(logged("INFO: LBT is mandatory"));
  EXPECT_EQ(brd_cfg_priv.lbt.count, 4);
}

TEST_F(LbtMerge, CountsBeyondTheTableAreCutToSixteen) {
  crx_lbt_cfg_t app = table(1, {});
  for (int i = 0; i < CRX_LBT_MAX_ENTRIES; ++i) app.entries[i] = entry(CRX_LBT_MAX_ENTRIES - i, 0, 100);
  app.count = 200;
  EXPECT_EQ(set_lbt_brd_priv(&app, nullptr), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.count, CRX_LBT_MAX_ENTRIES);
  sort_brd_priv_lbt_lut(0);
  EXPECT_EQ(brd_cfg_priv.lbt.entries[0].max_tx_power_dbm, 1);
  EXPECT_EQ(brd_cfg_priv.lbt.entries[15].max_tx_power_dbm, 16);

  brd_cfg_priv.lbt.count = 255;  // however it got there, lookups stay inside the table
  EXPECT_EQ(crx_get_lbt_LUT_index(50, 17), -1);
  sort_brd_priv_lbt_lut(1);
  EXPECT_EQ(brd_cfg_priv.lbt.entries[0].max_tx_power_dbm, 16);
}

TEST(LbtSort, AscendingOrDescendingWithEqualPowersKeepingTheirOrder) {
  brd_cfg_priv.lbt = table(1, {entry(27, 1, 2), entry(14, 1, 2), entry(20, 10, 11), entry(20, 20, 21),
                               entry(14, 30, 31)});
  sort_brd_priv_lbt_lut(0);
  EXPECT_THAT(powers(), ::testing::ElementsAre(14, 14, 20, 20, 27));
  // Whole entries move, not just their powers.
  EXPECT_THAT(column(&crx_lbt_entry_t::min_freq_hz), ::testing::ElementsAre(1u, 30u, 10u, 20u, 1u));
  EXPECT_THAT(column(&crx_lbt_entry_t::max_freq_hz), ::testing::ElementsAre(2u, 31u, 11u, 21u, 2u));

  sort_brd_priv_lbt_lut(1);
  EXPECT_THAT(powers(), ::testing::ElementsAre(27, 20, 20, 14, 14));
  EXPECT_THAT(column(&crx_lbt_entry_t::min_freq_hz), ::testing::ElementsAre(1u, 10u, 20u, 1u, 30u));
}

TEST(LbtLookup, LowestPowerCapThatAllowsThePowerInsideAHalfOpenRange) {
  brd_cfg_priv.lbt = table(1, {entry(27, 915000000, 928000000), entry(14, 915000000, 928000000),
                               entry(20, 915000000, 928000000), entry(30, 902000000, 915000000)});
  sort_brd_priv_lbt_lut(0);
  ASSERT_THAT(powers(), ::testing::ElementsAre(14, 20, 27, 30));
  const struct {
    uint32_t freq;
    int power, index;
  } cases[] = {{920000000, 16, 1},  {920000000, 14, 0},  {920000000, -128, 0}, {920000000, 27, 2},
               {920000000, 28, -1}, {915000000, 28, -1},  // 915 MHz is the maximum of the 30 dBm entry
               {914999999, 28, 3},  {902000000, 28, 3},  {901999999, 0, -1},   {928000000, 0, -1}};
  for (const auto& c : cases) EXPECT_EQ(crx_get_lbt_LUT_index(c.freq, c.power), c.index) << c.freq << " " << c.power;

  brd_cfg_priv.lbt.count = 0;
  EXPECT_EQ(crx_get_lbt_LUT_index(920000000, 0), -1);
}

TEST(LbtAccessors, ConfigurationCopyAndTransmitLimits) {
  brd_cfg_priv.lbt = table(1, {entry(14, 1, 2)});
  crx_lbt_cfg_t out;
  std::memset(&out, 0xAB, sizeof out);
  EXPECT_EQ(crx_get_lbt_configuration(&out), 0);
  EXPECT_EQ(std::memcmp(&out, &brd_cfg_priv.lbt, sizeof out), 0);
  EXPECT_EQ(sizeof out, 392u);
  EXPECT_FAILS_WITH(crx_get_lbt_configuration(nullptr), ERR_NULL_PTR);

  crx::region_limits = {1, 2, 863000000, 870000000};
  uint32_t lo = 0, hi = 0;
  EXPECT_EQ(crx_get_tx_freq(&lo, &hi), 0);
  EXPECT_EQ(std::pair(lo, hi), std::pair(863000000u, 870000000u));
  EXPECT_EQ(crx_get_tx_freq(nullptr, &hi), -1);
  EXPECT_EQ(crx_get_tx_freq(&lo, nullptr), -1);
}

class LbtFromDatabase : public crx::test::BoardTest {
 protected:
  // A US915 board whose database requires LBT with the given rows.
  CxDatabase requiring(const std::vector<CxLbtRow>& rows) {
    CxDatabase db(6);
    db.set("Configuration", "Tx_Lbt_required", 1);
    for (const auto& r : rows) db.add_lbt(r);
    return db;
  }
  int configure(const crx_lbt_cfg_t& app) {
    crx_board_cfg_t cfg = board_cfg(FREQ_BAND_US915, 910000000);
    cfg.lbt = app;
    return crx_conf_board(0, &cfg);
  }
};

TEST_F(LbtFromDatabase, RequiredTableOfTheUnitsBandIsSortedIntoTheBoard) {
  fpga_board(requiring({{"US915", 27, 915.0, 920.0, 4000, 5000, -80},
                        {"EU868", 5, 863.0, 870.0, 1000, 5000, -80},
                        {"US915", 14, 920.0, 928.0, 4000, 128, -85},
                        {"US915", 20, 902.5, 915.0, 400, 5000, -82}}));
  ASSERT_EQ(configure(table(1, {entry(3, 1, 2)})), 0) << syslog_dump();
  EXPECT_TRUE(logged("INFO: LBT is mandatory in this region"));
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_THAT(powers(), ::testing::ElementsAre(14, 20, 27));
  const crx_lbt_entry_t& e = brd_cfg_priv.lbt.entries[1];
  EXPECT_EQ(std::tuple(e.min_freq_hz, e.max_freq_hz, e.max_talk_time_ms, e.threshold_dbm),
            std::tuple(902500000u, 915000000u, 400, -82));
  EXPECT_EQ(crx_get_lbt_LUT_index(918000000, 25), 2);
  EXPECT_TRUE(isLbtRequired());
}

TEST_F(LbtFromDatabase, RequiredWithoutUsableRowsGivesAnEnabledEmptyTable) {
  fpga_board(requiring({{"US915", 27, 1500.0, 1600.0, 4000, 5000, -80}}));
  ASSERT_EQ(configure(table(1, {entry(3, 1, 2)})), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_EQ(brd_cfg_priv.lbt.count, 0);
  EXPECT_EQ(crx_get_lbt_LUT_index(915000000, 0), -1);
}

TEST_F(LbtFromDatabase, OldOrNotRequiringDatabaseLeavesTheApplicationsTable) {
  fpga_board(CxDatabase(3));
  ASSERT_EQ(configure(table(1, {entry(20, 915000000, 916000000), entry(10, 915000000, 916000000)})), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 1);
  EXPECT_THAT(powers(), ::testing::ElementsAre(10, 20));
  EXPECT_FALSE(isLbtRequired());

  // A reconfiguration without LBT clears the flag and keeps nothing enabled.
  ASSERT_EQ(configure(table(0, {})), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 0);
}

TEST_F(LbtFromDatabase, DatabaseThatDoesNotRequireLbtReportsSo) {
  fpga_board(CxDatabase(6).add_lbt({"US915", 27, 915.0, 920.0, 4000, 5000, -80}));
  EXPECT_FALSE(isLbtRequired());
  ASSERT_EQ(configure(table(0, {})), 0);
  EXPECT_EQ(brd_cfg_priv.lbt.enabled, 0);
}

}  // namespace

// The Wren TX gain file: fixture files good and bad, the 16-entry limit,
// and that a refused file changes nothing.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "tests/conf/board_fixture.h"
#include "wren/tx_lut.h"

namespace {

using crx::wren::tx_lut;

// Fixture files are copied into the sandbox under this folder.
const std::string kData = "/data/txlut/";

std::string fixture(const std::string& name) {
  std::ifstream in(std::string(CRX_TEST_DATA) + "/txlut/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TxLut : public crx::test::BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    // A table that every refused file must leave in place.
    tx_lut = {};
    tx_lut.lut[0] = {9, 9, 9, 9, 9};
    tx_lut.size = 1;
  }
  int parse(const std::string& name) {
    if (name != "absent.json") sandbox().write_file(kData + name, fixture(name));
    return ostra_wren_parse_txlut_json((kData + name).c_str());
  }
  void expect_unchanged() { EXPECT_EQ(std::pair(int{tx_lut.size}, int{tx_lut.lut[0].rf_power}), std::pair(1, 9)); }
  void expect_refused(const char* name, const std::string& line) {
    SCOPED_TRACE(name);
    EXPECT_FAILS_WITH(parse(name), ERR_UNSPECIFIED);
    EXPECT_TRUE(logged(line)) << syslog_dump();
    expect_unchanged();
  }
};

TEST_F(TxLut, FileWithCommentsFillsTheTableInOrder) {
  ASSERT_EQ(parse("four_entries.json"), 0) << syslog_dump();
  ASSERT_EQ(tx_lut.size, 4);
  const crx::wren::tx_gain_entry_t& e = tx_lut.lut[2];
  EXPECT_EQ(std::tuple(int{e.dig_gain}, int{e.pa_gain}, int{e.dac_gain}, int{e.mix_gain}, int{e.rf_power}),
            std::tuple(1, 2, 3, 11, 20));
  EXPECT_EQ(tx_lut.lut[3].rf_power, 27);
  EXPECT_FALSE(logged("No Listen Before Talk time intervals")) << "read only when the snapshot asks";
}

TEST_F(TxLut, NegativeAndFractionalPowersAreTruncatedTowardZero) {
  ASSERT_EQ(parse("negative_power.json"), 0);
  EXPECT_EQ(std::pair(int{tx_lut.lut[0].rf_power}, int{tx_lut.lut[1].rf_power}), std::pair(-6, 2));
}

TEST_F(TxLut, TwentyEntriesLoadTheFirstSixteenWithAWarning) {
  ASSERT_EQ(parse("twenty_entries.json"), 0);
  EXPECT_EQ(std::pair(int{tx_lut.size}, int{tx_lut.lut[15].rf_power}), std::pair(16, 15));
  EXPECT_TRUE(logged("BrvDBG-HAL: ostra_wren_parse_txlut_json WARNING: 20 entries provided in TX LUT. Only the "
                     "first 16 entries will be used."));
}

TEST_F(TxLut, BadFilesAreRefusedWithTheirMessage) {
  expect_refused("missing_mix_gain.json",
                 "BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - Invalid LUT JSON file, missing 'mix_gain' entry");
  expect_refused("entry_not_object.json",
                 "BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - configuration file does not contain a JSON "
                 "object named 'txgain_lut'");
  expect_refused("out_of_range.json",
                 "BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - Invalid LUT JSON file, 'dig_gain' value out of "
                 "range");
  expect_refused("truncated.json", "BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - " + kData +
                                       "truncated.json id not a valid JSON file");
  expect_refused("array_root.json", "array_root.json id not a valid JSON file");
  expect_refused("absent.json", "BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - Failed to find a TX look up "
                                "table called " + kData + "absent.json");
  EXPECT_FAILS_WITH(ostra_wren_parse_txlut_json(nullptr), ERR_NULL_PTR);
}

TEST_F(TxLut, EachMissingKeyIsNamedInLookupOrder) {
  const char* keys[] = {"dig_gain", "pa_gain", "dac_gain", "mix_gain", "rf_power"};
  for (int missing = 0; missing < 5; ++missing) {
    std::string entry;
    for (int k = 0; k < 5; ++k)
      if (k != missing)
        entry += std::string(entry.empty() ? "" : ",") + "\"" + keys[k] + "\": " + (k == 3 ? "8" : "1");
    sandbox().write_file("/etc/lut.json", "{\"txgain_lut\": [{" + entry + "}]}");
    EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
    EXPECT_TRUE(logged(std::string("Invalid LUT JSON file, missing '") + keys[missing] + "' entry")) << keys[missing];
  }
  // A key that holds no number is as good as missing.
  sandbox().write_file("/etc/lut.json",
                       R"({"txgain_lut": [{"dig_gain": "1", "pa_gain": 1, "dac_gain": 1, "mix_gain": 1, "rf_power": 1}]})");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
  for (const char* huge : {"1e400", "-129", "256", "1e19"}) {
    sandbox().write_file("/etc/lut.json", std::string(R"({"txgain_lut": [{"dig_gain": 1, "pa_gain": 1, )") +
                                              R"("dac_gain": 1, "mix_gain": )" + huge + R"(, "rf_power": 1}]})");
    EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1) << huge;
  }
  expect_unchanged();
}

TEST_F(TxLut, FileWithoutTheArrayKeepsTheTableAndSucceeds) {
  EXPECT_EQ(parse("no_txgain_lut.json"), 0);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_parse_txlut_json E R R O R - The TX LUT JSON file does not contain a "
                     "field called 'txgain_lut'"));
  expect_unchanged();
  // An empty array would leave nothing to transmit with.
  sandbox().write_file("/etc/lut.json", R"({"txgain_lut": []})");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
  expect_unchanged();
}

TEST_F(TxLut, BinaryEmptyAndDirectoryFilesAreRefused) {
  std::mt19937 rng(7);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  sandbox().write_file("/etc/noise.bin", noise);
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/noise.bin"), -1);
  sandbox().write_file("/etc/empty.json", "");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/empty.json"), -1);
  sandbox().write_file("/etc/nested.json", std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/nested.json"), -1);
  sandbox().make_dirs("/etc/lutdir");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lutdir"), -1);
  EXPECT_TRUE(logged("Failed to find a TX look up table called /etc/lutdir"));
  expect_unchanged();
}

TEST_F(TxLut, ListenTimesReplaceThoseOfTheBoardEntriesWhenTheSnapshotAsks) {
  crx::brd_cfg_priv.lbt.count = 3;
  for (auto& e : crx::brd_cfg_priv.lbt.entries) e = {14, 1, 2, 3, 4, -5};
  ostra_indoor_db_config.lbt_status = 1;
  ASSERT_EQ(parse("listen_times.json"), 0) << syslog_dump();
  const auto& entries = crx::brd_cfg_priv.lbt.entries;
  EXPECT_EQ(std::pair(entries[0].max_talk_time_ms, entries[0].listen_time_us), std::pair(400, 128));
  EXPECT_EQ(std::pair(entries[1].listen_time_us, entries[2].listen_time_us), std::pair(5000, 4));

  ASSERT_EQ(parse("four_entries.json"), 0);
  EXPECT_TRUE(logged("BrvDBG-HAL: ostra_wren_parse_txlut_json WARNING: No Listen Before Talk time intervals defined "
                     "in Tx LUT, using default values."));

  sandbox().write_file("/etc/lut.json", R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 0,
      "mix_gain": 8, "rf_power": 1}], "lbt_listen_times": [{"listen_time_us": 9}]})");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
  EXPECT_TRUE(logged("Invalid LUT JSON file, missing LBT 'max_talk_time_ms' entry"));
  EXPECT_EQ(tx_lut.lut[0].rf_power, 10) << "the gain part of a refused file is not taken either";
  sandbox().write_file("/etc/lut.json", R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 0,
      "mix_gain": 8, "rf_power": 1}], "lbt_listen_times": [3]})");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
  EXPECT_TRUE(logged("Error reading Listen Before Talk entries in the JSON file."));
  EXPECT_EQ(crx::brd_cfg_priv.lbt.entries[0].listen_time_us, 128);
  sandbox().write_file("/etc/lut.json", R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 0,
      "mix_gain": 8, "rf_power": 1}], "lbt_listen_times": [{"max_talk_time_ms": 9}]})");
  EXPECT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), -1);
  EXPECT_TRUE(logged("Invalid LUT JSON file, missing LBT 'listen_time_us' entry"));

  // Entries past the sixteenth are ignored, whatever they hold.
  std::string times;
  for (int i = 0; i < 20; ++i)
    times += (i ? "," : "") + (i < 16 ? R"({"max_talk_time_ms": 1, "listen_time_us": )" + std::to_string(i) + "}"
                                      : std::string("7"));
  sandbox().write_file("/etc/lut.json", R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 0,
      "mix_gain": 8, "rf_power": 1}], "lbt_listen_times": [)" + times + "]}");
  ASSERT_EQ(ostra_wren_parse_txlut_json("/etc/lut.json"), 0) << syslog_dump();
  EXPECT_TRUE(logged("BrvDBG-HAL: ostra_wren_parse_txlut_json WARNING: 20 Listen Before Talk entries provided in "
                     "TX LUT. Only the first 16 entries will be used."));
  EXPECT_EQ(crx::brd_cfg_priv.lbt.entries[15].listen_time_us, 15);
}

TEST_F(TxLut, LoadReadsTheFileTheSnapshotNames) {
  sandbox().write_file(kData + "four_entries.json", fixture("four_entries.json"));
  sandbox().write_file(kData + "array_root.json", fixture("array_root.json"));
  use_database(crx::test::wren_database(6).set("Tx", "Tx_LUT_JSON_Location", kData + "four_entries.json"));
  ASSERT_EQ(ostra_wren_load_tx_lut(), 0) << syslog_dump();
  EXPECT_EQ(tx_lut.size, 4);

  ostra_indoor_db_configured = 0;
  use_database(crx::test::wren_database(6).set("Tx", "Tx_LUT_JSON_Location", kData + "array_root.json"));
  EXPECT_FAILS_WITH(ostra_wren_load_tx_lut(), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL ostra_wren_load_tx_lut E R R O R - Unable to populate the Tx Look Up Table"));
  EXPECT_EQ(tx_lut.size, 4);
}

}  // namespace

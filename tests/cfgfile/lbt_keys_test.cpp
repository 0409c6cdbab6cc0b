// The "listen_before_talk" keys of a board object.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/config_parse.h"
#include "config_fixture.h"

namespace {

using crx::test::ConfigFile;
using nlohmann::json;

constexpr const char* kSkipped = "INFO: parse_lbt_json_conf: An invalid Listen Before Talk LUT entry was observed. Skipping.";

class LbtKeys : public ConfigFile {
 protected:
  crx_board_cfg_t parse(const std::string& board_object) {
    crx_board_cfg_t cfg;
    crx_init_board_cfg(&cfg);
    cfg.lbt.enabled = 7;  // marks "untouched"
    const json obj = json::parse(board_object, nullptr, false, true);
    EXPECT_EQ(crx::parse_lbt_json_conf(&cfg, &obj), 0);
    return cfg;
  }
  static auto fields(const crx_lbt_entry_t& e) {
    return std::tuple(e.max_tx_power_dbm, e.min_freq_hz, e.max_freq_hz, e.max_talk_time_ms, e.listen_time_us,
                      e.threshold_dbm);
  }
  static std::string entry(int power, double min, double max, double talk, double listen, double threshold) {
    return json{{"tx_power_dBm", power}, {"min_freq_Hz", min}, {"max_freq_Hz", max}, {"max_time_on_air_ms", talk},
                {"listen_time_us", listen}, {"threshold_dB", threshold}}
        .dump();
  }
};

TEST_F(LbtKeys, WithoutTheObjectTheBlockIsUntouched) {
  EXPECT_EQ(parse(R"({"board_freq_band": "EU868"})").lbt.enabled, 7);
  EXPECT_EQ(parse(R"({"listen_before_talk": true})").lbt.enabled, 7);
  crx_board_cfg_t cfg{};
  EXPECT_EQ(crx::parse_lbt_json_conf(&cfg, nullptr), -1);
  EXPECT_TRUE(sandbox().syslog_texts().empty());
}

TEST_F(LbtKeys, ValidEntriesAreTakenInOrderAndTheOthersSkipped) {
  const std::string lut = "[" + entry(14, 863e6, 870e6, 1000, 5000, -85) + "," +
                          entry(20, 863e6, 870e6, 1000, 0, -85) + "," +        // no listen time
                          entry(20, 863e6, 870e6, 1000, 5000, 0) + "," +       // threshold not negative
                          entry(20, 0, 870e6, 1000, 5000, -85) + "," +         // no minimum
                          entry(20, 863e6, 870e6, -4000, 5000, -85) + "," +    // negative talk time
                          R"({"tx_power_dBm": "27", "min_freq_Hz": 1, "max_freq_Hz": 2, "max_time_on_air_ms": 3,)"
                          R"( "listen_time_us": 4, "threshold_dB": -5},)" +
                          R"({"min_freq_Hz": 1, "max_freq_Hz": 2, "max_time_on_air_ms": 3, "listen_time_us": 4,)"
                          R"( "threshold_dB": -5},)" +
                          R"(5, "text", [],)" +  // not objects: skipped silently
                          entry(27, 920.6e6, 923.4e6, 4000, 128, -80) + "]";
  const crx_board_cfg_t cfg = parse(R"({"listen_before_talk": {"enabled": true, "LUT": )" + lut + "}}");
  EXPECT_TRUE(logged("INFO: parse_lbt_json_conf: Listen Before Talk data found in the config.json file."));
  EXPECT_EQ(cfg.lbt.enabled, 1);
  ASSERT_EQ(cfg.lbt.count, 2);
  EXPECT_EQ(fields(cfg.lbt.entries[0]), std::tuple(14, 863000000u, 870000000u, 1000, 5000, -85));
  EXPECT_EQ(fields(cfg.lbt.entries[1]), std::tuple(27, 920600000u, 923400000u, 4000, 128, -80));
  int skipped = 0;
  for (const auto& t : sandbox().syslog_texts()) skipped += t == kSkipped;
  EXPECT_EQ(skipped, 6);
}

TEST_F(LbtKeys, TheFlagIsTakenOnlyAsABooleanAndTheCountRestarts) {
  crx_board_cfg_t cfg = parse(R"({"listen_before_talk": {"enabled": "yes"}})");
  EXPECT_EQ(cfg.lbt.enabled, 7);
  EXPECT_EQ(cfg.lbt.count, 0);
  cfg = parse(R"({"listen_before_talk": {"enabled": false, "LUT": {}}})");
  EXPECT_EQ(cfg.lbt.enabled, 0);
}

TEST_F(LbtKeys, OnlyTheFirstSixteenElementsAreUsed) {
  std::string lut = "[";
  for (int i = 0; i < 20; ++i) lut += (i ? "," : "") + entry(i, 863e6, 870e6, 1000, 5000, -85);
  const crx_board_cfg_t cfg = parse(R"({"listen_before_talk": {"enabled": true, "LUT": )" + lut + "]}}");
  EXPECT_TRUE(logged("INFO: parse_lbt_json_conf: Maximum of 16 Listen Before Talk LUT entries accepted in JSON "
                     "file. Only the first 16/20 entries will be used."));
  ASSERT_EQ(cfg.lbt.count, 16);
  EXPECT_EQ(cfg.lbt.entries[15].max_tx_power_dbm, 15);
}

TEST_F(LbtKeys, HugeValuesSaturate) {
  const crx_board_cfg_t cfg =
      parse(R"({"listen_before_talk": {"LUT": [)" + entry(1, 1e300, 1e300, 1e300, 1e300, -1e300) + "]}}");
  ASSERT_EQ(cfg.lbt.count, 1);
  EXPECT_EQ(fields(cfg.lbt.entries[0]), std::tuple(1, UINT32_MAX, UINT32_MAX, INT32_MAX, INT32_MAX, INT32_MIN));
}

}  // namespace

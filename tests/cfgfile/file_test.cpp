// What reaches crx_read_cfg_json from the field: missing, broken, strange
// and hostile files, and the order in which a file's parts apply.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

using crx::test::ConfigFile;
using ::testing::ElementsAre;

TEST_F(ConfigFile, AFileThatCannotBeReadIsReported) {
  EXPECT_EQ(read(), nullptr);
  EXPECT_TRUE(logged("ERROR: failed to find any configuration file named /etc/default/config.json"));
  EXPECT_EQ(crx_read_cfg_json("/etc/default/other.json"), nullptr);
  EXPECT_TRUE(logged("ERROR: failed to find any configuration file named /etc/default/other.json"));
  sandbox().make_dirs("/etc/default/dir.json");
  EXPECT_EQ(crx_read_cfg_json("/etc/default/dir.json"), nullptr);
  EXPECT_TRUE(logged("ERROR: failed to find any configuration file named /etc/default/dir.json"));
  EXPECT_EQ(board_type, 0u) << "nothing read, nothing identified";
}

TEST_F(ConfigFile, TextThatIsNoJsonObjectIsRefused) {
  const std::string full = fixture("condor_eu.json");
  const std::string binary("\x7f" "ELF\x02\x01\x01\x00\x00\xff\xfe{\"gateway_conf\":{}}", 30);
  for (const std::string& text : {full.substr(0, full.size() / 2), binary, std::string(), std::string("[1, 2]"),
                                  std::string("\"text\""), std::string("{\"gateway_conf\": {}} trailing"),
                                  std::string("{\"a\": 1e400}"), std::string("{\"a\": \"\xff\xfe\"}"),
                                  std::string(20, '[')}) {
    sandbox().clear_logs();
    EXPECT_EQ(read(text), nullptr) << text.substr(0, 40);
    EXPECT_TRUE(logged("ERROR: /etc/default/config.json is not a valid JSON file")) << syslog_dump();
  }
  EXPECT_TRUE(logged("INFO: found configuration file /etc/default/config.json"));
  EXPECT_EQ(board_type, CRX_BOARD_CONDOR_NA) << "identified before parsing";
}

TEST_F(ConfigFile, CommentsAndNestingInUnknownKeysAreFine) {
  // The root object and 31 arrays: 32 levels.
  const std::string deep = std::string(31, '[') + std::string(31, ']');
  ASSERT_NE(read("// leading comment\n{ /* inline */ \"unknown\": " + deep + ",\n \"gateway_conf\": {} }"), nullptr);
}

// A damaged or hostile file must not take a gateway's memory and time: the
// parser's tree costs many times the text.
TEST_F(ConfigFile, OversizedAndDeeplyNestedFilesAreRefusedWithNothingApplied) {
  ASSERT_NE(read(R"({"gateway_conf": {"stat_interval": 12}})"), nullptr);
  const auto refused = [&](const std::string& text, const std::string& why) {
    sandbox().clear_logs();
    EXPECT_EQ(read(text), nullptr) << text.size();
    EXPECT_TRUE(logged(why)) << syslog_dump();
    EXPECT_FALSE(logged("INFO: parsing gateway parameters"));
    EXPECT_FALSE(logged("ERROR: /etc/default/config.json is not a valid JSON file")) << "not parsed";
    EXPECT_EQ(crx_read_cfg_json("/etc/default/kept.json")->stat_interval, 12u) << "nothing applied";
  };
  sandbox().write_file("/etc/default/kept.json", R"({"gateway_conf": {}})");

  // 1 MiB is the largest file read; one byte more is refused unread.
  const std::string head = R"({"gateway_conf": {"stat_interval": 99}, "pad": ")";
  const std::string fits = head + std::string(1024 * 1024 - head.size() - 2, 'x') + "\"}";
  ASSERT_EQ(fits.size(), 1024u * 1024u);
  ASSERT_NE(read(fits), nullptr);
  EXPECT_EQ(read(fits)->stat_interval, 99u);
  ASSERT_NE(read(R"({"gateway_conf": {"stat_interval": 12}})"), nullptr);
  const std::string big = head + std::string(1024 * 1024 - head.size() - 1, 'x') + "\"}";
  refused(big, "ERROR: configuration file /etc/default/config.json is larger than 1048576 bytes");
  refused(std::string(30 * 1024 * 1024, ' ') + "{}",
          "ERROR: configuration file /etc/default/config.json is larger than 1048576 bytes");

  // 33 levels, in an unknown key or as a broken text of brackets alone.
  const std::string nests = "ERROR: configuration file /etc/default/config.json nests deeper than 32 levels";
  refused(R"({"gateway_conf": {"stat_interval": 99}, "x": )" + std::string(32, '[') + std::string(32, ']') + "}",
          nests);
  refused(R"({"x": [{"y": )" + std::string(31, '[') + std::string(31, ']') + "}]}", nests);
  refused(std::string(100000, '{'), nests);

  // Brackets in strings and comments are text, not nesting.
  const std::string brackets(100, '[');
  ASSERT_NE(read("{\"gateway_conf\": {\"server_address\": \"" + brackets + "\\\"\"}, // " + brackets +
                 "\n /* " + brackets + " */ \"x\": 1}"),
            nullptr)
      << syslog_dump();
  EXPECT_EQ(crx_read_cfg_json(nullptr)->server_address, brackets.substr(0, 63));
}

TEST_F(ConfigFile, WithoutBoardsTheGatewayPartStillApplies) {
  ASSERT_NE(read(R"({"gateway_conf": {"stat_interval": 12}})"), nullptr);
  EXPECT_TRUE(logged("***** WARNING: crx_read_cfg_json no sx1301 conf_array"));
  EXPECT_EQ(crx_read_cfg_json(nullptr)->stat_interval, 12u);
  // "crx_conf" of another type counts as absent.
  EXPECT_NE(read(R"({"crx_conf": {"board_freq_band": "EU868"}, "gateway_conf": {}})"), nullptr);
}

TEST_F(ConfigFile, ABoardListWithoutABoardObjectIsRefused) {
  for (const char* boards : {"[]", "[5]", "[[]]", "[null, {}]"}) {
    sandbox().clear_logs();
    EXPECT_EQ(read(std::string(R"({"gateway_conf": {}, "crx_conf": )") + boards + "}"), nullptr) << boards;
    EXPECT_TRUE(logged("ERROR: configuration file does not contain a JSON object named crx_conf")) << boards;
    EXPECT_FALSE(logged("INFO: parsing gateway parameters"));
  }
}

TEST_F(ConfigFile, AGatewayObjectIsMandatory) {
  for (const char* text : {"{}", R"({"gateway_conf": []})", R"({"gateway_conf": "x"})"}) {
    sandbox().clear_logs();
    EXPECT_EQ(read(text), nullptr) << text;
    EXPECT_TRUE(logged("ERROR: configuration file does not contain a JSON object named gateway_conf"));
  }
}

TEST_F(ConfigFile, FilterEntriesReachTheLocalizationFilter) {
  ASSERT_NE(read(R"({"gateway_conf": {}, "filter_conf": [
      {"mote": "26011BDA"}, {"mote": "0x00000001"}, {"other": 1}, "text", {"mote": 5}, {"mote": "26011bda"}]})"),
            nullptr);
  EXPECT_THAT(lines_from("INFO: parsing packet filter parameters."),
              ElementsAre("INFO: parsing packet filter parameters.",
                          "INFO: Filter entry mote address is configured to 26011BDA",
                          "INFO: Filter entry mote address is configured to 00000001",
                          "INFO: Filter entry mote address is not configured",
                          "INFO: Filter entry mote address is not configured",
                          "INFO: Filter entry mote address is not configured",
                          "INFO: Filter entry mote address is configured to 26011BDA"));
  EXPECT_EQ(crx_loc_del_mote(0x26011BDA), 0);
  EXPECT_EQ(crx_loc_del_mote(0x00000001), 0);
  EXPECT_EQ(crx_loc_del_mote(0x26011BDA), -1) << "listed once";
}

TEST_F(ConfigFile, AFilterEntryThatIsNoAddressFailsTheRead) {
  // Eleven characters, nine digits after 0x, a sign, a stray character,
  // nothing at all: none is a 32-bit address.
  for (const char* mote : {"26011BDA000", "0x126011BDA", "-1", "26011BDZ", "", "0x", "0000000000"}) {
    sandbox().clear_logs();
    EXPECT_EQ(read(std::string(R"({"gateway_conf": {}, "filter_conf": [{"mote": ")") + mote + "\"}]}"), nullptr)
        << mote;
    EXPECT_TRUE(logged("INFO: Filter entry mote address is configured to 00000000")) << mote;
    EXPECT_TRUE(logged("crx_loc_add_mote: Invalid mote address."));
    EXPECT_TRUE(logged("ERROR: failed to parse configuration filter_conf from JSON file\n"));
  }
}

TEST_F(ConfigFile, AFullFilterFailsTheRead) {
  std::string motes;
  for (int i = 1; i <= 101; ++i) motes += (i > 1 ? "," : "") + std::string(R"({"mote": ")") + std::to_string(i) + "\"}";
  EXPECT_EQ(read(R"({"gateway_conf": {}, "filter_conf": [)" + motes + "]}"), nullptr);
  EXPECT_TRUE(logged("crx_loc_add_mote: filter list full."));
  EXPECT_EQ(crx_loc_add_mote(0x100), 0) << "the hundredth is listed";
}

}  // namespace

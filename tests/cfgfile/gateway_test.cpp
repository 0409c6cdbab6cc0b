// The forwarder's settings of "gateway_conf": defaults, every key's
// conversion and line, wrong types, and values kept from call to call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

using crx::test::ConfigFile;
using ::testing::ElementsAre;

// The gateway record's settings in groups, as tuples to compare whole.
auto addresses(const crx_gw_cfg_t& g) {
  return std::tuple(std::string(g.server_address), std::string(g.serv_port_up), std::string(g.serv_port_down));
}
auto timing(const crx_gw_cfg_t& g) {
  return std::tuple(g.keepalive_interval, g.stat_interval, g.push_timeout_half.seconds,
                    g.push_timeout_half.microseconds, g.pull_timeout.seconds, g.pull_timeout.microseconds);
}
auto forwarding(const crx_gw_cfg_t& g) {
  return std::tuple(g.forward_crc_valid, g.forward_crc_error, g.forward_crc_disabled, g.autoquit_threshold,
                    g.link_mote);
}
auto beacon(const crx_gw_cfg_t& g) {
  return std::tuple(g.beacon_period, g.beacon_freq_hz, int{g.beacon_freq_nb}, g.beacon_freq_step,
                    int{g.beacon_datarate}, g.beacon_bw_hz, int{g.beacon_power}, int{g.beacon_infodesc});
}
auto reporting(const crx_gw_cfg_t& g) {
  return std::tuple(int{g.multi_antenna}, int{g.stat_no_ack_timeout_cnt}, int{g.use_utc_timestamp},
                    int{g.use_gps_timestamp}, int{g.antenna_schedule}, int{g.report_count});
}

TEST_F(ConfigFile, AnEmptyGatewayObjectKeepsTheDefaultsAndSaysSo) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->gateway_id, 0x00800000A0001234u) << "from the database";
  EXPECT_EQ(addresses(*gw), std::tuple("127.0.0.1", "1780", "1782"));
  EXPECT_EQ(timing(*gw), std::tuple(5, 30, 0, 50000, 0, 200000));
  EXPECT_EQ(forwarding(*gw), std::tuple(true, false, false, 0, 0));
  EXPECT_EQ(beacon(*gw), std::tuple(0, 869525000, 1, 0, 9, 125000, 14, 0));
  EXPECT_EQ(reporting(*gw), std::tuple(0, 60, 0, 1, 0, 0));
  EXPECT_FALSE(is_multi_antenna_enabled());
  EXPECT_THAT(lines_from("INFO: parsing gateway parameters"),
              ElementsAre("INFO: parsing gateway parameters", "INFO: gateway ID is configured to 00800000A0001234",
                          "INFO: server hostname or IP address is configured to \"127.0.0.1\"",
                          "INFO: packets received with a valid CRC will be forwarded",
                          "INFO: packets received with a CRC error will NOT be forwarded",
                          "INFO: packets received with no CRC will NOT be forwarded",
                          "INFO: Link testing mote address is not configured",
                          "INFO: led_intensity is not configured"));
}

TEST_F(ConfigFile, EveryGatewayKeyIsStoredAndLogged) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {
      "server_address": "router.example.net", "serv_port_up": 1700, "serv_port_down": 1701,
      "keepalive_interval": 10, "stat_interval": 45, "push_timeout_ms": 100,
      "forward_crc_valid": false, "forward_crc_error": true, "forward_crc_disabled": true,
      "autoquit_threshold": 3, "link_mote": "0x26011BDA", "led_intensity": 70000, "beacon_period": 128,
      "beacon_freq_hz": 923300000, "beacon_freq_nb": 8, "beacon_freq_step": 600000, "beacon_datarate": 12,
      "beacon_bw_hz": 500000, "beacon_power": 26, "beacon_infodesc": 2, "multi_antenna": 1,
      "stat_no_ack_timeout_cnt": 30, "use_utc_timestamp": 1, "use_gps_timestamp": 0,
      "antenna_schedule": 2, "report_count": 7}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(addresses(*gw), std::tuple("router.example.net", "1700", "1701"));
  EXPECT_EQ(timing(*gw), std::tuple(10, 45, 0, 50000, 0, 200000));
  EXPECT_EQ(forwarding(*gw), std::tuple(false, true, true, 3, 0x26011BDA));
  EXPECT_EQ(beacon(*gw), std::tuple(128, 923300000, 8, 600000, 12, 500000, 26, 2));
  EXPECT_EQ(reporting(*gw), std::tuple(1, 30, 1, 0, 2, 7));
  EXPECT_TRUE(is_multi_antenna_enabled());
  EXPECT_THAT(lines_from("INFO: server hostname or IP address is configured to \"router.example.net\""),
              ElementsAre("INFO: server hostname or IP address is configured to \"router.example.net\"",
                          "INFO: upstream port is configured to \"1700\"",
                          "INFO: downstream port is configured to \"1701\"",
                          "INFO: downstream keep-alive interval is configured to 10 seconds",
                          "INFO: statistics display interval is configured to 45 seconds",
                          "INFO: upstream PUSH_DATA time-out is configured to 100 ms",
                          "INFO: packets received with a valid CRC will NOT be forwarded",
                          "INFO: packets received with a CRC error will be forwarded",
                          "INFO: packets received with no CRC will be forwarded",
                          "INFO: Auto-quit after 3 non-acknowledged PULL_DATA",
                          "INFO: Link testing mote address is configured to 26011BDA",
                          "INFO: led_intensity is set to 4464",  // the low 16 bits of 70000
                          "INFO: Beaconing period is configured to 128 seconds",
                          "INFO: Beaconing signal will be emitted at 923300000 Hz",
                          "INFO: Beaconing channel number is set to 8",
                          "INFO: Beaconing channel frequency step is set to 600000Hz",
                          "INFO: Beaconing datarate is set to SF12\n",
                          "INFO: Beaconing modulation bandwidth is set to 500000Hz",
                          "INFO: Beaconing TX power is set to 26dBm",
                          "INFO: Beaconing information descriptor is set to 2",
                          "INFO: Single antenna configuration: 1", "INFO: Timeout of stat packet ack: 30",
                          "INFO: Use utc timestamp: 1", "INFO: Use gps timestamp: 0", "INFO: Antenna schedule: 2",
                          "INFO: Report count: 7"));
}

TEST_F(ConfigFile, WrongTypesReadAsZeroOrAreIgnored) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {
      "server_address": 42, "serv_port_up": "1700", "keepalive_interval": true, "stat_interval": null,
      "forward_crc_valid": 0, "forward_crc_error": "yes", "link_mote": 12345, "beacon_freq_hz": [1],
      "use_gps_timestamp": {"a": 1}, "multi_antenna": "1"}})");
  ASSERT_NE(gw, nullptr);
  // Strings and booleans are taken only as such; numbers of another type read as 0.
  EXPECT_EQ(addresses(*gw), std::tuple("127.0.0.1", "0", "1782"));
  EXPECT_EQ(timing(*gw), std::tuple(0, 0, 0, 50000, 0, 200000));
  EXPECT_EQ(forwarding(*gw), std::tuple(true, false, false, 0, 0));
  EXPECT_TRUE(logged("INFO: Link testing mote address is not configured"));
  EXPECT_EQ(beacon(*gw), std::tuple(0, 0, 1, 0, 9, 125000, 14, 0));
  EXPECT_EQ(gw->use_gps_timestamp, 0);
  EXPECT_FALSE(is_multi_antenna_enabled());

  // The remaining keys in a second file, on top of the first one's values.
  gw = read(R"({"gateway_conf": {
      "serv_port_down": false, "push_timeout_ms": "100", "forward_crc_disabled": 1, "autoquit_threshold": "3",
      "led_intensity": "70000", "beacon_period": [128], "beacon_freq_nb": "8", "beacon_freq_step": true,
      "beacon_datarate": "SF12", "beacon_bw_hz": {}, "beacon_power": null, "beacon_infodesc": "2",
      "stat_no_ack_timeout_cnt": "30", "use_utc_timestamp": "1", "antenna_schedule": [2], "report_count": "7"}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(addresses(*gw), std::tuple("127.0.0.1", "0", "0"));
  EXPECT_EQ(timing(*gw), std::tuple(0, 0, 0, 0, 0, 200000));
  EXPECT_EQ(forwarding(*gw), std::tuple(true, false, false, 0, 0));
  EXPECT_EQ(beacon(*gw), std::tuple(0, 0, 0, 0, 0, 0, 0, 0));
  EXPECT_EQ(reporting(*gw), std::tuple(0, 0, 0, 0, 0, 0));
}

TEST_F(ConfigFile, OutOfRangeNumbersSaturateOrKeepTheirLowBits) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {
      "serv_port_up": 70000, "serv_port_down": -5, "keepalive_interval": -1e300, "stat_interval": 1e300,
      "autoquit_threshold": 12.9, "beacon_freq_hz": -868100000, "beacon_freq_nb": 300, "beacon_power": -200,
      "beacon_datarate": 1e19, "multi_antenna": 257, "report_count": -3,
      "server_address": "a-host-name-that-is-far-too-long-for-the-sixty-four-bytes-the-record-has.example.net"}})");
  ASSERT_NE(gw, nullptr);
  const std::string host = "a-host-name-that-is-far-too-long-for-the-sixty-four-bytes-the-record-has.example.net";
  EXPECT_EQ(addresses(*gw), std::tuple(host.substr(0, 63), "4464", "0"));
  EXPECT_EQ(std::pair(gw->keepalive_interval, gw->stat_interval), std::pair(INT32_MIN, UINT32_MAX));
  EXPECT_EQ(gw->autoquit_threshold, 12u);
  // A negative frequency is no frequency; 300, -200 and the saturated 1e19
  // keep their low 8 bits.
  EXPECT_EQ(beacon(*gw), std::tuple(0, 0, 44, 0, 0xFF, 125000, 56, 0));
  EXPECT_EQ(gw->report_count, 0);
  EXPECT_TRUE(is_multi_antenna_enabled()) << "257 keeps 1";
  EXPECT_TRUE(logged("INFO: downstream keep-alive interval is configured to 2147483648 seconds"));
}

// Half the time-out in microseconds fills 32 bits at 8 589 934 ms; a larger
// value must not wrap into a time-out of microseconds.
TEST_F(ConfigFile, PushTimeOutSaturatesAtTheLargestItsFieldHolds) {
  const struct {
    const char* value;
    uint32_t microseconds;
    const char* line;
  } cases[] = {
      {"100", 50000, "INFO: upstream PUSH_DATA time-out is configured to 100 ms"},
      {"8589934", 4294967000u, "INFO: upstream PUSH_DATA time-out is configured to 8589934 ms"},
      {"8589935", 4294967000u, "INFO: upstream PUSH_DATA time-out is configured to 8589934 ms"},
      {"1e300", 4294967000u, "INFO: upstream PUSH_DATA time-out is configured to 8589934 ms"},
      {"-5", 0, "INFO: upstream PUSH_DATA time-out is configured to 0 ms"},
  };
  for (const auto& c : cases) {
    sandbox().clear_logs();
    const crx_gw_cfg_t* gw = read(std::string(R"({"gateway_conf": {"push_timeout_ms": )") + c.value + "}}");
    ASSERT_NE(gw, nullptr) << c.value;
    EXPECT_EQ(gw->push_timeout_half.microseconds, c.microseconds) << c.value;
    EXPECT_EQ(gw->push_timeout_half.seconds, 0) << c.value;
    EXPECT_TRUE(logged(c.line)) << c.value << "\n" << syslog_dump();
  }
}

TEST_F(ConfigFile, GatewaySettingsAccumulateOverCalls) {
  ASSERT_NE(read(R"({"gateway_conf": {"server_address": "first.example.net", "stat_interval": 10,
                                      "link_mote": "ABCD", "forward_crc_error": true}})"),
            nullptr);
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {"serv_port_up": 1700, "forward_crc_valid": false}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(addresses(*gw), std::tuple("first.example.net", "1700", "1782"));
  EXPECT_EQ(gw->stat_interval, 10u);
  // The link mote was not given this time: not configured.
  EXPECT_EQ(forwarding(*gw), std::tuple(false, true, false, 0, 0));
  EXPECT_EQ(gw, crx_read_cfg_json(nullptr)) << "one record";
}

TEST_F(ConfigFile, BeaconPeriodsUnderSixSecondsAreRefusedAndNotKept) {
  ASSERT_NE(read(R"({"gateway_conf": {"beacon_period": 128}})"), nullptr);
  for (int period : {1, 5}) {
    sandbox().clear_logs();
    EXPECT_EQ(read(R"({"gateway_conf": {"beacon_period": )" + std::to_string(period) + "}}"), nullptr);
    EXPECT_TRUE(logged("ERROR: invalid configuration " + std::to_string(period) +
                       " for Beacon period, must be >= 6s"));
    EXPECT_TRUE(logged("ERROR: failed to parse configuration gateway_conf from JSON file"));
  }
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->beacon_period, 128u);
  EXPECT_EQ(read(R"({"gateway_conf": {"beacon_period": 0}})")->beacon_period, 0u);
  EXPECT_TRUE(logged("INFO: Beaconing period is configured to 0 seconds"));
  EXPECT_EQ(read(R"({"gateway_conf": {"beacon_period": 6}})")->beacon_period, 6u);
}

TEST_F(ConfigFile, GatewayIdIsZeroWithoutADatabase) {
  sandbox().remove("/tmp/commissioning.db");
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->gateway_id, 0u);
  EXPECT_TRUE(logged("INFO: gateway ID is configured to 0000000000000000"));
}

}  // namespace

// The forwarder's settings of "gateway_conf": defaults, every key's
// conversion and line, wrong types, and values kept from call to call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

using crx::test::ConfigFile;
using ::testing::ElementsAre;

TEST_F(ConfigFile, AnEmptyGatewayObjectKeepsTheDefaultsAndSaysSo) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->gateway_id, 0x00800000A0001234u) << "from the database";
  EXPECT_STREQ(gw->server_address, "127.0.0.1");
  EXPECT_STREQ(gw->serv_port_up, "1780");
  EXPECT_STREQ(gw->serv_port_down, "1782");
  EXPECT_EQ(gw->keepalive_interval, 5);
  EXPECT_EQ(gw->stat_interval, 30u);
  EXPECT_EQ(gw->push_timeout_half.seconds, 0u);
  EXPECT_EQ(gw->push_timeout_half.microseconds, 50000u);
  EXPECT_EQ(gw->pull_timeout.seconds, 0u);
  EXPECT_EQ(gw->pull_timeout.microseconds, 200000u);
  EXPECT_TRUE(gw->forward_crc_valid);
  EXPECT_FALSE(gw->forward_crc_error);
  EXPECT_FALSE(gw->forward_crc_disabled);
  EXPECT_EQ(gw->autoquit_threshold, 0u);
  EXPECT_EQ(gw->link_mote, 0u);
  EXPECT_EQ(gw->beacon_period, 0u);
  EXPECT_EQ(gw->beacon_freq_hz, 869525000u);
  EXPECT_EQ(gw->beacon_freq_nb, 1);
  EXPECT_EQ(gw->beacon_freq_step, 0u);
  EXPECT_EQ(gw->beacon_datarate, 9);
  EXPECT_EQ(gw->beacon_bw_hz, 125000u);
  EXPECT_EQ(gw->beacon_power, 14);
  EXPECT_EQ(gw->beacon_infodesc, 0);
  EXPECT_EQ(gw->multi_antenna, 0);
  EXPECT_EQ(gw->stat_no_ack_timeout_cnt, 60);
  EXPECT_EQ(gw->use_utc_timestamp, 0);
  EXPECT_EQ(gw->use_gps_timestamp, 1);
  EXPECT_EQ(gw->antenna_schedule, 0);
  EXPECT_EQ(gw->report_count, 0);
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
  EXPECT_STREQ(gw->server_address, "router.example.net");
  EXPECT_STREQ(gw->serv_port_up, "1700");
  EXPECT_STREQ(gw->serv_port_down, "1701");
  EXPECT_EQ(gw->keepalive_interval, 10);
  EXPECT_EQ(gw->stat_interval, 45u);
  EXPECT_EQ(gw->push_timeout_half.microseconds, 50000u);
  EXPECT_FALSE(gw->forward_crc_valid);
  EXPECT_TRUE(gw->forward_crc_error);
  EXPECT_TRUE(gw->forward_crc_disabled);
  EXPECT_EQ(gw->autoquit_threshold, 3u);
  EXPECT_EQ(gw->link_mote, 0x26011BDAu);
  EXPECT_EQ(gw->beacon_period, 128u);
  EXPECT_EQ(gw->beacon_freq_hz, 923300000u);
  EXPECT_EQ(gw->beacon_freq_nb, 8);
  EXPECT_EQ(gw->beacon_freq_step, 600000u);
  EXPECT_EQ(gw->beacon_datarate, 12);
  EXPECT_EQ(gw->beacon_bw_hz, 500000u);
  EXPECT_EQ(gw->beacon_power, 26);
  EXPECT_EQ(gw->beacon_infodesc, 2);
  EXPECT_EQ(gw->stat_no_ack_timeout_cnt, 30);
  EXPECT_EQ(gw->use_utc_timestamp, 1);
  EXPECT_EQ(gw->use_gps_timestamp, 0);
  EXPECT_EQ(gw->antenna_schedule, 2);
  EXPECT_EQ(gw->report_count, 7);
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
  EXPECT_STREQ(gw->server_address, "127.0.0.1");  // string values only
  EXPECT_STREQ(gw->serv_port_up, "0");             // numbers: present means 0
  EXPECT_EQ(gw->keepalive_interval, 0);
  EXPECT_EQ(gw->stat_interval, 0u);
  EXPECT_TRUE(gw->forward_crc_valid);  // boolean values only
  EXPECT_FALSE(gw->forward_crc_error);
  EXPECT_EQ(gw->link_mote, 0u);
  EXPECT_TRUE(logged("INFO: Link testing mote address is not configured"));
  EXPECT_EQ(gw->beacon_freq_hz, 0u);
  EXPECT_EQ(gw->use_gps_timestamp, 0);
  EXPECT_FALSE(is_multi_antenna_enabled());
}

TEST_F(ConfigFile, OutOfRangeNumbersSaturateOrKeepTheirLowBits) {
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {
      "serv_port_up": 70000, "serv_port_down": -5, "keepalive_interval": -1e300, "stat_interval": 1e300,
      "autoquit_threshold": 12.9, "beacon_freq_hz": -868100000, "beacon_freq_nb": 300, "beacon_power": -200,
      "beacon_datarate": 1e19, "multi_antenna": 257, "report_count": -3,
      "server_address": "a-host-name-that-is-far-too-long-for-the-sixty-four-bytes-the-record-has.example.net"}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_STREQ(gw->serv_port_up, "4464");
  EXPECT_STREQ(gw->serv_port_down, "0");
  EXPECT_EQ(gw->keepalive_interval, INT32_MIN);
  EXPECT_EQ(gw->stat_interval, UINT32_MAX);
  EXPECT_EQ(gw->autoquit_threshold, 12u);
  EXPECT_EQ(gw->beacon_freq_hz, 0u) << "a negative frequency is no frequency";
  EXPECT_EQ(gw->beacon_freq_nb, 44);       // 300 & 0xFF
  EXPECT_EQ(gw->beacon_power, 56);         // -200 & 0xFF
  EXPECT_EQ(gw->beacon_datarate, 0xFF);    // saturated, then the low 8 bits
  EXPECT_EQ(gw->report_count, 0);
  EXPECT_TRUE(is_multi_antenna_enabled()) << "257 keeps 1";
  EXPECT_EQ(std::string(gw->server_address),
            std::string("a-host-name-that-is-far-too-long-for-the-sixty-four-bytes-the-record-has.example.net")
                .substr(0, 63));
  EXPECT_TRUE(logged("INFO: downstream keep-alive interval is configured to 2147483648 seconds"));
}

TEST_F(ConfigFile, GatewaySettingsAccumulateOverCalls) {
  ASSERT_NE(read(R"({"gateway_conf": {"server_address": "first.example.net", "stat_interval": 10,
                                      "link_mote": "ABCD", "forward_crc_error": true}})"),
            nullptr);
  const crx_gw_cfg_t* gw = read(R"({"gateway_conf": {"serv_port_up": 1700, "forward_crc_valid": false}})");
  ASSERT_NE(gw, nullptr);
  EXPECT_STREQ(gw->server_address, "first.example.net");
  EXPECT_EQ(gw->stat_interval, 10u);
  EXPECT_TRUE(gw->forward_crc_error);
  EXPECT_FALSE(gw->forward_crc_valid);
  EXPECT_STREQ(gw->serv_port_up, "1700");
  EXPECT_EQ(gw->link_mote, 0u) << "not given this time: not configured";
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

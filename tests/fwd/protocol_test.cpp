// The forwarder's pure parts: downlink requests, Base64 from the network,
// the encodings the board path cannot reach (fine timestamps, antennas),
// and the just-in-time queue's decisions, across the counter's wrap.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "downlink.h"
#include "jit_queue.h"
#include "protocol.h"

namespace crxfwd::test {
namespace {

using Json = nlohmann::json;

bool parse(const std::string& text, TxRequest& req, TxParseError& err) {
  return parse_txpk(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()), req, err);
}

TEST(TxpkTest, RequestsBecomeTransmitRecords) {
  TxRequest r;
  TxParseError e;
  ASSERT_TRUE(parse(R"({"txpk":{"imme":false,"tmst":4294967000,"freq":923.3,"rfch":1,"powe":20,"modu":"LORA",
      "datr":"SF10BW500","codr":"4/6","ipol":true,"prea":10,"size":3,"data":"AQID","ncrc":true}})", r, e)) << e.reason;
  EXPECT_EQ(r.timing, Timing::kCounter);
  EXPECT_EQ(r.tmst, 4294967000u);
  EXPECT_EQ(r.pkt.freq_hz, 923300000u);
  EXPECT_EQ(r.rfch, 1);
  EXPECT_EQ(r.pkt.datarate, uint32_t(DR_LORA_SF10));
  EXPECT_EQ(r.pkt.bandwidth, uint32_t(BW_500KHZ));
  EXPECT_EQ(r.pkt.coderate, uint32_t(CR_LORA_4_6));
  EXPECT_TRUE(r.pkt.invert_pol);
  EXPECT_TRUE(r.pkt.no_crc);
  EXPECT_EQ(r.pkt.preamble, 10);
  ASSERT_EQ(r.pkt.size, 3);
  EXPECT_EQ(r.pkt.payload[2], 3);

  ASSERT_TRUE(parse(R"({"txpk":{"tmms":1300000000123,"freq":868.3,"powe":14,"modu":"FSK","datr":50000,
      "fdev":25000,"data":"AAECAwQ"}})", r, e)) << e.reason;
  EXPECT_EQ(r.timing, Timing::kGps);
  EXPECT_EQ(r.tmms, 1300000000123u);
  EXPECT_EQ(r.pkt.modulation, uint32_t(MOD_FSK));
  EXPECT_EQ(r.pkt.datarate, 50000u);
  EXPECT_EQ(r.pkt.f_dev, 25);
  EXPECT_EQ(r.pkt.size, 5) << "padding is optional";
}

TEST(TxpkTest, MalformedRequestsNameTheirField) {
  struct Case {
    const char* json;
    TxError error;
    const char* field;
  } cases[] = {
      {R"({"txpk":{"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":""}})",
       TxError::kTooLate, "imme/tmst/tmms"},
      {R"({"txpk":{"imme":true,"tmst":5,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":""}})",
       TxError::kTooLate, "imme/tmst/tmms"},
      {R"({"txpk":{"tmst":-5,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":""}})",
       TxError::kTooLate, "tmst"},
      {R"({"txpk":{"imme":true,"freq":"923.3","powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":""}})",
       TxError::kTxFreq, "freq"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":99,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":""}})",
       TxError::kTxPower, "powe"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF6BW125","codr":"4/5","data":""}})",
       TxError::kTxFreq, "datr"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125x","codr":"4/5","data":""}})",
       TxError::kTxFreq, "datr"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/9","data":""}})",
       TxError::kTxFreq, "codr"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","data":"A$=="}})",
       TxError::kTxFreq, "data"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"LORA","datr":"SF9BW125","codr":"4/5","size":4,"data":"AQID"}})",
       TxError::kTxFreq, "size"},
      {R"({"txpk":{"imme":true,"freq":923.3,"powe":20,"modu":"OOK","data":""}})", TxError::kTxFreq, "modu"},
  };
  for (const Case& c : cases) {
    TxRequest r;
    TxParseError e;
    EXPECT_FALSE(parse(c.json, r, e)) << c.json;
    EXPECT_EQ(e.error, c.error) << c.json;
    EXPECT_EQ(e.field, c.field) << c.json;
  }
  // Not a request at all: dropped, not answered.
  for (const char* junk : {"", "{", "[1]", R"({"txpk":5})", R"({"rxpk":[]})"}) {
    TxRequest r;
    TxParseError e;
    EXPECT_FALSE(parse(junk, r, e)) << junk;
    EXPECT_EQ(e.error, TxError::kNone) << junk;
  }
}

// The library's decoder ends the process on a foreign character; nothing
// from the network may reach it unchecked.
TEST(Base64Test, OnlyStrictBase64ReachesTheCodec) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(decode_base64("AQIDBA==", out, 255));
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_TRUE(decode_base64("AQIDBA", out, 255));
  EXPECT_EQ(out.size(), 4u);
  EXPECT_TRUE(decode_base64("", out, 255));
  EXPECT_TRUE(out.empty());
  for (const char* bad : {"AQ=D", "AQIDB", "A===", "AQID\n", "AQ-D", "AQ==AQ==", "=", "AQI=="})
    EXPECT_FALSE(decode_base64(bad, out, 255)) << bad;
  EXPECT_FALSE(decode_base64(std::string(344, 'A'), out, 255)) << "258 bytes";
  EXPECT_TRUE(decode_base64(std::string(340, 'A'), out, 255));
  EXPECT_EQ(out.size(), 255u);
}

TEST(RxpkTest, FineTimestampsAndAntennas) {
  crx_rx_pkt_t p{};
  p.status = STAT_CRC_OK;
  p.freq_hz = 902300000;
  p.count_us = 123456;
  p.modulation = MOD_LORA;
  p.bandwidth = BW_125KHZ;
  p.datarate = DR_LORA_SF9;
  p.coderate = CR_LORA_4_5;
  p.if_chain = 40;
  p.size = 2;
  p.payload[0] = 0x40;
  p.payload[1] = 0xFF;
  p.rsig[0] = {};
  p.rsig[1].valid = true;
  p.rsig[1].chan = 0;
  p.rsig[1].rssi = -97.4f;
  p.rsig[1].snr = 7.25f;
  p.rsig[1].fine_ts_flag = 1;
  p.rsig[1].fine_ts_ns = 528002123;
  p.rsig[0].valid = true;
  p.rsig[0].rssi = -101.6f;
  p.rsig[0].snr = -3.0f;
  RxTime t;
  t.utc_valid = true;
  t.utc_sec = 1774974077;  // 2026-03-31 16:21:17
  t.utc_nsec = 528002999;
  t.gps_valid = true;
  t.gps_ms = 1427039495528ull;
  std::string s;
  ASSERT_TRUE(rxpk_json(p, t, RxOptions{true}, s));
  const Json j = Json::parse(s);
  EXPECT_EQ(j["time"], "2026-03-31T16:21:17.528002Z");
  EXPECT_EQ(j["tmms"], 1427039495528ull);
  EXPECT_EQ(j["rfch"], 0) << "the first antenna that heard it";
  EXPECT_FALSE(j.contains("ftime")) << "antenna 0 has no fine timestamp";
  EXPECT_EQ(j["rssi"], -102);
  EXPECT_EQ(j["data"], "QP8=");
  ASSERT_EQ(j["rsig"].size(), 2u);
  EXPECT_EQ(j["rsig"][1]["ant"], 1);
  EXPECT_EQ(j["rsig"][1]["rssic"], -97);
  EXPECT_DOUBLE_EQ(j["rsig"][1]["lsnr"].get<double>(), 7.2);
  EXPECT_EQ(j["rsig"][1]["ftime"], 528002123u);
  EXPECT_FALSE(j["rsig"][0].contains("ftime"));

  p.rsig[0].valid = false;
  ASSERT_TRUE(rxpk_json(p, RxTime{}, RxOptions{false}, s));
  const Json k = Json::parse(s);
  EXPECT_EQ(k["ftime"], 528002123u);
  EXPECT_EQ(k["rfch"], 1);
  EXPECT_FALSE(k.contains("rsig"));
  EXPECT_FALSE(k.contains("time"));
  EXPECT_FALSE(k.contains("tmms"));
}

TEST(StatTest, Format) {
  Stat st;
  st.utc_sec = 1765308600;
  st.position_valid = true;
  st.lat = 45.46421;
  st.lon = -9.19;
  st.alt = 120;
  st.rxnb = 10;
  st.ackr = 2.0 / 3 * 100;
  const std::string s = push_stat(st);
  EXPECT_NE(s.find("\"time\":\"2025-12-09 19:30:00 GMT\""), std::string::npos) << s;
  EXPECT_NE(s.find("\"lati\":45.46421,\"long\":-9.19000,\"alti\":120"), std::string::npos) << s;
  EXPECT_NE(s.find("\"ackr\":66.7"), std::string::npos) << s;
  st.position_valid = false;
  EXPECT_EQ(push_stat(st).find("lati"), std::string::npos);
}

// ---- the just-in-time queue ----

JitItem item(uint32_t start, uint32_t airtime_us, uint8_t chain = 0) {
  JitItem it;
  it.start = start;
  it.airtime_us = airtime_us;
  it.pkt.rf_chain = chain;
  return it;
}

TEST(JitQueueTest, RefusalsAndOrder) {
  JitQueue q(40000);
  const uint32_t now = 1000000;
  EXPECT_EQ(q.admit(item(now + 30000, 1000), now), TxError::kTooLate) << "inside the lead";
  EXPECT_EQ(q.admit(item(now - 5, 1000), now), TxError::kTooLate);
  EXPECT_EQ(q.admit(item(now + 131000000, 1000), now), TxError::kTooEarly);
  // Three downlinks one second apart on one chain.
  EXPECT_EQ(q.admit(item(now + 3000000, 300000), now), TxError::kNone);
  EXPECT_EQ(q.admit(item(now + 1000000, 300000), now), TxError::kNone);
  EXPECT_EQ(q.admit(item(now + 2000000, 300000), now), TxError::kNone);
  // Overlaps on the same chain collide, including a start inside the next
  // one's hand-over lead; the other chain is free.
  EXPECT_EQ(q.admit(item(now + 1200000, 10000), now), TxError::kCollisionPacket);
  EXPECT_EQ(q.admit(item(now + 1990000, 5000), now), TxError::kCollisionPacket);
  EXPECT_EQ(q.admit(item(now + 1200000, 10000, 1), now), TxError::kNone);
  EXPECT_EQ(q.until_next(now), 1000000 - 40000);
  EXPECT_FALSE(q.take_due(now + 900000));
  auto a = q.take_due(now + 960000);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->start, now + 1000000);
  auto b = q.take_due(now + 1170000);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->pkt.rf_chain, 1);
  EXPECT_EQ(q.size(), 2u);
}

TEST(JitQueueTest, AcrossTheCounterWrap) {
  JitQueue q(40000);
  const uint32_t now = 0xFFFFFFFFu - 500000;  // 0.5 s before the wrap
  EXPECT_EQ(q.admit(item(now + 1000000, 100000), now), TxError::kNone) << "starts after the wrap";
  EXPECT_EQ(q.admit(item(now + 5000000, 100000), now), TxError::kNone);
  EXPECT_EQ(q.admit(item(now + 300000, 100000), now), TxError::kNone) << "before the wrap, first";
  EXPECT_EQ(q.admit(item(now + 1050000, 10000), now), TxError::kCollisionPacket);
  EXPECT_EQ(q.admit(item(now - 1000, 10000), now), TxError::kTooLate);
  EXPECT_EQ(q.admit(item(now + 135000000, 10000), now), TxError::kTooEarly) << "wraps to a small value";
  auto first = q.take_due(now + 270000);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->start, now + 300000);
  EXPECT_FALSE(q.take_due(now + 900000)) << "past the wrap the next is still ahead";
  auto second = q.take_due(now + 970000);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->start, uint32_t(now + 1000000));
}

TEST(JitQueueTest, FullQueueNeverGrows) {
  JitQueue q(40000);
  const uint32_t now = 0;
  for (size_t i = 0; i < JitQueue::kCapacity; ++i)
    ASSERT_EQ(q.admit(item(now + 1000000 + uint32_t(i) * 100000, 10000), now), TxError::kNone);
  EXPECT_EQ(q.admit(item(now + 60000000, 10000), now), TxError::kTooEarly) << "after all the others";
  EXPECT_EQ(q.admit(item(now + 500000, 10000), now), TxError::kCollisionPacket);
  EXPECT_EQ(q.size(), JitQueue::kCapacity);
}

TEST(BoardRulesTest, SplitBandChainAndLbtErrors) {
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_CALDER_CONDOR, 868000000, 0), 1);
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_CALDER_CONDOR, 915000000, 1), 0);
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_CALDER_CONDOR, 900000000, 1), 1) << "the split itself: either";
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_PLOVER, 923300000, 1), 0);
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_PLOVER, 915000000, 0), 1);
  EXPECT_EQ(choose_rf_chain(CRX_BOARD_CONDOR_NA, 868000000, 0), 0);
  EXPECT_EQ(lbt_error(62, true), TxError::kCollisionPacket);
  EXPECT_EQ(lbt_error(63, true), TxError::kTxPower);
  EXPECT_EQ(lbt_error(64, false), TxError::kTxFreq);
  EXPECT_EQ(lbt_error(64, true), TxError::kTxPower);
}

}  // namespace
}  // namespace crxfwd::test

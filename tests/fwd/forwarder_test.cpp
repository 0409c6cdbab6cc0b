// The forwarder on a started simulated board against a loopback server:
// uplinks from the chips' FIFOs to PUSH_DATA, keep-alive and auto-quit on
// the test's clock, statistics, and downlinks from PULL_RESP to the chips'
// TX buffers with every TX_ACK error.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <set>

#include "fwd_support.h"
#include "sim/rx_fifo.h"
#include "sim/tx_buffer.h"
#include "tests/support/checks.h"
#include "tests/support/radio_board.h"

namespace crxfwd::test {
namespace {

// How long an event may take on a loaded machine (sanitizers, two tests on
// two cores); only a failing test waits this long.
constexpr int kWaitMs = 30000;

// The receive tests' data uplink, with the coding rate following the frame
// counter and the CRC state given.
crx::sim::Uplink uplink(uint32_t dev, uint16_t fcnt, uint8_t chan, uint8_t sf, uint32_t count, uint8_t crc_state) {
  crx::sim::Uplink u = crx::test::RadioBoardTest::data_uplink(dev, fcnt, chan, sf, count);
  u.cr = uint8_t(1 + fcnt % 4);
  u.crc_state = crc_state;
  return u;
}

std::string b64(const std::vector<uint8_t>& v) {
  char out[400];
  bin_to_b64(v.data(), int(v.size()), out, sizeof out);
  return out;
}

class ForwarderTest : public FwdBoardTest {
 protected:
  uint32_t counter() {
    uint32_t now = 0;
    EXPECT_EQ(crx_get_instcnt(0, 0, &now), 0);
    return now;
  }
  // The rxpk entry whose data is `payload`, once it has arrived.
  Json wait_rxpk(LoopbackServer& s, const std::vector<uint8_t>& payload) {
    const std::string data = b64(payload);
    Json found;
    s.wait([&](const std::vector<Received>& all) {
      for (const auto& r : all)
        if (r.header.type == 0 && r.json.contains("rxpk"))
          for (const auto& e : r.json["rxpk"])
            if (e.value("data", "") == data) return found = e, true;
      return false;
    }, kWaitMs);
    return found;
  }
  // The TX_ACK errors for `token`, in order, once `n` have arrived.
  std::vector<std::string> tx_acks(LoopbackServer& s, uint16_t token, size_t n = 1) {
    std::vector<std::string> out;
    s.wait([&](const std::vector<Received>& all) {
      out.clear();
      for (const auto& r : all)
        if (r.header.type == uint8_t(Type::kTxAck) && r.header.token == token)
          out.push_back(r.json["txpk_ack"]["error"].get<std::string>());
      return out.size() >= n;
    }, kWaitMs);
    return out;
  }
  // `n` uplinks from devices `dev`, `dev` + 1, ... round the chips; their
  // data in Base64.
  std::vector<std::string> push_uplinks(uint32_t dev, uint16_t n) {
    std::vector<std::string> sent;
    for (uint16_t i = 0; i < n; ++i) {
      const auto u = uplink(dev + i, i, uint8_t(i % 8), 7, 1000000 + i * 1000, crx::sim::Uplink::kCrcOk);
      port_->chip(i % 8).push_uplink(u);
      sent.push_back(b64(u.payload));
    }
    return sent;
  }
  // Those of `sent` that never arrived in a PUSH_DATA.
  std::vector<std::string> never_arrived(LoopbackServer& s, const std::vector<std::string>& sent) {
    std::vector<std::string> missing;
    s.wait([&](const std::vector<Received>& all) {
      missing.clear();
      std::set<std::string> seen;
      for (const auto& r : all)
        if (r.header.type == uint8_t(Type::kPushData) && r.json.contains("rxpk"))
          for (const auto& e : r.json["rxpk"]) seen.insert(e.value("data", ""));
      for (const auto& d : sent)
        if (!seen.count(d)) missing.push_back(d);
      return missing.empty();
    }, kWaitMs);
    return missing;
  }
  bool wait_pull(LoopbackServer& s, size_t n) {
    return s.wait([&](const std::vector<Received>& all) { return LoopbackServer::count(all, Type::kPullData) >= n; },
                  kWaitMs);
  }
  // Transmissions armed on chip `chip`, once there are `n`.
  std::vector<crx::sim::Transmission> wait_tx(int chip, size_t n) {
    crx::test::eventually([&] { return port_->chip(chip).transmissions().size() >= n; },
                          std::chrono::milliseconds(kWaitMs));
    return port_->chip(chip).transmissions();
  }
  // The statistics of the first report, once one has arrived.
  Json wait_stat(LoopbackServer& s) {
    Json stat;
    s.wait([&](const std::vector<Received>& all) {
      for (const auto& r : all)
        if (r.header.type == 0 && r.json.contains("stat")) return stat = r.json["stat"], true;
      return false;
    });
    return stat;
  }
  static std::string txpk(const std::string& timing, double mhz = 923.3, int rfch = 0, int powe = 20,
                          const std::string& datr = "SF10BW500", const std::string& data = "AQIDBAU=") {
    char b[400];
    std::snprintf(b, sizeof b,
                  R"({"txpk":{%s,"freq":%.1f,"rfch":%d,"powe":%d,"modu":"LORA","datr":"%s","codr":"4/5",)"
                  R"("ipol":true,"size":5,"data":"%s"}})",
                  timing.c_str(), mhz, rfch, powe, datr.c_str(), data.c_str());
    return b;
  }
};

TEST_F(ForwarderTest, UplinkFieldsForEachModulation) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa, [](Json& doc) {
    auto& chips = doc["crx_conf"][0]["SX1301_conf"];
    chips[0]["chan_FSK"] = {{"chan_rx_freq", 903800000}, {"bandwidth", 125000}, {"bit_rate", 50000}};
    chips[1]["chan_LoRa_std"] = {{"chan_rx_freq", 904600000}, {"bandwidth", 250000}, {"spread_factor", 9}};
    doc["gateway_conf"]["forward_crc_disabled"] = true;
  }));
  LoopbackServer server;
  run_forwarder(settings_for(server));

  struct Case {
    int chip;
    uint8_t chan, sf;
    double mhz;
    const char* datr;
  } cases[] = {
      {0, 0, 7, 902.3, "SF7BW125"},   {0, 1, 8, 902.5, "SF8BW125"},   {0, 2, 9, 902.7, "SF9BW125"},
      {0, 3, 10, 902.9, "SF10BW125"}, {0, 4, 11, 903.1, "SF11BW125"}, {0, 5, 12, 903.3, "SF12BW125"},
      {0, 8, 8, 903.0, "SF8BW500"},   {1, 8, 9, 904.6, "SF9BW250"},
  };
  uint16_t fcnt = 0;
  for (const Case& c : cases) {
    const auto u = uplink(0x26000001, ++fcnt, c.chan, c.sf, 5000000, crx::sim::Uplink::kCrcOk);
    port_->chip(c.chip).push_uplink(u);
    const Json e = wait_rxpk(server, u.payload);
    ASSERT_FALSE(e.is_null()) << c.datr << "\n" << log_dump();
    EXPECT_EQ(e["modu"], "LORA");
    EXPECT_EQ(e["datr"], c.datr);
    EXPECT_EQ(e["codr"], "4/" + std::to_string(4 + 1 + fcnt % 4)) << c.datr;
    EXPECT_NEAR(e["freq"].get<double>(), c.mhz, 1e-6);
    EXPECT_EQ(e["chan"], c.chip * 10 + c.chan);
    EXPECT_EQ(e["rfch"], 0);
    EXPECT_EQ(e["brd"], 0);
    EXPECT_EQ(e["stat"], 1);
    EXPECT_EQ(e["size"], u.payload.size());
    EXPECT_LE(e["tmst"].get<uint32_t>(), 5000000u) << "the counter less the demodulation delay";
    EXPECT_GT(e["tmst"].get<uint32_t>(), 4000000u);
    EXPECT_NEAR(e["lsnr"].get<double>(), 7.25, 0.051);
    EXPECT_TRUE(e["rssi"].is_number_integer());
    if (e.contains("rsig")) {
      EXPECT_EQ(e["rsig"][0]["ant"], 0) << "multi_antenna in the example file";
    }
  }
  // FSK: bit rate as a number, no coding rate or SNR; a frame without CRC.
  const auto f = uplink(0x26000002, 1, 9, 7, 6000000, crx::sim::Uplink::kNoCrc);
  port_->chip(0).push_uplink(f);
  const Json e = wait_rxpk(server, f.payload);
  ASSERT_FALSE(e.is_null()) << log_dump();
  EXPECT_EQ(e["modu"], "FSK");
  EXPECT_EQ(e["datr"], 50000);
  EXPECT_FALSE(e.contains("codr"));
  EXPECT_FALSE(e.contains("lsnr"));
  EXPECT_EQ(e["tmst"], 6000000u);
  EXPECT_EQ(e["stat"], 0);
  EXPECT_NEAR(e["freq"].get<double>(), 903.8, 1e-6);
  // A server that answers: every PUSH_DATA acknowledged.
  EXPECT_TRUE(server.wait([&](const auto&) { return fwd_->totals().push_acked == fwd_->totals().push_sent; }));
}

TEST_F(ForwarderTest, CrcFlagsFilterAndStatisticsCount) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  Settings st = settings_for(server);
  st.forward_crc_valid = true;
  st.forward_crc_error = false;
  st.forward_crc_disabled = true;
  st.stat_interval_s = 30;
  st.use_gps_timestamp = false;
  run_forwarder(st);
  ASSERT_TRUE(wait_pull(server, 1));
  const auto ok = uplink(0x26000011, 1, 0, 7, 1000000, crx::sim::Uplink::kCrcOk);
  const auto bad = uplink(0x26000012, 1, 1, 7, 1000000, crx::sim::Uplink::kCrcBad);
  const auto none = uplink(0x26000013, 1, 2, 7, 1000000, crx::sim::Uplink::kNoCrc);
  port_->chip(0).push_uplink(ok);
  port_->chip(0).push_uplink(bad);
  port_->chip(0).push_uplink(none);
  EXPECT_EQ(wait_rxpk(server, ok.payload)["stat"], 1);
  EXPECT_EQ(wait_rxpk(server, none.payload)["stat"], 0);
  ASSERT_TRUE(server.wait([&](const auto&) { return fwd_->totals().fetched == 3; }, kWaitMs));
  for (const Json& e : server.rxpk()) EXPECT_NE(e["stat"], -1) << "CRC errors are not forwarded";

  // The next report counts them: 3 received, 1 good, 2 forwarded, all
  // acknowledged. The two may have gone in one PUSH_DATA or in two.
  ASSERT_TRUE(server.wait([&](const auto&) {
    const Totals t = fwd_->totals();
    return t.forwarded == 2 && t.push_acked == t.push_sent;
  }, kWaitMs)) << log_dump();
  clock_.advance_ms(30000);
  const Json stat = wait_stat(server);
  ASSERT_FALSE(stat.is_null()) << log_dump();
  EXPECT_EQ(stat["time"], "2025-12-09 19:30:30 GMT");
  EXPECT_EQ(stat["rxnb"], 3);
  EXPECT_EQ(stat["rxok"], 1);
  EXPECT_EQ(stat["rxfw"], 2);
  EXPECT_DOUBLE_EQ(stat["ackr"].get<double>(), 100.0);
  EXPECT_EQ(stat["dwnb"], 0);
  EXPECT_EQ(stat["txnb"], 0);
  EXPECT_NEAR(stat["lati"].get<double>(), 45.4642, 1e-5);
  EXPECT_EQ(stat["alti"], 120);
  // Every datagram of the gateway carries its EUI, most significant first.
  const auto push = server.of_type(Type::kPushData).front();
  EXPECT_EQ(push.bytes[0], 2);
  EXPECT_EQ(std::vector<uint8_t>(push.bytes.begin() + 4, push.bytes.begin() + 12),
            (std::vector<uint8_t>{0x00, 0x80, 0x00, 0x00, 0xA0, 0x00, 0x12, 0x34}));
}

// Reception never waits on the network: without acknowledgements every
// packet still goes out, and the report says none was acknowledged.
TEST_F(ForwarderTest, ServerThatNeverAcknowledges) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  server.ack_push(false);
  run_forwarder(settings_for(server));
  const auto sent = push_uplinks(0x26000100, 40);
  const auto missing = never_arrived(server, sent);
  ASSERT_TRUE(missing.empty()) << missing.size() << " of 40 uplinks never arrived\n" << log_dump();
  ASSERT_TRUE(server.wait([&](const auto&) { return fwd_->totals().forwarded == 40; }, kWaitMs));
  clock_.advance_ms(30000);
  const Json stat = wait_stat(server);
  ASSERT_FALSE(stat.is_null());
  EXPECT_EQ(stat["rxfw"], 40);
  EXPECT_DOUBLE_EQ(stat["ackr"].get<double>(), 0.0);
  EXPECT_EQ(fwd_->totals().push_acked, 0u);
}

// The server's address is looked up in the background, so uplinks can be
// fetched before it is known (a slow name server, or merely a busy machine
// at start): they wait for it instead of being lost.
TEST_F(ForwarderTest, UplinksBeforeTheServerIsKnownWaitForIt) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  auto open = std::make_shared<std::atomic<bool>>(false);
  // Opened however the test ends: stopping waits for the look-up.
  struct Opener {
    std::shared_ptr<std::atomic<bool>> flag;
    ~Opener() { flag->store(true); }
  } opener{open};
  run_forwarder(settings_for(server),
                [open](const std::string& host, const std::string& port, Endpoint& out, std::string& error) {
                  while (!open->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                  return resolve_with_getaddrinfo(host, port, out, error);
                });
  const auto sent = push_uplinks(0x26000300, 12);
  ASSERT_TRUE(server.wait([&](const auto&) { return fwd_->totals().fetched == 12; }, kWaitMs)) << log_dump();
  EXPECT_EQ(fwd_->totals().forwarded, 0u);
  EXPECT_TRUE(logged("the server's address is not known yet; holding uplinks")) << log_dump();

  open->store(true);
  EXPECT_EQ(never_arrived(server, sent), std::vector<std::string>{}) << log_dump();
  // Counted once sent: the server may see the datagram first.
  EXPECT_TRUE(server.wait([&](const auto&) { return fwd_->totals().forwarded == 12; }, kWaitMs));
  EXPECT_FALSE(logged("dropped while the server's address was unknown")) << log_dump();
}

// The server's name: a failed look-up is said once and retried; later,
// statistics reports that go unanswered make the forwarder look it up again.
TEST_F(ForwarderTest, ServerLookUpRetriedAndRepeatedAfterUnansweredStatistics) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  server.ack_push(false);
  Settings st = settings_for(server);
  st.server = "ns.example.test";
  st.stat_interval_s = 30;
  st.stat_no_ack_timeout_cnt = 2;
  auto lookups = std::make_shared<std::atomic<int>>(0);
  run_forwarder(st, [lookups, up = st.port_up](const std::string& host, const std::string& port, Endpoint& out,
                                              std::string& error) {
    if (host != "ns.example.test") return error = "unknown host", false;
    if (port == up) ++*lookups;
    if (*lookups < 2) return error = "temporary failure in name resolution", false;
    return resolve_with_getaddrinfo("127.0.0.1", port, out, error);
  });
  ASSERT_TRUE(wait_pull(server, 1)) << log_dump();
  EXPECT_EQ(logged_count("cannot be resolved"), 1) << log_dump();
  EXPECT_TRUE(logged("server \"ns.example.test\" is 127.0.0.1:"));
  const int before = lookups->load();
  for (int i = 0; i < 2; ++i) {
    clock_.advance_ms(30000);
    ASSERT_TRUE(server.wait([&](const std::vector<Received>& all) {
      size_t n = 0;
      for (const auto& r : all) n += r.header.type == 0 && r.json.contains("stat");
      return n >= size_t(i + 1);
    }));
  }
  crx::test::eventually([&] { return lookups->load() != before; });
  EXPECT_GT(lookups->load(), before) << log_dump();
  EXPECT_TRUE(logged("2 statistics reports unanswered; looking the server up again")) << log_dump();
}

TEST_F(ForwarderTest, KeepAliveThenAutoQuit) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  Settings st = settings_for(server);
  st.keepalive_s = 10;
  st.autoquit_threshold = 3;
  run_forwarder(st);
  ASSERT_TRUE(wait_pull(server, 1));
  ASSERT_TRUE(server.wait([&](const auto&) { return fwd_->totals().pull_acked == 1; }));
  clock_.advance_ms(10000);
  ASSERT_TRUE(wait_pull(server, 2));
  ASSERT_TRUE(server.wait([&](const auto&) { return fwd_->totals().pull_acked == 2; }));
  const auto pulls = server.of_type(Type::kPullData);
  EXPECT_NE(pulls[0].header.token, pulls[1].header.token);
  EXPECT_TRUE(pulls[0].down);
  EXPECT_EQ(pulls[0].bytes.size(), 12u);

  // The server goes quiet: three keep-alives without answer, then the end.
  server.ack_pull(false);
  for (size_t n = 3; n <= 5; ++n) {
    clock_.advance_ms(10000);
    ASSERT_TRUE(wait_pull(server, n));
    EXPECT_EQ(fwd_->outcome(), Forwarder::Outcome::kRunning);
  }
  clock_.advance_ms(10000);
  EXPECT_EQ(fwd_->wait_for(kWaitMs), Forwarder::Outcome::kAutoQuit);
  EXPECT_EQ(server.of_type(Type::kPullData).size(), 5u);
  EXPECT_TRUE(logged("3 PULL_DATA in a row without PULL_ACK")) << log_dump();
}

TEST_F(ForwarderTest, DownlinksImmediateCounterAndGpsTime) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa, {}, true));
  LoopbackServer server;
  run_forwarder(settings_for(server));
  ASSERT_TRUE(wait_pull(server, 1));
  const int chip = crx_tx_path2chip(0, 0);

  ASSERT_TRUE(server.pull_resp(0x1001, txpk(R"("imme":true)")));
  EXPECT_EQ(tx_acks(server, 0x1001), std::vector<std::string>{"NONE"}) << log_dump();
  auto t = wait_tx(chip, 1);
  ASSERT_EQ(t.size(), 1u) << log_dump();
  EXPECT_EQ(t[0].trigger, crx::sim::Transmission::Trigger::kImmediate);
  EXPECT_NEAR(t[0].frequency_hz(923300000), 923300000.0, 1.0);
  EXPECT_EQ(t[0].sf, 10);
  EXPECT_EQ(t[0].bandwidth_hz(), 500000u);
  EXPECT_TRUE(t[0].invert_iq);
  EXPECT_EQ(t[0].payload, (std::vector<uint8_t>{1, 2, 3, 4, 5}));

  // Starts seconds ahead: the request may take a while to arrive on a
  // loaded machine, and one that comes too late is refused.
  const uint32_t at = counter() + 3000000;
  ASSERT_TRUE(server.pull_resp(0x1002, txpk(R"("tmst":)" + std::to_string(at), 923.9, 0, 20, "SF9BW500")));
  EXPECT_EQ(tx_acks(server, 0x1002), std::vector<std::string>{"NONE"});
  t = wait_tx(chip, 2);
  ASSERT_EQ(t.size(), 2u) << log_dump();
  EXPECT_EQ(t[1].trigger, crx::sim::Transmission::Trigger::kTimestamped);
  EXPECT_EQ(t[1].trigger_count, at - 1500 - 88) << "start less the trigger lead and the front end's delay";
  EXPECT_EQ(t[1].sf, 9);
  EXPECT_NEAR(t[1].frequency_hz(923900000), 923900000.0, 1.0);

  // GPS time: the start the library converts it to.
  struct timespec gps {};
  ASSERT_EQ(crx_cnt2gps(counter() + 4000000, &gps), 0);
  const uint64_t tmms = uint64_t(gps.tv_sec) * 1000 + uint64_t(gps.tv_nsec) / 1000000;
  uint32_t expected = 0;
  const struct timespec whole = {time_t(tmms / 1000), long(tmms % 1000) * 1000000L};
  ASSERT_EQ(crx_gps2cnt(whole, &expected), 0);
  ASSERT_TRUE(server.pull_resp(0x1003, txpk(R"("tmms":)" + std::to_string(tmms))));
  EXPECT_EQ(tx_acks(server, 0x1003), std::vector<std::string>{"NONE"}) << log_dump();
  t = wait_tx(chip, 3);
  ASSERT_EQ(t.size(), 3u) << log_dump();
  EXPECT_EQ(t[2].trigger_count, expected - 1500 - 88);
  EXPECT_EQ(fwd_->totals().downlinks_sent, 3u);
}

TEST_F(ForwarderTest, EachTxAckError) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa, {}, false));
  LoopbackServer server;
  run_forwarder(settings_for(server));
  ASSERT_TRUE(wait_pull(server, 1));
  const uint32_t now = counter();
  struct Case {
    uint16_t token;
    std::string json;
    const char* error;
  } cases[] = {
      {0x2001, txpk(R"("tmst":)" + std::to_string(now + 5000)), "TOO_LATE"},
      {0x2002, txpk(R"("tmst":)" + std::to_string(now + 200000000)), "TOO_EARLY"},
      // Far enough ahead that the first is still queued when the second,
      // which overlaps it, arrives, however slow the machine.
      {0x2003, txpk(R"("tmst":)" + std::to_string(now + 60000000)), "NONE"},
      {0x2004, txpk(R"("tmst":)" + std::to_string(now + 60010000)), "COLLISION_PACKET"},
      {0x2005, txpk(R"("tmst":)" + std::to_string(now + 70000000), 868.1), "TX_FREQ"},
      {0x2006, txpk(R"("tmst":)" + std::to_string(now + 70000000), 923.3, 0, 30), "TX_POWER"},
      {0x2007, txpk(R"("tmms":1300000000000)"), "GPS_UNLOCKED"},
      {0x2008, txpk(R"("tmst":)" + std::to_string(now + 80000000), 923.3, 0, 20, "SF13BW500"), "TX_FREQ"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(server.pull_resp(c.token, c.json));
    EXPECT_EQ(tx_acks(server, c.token), std::vector<std::string>{c.error}) << c.json << "\n" << log_dump();
  }
  EXPECT_TRUE(logged("field \"datr\"")) << log_dump();
  // Dropped without answer: not a request, another version, a short header.
  ASSERT_TRUE(server.pull_resp(0x2009, "{\"txpk\":"));
  ASSERT_TRUE(server.send_down_raw({1, 0x20, 0x0A, 3}));
  ASSERT_TRUE(server.send_down_raw({2, 0x20}));
  ASSERT_TRUE(server.pull_resp(0x200B, txpk(R"("imme":true)")));
  EXPECT_EQ(tx_acks(server, 0x200B), std::vector<std::string>{"NONE"});
  EXPECT_TRUE(tx_acks(server, 0x2009, 0).empty());
  EXPECT_TRUE(logged("protocol version 1 dropped"));
  EXPECT_TRUE(logged("shorter than a header"));
}

TEST_F(ForwarderTest, DownlinksAcrossTheCounterWrap) {
  ASSERT_NO_FATAL_FAILURE(start_board(kCondorNa));
  LoopbackServer server;
  run_forwarder(settings_for(server));
  ASSERT_TRUE(wait_pull(server, 1));
  // Every chip's counter 4 s before the wrap, set only once the forwarder
  // runs so its start does not eat into the margin; one start 2 s ahead,
  // before the wrap, the other 6 s ahead, past it.
  // A machine that stalls between setting and reading just tries again.
  uint32_t now = 0;
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int64_t at = port_->now_us();
    for (int c = 0; c < 8; ++c) port_->chip(c).set_counter_base(uint32_t(0xFFFFFFFFu - 4000000u - uint32_t(at)));
    now = counter();
    if (now >= 0xFFFFFFFFu - 4000000u && now < 0xFFFFFFFFu - 2000000u) break;
  }
  ASSERT_LT(now, 0xFFFFFFFFu - 2000000u) << "the counter never stayed 2 s before the wrap";
  const uint32_t before = now + 2000000, after = now + 6000000;
  ASSERT_LT(after, before) << "the second start lies past the wrap";
  ASSERT_TRUE(server.pull_resp(0x4001, txpk(R"("tmst":)" + std::to_string(after))));
  ASSERT_TRUE(server.pull_resp(0x4002, txpk(R"("tmst":)" + std::to_string(before))));
  EXPECT_EQ(tx_acks(server, 0x4001), std::vector<std::string>{"NONE"}) << log_dump();
  EXPECT_EQ(tx_acks(server, 0x4002), std::vector<std::string>{"NONE"}) << log_dump();
  const auto t = wait_tx(crx_tx_path2chip(0, 0), 2);
  ASSERT_EQ(t.size(), 2u) << log_dump() << syslog_dump();
  EXPECT_EQ(t[0].trigger_count, before - 1500 - 88) << "the earlier start goes first";
  EXPECT_EQ(t[1].trigger_count, after - 1500 - 88);
}

TEST_F(ForwarderTest, SplitBandBoardChoosesTheChainFromTheFrequency) {
  ASSERT_NO_FATAL_FAILURE(start_board(Family{"plover.json", "Q7000103", "US_FULL_ISM", 902.0, 928.0, 8}));
  LoopbackServer server;
  run_forwarder(settings_for(server));
  ASSERT_TRUE(wait_pull(server, 1));
  // The server's rfch 1 for 923.3 MHz would be refused with 61.
  ASSERT_TRUE(server.pull_resp(0x5001, txpk(R"("imme":true)", 923.3, 1)));
  EXPECT_EQ(tx_acks(server, 0x5001), std::vector<std::string>{"NONE"}) << log_dump();
  EXPECT_EQ(wait_tx(crx_tx_path2chip(0, 0), 1).size(), 1u) << log_dump();
  ASSERT_TRUE(server.pull_resp(0x5002, txpk(R"("imme":true)", 915.0, 0, 20, "SF9BW125")));
  EXPECT_EQ(tx_acks(server, 0x5002), std::vector<std::string>{"NONE"});
  EXPECT_EQ(wait_tx(crx_tx_path2chip(1, 0), 1).size(), 1u) << log_dump();
  EXPECT_EQ(fwd_->totals().downlinks_sent, 2u);
}

// Listen-before-talk on Heron: no entry for the frequency or the power is
// refused at once; a busy channel is found by crx_send at the hand-over
// and answered with a second TX_ACK naming the entry in the log.
TEST_F(ForwarderTest, ListenBeforeTalkResultsBecomeTxAckErrors) {
  ASSERT_NO_FATAL_FAILURE(start_board(kHeron));
  port_->power_detector().set_noise_floor(-110.0);
  port_->power_detector().set_power_dbm(922000000, -60.0);
  LoopbackServer server;
  run_forwarder(settings_for(server));
  ASSERT_TRUE(wait_pull(server, 1));
  ASSERT_TRUE(server.pull_resp(0x6001, txpk(R"("imme":true)", 925.0, 0, 13, "SF7BW125")));
  EXPECT_EQ(tx_acks(server, 0x6001), std::vector<std::string>{"TX_FREQ"}) << log_dump();
  ASSERT_TRUE(server.pull_resp(0x6002, txpk(R"("imme":true)", 921.0, 0, 16, "SF7BW125")));
  EXPECT_EQ(tx_acks(server, 0x6002), std::vector<std::string>{"TX_POWER"}) << log_dump();
  ASSERT_TRUE(server.pull_resp(0x6003, txpk(R"("tmst":)" + std::to_string(counter() + 3000000), 922.0, 0, 13,
                                            "SF7BW125")));
  EXPECT_EQ(tx_acks(server, 0x6003, 2), (std::vector<std::string>{"NONE", "COLLISION_PACKET"})) << log_dump();
  EXPECT_TRUE(logged("refused by listen-before-talk (62: channel busy), entry 0 (920600000-923400000 Hz"))
      << log_dump();
  EXPECT_TRUE(port_->chip(0).transmissions().empty());
  // A quiet channel: sent.
  ASSERT_TRUE(server.pull_resp(0x6004, txpk(R"("imme":true)", 920.8, 0, 13, "SF7BW125")));
  EXPECT_EQ(tx_acks(server, 0x6004), std::vector<std::string>{"NONE"});
  EXPECT_EQ(wait_tx(0, 1).size(), 1u) << log_dump() << syslog_dump();
}

}  // namespace
}  // namespace crxfwd::test

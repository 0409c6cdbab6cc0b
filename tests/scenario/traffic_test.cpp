// The traffic generator against the library: every frame it puts on the
// air with at least one good copy comes out of crx_fetch exactly once,
// merged across the two RF chains, and the frames themselves are what a
// LoRaWAN network server expects.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "scenario_fixture.h"
#include "sim/airtime.h"

namespace {

using crx::sim::AirFrame;
using crx::sim::FrameKind;
using crx::test::ScenarioTest;

TEST(Airtime, MatchesPublishedLoRaFigures) {
  // 12-byte frames, 8 symbols of preamble, CRC on, explicit header.
  crx::sim::LoraFrame f;
  f.payload_bytes = 12;
  f.sf = 7;
  EXPECT_EQ(crx::sim::lora_airtime_us(f), 41216u);
  f.sf = 12;
  EXPECT_EQ(crx::sim::lora_airtime_us(f), 1155072u) << "low data rate optimisation from SF11 at 125 kHz";
  f.bandwidth_hz = 500000;
  EXPECT_EQ(crx::sim::lora_airtime_us(f), 247808u) << "no optimisation at 500 kHz";
  f.bandwidth_hz = 0;
  EXPECT_EQ(crx::sim::lora_airtime_us(f), 0u);
  EXPECT_EQ(crx::sim::fsk_airtime_us(50000, 5, 10, true), 3360u);
}

TEST(LorawanFrames, CarryTheirFieldsLittleEndian) {
  const auto up = crx::sim::lorawan_data_frame(true, 0x26011234, 0x0102, 9, {0xAA, 0xBB});
  ASSERT_EQ(up.size(), 1u + 4 + 1 + 2 + 1 + 2 + 4);
  EXPECT_EQ(up[0], 0x80);  // confirmed data up
  EXPECT_EQ((std::vector<uint8_t>(up.begin() + 1, up.begin() + 9)),
            (std::vector<uint8_t>{0x34, 0x12, 0x01, 0x26, 0x80, 0x02, 0x01, 9}));
  const auto join = crx::sim::lorawan_join_request(1, 0x0004A30B00100007ull, 5);
  ASSERT_EQ(join.size(), 23u);
  EXPECT_EQ(join[0], 0x00);
  EXPECT_EQ(join[9], 0x07);
  EXPECT_EQ(join[16], 0x00);
  EXPECT_EQ(join[17], 5);
}

TEST(ReceiversFromConfig, FollowTheFile) {
  const auto plan = crx::sim::receivers_from_config(R"({ /* a comment */ "crx_conf": [{
      "rf_chain_conf": [{"rssi_offset": -160}, {"rssi_offset": -170}],
      "SX1301_conf": [
        {"chip_enable": true, "chip_rf_chain": 1,
         "chan_multiSF_0": {"chan_rx_freq": 868100000, "spread_factor": "8-9"},
         "chan_LoRa_std": {"chan_rx_freq": 868300000, "bandwidth": 250000, "spread_factor": 7}},
        {"chip_enable": false, "chan_multiSF_0": {"chan_rx_freq": 868500000}}]}]})");
  ASSERT_EQ(plan.size(), 2u);
  EXPECT_EQ(plan[0].freq_hz, 868100000u);
  EXPECT_EQ(plan[0].sf_min, 8);
  EXPECT_EQ(plan[0].sf_max, 9);
  EXPECT_EQ(plan[0].rf_chain, 1);
  EXPECT_FLOAT_EQ(plan[0].rssi_offset, -170.0f);
  EXPECT_EQ(plan[1].if_chan, 8);
  EXPECT_EQ(plan[1].bandwidth_hz, 250000u);
  EXPECT_EQ(plan[1].sf_min, 7);
  EXPECT_THROW(crx::sim::receivers_from_config("{\"gateway_conf\": {}}"), std::runtime_error);
  EXPECT_THROW(crx::sim::receivers_from_config("not json"), std::exception);
}

TEST_F(ScenarioTest, GeneratedTrafficArrivesOnceMergedAcrossChains) {
  start_condor_na(true);
  crx::sim::TrafficOptions o;
  o.devices = 30;
  o.mean_period_s = 2.0;
  o.crc_error_share = 0.1;
  o.seed = 7;
  crx::sim::TrafficGenerator gen(board(), crx::sim::receivers_from_config(config_text_), o);

  std::vector<AirFrame> sent;
  std::vector<crx_rx_pkt_t> got;
  // Ten seconds of traffic in 100 ms steps of the board's clock, fetched as
  // it comes so that the receive queue never overflows.
  for (int step = 0; step < 100; ++step) {
    board().advance(100000);
    for (auto& f : gen.run_until(board().now_us())) sent.push_back(std::move(f));
    crx_rx_pkt_t pkts[16];
    uint8_t nb = 0;
    const struct timeval wait = {0, 20000};
    while (crx_fetch_v2(pkts, 16, &nb, &wait) == 0 && nb) got.insert(got.end(), pkts, pkts + nb);
  }
  for (const auto& p : fetch(SIZE_MAX)) got.push_back(p);

  ASSERT_GT(sent.size(), 50u);
  std::map<std::vector<uint8_t>, int> ok;  // good packets by payload
  for (const auto& p : got)
    if (p.status == STAT_CRC_OK) ++ok[std::vector<uint8_t>(p.payload, p.payload + p.size)];
  int kinds[3] = {};
  for (const AirFrame& f : sent) {
    ++kinds[int(f.kind)];
    EXPECT_EQ(f.copies, 2) << "every channel is on a chip of each chain";
    // A good copy comes out once, even when a bad copy of the same frame
    // was read a poll earlier.
    EXPECT_EQ(ok[f.payload], f.copies > f.bad_copies ? 1 : 0) << "frame of device " << f.device << " at " << f.end_us;
  }
  EXPECT_GT(kinds[int(FrameKind::kJoinRequest)], 0);
  EXPECT_GT(kinds[int(FrameKind::kConfirmedUp)], 0);
  EXPECT_GT(kinds[int(FrameKind::kUnconfirmedUp)], 0);
  EXPECT_GT(gen.counts().bad_copies, 0u);

  // A frame whose copies are read in one poll comes out carrying both
  // chains' receptions (copies split over two polls keep the first only).
  int both = 0;
  for (const auto& p : got) both += p.status == STAT_CRC_OK && p.rsig[0].valid && p.rsig[1].valid;
  EXPECT_GT(both, int(sent.size() / 4));

  counters c{};
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, gen.counts().copies) << "every copy was taken from a FIFO";
  EXPECT_EQ(c.crc_err, gen.counts().bad_copies);
}

}  // namespace

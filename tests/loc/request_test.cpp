// Which uplinks become requests, and what a request holds.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crx_hal/brd_cfg.h"
#include "loc_fixture.h"

namespace {

using crx::loc::FrameHeader;
using crx::loc::Request;
using crx::test::FakeTime;

class LocRequest : public crx::test::LocBoardTest {};

TEST_F(LocRequest, EligibilityRules) {
  crx::loc::set_geoloc_version(1);
  const auto ok = uplink();
  EXPECT_TRUE(crx::loc::loc_pkt_eligible(kFrame, ok));
  auto refused = [&](auto change) {
    crx_rx_pkt_t p = ok;
    FrameHeader f = kFrame;
    change(p, f);
    return !crx::loc::loc_pkt_eligible(f, p);
  };
  EXPECT_TRUE(refused([](auto& p, auto&) { p.status = STAT_CRC_BAD; }));
  EXPECT_TRUE(refused([](auto& p, auto&) { p.status = STAT_NO_CRC; }));
  EXPECT_TRUE(refused([](auto& p, auto&) { p.modulation = MOD_FSK; }));
  EXPECT_TRUE(refused([](auto& p, auto&) { p.bandwidth = BW_250KHZ; }));
  EXPECT_TRUE(refused([](auto&, auto& f) { f.msg_type = 0; }));  // join request
  EXPECT_TRUE(refused([](auto&, auto& f) { f.msg_type = 3; }));  // data down
  EXPECT_FALSE(refused([](auto&, auto& f) { f.msg_type = 4; }));
  // The first block version cannot take SF11 and SF12; the second can.
  EXPECT_TRUE(refused([](auto& p, auto&) { p.datarate = DR_LORA_SF11; }));
  EXPECT_TRUE(refused([](auto& p, auto&) { p.datarate = DR_LORA_SF12; }));
  EXPECT_FALSE(refused([](auto& p, auto&) { p.datarate = DR_LORA_SF10; }));
  crx::loc::set_geoloc_version(2);
  EXPECT_FALSE(refused([](auto& p, auto&) { p.datarate = DR_LORA_SF12; }));
  EXPECT_FALSE(refused([](auto& p, auto&) { p.datarate = DR_LORA_SF7; }));
  // A LoRa datarate outside SF7-SF12 (SF6, none, several bits, an FSK bit
  // rate carried over) has no chirps the block can correlate and no
  // duration: refused on both versions.
  for (int version : {1, 2}) {
    crx::loc::set_geoloc_version(uint32_t(version));
    for (uint32_t dr : {0x01u, 0x00u, 0x06u, 0x7Eu, 0x80u, 50000u})
      EXPECT_TRUE(refused([dr](auto& p, auto&) { p.datarate = dr; })) << "datarate " << dr << " version " << version;
  }
}

TEST_F(LocRequest, FilterListLimitsWhichDevicesAreLocalized) {
  const auto p = uplink();
  FrameHeader other = kFrame;
  other.dev = 0x11111111;
  ASSERT_EQ(crx_loc_add_mote(0x26011BDA), 0);
  EXPECT_TRUE(crx::loc::loc_pkt_eligible(kFrame, p));
  EXPECT_FALSE(crx::loc::loc_pkt_eligible(other, p));
  FrameHeader wide = kFrame;
  wide.dev = 0x100000000ull | 0x26011BDA;  // low word listed, but the field is wider
  EXPECT_FALSE(crx::loc::loc_pkt_eligible(wide, p));
  ASSERT_EQ(crx_loc_del_mote(0x26011BDA), 0);  // empty list: everybody again
  EXPECT_TRUE(crx::loc::loc_pkt_eligible(other, p));
}

TEST_F(LocRequest, DurationEstimate) {
  Request r{};
  r.sf = 7, r.cr = 1, r.size = 20, r.has_crc = 1, r.bandwidth_hz = 125000;
  EXPECT_EQ(crx::loc::loc_estimate_pkt_len_us(r), 56576u);  // 55.25 symbols of 1024 µs
  r.sf = 12, r.cr = 4, r.size = 51, r.has_crc = 0;  // low data-rate optimisation divides by 4 × (SF - 2)
  // 4 × (102 - 12 + 7) = 388; / 40 → 10; × 8 = 80; + 20.25 = 100.25 symbols of 32768 µs
  EXPECT_EQ(crx::loc::loc_estimate_pkt_len_us(r), 3284992u);
  r.sf = 12, r.size = 0;  // a negative symbol count becomes 0
  EXPECT_EQ(crx::loc::loc_estimate_pkt_len_us(r), uint32_t(20.25 * 32768 + 0.5));
  r.bandwidth_hz = 0;
  EXPECT_EQ(crx::loc::loc_estimate_pkt_len_us(r), 0u);
}

TEST_F(LocRequest, ValidityAtTheBufferAgeEdges) {
  Request r{};
  r.count_us = 10000000;
  r.duration_us = 50000;  // started at 9950000
  const uint32_t start = 9950000;
  EXPECT_TRUE(crx::loc::pkt_valid_at(r, start + 999999, 1));
  EXPECT_FALSE(crx::loc::pkt_valid_at(r, start + 1000000, 1));
  EXPECT_FALSE(crx::loc::pkt_valid_at(r, start + 1050000, 1));
  EXPECT_TRUE(crx::loc::pkt_valid_at(r, start + 1050000, 2));
  EXPECT_TRUE(crx::loc::pkt_valid_at(r, start + 2048575, 2));
  EXPECT_FALSE(crx::loc::pkt_valid_at(r, start + 2048576, 2));
  // Across the counter's wrap.
  r.count_us = 100;
  r.duration_us = 300;
  EXPECT_TRUE(crx::loc::pkt_valid_at(r, 500000, 1));
  // The engine reads the counter itself.
  crx::loc::set_geoloc_version(1);
  r.count_us = FakeTime::now_us - 900000;
  r.duration_us = 0;
  EXPECT_TRUE(crx::loc::loc_is_pkt_valid(r));
  r.count_us = FakeTime::now_us - 1050000;
  EXPECT_FALSE(crx::loc::loc_is_pkt_valid(r));
}

TEST_F(LocRequest, WaitTimes) {
  const std::vector<std::pair<uint8_t, uint16_t>> table = {{7, 70}, {8, 110}, {9, 200}, {10, 400}, {11, 800}, {12, 800}, {0, 800}};
  for (auto [sf, ms] : table) {
    uint16_t got = 0;
    crx::loc::loc_get_wait_time(sf, &got);
    EXPECT_EQ(got, ms) << int(sf);
  }
}

TEST_F(LocRequest, RequestFieldsFromThePacket) {
  crx::brd_cfg_priv.rx_freq = 867500000;
  crx_rx_pkt_t p = uplink();
  Request r;
  crx::loc::loc_init_req(r, kFrame, p, 1);
  EXPECT_EQ(r.count_us, p.count_us);
  EXPECT_EQ(r.rx_freq_hz, 867500000u);
  EXPECT_EQ(r.bandwidth_hz, 125000u);
  EXPECT_EQ(r.dev_addr, 0x26011BDAu);
  EXPECT_EQ(r.payload_tail, 0x14131211u);  // bytes 17..20, the first least significant
  EXPECT_EQ(r.fcnt, 42);
  EXPECT_EQ(r.sf, 7);
  EXPECT_EQ(r.has_crc, 1);
  EXPECT_EQ(r.antenna, 0);
  EXPECT_EQ(r.diversity, 0);
  uint32_t rssi;
  std::memcpy(&rssi, &p.rsig[0].rssi, 4);
  EXPECT_EQ(r.rssi_raw, rssi);
  EXPECT_EQ(r.duration_us, 56576u);
  EXPECT_EQ(r.up_peaks, 8);  // thread mode: the process-wide counts
  EXPECT_EQ(r.down_peaks, 2);
  ASSERT_EQ(crx_set_num_peaks(3, 1), 0);
  crx::loc::loc_init_req(r, kFrame, p, 1);
  EXPECT_EQ(r.up_peaks, 3);
  EXPECT_EQ(r.down_peaks, 1);

  // A payload shorter than four bytes gives only its own bytes.
  p.size = 2;
  crx::loc::loc_init_req(r, kFrame, p, 1);
  EXPECT_EQ(r.payload_tail, 0x0201u);

  // Only the second antenna heard it.
  p = uplink();
  p.rsig[0].valid = false;
  p.rsig[1].valid = true;
  crx::loc::loc_init_req(r, kFrame, p, 1);
  EXPECT_EQ(r.antenna, 1);
  board_type = CRX_BOARD_HERON_FDD;  // these boards always use the first
  crx::loc::loc_init_req(r, kFrame, p, 1);
  EXPECT_EQ(r.antenna, 0);
}

TEST_F(LocRequest, PeakCountsOfDirectModeFollowTheSpreadingFactor) {
  struct Row {
    uint32_t dr;
    uint8_t v1_up, v2_up, down;
  };
  const Row rows[] = {{DR_LORA_SF7, 8, 8, 2}, {DR_LORA_SF8, 8, 8, 2}, {DR_LORA_SF9, 5, 8, 2},
                      {DR_LORA_SF10, 2, 5, 2}, {DR_LORA_SF11, 2, 2, 1}, {DR_LORA_SF12, 2, 2, 1}};
  for (const auto& row : rows) {
    for (uint32_t v : {1u, 2u}) {
      crx::loc::set_geoloc_version(v);
      Request r;
      crx::loc::loc_init_req(r, kFrame, uplink(row.dr), 0);
      EXPECT_EQ(r.up_peaks, v == 1 ? row.v1_up : row.v2_up) << row.dr << " v" << v;
      EXPECT_EQ(r.down_peaks, row.dr == DR_LORA_SF10 && v == 1 ? 1 : row.down) << row.dr << " v" << v;
    }
  }
}

TEST_F(LocRequest, DirectModeSchedulesOnlyAnEligibleFreshPacket) {
  crx::loc::set_geoloc_version(2);
  std::vector<FrameHeader> frames(4, kFrame);
  std::vector<crx_rx_pkt_t> pkts(4, uplink());
  pkts[0].status = STAT_CRC_BAD;
  pkts[1].modulation = MOD_FSK;
  pkts[3].count_us = FakeTime::now_us - 3000000;  // long gone from the buffer
  for (int round = 0; round < 20; ++round) {
    Request r;
    EXPECT_EQ(crx::loc::loc_schedule_pkt(frames, pkts, r), 2);
  }
  EXPECT_TRUE(logged("BrvDBG/HAL: too late to trigger location"));
  pkts[2].bandwidth = BW_500KHZ;
  Request r;
  EXPECT_EQ(crx::loc::loc_schedule_pkt(frames, pkts, r), -1);
  EXPECT_EQ(crx::loc::loc_schedule_pkt({}, {}, r), -1);
}

TEST_F(LocRequest, NumberOfPeaksLimits) {
  EXPECT_EQ(crx_set_num_peaks(9, 2), -1);
  EXPECT_EQ(crx_set_num_peaks(8, 3), -1);
  EXPECT_EQ(crx_set_num_peaks(0, 1), -1);
  EXPECT_EQ(crx_set_num_peaks(1, 0), -1);
  EXPECT_EQ(crx_set_num_peaks(1, 1), 0);
  EXPECT_EQ(crx::loc::thread_up_peaks(), 1);
}

}  // namespace

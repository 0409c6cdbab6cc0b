// Uplinks and downlinks through a started Condor NA: what the chips report
// reaches crx_fetch decoded against the example configuration, and what
// crx_send is given leaves the chip as the transmission asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "scenario_fixture.h"

namespace {

using crx::sim::Transmission;
using crx::sim::Uplink;
using crx::test::ScenarioTest;

// Where the example file puts chip c's IF channel n, and its logical number.
struct Expect {
  int chip;
  uint8_t if_chan, sf;
  uint32_t freq_hz, bandwidth, datarate;
  uint8_t logical;
  float rssi;  // raw 70 with chain 0's offset of -166 dB (+19.5 dB on the multi-SF channels)
};

TEST_F(ScenarioTest, UplinksOfSeveralChipsAreFetchedDecodedAndCounted) {
  start_condor_na();
  const Expect cases[] = {
      {0, 2, 9, 902700000, BW_125KHZ, DR_LORA_SF9, 2, -77.0f},
      {3, 8, 8, 907800000, BW_500KHZ, DR_LORA_SF8, 67, -96.0f},
      {7, 5, 7, 914500000, BW_125KHZ, DR_LORA_SF7, 61, -77.0f},
      {4, 0, 10, 908700000, BW_125KHZ, DR_LORA_SF10, 32, -77.0f},
  };
  uint32_t count = 5000000;
  for (const Expect& e : cases) {
    board().chip(e.chip).push_uplink(uplink(0x26000000u + uint32_t(e.chip), 7, e.if_chan, e.sf, count));
    count += 100000;
  }
  Uplink bad = uplink(0x26000099, 1, 1, 7, count);
  bad.crc_state = Uplink::kCrcBad;
  board().chip(5).push_uplink(bad);

  auto got = fetch(5);
  ASSERT_EQ(got.size(), 5u) << syslog_dump();
  std::sort(got.begin(), got.end(), [](const auto& a, const auto& b) { return a.count_us < b.count_us; });
  for (size_t i = 0; i < 4; ++i) {
    const Expect& e = cases[i];
    const crx_rx_pkt_t& p = got[i];
    SCOPED_TRACE("chip " + std::to_string(e.chip));
    EXPECT_EQ(dev_addr_of(p), 0x26000000u + uint32_t(e.chip));
    EXPECT_EQ(p.status, uint32_t(STAT_CRC_OK));
    EXPECT_EQ(p.if_chain, e.chip * 10 + e.if_chan);
    EXPECT_EQ(p.freq_hz, e.freq_hz);
    EXPECT_EQ(p.modulation, uint32_t(MOD_LORA));
    EXPECT_EQ(p.bandwidth, e.bandwidth);
    EXPECT_EQ(p.datarate, e.datarate);
    EXPECT_EQ(p.coderate, uint32_t(CR_LORA_4_5));
    ASSERT_TRUE(p.rsig[0].valid);
    EXPECT_FALSE(p.rsig[1].valid) << "one chain hears it";
    EXPECT_EQ(p.rsig[0].chan, e.logical);
    EXPECT_FLOAT_EQ(p.rsig[0].rssi, e.rssi);
    EXPECT_FLOAT_EQ(p.rsig[0].snr, 6.5f);
    EXPECT_FLOAT_EQ(p.rsig[0].snr_max, 8.25f);
    // The counter is moved back from the chip's report by a time on air part.
    const uint32_t reported = 5000000 + 100000 * uint32_t(i);
    EXPECT_LE(p.count_us, reported);
    EXPECT_GT(p.count_us, reported - 100000);
    const auto frame = crx::sim::lorawan_data_frame(false, dev_addr_of(p), 7, 1, {1, 2, 3, 4});
    EXPECT_EQ(std::vector<uint8_t>(p.payload, p.payload + p.size), frame);
  }
  EXPECT_EQ(got[4].status, uint32_t(STAT_CRC_BAD));
  EXPECT_EQ(got[4].if_chain, 51);

  counters c{};
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, 5u);
  EXPECT_EQ(c.crc_ok, 4u);
  EXPECT_EQ(c.crc_err, 1u);
  // Every FIFO was emptied, so every receive-status line is low again.
  for (int pin : crx::sim::kLargeBoardRxLines) EXPECT_EQ(gpio_->value(pin), 0) << pin;
  // Nothing more than was pushed.
  uint8_t nb = 9;
  crx_rx_pkt_t extra;
  EXPECT_EQ(crx_fetch(0, &extra, 1, &nb), 0);
  EXPECT_EQ(nb, 0);
}

TEST_F(ScenarioTest, FetchChipTakesOneChipsPacketsAndDropsTheOthers) {
  start_condor_na();
  board().chip(1).push_uplink(uplink(0x26000001, 1, 0, 7, 1000000));
  board().chip(2).push_uplink(uplink(0x26000002, 1, 0, 7, 1100000));
  board().chip(1).push_uplink(uplink(0x26000003, 1, 1, 7, 1200000));
  // Let the receive thread queue all three.
  for (int i = 0; i < 200 && (board().chip(1).rx_fifo().not_empty() || board().chip(2).rx_fifo().not_empty()); ++i)
    usleep(5000);
  usleep(20000);
  crx_rx_pkt_t pkts[4];
  uint8_t nb = 0;
  ASSERT_EQ(crx_fetch_chip(0, 1, pkts, 4, &nb), 0);
  ASSERT_EQ(nb, 2);
  EXPECT_EQ(dev_addr_of(pkts[0]), 0x26000001u);
  EXPECT_EQ(dev_addr_of(pkts[1]), 0x26000003u);
  ASSERT_EQ(crx_fetch(0, pkts, 4, &nb), 0);
  EXPECT_EQ(nb, 0) << "chip 2's packet was dropped on the way";
}

TEST_F(ScenarioTest, ImmediateAndTimestampedSendsLeaveTheChipAsAsked) {
  start_condor_na();
  const uint8_t chip = crx_tx_path2chip(0, 0);
  auto& tx = board().chip(chip);

  // At once: emitting from the send on, free once its time on air is over.
  crx_tx_pkt_t now_pkt = downlink(TX_IMMEDIATE, 0, DR_LORA_SF12);
  ASSERT_EQ(crx_send(0, &now_pkt), 0) << syslog_dump();
  ASSERT_EQ(tx.transmissions().size(), 1u);
  Transmission t = tx.transmissions().back();
  EXPECT_EQ(t.trigger, Transmission::Trigger::kImmediate);
  EXPECT_NEAR(t.frequency_hz(923000000), 923900000.0, 500.0);
  EXPECT_EQ(t.sf, 12);
  EXPECT_EQ(t.bandwidth_hz(), 500000u);
  EXPECT_TRUE(t.invert_iq);
  EXPECT_FALSE(t.crc);
  EXPECT_EQ(t.payload, std::vector<uint8_t>(now_pkt.payload, now_pkt.payload + now_pkt.size));
  EXPECT_EQ(tx_status(chip), TX_EMITTING);
  board().advance(1000000);
  EXPECT_EQ(tx_status(chip), TX_FREE);

  // One second ahead: scheduled, triggered slightly before the count so
  // that the frame starts on it, then emitting, then free.
  uint32_t count = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &count), 0);
  crx_tx_pkt_t later = downlink(TX_TIMESTAMPED, count + 1000000);
  ASSERT_EQ(crx_send(0, &later), 0) << syslog_dump();
  ASSERT_EQ(tx.transmissions().size(), 2u);
  t = tx.transmissions().back();
  EXPECT_EQ(t.trigger, Transmission::Trigger::kTimestamped);
  EXPECT_EQ(t.sf, 10);
  EXPECT_LE(t.trigger_count, later.count_us);
  EXPECT_GT(t.trigger_count, later.count_us - 3000);
  EXPECT_EQ(tx_status(chip), TX_SCHEDULED);
  board().advance(int64_t(t.trigger_count - tx.count()) + 1);
  EXPECT_EQ(tx_status(chip), TX_EMITTING);
  board().advance(1000000);
  EXPECT_EQ(tx_status(chip), TX_FREE);

  uint32_t down = 0;
  crx_get_downlink_pakets(&down);
  EXPECT_EQ(down, 2u);
  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_EQ(status(), 1);
}

TEST_F(ScenarioTest, StopCancelsWhatIsArmedAndASecondStartReceivesAgain) {
  start_condor_na();
  uint32_t count = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &count), 0);
  crx_tx_pkt_t later = downlink(TX_TIMESTAMPED, count + 5000000);
  ASSERT_EQ(crx_send(0, &later), 0);
  ASSERT_EQ(crx_stop(0), 0) << syslog_dump();
  EXPECT_EQ(board().chip(0).tx_buffer().command(), 0) << "nothing stays armed";

  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  board().chip(6).push_uplink(uplink(0x26000006, 3, 4, 8, 2000000));
  const auto got = fetch(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].if_chain, 64);
}

// A forwarder's receive loop blocked without a time-out must not outlive
// the board: the stop wakes it with the board's state as the reason.
TEST_F(ScenarioTest, StopWakesAFetchWaitingWithoutTimeOut) {
  start_condor_na();
  std::atomic<int> rc{1};
  std::thread waiter([&rc] {
    crx_rx_pkt_t pkts[4];
    uint8_t nb = 0;
    rc = crx_fetch_v2(pkts, 4, &nb, nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(rc.load(), 1) << "still waiting";
  ASSERT_EQ(crx_stop(0), 0);
  waiter.join();
  EXPECT_EQ(rc.load(), -1);
  EXPECT_EQ(crx_errno, ERR_WRONG_STATE);
  // A new start does not see the stop's wake-ups as packets.
  ASSERT_EQ(crx_start(0), 0);
  crx_rx_pkt_t pkts[4];
  uint8_t nb = 9;
  const struct timeval wait = {0, 50000};
  EXPECT_EQ(crx_fetch_v2(pkts, 4, &nb, &wait), -1);
  EXPECT_EQ(crx_errno, ERR_FETCH_TIMEOUT);
}

}  // namespace

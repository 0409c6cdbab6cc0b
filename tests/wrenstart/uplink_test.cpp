// Uplinks on a started Wren: frames the SX1301 demodulated reach
// crx_fetch with the Wren RSSI of their channel kind, on the offset of the
// radio the plan gave the channel; and a stop that meets an armed hold
// timer ends it.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "wren_fixture.h"

namespace {

class WrenUplink : public crx::test::WrenStartTest {
 protected:
  // Fetches until `n` packets came or a generous bound passed.
  std::vector<crx_rx_pkt_t> fetch(size_t n) {
    std::vector<crx_rx_pkt_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
      crx_rx_pkt_t pkts[8];
      uint8_t nb = 0;
      if (crx_fetch(0, pkts, 8, &nb) != 0) break;
      out.insert(out.end(), pkts, pkts + nb);
      if (nb == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
  }
  static crx::sim::Uplink frame(uint8_t chan, uint8_t raw_rssi, uint32_t count, uint8_t dev) {
    crx::sim::Uplink u;
    u.payload = {0x40, dev, 0x02, 0x03, 0x04, 0x00, uint8_t(count), 0x00, 0x00, 0xAA, 0xBB};
    u.if_chan = chan;
    u.sf = chan == 8 ? 8 : 9;
    u.raw_rssi = raw_rssi;
    u.snr = 7.5f;
    u.count_us = count;
    return u;
  }
};

TEST_F(WrenUplink, FramesReachFetchWithTheWrenRssiOfTheirChannel) {
  install();
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  // Radio A's offset is -166 dB, radio B's -167.5 dB (database).
  const auto& plan = ostra_wren_prv_cfg;
  ASSERT_EQ(plan.radio[0].rssi_offset, -166.0f);
  ASSERT_EQ(plan.radio[1].rssi_offset, -167.5f);

  chip().push_uplink(frame(1, 100, 1000000, 1));  // radio A: 100 - 166 + 35
  chip().push_uplink(frame(6, 100, 2000000, 2));  // radio B: 100 - 167.5 + 35 = -32.5, away from zero
  chip().push_uplink(frame(8, 90, 3000000, 3));   // the stand-alone channel takes no term
  chip().push_uplink(frame(9, 120, 4000000, 4));  // FSK: ((x - 0.8) + 70) * 0.8 - 70
  const auto pkts = fetch(4);
  ASSERT_EQ(pkts.size(), 4u) << syslog_dump();

  std::map<int, const crx_rx_pkt_t*> by_chan;
  for (const auto& p : pkts) by_chan[p.if_chain] = &p;
  ASSERT_EQ(by_chan.size(), 4u);
  const float x8 = 90.0f + plan.radio[plan.chan_radio[8]].rssi_offset;
  const float x9 = 120.0f + plan.radio[plan.chan_radio[9]].rssi_offset;
  EXPECT_EQ(by_chan[1]->rsig[0].rssi, -31.0f);
  EXPECT_EQ(by_chan[6]->rsig[0].rssi, -33.0f);
  EXPECT_EQ(by_chan[8]->rsig[0].rssi, std::round(x8));
  EXPECT_EQ(by_chan[9]->rsig[0].rssi, std::round(((x9 - 0.8f) + 70.0f) * 0.8f - 70.0f));
  EXPECT_EQ(by_chan[1]->freq_hz, 902500000u);
  EXPECT_EQ(by_chan[6]->freq_hz, 903500000u);
  EXPECT_EQ(by_chan[8]->bandwidth, uint32_t(BW_500KHZ));
  EXPECT_EQ(by_chan[9]->modulation, uint32_t(MOD_FSK));
  EXPECT_EQ(by_chan[9]->datarate, 50000u);
  EXPECT_EQ(by_chan[1]->size, 11);
}

TEST_F(WrenUplink, ChannelsOnRadioBUseItsOffset) {
  // The offset follows the plan, not the channel index.
  install();
  ASSERT_EQ(configure_us(), 0);
  ostra_wren_prv_cfg.radio[0].rssi_offset = -160.0f;
  ostra_wren_prv_cfg.radio[1].rssi_offset = -170.0f;
  ostra_wren_prv_cfg.chan_radio[2] = 1;
  EXPECT_EQ(ostra_wren_calc_rssi(2, 100), -35.0f);
  EXPECT_EQ(ostra_wren_calc_rssi(3, 100), -25.0f);
  EXPECT_EQ(ostra_wren_calc_rssi(8, 100), -60.0f);
  // FSK on radio A: ((-60 - 0.8) + 70) * 0.8 - 70 = -62.64.
  EXPECT_EQ(ostra_wren_calc_rssi(9, 100), -63.0f);
}

TEST_F(WrenUplink, StopEndsAnArmedHoldTimer) {
  install();
  ASSERT_EQ(configure_us(), 0);
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  // A transmission holds the scan semaphore until its timer gives it back.
  sem_t* held = crx::wren::scan_tx_sem();
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(sem_trywait(held), 0);
  ASSERT_EQ(crx::wren::scan_tx_timer_arm(900'000'000), 0);
  EXPECT_EQ(crx::wren::scan_tx_timer_arm(1'500'000'000), 0) << "a hold of a second or more is armed too";
  ASSERT_EQ(crx_stop(0), 0);
  expect_released("stop with the hold timer armed");
  EXPECT_EQ(crx::wren::scan_tx_timer_arm(1000), -1) << "no timer once stopped";

  // Started again, an armed hold gives the semaphore back once it passed.
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  held = crx::wren::scan_tx_sem();
  ASSERT_EQ(sem_trywait(held), 0);
  const uint64_t expired = crx::wren::scan_tx_timer_expiries();
  ASSERT_EQ(crx::wren::scan_tx_timer_arm(1'000'000), 0);
  int value = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sem_getvalue(held, &value) == 0 && value == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(value, 1);
  EXPECT_EQ(crx::wren::scan_tx_timer_expiries(), expired + 1);
}

}  // namespace

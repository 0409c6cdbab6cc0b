// The receive thread under a burst on all eight chips while two threads
// fetch and a third sends: nothing lost, nothing delivered twice, the
// counters agree, and (under ThreadSanitizer) no data race.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "scenario_fixture.h"

namespace {

using crx::test::ScenarioTest;

TEST_F(ScenarioTest, BurstOnEightChipsWithTwoFetchersAndASender) {
  start_condor_na();
  constexpr int kBursts = 12;
  constexpr int kPerChip = 6;  // a burst: 48 packets, well inside the queue
  constexpr int kTotal = kBursts * kPerChip * 8;

  std::mutex seen_mutex;
  std::multiset<uint64_t> seen;  // device address x 16 + frame counter
  std::atomic<int> fetched{0};
  std::atomic<bool> done{false};
  std::atomic<int> fetch_failures{0};

  auto fetcher = [&] {
    crx_rx_pkt_t pkts[8];
    while (!done.load()) {
      uint8_t nb = 0;
      const struct timeval wait = {0, 20000};
      if (crx_fetch_v2(pkts, 8, &nb, &wait) != 0) {
        // crx_errno is process-wide: read it as the library writes it.
        if (std::atomic_ref(crx_errno).load(std::memory_order_relaxed) != 68) ++fetch_failures;
        continue;
      }
      std::lock_guard lock(seen_mutex);
      for (uint8_t i = 0; i < nb; ++i) seen.insert(uint64_t(dev_addr_of(pkts[i])) * 16 + pkts[i].payload[6]);
      fetched += nb;
    }
  };
  std::atomic<int> sends{0}, send_failures{0};
  auto sender = [&] {
    const uint8_t chip = crx_tx_path2chip(0, 0);
    while (!done.load()) {
      crx_tx_pkt_t p = downlink(TX_IMMEDIATE, 0, DR_LORA_SF7);
      if (crx_send(0, &p) == 0) ++sends;
      else ++send_failures;
      // The next one once this one is on the air and over.
      int s = TX_EMITTING;
      for (int i = 0; i < 200 && s != TX_FREE && !done.load(); ++i) {
        usleep(1000);
        if (crx_tx_status(0, chip, &s) != 0) break;
      }
    }
  };
  std::thread f1(fetcher), f2(fetcher), tx(sender);

  uint32_t count = 1000000;
  for (int b = 0; b < kBursts; ++b) {
    for (int n = 0; n < kPerChip; ++n)
      for (int c = 0; c < 8; ++c) {
        // Distinct devices and counter values well apart: no two are copies.
        const uint32_t dev = 0x26000000u + uint32_t(c * 256 + n);
        board().chip(c).push_uplink(uplink(dev, uint16_t(b), uint8_t(n % 8), uint8_t(7 + n % 4), count));
        count += 1000;
      }
    // The next burst once this one is mostly taken.
    for (int i = 0; i < 20000 && fetched.load() < (b + 1) * kPerChip * 8 - 8; ++i) usleep(1000);
  }
  for (int i = 0; i < 30000 && fetched.load() < kTotal; ++i) usleep(1000);
  done = true;
  f1.join();
  f2.join();
  tx.join();

  EXPECT_EQ(fetched.load(), kTotal);
  EXPECT_EQ(fetch_failures.load(), 0);
  EXPECT_EQ(send_failures.load(), 0) << syslog_dump();
  EXPECT_GT(sends.load(), 0);
  std::set<uint64_t> distinct(seen.begin(), seen.end());
  EXPECT_EQ(distinct.size(), seen.size()) << "a packet was delivered twice";
  EXPECT_EQ(int(distinct.size()), kTotal);

  counters c{};
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, uint32_t(kTotal));
  EXPECT_EQ(c.crc_ok, uint32_t(kTotal));
  EXPECT_EQ(c.downlink, uint32_t(sends.load()));
  EXPECT_EQ(board().chip(crx_tx_path2chip(0, 0)).transmissions().size(), size_t(sends.load()));
  ASSERT_EQ(crx_stop(0), 0) << syslog_dump();
}

}  // namespace

// The receive queue and the fetch calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/time.h>

#include "crx_hal/rx_queue.h"
#include "tests/support/checks.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

class QueueTest : public RadioBoardTest {
 protected:
  void SetUp() override {
    RadioBoardTest::SetUp();
    rxq::clear();
  }
  static crx_rx_pkt_t packet(uint32_t n, uint8_t chip = 0) {
    crx_rx_pkt_t p{};
    p.count_us = n;
    p.if_chain = uint8_t(chip * 10 + 1);
    return p;
  }
  std::vector<crx_rx_pkt_t> out = std::vector<crx_rx_pkt_t>(CRX_MAX_PKT_NB);
};

TEST_F(QueueTest, FetchRefusals) {
  uint8_t nb = 9;
  EXPECT_FAILS_WITH(crx_fetch(1, out.data(), 1, &nb), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_fetch(0, nullptr, 1, &nb), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_fetch(0, out.data(), 1, nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_fetch(0, out.data(), 129, &nb), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_fetch_v2(nullptr, 1, &nb, nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(crx_fetch_v2(out.data(), 200, &nb, nullptr), ERR_UNSPECIFIED);
  brd_cfg_priv.running = false;
  rxq::push(packet(1));
  EXPECT_FAILS_WITH(crx_fetch(0, out.data(), 1, &nb), ERR_WRONG_STATE);
  EXPECT_FAILS_WITH(crx_fetch_v2(out.data(), 1, &nb, nullptr), ERR_WRONG_STATE);
  EXPECT_EQ(nb, 9) << "nothing copied";
  EXPECT_EQ(rxq::size(), 1u);
}

TEST_F(QueueTest, FetchTakesOldestFirst) {
  uint8_t nb = 9;
  EXPECT_EQ(crx_fetch(0, out.data(), 10, &nb), 0);
  EXPECT_EQ(nb, 0);
  for (uint32_t i = 0; i < 5; ++i) rxq::push(packet(i));
  EXPECT_EQ(crx_fetch(0, out.data(), 0, &nb), 0);
  EXPECT_EQ(nb, 0);
  EXPECT_EQ(crx_fetch(0, out.data(), 3, &nb), 0);
  ASSERT_EQ(nb, 3);
  EXPECT_EQ(out[0].count_us, 0u);
  EXPECT_EQ(out[2].count_us, 2u);
  EXPECT_EQ(crx_fetch(0, out.data(), 128, &nb), 0);
  ASSERT_EQ(nb, 2);
  EXPECT_EQ(out[1].count_us, 4u);
}

TEST_F(QueueTest, OverflowKeepsTheNewest127) {
  for (uint32_t i = 0; i < 200; ++i) rxq::push(packet(i));
  EXPECT_EQ(rxq::size(), 127u);
  uint8_t nb = 0;
  ASSERT_EQ(crx_fetch(0, out.data(), 128, &nb), 0);
  ASSERT_EQ(nb, 127);
  for (uint32_t i = 0; i < 127; ++i) EXPECT_EQ(out[i].count_us, 73 + i);
  // The semaphore was posted for queued packets only: 127 wake-ups, then none.
  const struct timeval none = {0, 0};
  int wakeups = 0;
  while (crx_fetch_v2(out.data(), 1, &nb, &none) == 0) ++wakeups;
  EXPECT_EQ(wakeups, 127);
  EXPECT_EQ(crx_errno, ERR_FETCH_TIMEOUT);
}

TEST_F(QueueTest, FetchV2TimesOut) {
  uint8_t nb = 7;
  const struct timeval half = {0, 500000};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FAILS_WITH(crx_fetch_v2(out.data(), 4, &nb, &half), ERR_FETCH_TIMEOUT);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(480));
  EXPECT_LT(waited, std::chrono::seconds(30)) << "gave up rather than waiting for ever";
  EXPECT_EQ(nb, 0);
}

TEST_F(QueueTest, FetchV2WakesForAPacketAndMayFindItTaken) {
  uint8_t nb = 0;
  std::thread producer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rxq::push(packet(42));
    rxq::push(packet(43));
  });
  EXPECT_EQ(crx_fetch_v2(out.data(), 8, &nb, nullptr), 0);
  producer.join();
  ASSERT_GE(nb, 1);
  EXPECT_EQ(out[0].count_us, 42u);
  if (nb == 1) {
    EXPECT_EQ(crx_fetch(0, out.data(), 8, &nb), 0);
    EXPECT_EQ(nb, 1);
  }
  // The second post finds the queue empty: success with no packet.
  const struct timeval second = {1, 0};
  EXPECT_EQ(crx_fetch_v2(out.data(), 8, &nb, &second), 0);
  EXPECT_EQ(nb, 0);
}

TEST_F(QueueTest, FetchV2BadDeadline) {
  uint8_t nb = 0;
  const struct timeval bad = {0, 5000000};
  crx_errno = 0;
  EXPECT_EQ(crx_fetch_v2(out.data(), 1, &nb, &bad), -1);
  EXPECT_EQ(crx_errno, 0);
  bool logged = false;
  for (const auto& t : sandbox().syslog_texts()) logged = logged || t.find("crx_fetch_v2: sem: ") == 0;
  EXPECT_TRUE(logged) << syslog_dump();
}

TEST_F(QueueTest, FetchChipDiscardsOtherChips) {
  rxq::push(packet(1, 0));
  rxq::push(packet(2, 1));
  rxq::push(packet(3, 0));
  uint8_t nb = 0;
  ASSERT_EQ(crx_fetch_chip(0, 1, out.data(), 10, &nb), 0);
  ASSERT_EQ(nb, 1);
  EXPECT_EQ(out[0].count_us, 2u);
  EXPECT_EQ(rxq::size(), 0u);

  for (uint32_t i = 0; i < 6; ++i) rxq::push(packet(i, uint8_t(i % 2)));
  ASSERT_EQ(crx_fetch_chip(0, 0, out.data(), 2, &nb), 0);
  ASSERT_EQ(nb, 2);
  EXPECT_EQ(out[1].count_us, 2u);
  EXPECT_EQ(rxq::size(), 3u) << "stops once max_nb are copied";
}

TEST_F(QueueTest, FetchChipRefusals) {
  uint8_t nb = 0;
  EXPECT_FAILS_WITH(crx_fetch_chip(1, 0, out.data(), 1, &nb), ERR_BAD_BOARD_NB);
  EXPECT_FAILS_WITH(crx_fetch_chip(0, 0, nullptr, 1, &nb), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("ERROR: No Packet"));
  EXPECT_FAILS_WITH(crx_fetch_chip(0, 0, out.data(), 1, nullptr), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("ERROR: No return packet count"));
  EXPECT_FAILS_WITH(crx_fetch_chip(0, 6, out.data(), 1, &nb), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("ERROR: chip 6 not running"));
  EXPECT_FAILS_WITH(crx_fetch_chip(0, 200, out.data(), 1, &nb), ERR_UNSPECIFIED);
  brd_cfg_priv.running = false;
  EXPECT_FAILS_WITH(crx_fetch_chip(0, 0, out.data(), 1, &nb), ERR_UNSPECIFIED);
  EXPECT_TRUE(sandbox().syslog_contains("ERROR: Board 0 not running"));
}

TEST_F(QueueTest, PacketCounters) {
  crx_reset_txrx_packet_statistics();
  crx_packet_counters.uplink = 5;
  crx_packet_counters.downlink = 6;
  crx_packet_counters.crc_ok = 7;
  crx_packet_counters.crc_err = 8;
  counters c;
  std::memset(&c, 0xFF, sizeof c);
  crx_get_packet_counters(&c);
  static_assert(sizeof(counters) == 32);
  const auto* b = reinterpret_cast<const uint8_t*>(&c);
  EXPECT_EQ(b[0] | b[1] << 8, 0);
  EXPECT_EQ(b[4], 6) << "downlink from the fifth byte";
  EXPECT_EQ(b[8], 5);
  EXPECT_EQ(b[12], 7);
  EXPECT_EQ(b[16], 8);
  uint32_t n = 0;
  crx_get_uplink_pakets(&n);
  EXPECT_EQ(n, 5u);
  crx_get_downlink_pakets(&n);
  EXPECT_EQ(n, 6u);
  crx_get_received_pkt_crc_ok(&n);
  EXPECT_EQ(n, 7u);
  crx_get_received_pkt_crc_err(&n);
  EXPECT_EQ(n, 8u);
  crx_get_uplink_pakets(nullptr);
  crx_get_packet_counters(nullptr);
  crx_reset_txrx_packet_statistics();
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink + c.downlink + c.crc_ok + c.crc_err, 0u);
}

}  // namespace
}  // namespace crx::test

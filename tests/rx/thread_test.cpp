// The receive thread against the simulated chips and their status lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/time.h>

#include "crx_hal/hooks.h"
#include "crx_hal/rx_queue.h"
#include "platform/os.h"
#include "tests/support/checks.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

class RxThreadTest : public RadioBoardTest {
 protected:
  void SetUp() override {
    RadioBoardTest::SetUp();
    rxq::clear();
    crx_reset_txrx_packet_statistics();
    ASSERT_EQ(hooks::rx_queue_init(), 0);
  }
  void TearDown() override {
    hooks::rx_thread_stop();
    RadioBoardTest::TearDown();
  }
  // Waits up to `ms` for one more packet.
  bool fetch_one(crx_rx_pkt_t* p, int ms = 1000) {
    uint8_t nb = 0;
    const struct timeval t = {ms / 1000, (ms % 1000) * 1000};
    while (crx_fetch_v2(p, 1, &nb, &t) == 0)
      if (nb == 1) return true;
    return false;
  }
  std::vector<crx_rx_pkt_t> all_queued() {
    std::vector<crx_rx_pkt_t> out(CRX_MAX_PKT_NB);
    uint8_t nb = 0;
    EXPECT_EQ(crx_fetch(0, out.data(), CRX_MAX_PKT_NB, &nb), 0);
    out.resize(nb);
    return out;
  }
};

TEST_F(RxThreadTest, UplinkReachesFetchOnTheLineEdge) {
  wire_rx_lines();
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  EXPECT_TRUE(eventually([&] { return sandbox().syslog_contains("HAL: rx thread running"); }));

  const uint64_t wakeups_before = sandbox().event_wakeups();
  for (uint16_t i = 0; i < 5; ++i) {
    port_->fifo[1].push_uplink(data_uplink(0x11, i, 4));
    crx_rx_pkt_t p{};
    ASSERT_TRUE(fetch_one(&p));
    EXPECT_EQ(p.if_chain, 14);
    EXPECT_EQ(p.status, STAT_CRC_OK);
  }
  // Each uplink woke the thread through its line's edge, not the 10 ms poll.
  EXPECT_GE(sandbox().event_wakeups() - wakeups_before, 5u);
  EXPECT_FALSE(port_->fifo[1].not_empty());
  counters c;
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, 5u);
  EXPECT_EQ(c.crc_ok, 5u);
}

// A line exported before start (edge "none") keeps that edge through
// set-up; the thread restores the rising edge it waits on, once.
TEST_F(RxThreadTest, LineExportedWithoutEdgeIsSetToRising) {
  for (int pin : kCondorRxPins) gpio_->export_line(pin);
  wire_rx_lines();
  ASSERT_EQ(gpio_->edge(kCondorRxPins[0]), "none");
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  port_->fifo[1].push_uplink(data_uplink(0x12, 1, 4));
  crx_rx_pkt_t p{};
  ASSERT_TRUE(fetch_one(&p));
  for (int c = 0; c < 4; ++c) EXPECT_EQ(gpio_->edge(kCondorRxPins[size_t(c)]), "rising") << c;
  EXPECT_EQ(gpio_->edge(kCondorRxPins[5]), "none") << "a disabled chip's line is not waited on";
  auto count_notes = [&] {
    int n = 0;
    for (const auto& t : sandbox().syslog_texts()) n += t.find("set to \"rising\"") != std::string::npos;
    return n;
  };
  EXPECT_EQ(count_notes(), 4);
  // A second run finds the edges as they should be and says nothing.
  hooks::rx_thread_stop();
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  port_->fifo[2].push_uplink(data_uplink(0x13, 1, 4));
  ASSERT_TRUE(fetch_one(&p));
  EXPECT_EQ(count_notes(), 4);

  // "both" wakes the thread as well and is left alone.
  hooks::rx_thread_stop();
  int fd = os::open("/sys/class/gpio/gpio44/edge", O_WRONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(os::write(fd, "both", 4), 4);
  os::close(fd);
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  port_->fifo[3].push_uplink(data_uplink(0x14, 1, 4));
  ASSERT_TRUE(fetch_one(&p));
  EXPECT_EQ(gpio_->edge(44), "both");
  EXPECT_EQ(count_notes(), 4);
}

TEST_F(RxThreadTest, DownlinksDuplicatesAndCrcErrorsInOnePoll) {
  wire_rx_lines();
  brd_cfg_priv.chan_freq[2][0] = brd_cfg_priv.chan_freq[0][0];
  sim::Uplink heard_bad = data_uplink(0x22, 1, 0, 9, 5000);
  heard_bad.crc_state = sim::Uplink::kCrcBad;
  sim::Uplink heard_ok = data_uplink(0x22, 1, 0, 9, 5010);
  sim::Uplink downlink = data_uplink(0x33, 1, 0);
  downlink.payload[0] = 0x60;
  port_->fifo[0].push_uplink(heard_bad);
  port_->fifo[0].push_uplink(downlink);
  port_->fifo[2].push_uplink(heard_ok);
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  crx_rx_pkt_t p{};
  ASSERT_TRUE(fetch_one(&p));
  EXPECT_EQ(p.status, STAT_CRC_OK);
  EXPECT_EQ(p.if_chain, 20);
  EXPECT_FALSE(fetch_one(&p, 100)) << "one packet of three frames";
  counters c;
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, 2u);
  EXPECT_EQ(c.crc_err, 1u);
  EXPECT_EQ(c.crc_ok, 2u);
  EXPECT_EQ(port_->fifo[0].size(), 0u) << "the downlink was popped too";
}

TEST_F(RxThreadTest, BurstKeepsTheNewest127) {
  wire_rx_lines();
  for (uint32_t i = 0; i < 200; ++i) port_->fifo[0].push_uplink(data_uplink(1000 + i, 1, uint8_t(i % 8), 7, i * 100000));
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (port_->fifo[0].not_empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const auto queued = all_queued();
  ASSERT_EQ(queued.size(), 127u);
  EXPECT_EQ(queued.front().payload[1], uint8_t(1000 + 73));
  EXPECT_EQ(queued.back().payload[1], uint8_t(1000 + 199));
}

TEST_F(RxThreadTest, FailingChipRaisesAndOthersStillArrive) {
  wire_rx_lines();
  port_->fail_fifo[1] = true;
  port_->fifo[1].push_uplink(data_uplink(0x44, 1));
  port_->fifo[3].push_uplink(data_uplink(0x55, 1));
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  crx_rx_pkt_t p{};
  ASSERT_TRUE(fetch_one(&p));
  EXPECT_EQ(p.if_chain / 10, 3);
  EXPECT_TRUE(sandbox().syslog_contains("BrvDBG/HAL: E R R O R Failed to fetch packets (error=1)"));
  EXPECT_EQ(crx_get_fault_status(2), 1) << "code 56 raised";
  port_->fail_fifo[1] = false;
  ASSERT_TRUE(fetch_one(&p)) << "the thread kept running";
  EXPECT_EQ(p.if_chain / 10, 1);
}

TEST_F(RxThreadTest, StopJoinsAndClosesTheLines) {
  wire_rx_lines();
  const int before = sandbox().open_device_count();
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  EXPECT_TRUE(eventually([&] { return sandbox().open_device_count() == before + 4; }))
      << "one handle per enabled chip";
  EXPECT_EQ(hooks::rx_thread_start(), EBUSY);
  hooks::rx_thread_stop();
  EXPECT_EQ(sandbox().open_device_count(), before);
  hooks::rx_thread_stop();
  // A second run starts cleanly and packets left in the queue survive.
  port_->fifo[0].push_uplink(data_uplink(0x66, 1));
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  crx_rx_pkt_t p{};
  ASSERT_TRUE(fetch_one(&p));
}

TEST_F(RxThreadTest, LineThatWillNotOpenEndsTheThread) {
  // Lines never exported: their value files do not exist.
  ASSERT_EQ(hooks::rx_thread_start(), 0);
  EXPECT_TRUE(eventually([&] { return sandbox().syslog_contains("thread_rx: Failed to open fd to gpio pin: 23"); }))
      << syslog_dump();
  hooks::rx_thread_stop();
}

}  // namespace
}  // namespace crx::test

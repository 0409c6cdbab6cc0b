// The receive thread against the simulated chips and their status lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
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

// A board whose packet reads stop after `limit` until the test opens the
// gate: what one poll took can be fetched before the next poll runs.
class GatedPort : public RadioPort {
 public:
  explicit GatedPort(int limit) : limit_(limit) {}
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 protected:
  ssize_t read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) override {
    if (target < kMaxChips && address == sim::RxFifoModel::kDataAddress) {
      std::unique_lock lock(mutex_);
      if (++reads_ > limit_) cv_.wait(lock, [this] { return open_; });
    }
    return RadioPort::read_registers(target, page, address, out);
  }

 private:
  std::mutex mutex_;  // guards reads_ and open_
  std::condition_variable cv_;
  const int limit_;
  int reads_ = 0;
  bool open_ = false;
};

// Full FIFOs on every chip and an empty queue: one poll takes what the
// queue holds (127) and leaves the rest in the chips, so the first fetch
// finds every packet of that poll; the next poll brings the rest.
TEST_F(RxThreadTest, OnePollTakesNoMoreThanTheQueueHolds) {
  auto gated = std::make_shared<GatedPort>(127);
  // Whatever happens below, the thread is let go before it is stopped.
  struct Opener {
    std::shared_ptr<GatedPort> port;
    ~Opener() { port->open(); }
  } opener{gated};
  crx_reg_close();
  sandbox().remove_device("/dev/spifpga32766.1");
  port_ = gated;
  sandbox().add_device("/dev/spifpga32766.1", port_);
  ASSERT_EQ(crx_reg_setup(0), 0);
  for (int c = 0; c < 8; ++c) brd_cfg_priv.chip_enable[c] = true;
  wire_rx_lines();
  constexpr int kPerChip = 16;
  for (int c = 0; c < 8; ++c)
    for (int i = 0; i < kPerChip; ++i)
      port_->fifo[size_t(c)].push_uplink(data_uplink(0x100u * uint32_t(c) + uint32_t(i), 1, uint8_t(i % 8), 7,
                                                     1000000u + 1000u * uint32_t(16 * c + i)));
  ASSERT_EQ(hooks::rx_thread_start(), 0);

  std::vector<crx_rx_pkt_t> first(CRX_MAX_PKT_NB);
  uint8_t nb = 0;
  const struct timeval wait = {5, 0};
  // One wake-up may find only part of the batch queued: gather until the
  // poll's 127 are in (the gate keeps the next poll out).
  size_t got = 0;
  while (got < 127) {
    ASSERT_EQ(crx_fetch_v2(first.data() + got, uint8_t(CRX_MAX_PKT_NB - got), &nb, &wait), 0) << "after " << got;
    got += nb;
  }
  ASSERT_EQ(got, 127u);
  std::set<uint32_t> devs;
  for (size_t k = 0; k < got; ++k) devs.insert(uint32_t(first[k].payload[1]) | uint32_t(first[k].payload[2]) << 8);
  EXPECT_EQ(devs.size(), 127u);
  // Chips in order, each FIFO from its head: only chip 7's last is left.
  EXPECT_EQ(devs.count(0x000u), 1u);
  EXPECT_EQ(devs.count(0x70Eu), 1u);
  EXPECT_EQ(devs.count(0x70Fu), 0u);
  EXPECT_EQ(port_->fifo[7].size(), 1u);

  gated->open();
  crx_rx_pkt_t last{};
  ASSERT_TRUE(fetch_one(&last, 5000));
  EXPECT_EQ(uint32_t(last.payload[1]) | uint32_t(last.payload[2]) << 8, 0x70Fu);
  counters c;
  crx_get_packet_counters(&c);
  EXPECT_EQ(c.uplink, 128u);
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

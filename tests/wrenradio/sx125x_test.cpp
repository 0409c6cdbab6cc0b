// SX125x radios through the SX1301's radio SPI master: a set-up as the
// radio sees it, the PLL attempts, every refusal before traffic and every
// failed transfer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "radio_fixture.h"

namespace {

using crx::test::WrenRadioTest;

sx125x_radio_t radio_record(bool enabled, bool clk_src, uint32_t type) {
  sx125x_radio_t r{};
  r.enabled = enabled;
  r.clk_src = clk_src;
  r.tx_enable = true;
  r.type = type;
  return r;
}

const std::vector<std::string> kGainWrites = {"w 08=2e", "w 0a=20", "w 0b=05", "w 0c=38", "w 0d=f8", "w 0e=00"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Sx125x : public WrenRadioTest {
 protected:
  void SetUp() override {
    WrenRadioTest::SetUp();
    open();
    power_radios();
    board().sx1301->clear_messages();
  }
};

TEST_F(Sx125x, Sx1255At470_3MHzOnRadioBDrivingTheClock) {
  board().radios[1] = std::make_shared<crx::sim::Sx125xRadio>(crx::sim::Sx125xRadio::Kind::kSx1255);
  chip().attach_radio(1, board().radios[1]);
  ASSERT_EQ(setup_sx125x(0, 0, 1, 470300000, radio_record(true, true, 1)), 0) << syslog_dump();
  // 470.3 MHz: integer 235, fraction (300000 << 9) / 15625 = 9830 = 0x2666.
  EXPECT_EQ(radio_trace(1), join({{"r 07>11", "w 10=03", "w 28=2d"},
                                  kGainWrites,
                                  {"w 01=eb", "w 02=26", "w 03=66", "w 00=01", "w 00=03", "r 11>02"}}));
  EXPECT_NEAR(double(radio(1).rx_frequency_hz()), 470300000.0, 31.0);
  EXPECT_TRUE(logged("BrvDBG: setup_sx125x NOTE: SX125x #1 clock output enabled"));
}

TEST_F(Sx125x, PllLockingOnTheThirdAttemptLogsThreeStarts) {
  radio(0).lock_on_attempt(3);
  ASSERT_EQ(setup_sx125x(0, 0, 0, 868000000, radio_record(true, false, 2)), 0);
  EXPECT_EQ(radio(0).pll_attempts(), 3);
  for (int n = 1; n <= 3; ++n)
    EXPECT_TRUE(logged("BrvDBG: setup_sx125x Note: SX125x #0 PLL start (attempt " + std::to_string(n) + ")"));
  EXPECT_EQ(count_logged("PLL start"), 3);
  EXPECT_FALSE(logged("FAILED TO LOCK PLL"));
}

TEST_F(Sx125x, PllThatNeverLocksFailsAfterFiveAttempts) {
  radio(1).lock_on_attempt(0);
  EXPECT_FAILS_WITH(setup_sx125x(0, 0, 1, 868000000, radio_record(true, false, 2)), ERR_UNSPECIFIED);
  EXPECT_EQ(radio(1).pll_attempts(), 5);
  EXPECT_EQ(count_logged("PLL start"), 5);
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx125x E R R O R - FAILED TO LOCK PLL."));
}

TEST_F(Sx125x, RefusedArgumentsCauseNoTraffic) {
  uint8_t value = 0;
  EXPECT_FAILS_WITH(sx125x_write(0, 0, 2, 0x10, 1), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL sx125x_write E R R O R - INVALID RF_CHAIN."));
  EXPECT_FAILS_WITH(sx125x_read(0, 0, 2, 0x10, &value), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL sx125x_read E R R O R - INVALID RF_CHAIN."));
  EXPECT_FAILS_WITH(sx125x_write(0, 0, 0, 127, 1), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL sx125x_write E R R O R - ADDRESS OUT OF RANGE."));
  EXPECT_FAILS_WITH(sx125x_read(0, 0, 1, 200, &value), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(setup_sx125x(0, 0, 2, 868000000, radio_record(true, false, 2)), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx125x E R R O R - INVALID RF_CHAIN."));
  EXPECT_EQ(board().sx1301->message_count(), 0u);

  EXPECT_EQ(sx125x_write(0, 0, 0, 126, 1), 0) << "the highest address";
}

// The SX1301 port failing one message, the k-th after arming.
class FlakySx1301Port : public crx::sim::WrenSx1301Port {
 public:
  void fail_message(int k) { fail_at_ = k, seen_ = 0; }

 protected:
  int message(std::span<crx::sim::SpiTransfer> transfers) override {
    if (fail_at_ >= 0 && seen_++ == fail_at_) {
      errno = EIO;
      return -1;
    }
    return WrenSx1301Port::message(transfers);
  }

 private:
  int fail_at_ = -1;
  int seen_ = 0;
};

// A set-up that lost any register transfer has not set the radio up, even
// when what it read back afterwards looks like a locked PLL.
TEST_F(WrenRadioTest, EveryFailedTransferOfASetUpFailsIt) {
  auto port = std::make_shared<FlakySx1301Port>();
  for (int chain = 0; chain < 2; ++chain) port->chip().attach_radio(chain, board().radios[chain]);
  sandbox().add_device("/dev/spidev32766.1", port);
  open();
  power_radios();

  port->clear_messages();
  ASSERT_EQ(setup_sx125x(0, 0, 0, 868000000, radio_record(true, false, 2)), 0);
  const int messages = int(port->message_count());
  ASSERT_GT(messages, 50);

  for (int k = 0; k < messages; ++k) {
    SCOPED_TRACE(k);
    power_radios();
    port->fail_message(k);
    EXPECT_FAILS_WITH(setup_sx125x(0, 0, 0, 868000000, radio_record(true, false, 2)), ERR_UNSPECIFIED);
    port->fail_message(-1);
  }
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx125x E R R O R - CAN NOT READ FROM SX125X: board #0, chip #0, rf chain #0."));
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx125x E R R O R - CAN NOT WRITE TO SX125X: board #0, chip #0, rf chain #0."));
}

}  // namespace

// The transceiver wrappers: start attempts, the TX LO's fast re-tune, and
// calls without a started driver.
#include <gmock/gmock.h>

#include "ad9362lib/src/ad9361_phy.h"
#include "xcvr_fixture.h"

namespace {

using crx::test::XcvrTest;

class Wrappers : public XcvrTest {
 protected:
  int full() { return chip().tx_full_tunes(); }
  int words() { return chip().tx_words_taken(); }
};

TEST_F(Wrappers, StartTriesThreeTimes) {
  // One failed transfer spoils the first attempt only.
  port().fail_next(1);
  EXPECT_EQ(crx::xcvr_start(1, 3, 1, -1, -1), 0);
  EXPECT_EQ(count_logged("xcvr_start: error, failed to initialize transceiver"), 1u);
  EXPECT_TRUE(crx::xcvr_running());
  // The chip ended in FDD with the chains asked for.
  EXPECT_EQ(chip().peek(0x002) & 0xC0, 0xC0);
  EXPECT_EQ(chip().peek(0x003) & 0xC0, 0x40);

  sandbox().clear_logs();
  chip().set_product_id(0x00);
  EXPECT_EQ(crx::xcvr_start(1, 3, 1, -1, -1), -1);
  EXPECT_EQ(count_logged("xcvr_start: error, failed to initialize transceiver"), 3u);
  EXPECT_FALSE(crx::xcvr_running());
}

TEST_F(Wrappers, TxLoFastReTuneWithinTheSpan) {
  ASSERT_EQ(crx::xcvr_start(1, 3, 1, -1, -1), 0);
  ASSERT_EQ(crx::set_tx_lo_freq(868300000), 0);
  EXPECT_EQ(full(), 1);
  EXPECT_EQ(words(), 1);

  ASSERT_EQ(crx::set_tx_lo_freq(868100000), 0);  // 200 kHz away: fast
  EXPECT_EQ(full(), 1);
  EXPECT_EQ(words(), 2);
  EXPECT_NEAR(double(chip().tx_lo_hz()), 868100000.0, 10.0);

  chip().clear_transactions();
  ASSERT_EQ(crx::set_tx_lo_freq(868100000), 0);  // unchanged: no traffic
  EXPECT_TRUE(chip().transactions().empty());

  ASSERT_EQ(crx::set_tx_lo_freq(968300000), 0);  // 100.2 MHz away: full
  EXPECT_EQ(full(), 2);
  ASSERT_EQ(crx::set_tx_lo_freq(868300001), 0);  // exactly 99999999 Hz away: fast
  EXPECT_EQ(full(), 2);
  EXPECT_EQ(crx::xcvr_tx_lo(), 868300001u);

  // A move that needs another VCO divider is tuned in full even when near.
  ASSERT_EQ(crx::set_tx_lo_freq(740000000), 0);
  ASSERT_EQ(crx::set_tx_lo_freq(760000000), 0);
  EXPECT_EQ(full(), 4);
  EXPECT_NEAR(double(chip().tx_lo_hz()), 760000000.0, 10.0);
}

TEST_F(Wrappers, AFailedTuneIsNotRemembered) {
  ASSERT_EQ(crx::xcvr_start(1, 3, 1, -1, -1), 0);
  ASSERT_EQ(crx::set_tx_lo_freq(868300000), 0);
  chip().set_tx_synth_locks(false);
  EXPECT_EQ(crx::set_tx_lo_freq(868100000), -1);
  EXPECT_EQ(crx::xcvr_tx_lo(), 868300000u);
  chip().set_tx_synth_locks(true);
  const int before = words();
  ASSERT_EQ(crx::set_tx_lo_freq(868100000), 0);  // tried again, not skipped
  EXPECT_EQ(words(), before + 1);
  // Stop forgets the LO: the next start's first tune is a full one.
  crx::xcvr_stop();
  EXPECT_EQ(crx::xcvr_tx_lo(), 0u);
}

TEST_F(Wrappers, NothingReachesTheChipWithoutAStartedDriver) {
  EXPECT_EQ(crx::set_tx_rf_bandwidth(1000000), -1);
  EXPECT_EQ(crx::set_rx_rf_bandwidth(1000000), -1);
  EXPECT_EQ(crx::set_tx_lo_freq(868100000), -1);
  EXPECT_EQ(crx::set_rx_lo_freq(868100000), -1);
  EXPECT_EQ(crx::set_tx_rf_atten(1000, 1000), -1);
  EXPECT_EQ(crx::set_rx_rf_gain(10, 10), -1);
  EXPECT_TRUE(chip().transactions().empty());
  EXPECT_EQ(crx::xcvr_stop(), 0);
}

TEST_F(Wrappers, ValuesOutsideTheChipsRangesAreRefused) {
  ASSERT_EQ(crx::xcvr_start(3, 3, 1, -1, -1), 0);
  chip().clear_transactions();
  EXPECT_EQ(crx::set_rx_rf_bandwidth(199999), -1);
  EXPECT_EQ(crx::set_tx_rf_bandwidth(56000001), -1);
  EXPECT_EQ(crx::set_rx_lo_freq(69999999), -1);
  EXPECT_EQ(crx::set_tx_lo_freq(6000000001), -1);
  EXPECT_EQ(crx::set_tx_rf_atten(-250, 0), -1);
  EXPECT_EQ(crx::set_tx_rf_atten(0, 89751), -1);
  EXPECT_EQ(crx::set_rx_rf_gain(-1, 0), -1);
  EXPECT_EQ(crx::set_rx_rf_gain(0, 74), -1);
  // A refusal of either channel leaves both alone.
  EXPECT_TRUE(chip().transactions().empty());
  EXPECT_EQ(crx::xcvr_tx_lo(), 0u);

  ASSERT_EQ(crx::set_tx_rf_atten(89750, 250), 0);
  EXPECT_EQ(atten_steps(0), 359);
  EXPECT_EQ(atten_steps(1), 1);
  ASSERT_EQ(crx::set_rx_rf_gain(0, 73), 0);
  EXPECT_EQ(chip().peek(0x109) & 0x7F, 0);
  EXPECT_EQ(chip().peek(0x10C) & 0x7F, 73);
}

TEST(SynthWord, FrequenciesAndDividers) {
  crx::ad9361::SynthWord w{};
  ASSERT_TRUE(crx::ad9361::synth_word(868100000, &w));
  // 868.1 MHz x 8 = 6944.8 MHz = 173.62 x 40 MHz.
  EXPECT_EQ(w.divider, 2);
  EXPECT_EQ(w.integer, 173u);
  EXPECT_EQ(w.fraction, 5200928u);  // round(0.62 x 8388593)
  ASSERT_TRUE(crx::ad9361::synth_word(6000000000, &w));
  EXPECT_EQ(w.divider, 0);
  ASSERT_TRUE(crx::ad9361::synth_word(70000000, &w));
  EXPECT_EQ(w.divider, 6);
  EXPECT_FALSE(crx::ad9361::synth_word(69999999, &w));
  EXPECT_FALSE(crx::ad9361::synth_word(6000000001, &w));
}

}  // namespace

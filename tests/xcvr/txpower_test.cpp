// The digital gain table behind crx_set_tx_power and the temperature
// correction of the transceiver's attenuation.
#include <gmock/gmock.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "xcvr_fixture.h"

namespace {

using crx::test::XcvrTest;
using crx::txpower::temperature_correction;
using crx::txpower::temperature_index;

class TxPower : public XcvrTest {};

TEST_F(TxPower, PicksTheHighestEntryAtOrBelowTheRequest) {
  // (request, gain word) on chain 0 carrier 0 with the table as loaded.
  const std::vector<std::tuple<float, int32_t>> cases = {
      {14.2f, 7123}, {14.0f, 7123}, {29.9f, 8159}, {0.0f, 6213}, {-20.0f, 6213},
      {0.49f, 6213}, {0.5f, 6245},  {30.0f, 0},    {45.0f, 0},   {std::nanf(""), 6213},
  };
  for (const auto& [request, word] : cases) {
    ASSERT_EQ(crx_set_tx_power(0, 0, 0, request), 0) << request;
    EXPECT_EQ(board_reg(211), word) << request;
  }
}

TEST_F(TxPower, EachChainAndCarrierHasItsRegister) {
  const int rows[2][2] = {{211, 212}, {243, 244}};
  for (uint8_t chain = 0; chain < 2; ++chain)
    for (uint8_t carrier = 0; carrier < 2; ++carrier) {
      const float power = 1.0f + chain * 2 + carrier;  // indexes 2, 4, 6, 8
      ASSERT_EQ(crx_set_tx_power(0, chain, carrier, power), 0);
      EXPECT_EQ(board_reg(rows[chain][carrier]), 6278 + 65 * (chain * 2 + carrier)) << int(chain) << int(carrier);
    }
  // Nothing else was touched: the other rows still hold their own words.
  EXPECT_EQ(board_reg(211), 6278);
}

TEST_F(TxPower, RefusalsCauseNoTraffic) {
  EXPECT_EQ(crx_set_tx_power(0, 2, 0, 14.0f), -1);
  EXPECT_EQ(crx_set_tx_power(0, 0, 2, 14.0f), -1);
  EXPECT_FAILS_WITH(crx_set_tx_power(1, 0, 0, 14.0f), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(port().accesses().empty());
}

TEST_F(TxPower, AFailedWriteIsNotReportedAsSuccess) {
  port().fail_next(1);
  EXPECT_FAILS_WITH(crx_set_tx_power(0, 0, 0, 14.0f), ERR_SPI_WRITE);
}

TEST_F(TxPower, RescaledTableFollowsTheMaximumPower) {
  crx::txpower::rewrite_tx_gain_powers(27.0f);
  // Entry i now stands for 27 - (60 - i) / 2 dBm: 14.2 dBm is entry 34.
  ASSERT_EQ(crx_set_tx_power(0, 1, 1, 14.2f), 0);
  EXPECT_EQ(board_reg(244), 7318);
  ASSERT_EQ(crx_set_tx_power(0, 1, 1, 27.0f), 0);
  EXPECT_EQ(board_reg(244), 0);
}

TEST(TemperatureGrid, IndexEdges) {
  const std::vector<std::pair<int, int>> cases = {
      {20, 14}, {21, 15}, {100, 30}, {101, 31}, {104, 31}, {105, 31}, {-50, 0}, {-49, 1}, {-51, 1},
      {-52, 1}, {-53, 0}, {-54, 0},  {-55, 31}, {-45, 1},  {-46, 1},  {-47, 1}, {-48, 1}, {0, 10},
      {1, 11},  {4, 11},  {5, 11},   {99, 30},  {96, 30},  {95, 29},
  };
  for (const auto& [t, index] : cases) EXPECT_EQ(temperature_index(t), index) << t;
}

TEST(TemperatureGrid, CorrectionsOutsideTheGridTakeTheNearestEnd) {
  EXPECT_EQ(temperature_correction(25), 1);
  EXPECT_EQ(temperature_correction(60), -4);
  EXPECT_EQ(temperature_correction(-50), 10);
  EXPECT_EQ(temperature_correction(-55), 10);
  EXPECT_EQ(temperature_correction(-200), 10);
  EXPECT_EQ(temperature_correction(100), -9);
  EXPECT_EQ(temperature_correction(101), -9);
  EXPECT_EQ(temperature_correction(1000), -9);
}

TEST(TemperatureFormula, AttenuationFromTheCodes) {
  // 4 x trunc(a (c^2 - r^2) + b (c - r)) / 65536, rounded half away from 0.
  EXPECT_EQ(crx_ad9361_temp2atten(120, 120, 1000, 1000), 0);
  EXPECT_EQ(crx_ad9361_temp2atten(121, 120, 0, 16384), 1);
  EXPECT_EQ(crx_ad9361_temp2atten(119, 120, 0, 16384), -1);
  EXPECT_EQ(crx_ad9361_temp2atten(200, 100, 1, 0), 2);       // 30000 -> 1.83
  EXPECT_EQ(crx_ad9361_temp2atten(121, 120, 0, 8192), 1);    // exactly 0.5
  EXPECT_EQ(crx_ad9361_temp2atten(119, 120, 0, 8192), -1);   // exactly -0.5
  EXPECT_EQ(crx_ad9361_temp2atten(121, 120, 0, 8191), 0);    // just below
  EXPECT_EQ(crx_ad9361_temp2atten(130, 120, -3, 100), 0);    // -6500 -> -0.40
  EXPECT_EQ(crx_ad9361_temp2atten(130, 120, -30, 100), -5);  // -74000 -> -4.52
  // The widest inputs leave a byte's range: held at its ends.
  EXPECT_EQ(crx_ad9361_temp2atten(255, 0, 32767, 32767), 127);
  EXPECT_EQ(crx_ad9361_temp2atten(255, 0, -32768, -32768), -128);
}

class Compensation : public XcvrTest {
 protected:
  void SetUp() override {
    XcvrTest::SetUp();
    ASSERT_EQ(crx::xcvr_start(3, 3, 1, -1, -1), 0);
  }
};

TEST_F(Compensation, AttenuationFollowsTheTemperature) {
  calibrate(0, 40, 0, 20, 25.0);
  // (board temperature, TX1 steps, TX2 steps): correction(T) + calibrated - correction(25).
  const std::vector<std::tuple<float, int, int>> cases = {
      {25.0f, 40, 20}, {60.0f, 35, 15}, {24.9f, 40, 20}, {-50.0f, 49, 29},
      {100.0f, 30, 10}, {-80.0f, 49, 29}, {150.0f, 30, 10}, {21.7f, 40, 20},
  };
  for (const auto& [t, tx1, tx2] : cases) {
    ASSERT_EQ(crx_set_temp_compened_rf_atten(t), 0) << t;
    EXPECT_EQ(atten_steps(0), tx1) << t;
    EXPECT_EQ(atten_steps(1), tx2) << t;
  }
}

TEST_F(Compensation, HighByteOfTheCalibrationIsKept) {
  calibrate(1, 2, 0, 0, 25.5);
  ASSERT_EQ(crx_set_temp_compened_rf_atten(25.0f), 0);
  EXPECT_EQ(atten_steps(0), 258);
  // A correction below zero attenuation holds at zero.
  ASSERT_EQ(crx_set_temp_compened_rf_atten(80.0f), 0);
  EXPECT_EQ(atten_steps(1), 0);
}

TEST_F(Compensation, UncalibratedUnitsAndOddTemperaturesAreRefused) {
  port().clear_accesses();
  EXPECT_EQ(crx_set_temp_compened_rf_atten(25.0f), -1);  // no record read
  calibrate(0, 40, 0, 40, 4294967296.0);
  EXPECT_EQ(crx_set_temp_compened_rf_atten(25.0f), -1);
  calibrate(0, 40, 0, 40, 25.0);
  EXPECT_EQ(crx_set_temp_compened_rf_atten(std::nanf("")), -1);
  EXPECT_EQ(crx_set_temp_compened_rf_atten(std::numeric_limits<float>::infinity()), -1);
  EXPECT_TRUE(port().accesses().empty());
}

TEST_F(Compensation, WrenBoardsDoNothing) {
  calibrate(0, 40, 0, 40, 25.0);
  board_type = CRX_BOARD_WREN_OUTDOOR;
  port().clear_accesses();
  EXPECT_EQ(crx_set_temp_compened_rf_atten(60.0f), 0);
  EXPECT_TRUE(port().accesses().empty());
  board_type = CRX_BOARD_CONDOR_NA;  // so that tear-down closes the FPGA port
}

TEST_F(Compensation, BoardType5WithANewerFpgaUsesItsOwnRegister) {
  board_type = CRX_BOARD_OPAL;
  calibrate(0, 40, 0, 20, 25.0);
  port().set_version(164);
  ASSERT_EQ(crx_set_temp_compened_rf_atten(60.0f), 0);
  EXPECT_EQ(board_reg(388), 35);
  EXPECT_EQ(atten_steps(0), 0);  // the transceiver is left alone
  port().set_version(163);
  ASSERT_EQ(crx_set_temp_compened_rf_atten(60.0f), 0);
  EXPECT_EQ(atten_steps(0), 35);
}

}  // namespace

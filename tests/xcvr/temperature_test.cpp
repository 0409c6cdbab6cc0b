// Temperature readings: the board sensor, the SX1301's code, the sensor's
// set-up at start and the housekeeping job.
#include <gmock/gmock.h>

#include <cstdint>
#include <vector>

#include "crx_hal/hooks.h"
#include "crx_hal/timers.h"
#include "xcvr_fixture.h"

namespace {

using ::testing::ElementsAre;
using crx::test::XcvrTest;
using Bytes = std::vector<uint8_t>;

class Temperature : public XcvrTest {
 protected:
  std::vector<Bytes> sent() {
    std::vector<Bytes> out;
    for (const auto& m : sensor().messages())
      for (const auto& t : m) out.push_back(t.tx);
    return out;
  }
};

TEST_F(Temperature, SensorReadingsAcrossTheRange) {
  // (raw word, degrees C)
  const std::vector<std::pair<uint16_t, float>> cases = {
      {0xFF90, -0.4375f}, {0x1900, 25.0f},   {0x0000, 0.0f},    {0x0010, 0.0625f}, {0x000F, 0.0f},
      {0x6400, 100.0f},   {0xD800, -40.0f},  {0xC900, -55.0f},  {0x7FF0, 127.9375f}, {0x8000, -128.0f},
      {0xFFF0, -0.0625f}, {0xFFFF, -0.0f},
  };
  for (const auto& [raw, celsius] : cases) {
    sensor().set_raw(raw);
    float t = 99.0f;
    ASSERT_EQ(crx_get_temperature(&t), 0) << std::hex << raw;
    EXPECT_FLOAT_EQ(t, celsius) << std::hex << raw;
  }
  sensor().clear_messages();
  port().set_temperature(-12.5);
  float t = 0;
  ASSERT_EQ(crx_get_temperature(&t), 0);
  EXPECT_FLOAT_EQ(t, -12.5f);
  // Register 2 (high byte) first, then register 1, on a mode 1 port at 1 MHz.
  EXPECT_THAT(sent(), ElementsAre(Bytes{0x02, 0x00}, Bytes{0x01, 0x00}));
  EXPECT_EQ(sensor().mode(), 1);
  EXPECT_EQ(sensor().max_speed_hz(), 1000000u);
  EXPECT_EQ(sandbox().open_device_count(), 1);  // only the FPGA port stays open
}

TEST_F(Temperature, SensorFailures) {
  EXPECT_FAILS_WITH(crx_get_temperature(nullptr), ERR_NULL_PTR);
  EXPECT_TRUE(logged("BrvDBG-HAL crx_get_temperature E R R O R - Pointer temp is NULL."));

  float t = 7.0f;
  sensor().fail_next_open(1);
  EXPECT_EQ(crx_get_temperature(&t), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: crx_get_temperature E R R O R  open"));
  EXPECT_FLOAT_EQ(t, 7.0f);

  // A failed read or close still stores what was read, and fails.
  port().set_temperature(30.0);
  sensor().fail_next(1);
  EXPECT_EQ(crx_get_temperature(&t), -1);
  sensor().fail_next_close(1);
  EXPECT_EQ(crx_get_temperature(&t), -1);
  EXPECT_FLOAT_EQ(t, 30.0f);
  EXPECT_EQ(sandbox().open_device_count(), 1);
}

TEST_F(Temperature, SensorSetUpSetsTheResolutionOnce) {
  // (configuration found, configuration left, written)
  const std::vector<std::tuple<uint8_t, uint8_t, bool>> cases = {
      {0x00, 0x06, true}, {0xF1, 0xF6, true}, {0x06, 0x06, false}, {0xFE, 0xFE, false}};
  for (const auto& [found, left, written] : cases) {
    sensor().set_config(found);
    const int writes = sensor().config_writes();
    sandbox().clear_sleeps();
    ASSERT_EQ(crx::hooks::init_temperature_sensor(), 0);
    EXPECT_EQ(sensor().config(), left);
    EXPECT_EQ(sensor().config_writes() - writes, written ? 1 : 0);
    // The sensor gets 250 ms to take a new resolution.
    EXPECT_EQ(sandbox().sleeps(), written ? std::vector<int64_t>{250000000} : std::vector<int64_t>{});
  }
  EXPECT_EQ(sandbox().open_device_count(), 1);
}

TEST_F(Temperature, SensorSetUpFailures) {
  sensor().fail_next_open(1);
  EXPECT_EQ(crx::hooks::init_temperature_sensor(), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: init_temperature_sensor E R R O R  open"));
  sensor().fail_next(1);
  EXPECT_EQ(crx::hooks::init_temperature_sensor(), -1);
  sensor().fail_next_close(1);
  EXPECT_EQ(crx::hooks::init_temperature_sensor(), -1);
  EXPECT_EQ(sandbox().open_device_count(), 1);
  // The Wren TDD board has no such sensor.
  board_type = CRX_BOARD_WREN_TDD;
  sensor().clear_messages();
  EXPECT_EQ(crx::hooks::init_temperature_sensor(), 0);
  EXPECT_EQ(sensor().message_count(), 0u);
  board_type = CRX_BOARD_CONDOR_NA;
}

TEST_F(Temperature, Sx1301Code) {
  // Chip 0: measurement select (page 2, 81) and code (page 2, 65).
  crx::brd_cfg_priv.calibration_temperature_code_ad9361 = 140;
  crx::brd_cfg_priv.calibration_temperature_celsius_room = 25;
  // (code, degrees C): round((code - 140) x 909 / 1024 + 25)
  const std::vector<std::pair<uint8_t, int16_t>> cases = {{150, 34}, {140, 25}, {100, -11}, {255, 127}, {0, -99}};
  for (const auto& [code, celsius] : cases) {
    const uint8_t page2_65 = code;
    port().poke(0, 2, 65, {&page2_65, 1});
    uint8_t got_code = 0;
    int16_t got_t = 0;
    ASSERT_EQ(crx_get_1301_temperature(0, &got_code, &got_t), 0);
    EXPECT_EQ(got_code, code);
    EXPECT_EQ(got_t, celsius) << int(code);
  }
  EXPECT_EQ(port().peek(0, 2, 81, 1)[0], 33);
  EXPECT_EQ(crx_get_1301_temperature(0, nullptr, nullptr), 0);
  port().clear_accesses();
  EXPECT_FAILS_WITH(crx_get_1301_temperature(1, nullptr, nullptr), ERR_BAD_BOARD_NB);
  EXPECT_TRUE(port().accesses().empty());
}

TEST_F(Temperature, HousekeepingJobCorrectsTheAttenuation) {
  ASSERT_EQ(crx::xcvr_start(3, 3, 1, -1, -1), 0);
  calibrate(0, 40, 0, 40, 25.0);
  port().set_temperature(60.0);
  crx::hooks::temperature_job();
  EXPECT_EQ(atten_steps(0), 35);
  EXPECT_EQ(atten_steps(1), 35);

  // Without a calibration the job says so and changes nothing.
  crx::txpower::forget_tx_cal();
  port().set_temperature(-20.0);
  crx::hooks::temperature_job();
  EXPECT_TRUE(logged("\n E R R O R - Tx Atten correction with temp failed."));
  EXPECT_EQ(atten_steps(0), 35);

  // A sensor that cannot be read: nothing corrected, nothing said of it.
  sandbox().clear_logs();
  calibrate(0, 40, 0, 40, 25.0);
  sensor().fail_next_open(1);
  crx::hooks::temperature_job();
  EXPECT_FALSE(logged("correction with temp failed"));
  EXPECT_EQ(atten_steps(0), 35);
}

}  // namespace

namespace {

TEST_F(Temperature, HousekeepingRunsTheJobAtTheFirstExpiryAndEverySixtieth) {
  ASSERT_EQ(crx::xcvr_start(3, 3, 1, -1, -1), 0);
  calibrate(0, 40, 0, 40, 25.0);
  crx::timers::arm_housekeeping();  // restarts the count, as start does
  port().set_temperature(60.0);
  crx::timers::housekeeping_tick();
  EXPECT_EQ(atten_steps(0), 35) << "the first expiry corrects what start set";

  port().set_temperature(25.0);
  for (int i = 0; i < 59; ++i) crx::timers::housekeeping_tick();
  EXPECT_EQ(atten_steps(0), 35) << "not again before 120 s";
  crx::timers::housekeeping_tick();
  EXPECT_EQ(atten_steps(0), 40) << "the 61st expiry, 120 s after the first";
}

}  // namespace

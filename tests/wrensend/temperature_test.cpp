// The Wren temperature sources behind crx_get_temperature, the outdoor
// board's compensation table, and the housekeeping job that moves the
// outdoor board's sends to another gain entry.
#include <gtest/gtest.h>

#include <cmath>

#include "crx_hal/hooks.h"
#include "send_fixture.h"
#include "wren/temperature.h"

namespace {

class WrenTemperature : public crx::test::WrenSendTest {};

TEST_F(WrenTemperature, AnalogSensorOnTheOutdoorAndVariantOneBoards) {
  install(crx::test::kOutdoorPcba);
  // 1000 counts of 1.8 V over 4095: 439.56 mV, 10 mV per degree above 500.
  crx::sim::set_wren_iio_raw(sandbox(), "1000\n");
  float t = 99;
  ASSERT_EQ(crx_get_temperature(&t), 0) << syslog_dump();
  EXPECT_NEAR(t, (1000 * 1.8 / 4095 * 1000 - 500) / 10, 1e-3);
  crx::sim::set_wren_iio_temperature(sandbox(), 40.0);
  ASSERT_EQ(crx_get_temperature(&t), 0);
  EXPECT_NEAR(t, 40.0, 0.05);

  // A value that is no number is no temperature (not 0 counts, -50 C).
  for (const char* text : {"", "abc\n", "12x4\n", "-\n"}) {
    SCOPED_TRACE(text);
    crx::sim::set_wren_iio_raw(sandbox(), text);
    t = 99;
    crx_errno = 0;
    EXPECT_EQ(crx_get_temperature(&t), -1);
    EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
    EXPECT_EQ(t, 99);
  }
  sandbox().remove(crx::sim::kWrenIioTemperatureFile);
  EXPECT_EQ(crx_get_temperature(&t), -1);
  EXPECT_TRUE(has_line("Failed to open /sys/bus/iio/devices/iio:device0/in_voltage2_raw, errno: No such file or "
                       "directory(2)"));
}

TEST_F(WrenTemperature, VariantOneTddBoardReadsTheAnalogSensorToo) {
  install();
  board().gpio_fpga->set_variant(3);
  crx::sim::set_wren_iio_temperature(sandbox(), -20.0);
  float t = 0;
  ASSERT_EQ(crx_get_temperature(&t), 0) << syslog_dump();
  EXPECT_NEAR(t, -20.0, 0.05);
}

TEST_F(WrenTemperature, SideRadioThermometerOnVariantZero) {
  install();
  board().side_radio->set_temperature(41);
  float t = 0;
  ASSERT_EQ(crx_get_temperature(&t), 0) << syslog_dump();
  EXPECT_EQ(t, 41.0f);
  board().side_radio->set_temperature(-30);
  ASSERT_EQ(ostra_wren_read_temperature(&t), 0);
  EXPECT_EQ(t, -30.0f);
  EXPECT_EQ(ostra_wren_read_temperature(nullptr), -1);
  EXPECT_EQ(crx_errno, ERR_NULL_PTR);

  // An SX1255 board has no side radio: a failure, not the caller's value.
  ostra_wren_prv_cfg.radio[0].type = 1;
  t = 7;
  crx_errno = 0;
  EXPECT_EQ(crx_get_temperature(&t), -1);
  EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
  EXPECT_EQ(t, 7);
}

TEST_F(WrenTemperature, CompensationTableEdgesAndRounding) {
  using crx::wren::outdoor_power_offset;
  auto at = [](int celsius) { return float(1.6759 - 0.0606 * (65 - celsius)); };
  // Rounded away from zero, then the nearer grid point (the upper one from
  // the integer midpoint on).
  EXPECT_FLOAT_EQ(outdoor_power_offset(62.4f), at(65));  // 63 >= midpoint 62
  EXPECT_FLOAT_EQ(outdoor_power_offset(62.0f), at(65));
  EXPECT_FLOAT_EQ(outdoor_power_offset(61.7f), at(65));
  EXPECT_FLOAT_EQ(outdoor_power_offset(61.0f), at(60));
  EXPECT_FLOAT_EQ(outdoor_power_offset(60.0f), at(60));
  EXPECT_FLOAT_EQ(outdoor_power_offset(40.0f), 0.1609f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(0.0f), -2.2631f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(42.4f), at(45));  // 43 >= (40 + 45) / 2
  EXPECT_FLOAT_EQ(outdoor_power_offset(-2.5f), at(-5));  // -3 < (-5 + 0) / 2 = -2
  EXPECT_FLOAT_EQ(outdoor_power_offset(-1.5f), at(0));   // -2 is not below -2
  // The ends and beyond.
  EXPECT_FLOAT_EQ(outdoor_power_offset(65.0f), 1.6759f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(64.2f), 1.6759f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(120.0f), 1.6759f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(-60.0f), -5.8991f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(-59.5f), -5.8991f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(-1e9f), -5.8991f);
  EXPECT_FLOAT_EQ(outdoor_power_offset(std::nanf("")), -5.8991f);

  EXPECT_EQ(wren_outdoor_rf_power_temp_compensation(62.4f), 0);
  EXPECT_FLOAT_EQ(crx::wren::power_offset(), 1.6759f);
  EXPECT_TRUE(has_line("BrvDBG-HAL wren_outdoor_rf_power_temp_compensation rf power temp compensation, temp: "
                       "62.400002(63), offset: 1.675900"));
}

TEST_F(WrenTemperature, HousekeepingMovesOutdoorSendsToAnotherGainEntry) {
  start_board(crx::test::kOutdoorPcba);
  crx_tx_pkt_t p = lora(868100000);
  p.rf_power = 18.5f;
  ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
  EXPECT_EQ(sent().back().power_index, 1) << "14 dBm entry before any correction";

  // Hot: +1.68 dB brings 18.5 dBm to the 20 dBm entry.
  crx::sim::set_wren_iio_temperature(sandbox(), 65.0);
  crx::hooks::temperature_job();
  EXPECT_FLOAT_EQ(crx::wren::power_offset(), 1.6759f);
  ASSERT_EQ(crx_send(0, &p), 0);
  EXPECT_EQ(sent().back().power_index, 2);

  // Cold (the sensor reads down to -50 C): -4.99 dB takes a 27 dBm
  // request down to the 20 dBm entry.
  crx::sim::set_wren_iio_temperature(sandbox(), -45.0);
  crx::hooks::temperature_job();
  p.rf_power = 27.0f;
  ASSERT_EQ(crx_send(0, &p), 0);
  EXPECT_EQ(sent().back().power_index, 2);

  // An unreadable sensor keeps the last correction.
  crx::sim::set_wren_iio_raw(sandbox(), "garbled");
  crx::hooks::temperature_job();
  EXPECT_FLOAT_EQ(crx::wren::power_offset(), float(1.6759 - 0.0606 * 110));
}

TEST_F(WrenTemperature, OnlyTheOutdoorBoardAddsTheOffset) {
  start_board();
  ASSERT_EQ(wren_outdoor_rf_power_temp_compensation(65.0f), 0);
  crx_tx_pkt_t p = lora(915000000);
  p.rf_power = 18.5f;
  ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
  EXPECT_EQ(sent().back().power_index, 1);
}

}  // namespace

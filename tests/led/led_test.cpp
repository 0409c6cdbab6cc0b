// The LED calls on the GPIO FPGA: read-modify-write of the LED bits, the
// intensity register, and what a failure leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "crx.h"
#include "sim/boards.h"
#include "sim/testing.h"

namespace {

using ::testing::ElementsAre;

class Leds : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    fpga_ = std::make_shared<crx::sim::WrenGpioFpga>();
    sandbox().add_device("/dev/spidev32766.6", fpga_);
  }
  crx::sim::WrenGpioFpga& fpga() { return *fpga_; }

 private:
  std::shared_ptr<crx::sim::WrenGpioFpga> fpga_;
};

TEST_F(Leds, StateChangesOnlyTheLedBits) {
  fpga().poke(8, 0x0000);
  ASSERT_EQ(crx_set_led_state(0xFFFF), 0);
  EXPECT_EQ(fpga().peek(8), 0x3FFC);
  fpga().poke(8, 0xFFFF);
  ASSERT_EQ(crx_set_led_state(0x0000), 0);
  EXPECT_EQ(fpga().peek(8), 0xC003);
  EXPECT_THAT(fpga().register_writes(), ElementsAre(std::pair<uint8_t, uint16_t>{8, 0x3FFC},
                                                    std::pair<uint8_t, uint16_t>{8, 0xC003}));
  // Each call opens the port at 1 MHz and closes it again.
  EXPECT_EQ(fpga().max_speed_hz(), 1000000u);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  const auto m = fpga().messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_THAT(m[0][0].tx, ElementsAre(0x08, 0x00, 0x00));
  EXPECT_THAT(m[3][0].tx, ElementsAre(0x88, 0xC0, 0x03));
}

TEST_F(Leds, StateReadsBackTheLedBitsOnly) {
  for (uint16_t reg : {0xFFFF, 0x1234}) {
    fpga().poke(8, reg);
    uint16_t state = 0;
    ASSERT_EQ(crx_get_led_state(&state), 0);
    EXPECT_EQ(state, reg & 0x3FFC) << reg;
  }
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_EQ(crx_get_led_state(nullptr), -1);
}

TEST_F(Leds, IntensityIsTheWholeRegisterHighByteFirst) {
  crx_set_led_intensity(0x1234);
  EXPECT_EQ(fpga().peek(21), 0x1234);
  const auto m = fpga().messages();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_THAT(m[0][0].tx, ElementsAre(0x95, 0x12, 0x34));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(Leds, FailuresAreLoggedAndLeaveTheRegisterAlone) {
  crx_errno = 0;
  fpga().poke(8, 0xAAAA);
  fpga().fail_next(1);
  EXPECT_EQ(crx_set_led_state(0xFFFF), -1);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL crx_set_led_state E R R O R - GPIO FPGA reg read failed reg 8 LED state not changed"));
  EXPECT_TRUE(fpga().register_writes().empty());
  EXPECT_EQ(fpga().peek(8), 0xAAAA);

  uint16_t state = 0xFFFF;
  fpga().fail_next(1);
  EXPECT_EQ(crx_get_led_state(&state), -1);
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL crx_get_led_state E R R O R - GPIO FPGA reg read failed reg 8 LED state unknown"));

  fpga().fail_next(1);
  crx_set_led_intensity(7);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BrvDBG-HAL crx_set_led_intensity E R R O R - GPIO FPGA reg write failed reg 21 LED intensity not changed"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_EQ(crx_errno, 0);
}

TEST_F(Leds, BoardsWithoutTheGpioFpgaOnlyLog) {
  sandbox().remove_device("/dev/spidev32766.6");
  uint16_t state = 0;
  EXPECT_EQ(crx_set_led_state(1), -1);
  EXPECT_EQ(crx_get_led_state(&state), -1);
  crx_set_led_intensity(1);
  for (const char* name : {"crx_set_led_state", "crx_get_led_state", "crx_set_led_intensity"})
    EXPECT_TRUE(sandbox().syslog_contains(std::string("BrvDBG-HAL ") + name + " E R R O R - open SPI GPIO FPGA"));
  EXPECT_EQ(crx_errno, 0);
}

}  // namespace

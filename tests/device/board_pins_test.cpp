// Receive-status lines: the pin of each chip by board, and their set-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "board_pins.h"
#include "crx.h"
#include "sim/gpio.h"
#include "sim/testing.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RxStatusPin : public crx::sim::SandboxTest {};

std::vector<uint16_t> pins_of(uint32_t type, int chips) {
  board_type = type;
  std::vector<uint16_t> pins;
  for (int chip = 0; chip < chips; ++chip) pins.push_back(crx::get_rx_status_pin(uint8_t(chip)));
  return pins;
}

TEST_F(RxStatusPin, EachBoardHasItsRowOfPins) {
  for (uint32_t type : {1u, 4u, 5u, 6u})
    EXPECT_THAT(pins_of(type, 8), ElementsAre(23, 26, 27, 44, 45, 46, 47, 114)) << type;
  for (uint32_t type : {2u, 3u, 14u}) EXPECT_THAT(pins_of(type, 4), ElementsAre(23, 26, 27, 44)) << type;
  for (uint32_t type : {7u, 8u, 9u, 10u}) EXPECT_THAT(pins_of(type, 2), ElementsAre(59, 58)) << type;
  for (uint32_t type : {12u, 15u}) EXPECT_THAT(pins_of(type, 1), ElementsAre(51)) << type;
  EXPECT_THAT(sandbox().syslog_texts(), IsEmpty());
}

TEST_F(RxStatusPin, ChipBeyondTheBoardGivesTheFirstPinWithALine) {
  const struct {
    uint32_t type;
    uint8_t chip;
    uint16_t pin;
  } cases[] = {{1, 8, 23}, {2, 4, 23}, {14, 7, 23}, {7, 2, 59}, {10, 255, 59}, {12, 1, 51}, {15, 3, 51}};
  for (const auto& c : cases) {
    sandbox().clear_logs();
    board_type = c.type;
    EXPECT_EQ(crx::get_rx_status_pin(c.chip), c.pin) << c.type << " " << int(c.chip);
    EXPECT_THAT(sandbox().syslog_texts(),
                ElementsAre("BrvDBG-HAL get_rx_status_pin, unknown chip num: " + std::to_string(c.chip)));
  }
}

TEST_F(RxStatusPin, UnknownBoardUsesTheEightChipRowAndNeverReadsPastIt) {
  const std::string warning = "BrvDBG-HAL get_rx_status_pin warning - unknown board type, use .";
  for (uint32_t type : {0u, 11u, 13u, 16u, 0xFFFFFFFFu}) {
    sandbox().clear_logs();
    EXPECT_THAT(pins_of(type, 8), ElementsAre(23, 26, 27, 44, 45, 46, 47, 114)) << type;
    EXPECT_EQ(sandbox().syslog_texts().size(), 8u);
    sandbox().clear_logs();
    EXPECT_EQ(crx::get_rx_status_pin(8), 23);
    EXPECT_EQ(crx::get_rx_status_pin(200), 23);
    EXPECT_THAT(sandbox().syslog_texts(),
                ElementsAre(warning, "BrvDBG-HAL get_rx_status_pin, unknown chip num: 8", warning,
                            "BrvDBG-HAL get_rx_status_pin, unknown chip num: 200"));
  }
}

class SetupRxStatusPin : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
    board_type = CRX_BOARD_CONDOR_NA;
  }
  crx::sim::SysfsGpio& gpio() { return *gpio_; }

 private:
  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
};

TEST_F(SetupRxStatusPin, ExportsARisingEdgeActiveHighInput) {
  ASSERT_EQ(setup_rx_status_pin(3), 0);
  EXPECT_THAT(gpio().export_writes(), ElementsAre("44"));
  EXPECT_EQ(gpio().direction(44), "in");
  EXPECT_EQ(gpio().edge(44), "rising");
  EXPECT_FALSE(gpio().active_low(44));
  EXPECT_THAT(gpio().attribute(44, "active_low")->writes(), ElementsAre("0"));
  EXPECT_THAT(sandbox().syslog_texts(), IsEmpty());

  board_type = CRX_BOARD_WREN_TDD;
  ASSERT_EQ(setup_rx_status_pin(0), 0);
  EXPECT_TRUE(gpio().exported(51));
}

TEST_F(SetupRxStatusPin, ExportedLineIsLeftAsItIs) {
  gpio().export_line(23);  // the kernel's defaults: input, no edge
  ASSERT_EQ(setup_rx_status_pin(0), 0);
  EXPECT_THAT(gpio().export_writes(), IsEmpty());
  EXPECT_EQ(gpio().edge(23), "none");
  for (const char* name : {"direction", "edge", "active_low"})
    EXPECT_THAT(gpio().attribute(23, name)->writes(), IsEmpty()) << name;
}

TEST_F(SetupRxStatusPin, FirstFailingStepIsLoggedAndItsResultReturned) {
  // The steps in order; a failure of step i is followed by no later step.
  const char* attributes[] = {nullptr, "direction", "edge", "active_low"};
  const char* lines[] = {"in setup_rx_status_pin, gpio_export_pin returned -1",
                         "in setup_rx_status_pin, gpio_set_direction returned -1",
                         "in setup_rx_status_pin, gpio_setup_edge returned -1",
                         "in setup_rx_status_pin, gpio_setup_active returned -1"};
  for (uint8_t step = 0; step < 4; ++step) {
    sandbox().clear_logs();
    const uint8_t chip = step;  // a fresh line for every case
    const int pin = crx::get_rx_status_pin(chip);
    if (attributes[step]) gpio().attribute(pin, attributes[step])->fail_next(1);
    else gpio().refuse_export(pin);
    EXPECT_EQ(setup_rx_status_pin(chip), -1) << lines[step];
    const auto logged = sandbox().syslog_texts();
    ASSERT_EQ(logged.size(), 2u) << syslog_dump();  // the GPIO layer's line, then ours
    EXPECT_EQ(logged[1], lines[step]);
    for (int later = step + 1; later < 4; ++later)
      EXPECT_THAT(gpio().attribute(pin, attributes[later])->writes(), IsEmpty()) << lines[step];
  }
}

}  // namespace

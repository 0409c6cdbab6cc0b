// sysfs GPIO lines against the simulated GPIO class.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>

#include <memory>
#include <regex>
#include <string>

#include "crx.h"
#include "device/gpio.h"
#include "platform/os.h"
#include "sim/gpio.h"
#include "sim/testing.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Gpio : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
    crx_errno = 0;
  }

  crx::sim::SysfsGpio& gpio() { return *gpio_; }
  std::shared_ptr<crx::sim::GpioAttribute> attr(int pin, const char* name) {
    return gpio_->attribute(pin, name);
  }

  // The only line logged, checked whole (the descriptor number as \d+).
  void expect_only_line(const std::string& pattern) {
    const auto lines = sandbox().syslog_texts();
    ASSERT_EQ(lines.size(), 1u) << syslog_dump();
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(pattern))) << lines[0] << "\nvs " << pattern;
    sandbox().clear_logs();
  }

 private:
  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
};

TEST_F(Gpio, ExportWritesTheDecimalNumberAndCreatesTheLine) {
  EXPECT_FALSE(crx::is_gpio_pin_exported(114));
  ASSERT_EQ(crx::gpio_export_pin(114), 0);
  EXPECT_THAT(gpio().export_writes(), ElementsAre("114"));
  EXPECT_TRUE(crx::is_gpio_pin_exported(114));
  EXPECT_TRUE(sandbox().exists("/sys/class/gpio/gpio114/value"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_THAT(sandbox().syslog_texts(), IsEmpty());
}

TEST_F(Gpio, ExportOfAnExportedLineWritesNothing) {
  gpio().export_line(23);
  ASSERT_EQ(crx::gpio_export_pin(23), 0);
  EXPECT_THAT(gpio().export_writes(), IsEmpty());
}

TEST_F(Gpio, ExportFailuresAreLoggedAndLeaveCode69) {
  gpio().fail_next_open(1);
  EXPECT_EQ(crx::gpio_export_pin(23), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to open '/sys/class/gpio/export' for writing: Input/output error \[5\])");

  crx_errno = 0;
  gpio().fail_next(1);
  EXPECT_EQ(crx::gpio_export_pin(23), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to write GPIO 23 to '/sys/class/gpio/export': Input/output error \[5\])");
  EXPECT_EQ(sandbox().open_device_count(), 0) << "a failed write closes the node";

  crx_errno = 0;
  gpio().fail_next_close(1);
  EXPECT_EQ(crx::gpio_export_pin(23), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to close GPIO FD \d+: Input/output error \[5\])");

  crx_errno = 0;
  gpio().refuse_export(24);
  EXPECT_EQ(crx::gpio_export_pin(24), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line("GPIO export for 24 pin failed");
  EXPECT_FALSE(crx::is_gpio_pin_exported(24));
}

TEST_F(Gpio, ExportWithoutAGpioClassFailsToOpen) {
  sandbox().remove_device("/sys/class/gpio/export");
  EXPECT_EQ(crx::gpio_export_pin(5), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to open '/sys/class/gpio/export' for writing: No such file or directory \[2\])");
}

TEST_F(Gpio, DirectionWritesFourBytesAndAnyNonZeroMeansInput) {
  gpio().export_line(26);
  ASSERT_EQ(crx::gpio_set_direction(26, 0), 0);
  EXPECT_EQ(gpio().direction(26), "out");
  ASSERT_EQ(crx::gpio_set_direction(26, 1), 0);
  EXPECT_EQ(gpio().direction(26), "in");
  ASSERT_EQ(crx::gpio_set_direction(26, 0), 0);
  ASSERT_EQ(crx::gpio_set_direction(26, 2), 0);
  EXPECT_EQ(gpio().direction(26), "in");
  using std::string_literals::operator""s;
  EXPECT_THAT(attr(26, "direction")->writes(),
              ElementsAre("out\0"s, "in\0\0"s, "out\0"s, "in\0\0"s));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(Gpio, DirectionFailuresAreLoggedAndLeaveCode69) {
  EXPECT_EQ(crx::gpio_set_direction(26, 1), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(
      R"(Failed to open '/sys/class/gpio/gpio26/direction' for reading and writing: No such file or directory \[2\])");

  gpio().export_line(26);
  crx_errno = 0;
  attr(26, "direction")->fail_next(1);
  EXPECT_EQ(crx::gpio_set_direction(26, 1), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to write 'in' direction to '/sys/class/gpio/gpio26/direction': Input/output error \[5\])");
  EXPECT_EQ(sandbox().open_device_count(), 0);

  crx_errno = 0;
  attr(26, "direction")->fail_next_close(1);
  EXPECT_EQ(crx::gpio_set_direction(26, 0), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to close \d+: Input/output error \[5\])");
}

TEST_F(Gpio, EdgeAndActiveLevelWriteTheirWords) {
  gpio().export_line(20);
  ASSERT_EQ(crx::gpio_set_falling_edge(20), 0);
  EXPECT_EQ(gpio().edge(20), "falling");
  ASSERT_EQ(crx::gpio_set_rising_edge(20), 0);
  EXPECT_EQ(gpio().edge(20), "rising");
  EXPECT_THAT(attr(20, "edge")->writes(), ElementsAre("falling", "rising"));

  ASSERT_EQ(crx::gpio_set_active_low(20), 0);
  EXPECT_TRUE(gpio().active_low(20));
  ASSERT_EQ(crx::gpio_set_active_high(20), 0);
  EXPECT_FALSE(gpio().active_low(20));
  EXPECT_THAT(attr(20, "active_low")->writes(), ElementsAre("1", "0"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(Gpio, EdgeAndActiveLevelFailuresAreLoggedWithoutTouchingTheCode) {
  const std::string open_fail = R"(Failed to open '/sys/class/gpio/gpio20/%s' for reading and writing: No such file or directory \[2\])";
  EXPECT_EQ(crx::gpio_set_rising_edge(20), -1);
  expect_only_line(std::regex_replace(open_fail, std::regex("%s"), "edge"));
  EXPECT_EQ(crx::gpio_set_active_high(20), -1);
  expect_only_line(std::regex_replace(open_fail, std::regex("%s"), "active_low"));

  gpio().export_line(20);
  attr(20, "edge")->fail_next(1);
  EXPECT_EQ(crx::gpio_set_falling_edge(20), -1);
  expect_only_line(R"(Failed to write 'falling' to '/sys/class/gpio/gpio20/edge': Input/output error \[5\])");
  attr(20, "edge")->fail_next_close(1);
  EXPECT_EQ(crx::gpio_set_rising_edge(20), -1);
  expect_only_line(R"(Failed to close \d+: Input/output error \[5\])");

  attr(20, "active_low")->fail_next(1);
  EXPECT_EQ(crx::gpio_set_active_low(20), -1);
  expect_only_line(R"(Failed to write active low/high to '/sys/class/gpio/gpio20/active_low': Input/output error \[5\])");
  attr(20, "active_low")->fail_next_close(1);
  EXPECT_EQ(crx::gpio_set_active_high(20), -1);
  expect_only_line(R"(Failed to close \d+: Input/output error \[5\])");

  EXPECT_EQ(crx_errno, 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(Gpio, ReadConvertsTheValueText) {
  gpio().export_line(97);
  uint8_t value = 0xEE;
  ASSERT_EQ(crx::gpio_read_pin(97, &value), 0);
  EXPECT_EQ(value, 0);
  gpio().set_level(97, true);
  ASSERT_EQ(crx::gpio_read_pin(97, &value), 0);
  EXPECT_EQ(value, 1);
  // The value file reads the line through its active level.
  ASSERT_EQ(crx::gpio_set_active_low(97), 0);
  ASSERT_EQ(crx::gpio_read_pin(97, &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

// A value node that reads as any text a test gives it.
class TextNode : public crx::sim::Device {
 public:
  explicit TextNode(std::string text) : text_(std::move(text)) {}
  ssize_t read(crx::sim::Handle& h, void* buf, size_t len) override {
    const size_t n = std::min(len, text_.size() - size_t(h.position));
    std::memcpy(buf, text_.data() + h.position, n);
    h.position += off_t(n);
    return ssize_t(n);
  }

 private:
  std::string text_;
};

TEST_F(Gpio, ReadTakesTheLeadingDecimalNumberOfAtMost20Bytes) {
  const struct {
    const char* text;
    uint8_t value;
  } cases[] = {{"1\n", 1}, {"0", 0}, {"17\n", 17}, {"", 0}, {"x", 0}, {"000000000000000000007", 0}};
  for (const auto& c : cases) {
    sandbox().add_device("/sys/class/gpio/gpio98/value", std::make_shared<TextNode>(c.text));
    uint8_t value = 0xEE;
    ASSERT_EQ(crx::gpio_read_pin(98, &value), 0) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST_F(Gpio, ReadFailuresLeaveTheValueAndCode69) {
  uint8_t value = 0xEE;
  EXPECT_EQ(crx::gpio_read_pin(113, &value), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(
      R"(Failed to open '/sys/class/gpio/gpio113/value' for reading: No such file or directory \[2\])");

  gpio().export_line(113);
  gpio().set_level(113, true);
  crx_errno = 0;
  attr(113, "value")->fail_next(1);
  EXPECT_EQ(crx::gpio_read_pin(113, &value), -1);
  EXPECT_EQ(crx_errno, 69);
  expect_only_line(R"(Failed to read GPIO 113 to '/sys/class/gpio/gpio113/value': Input/output error \[5\])");
  EXPECT_EQ(sandbox().open_device_count(), 0);

  // The read worked but the close did not: still a failure, nothing stored.
  crx_errno = 0;
  attr(113, "value")->fail_next_close(1);
  EXPECT_EQ(crx::gpio_read_pin(113, &value), -1);
  EXPECT_EQ(crx_errno, 69);
  EXPECT_EQ(value, 0xEE);
  expect_only_line(R"(Failed to close GPIO FD \d+: Input/output error \[5\])");

  crx_errno = 0;
  EXPECT_EQ(crx::gpio_read_pin(113, nullptr), -1);
  EXPECT_EQ(crx_errno, 69);
}

TEST_F(Gpio, OpenPinFdLogsThePathAndHandsTheValueFileOut) {
  gpio().export_line(20);
  gpio().set_level(20, true);
  const int fd = crx::gpio_open_pin_fd(20, O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  expect_only_line("Open pin: /sys/class/gpio/gpio20/value");
  char text[4] = {};
  EXPECT_EQ(crx::os::read(fd, text, sizeof text), 2);
  EXPECT_STREQ(text, "1\n");
  EXPECT_EQ(crx::os::close(fd), 0);

  EXPECT_EQ(crx::gpio_open_pin_fd(21, O_RDONLY), -1);
}

}  // namespace

namespace {

// The model refuses what the kernel refuses, so a wrong write in a later
// layer shows up as a failure rather than passing silently.
TEST_F(Gpio, SimulatedClassRefusesWhatTheKernelRefuses) {
  auto write_text = [](const char* path, const std::string& text) {
    const int fd = crx::os::open(path, O_WRONLY);
    if (fd < 0) return -1;
    const ssize_t n = crx::os::write(fd, text.data(), text.size());
    crx::os::close(fd);
    return int(n);
  };
  EXPECT_EQ(write_text("/sys/class/gpio/export", "40\n"), 3);
  EXPECT_EQ(write_text("/sys/class/gpio/export", "40"), -1) << "already exported";
  EXPECT_EQ(write_text("/sys/class/gpio/export", "forty"), -1);
  EXPECT_EQ(write_text("/sys/class/gpio/gpio40/direction", "sideways"), -1);
  EXPECT_EQ(write_text("/sys/class/gpio/gpio40/edge", "up"), -1);
  EXPECT_EQ(write_text("/sys/class/gpio/gpio40/value", "1"), -1) << "an input cannot be driven";
  EXPECT_EQ(write_text("/sys/class/gpio/gpio40/direction", "high"), 4);
  EXPECT_EQ(gpio().value(40), 1);
  EXPECT_EQ(write_text("/sys/class/gpio/gpio40/value", "0\n"), 2);
  EXPECT_EQ(gpio().value(40), 0);
}

}  // namespace

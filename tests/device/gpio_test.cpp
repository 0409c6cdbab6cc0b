// sysfs GPIO lines against the simulated GPIO class.
#include "device/gpio.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include "crx.h"
#include "platform/os.h"
#include "sim/gpio.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using std::string_literals::operator""s;

class Gpio : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
  }
  crx::sim::SysfsGpio& gpio() { return *gpio_; }
  std::shared_ptr<crx::sim::GpioAttribute> attr(int pin, const char* name) { return gpio_->attribute(pin, name); }

  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
};

TEST_F(Gpio, ExportWritesTheDecimalNumberOnlyWhenTheLineIsNotExported) {
  EXPECT_FALSE(crx::is_gpio_pin_exported(114));
  ASSERT_EQ(crx::gpio_export_pin(114), 0);
  EXPECT_TRUE(crx::is_gpio_pin_exported(114));
  gpio().export_line(23);
  ASSERT_EQ(crx::gpio_export_pin(23), 0);
  EXPECT_THAT(gpio().export_writes(), ElementsAre("114"));
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_THAT(sandbox().syslog_texts(), IsEmpty());
}

TEST_F(Gpio, SettingsWriteTheirWordsWithDirectionAlwaysFourBytes) {
  gpio().export_line(26);
  for (int direction : {0, 1, 0, 2}) ASSERT_EQ(crx::gpio_set_direction(26, direction), 0);
  EXPECT_THAT(attr(26, "direction")->writes(), ElementsAre("out\0"s, "in\0\0"s, "out\0"s, "in\0\0"s));
  EXPECT_EQ(gpio().direction(26), "in") << "direction 2 is an input";

  ASSERT_EQ(crx::gpio_set_falling_edge(26), 0);
  ASSERT_EQ(crx::gpio_set_rising_edge(26), 0);
  EXPECT_THAT(attr(26, "edge")->writes(), ElementsAre("falling", "rising"));
  EXPECT_EQ(gpio().edge(26), "rising");

  ASSERT_EQ(crx::gpio_set_active_low(26), 0);
  EXPECT_TRUE(gpio().active_low(26));
  ASSERT_EQ(crx::gpio_set_active_high(26), 0);
  EXPECT_THAT(attr(26, "active_low")->writes(), ElementsAre("1", "0"));
  EXPECT_FALSE(gpio().active_low(26));
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

// Each failure: the call, the fault that causes it, the one line logged
// (descriptor numbers as \d+) and whether crx_errno becomes 69.
TEST_F(Gpio, EveryFailureLogsItsLineAndOnlyExportDirectionAndReadSetTheCode) {
  using Fault = std::function<void()>;
  auto on = [this](int pin, const char* name, int kind) -> Fault {
    return [this, pin, name, kind] {
      std::shared_ptr<crx::sim::SysfsNode> node = gpio_;
      if (name) node = attr(pin, name);
      if (kind == 0) node->fail_next_open(1);
      if (kind == 1) node->fail_next(1);
      if (kind == 2) node->fail_next_close(1);
    };
  };
  enum { kOpen, kIo, kClose };
  uint8_t value = 0;
  const struct {
    std::function<int()> call;
    Fault fault;
    const char* line;
    bool sets_code;
  } cases[] = {
      {[] { return crx::gpio_export_pin(8); }, on(8, nullptr, kOpen),
       R"(Failed to open '/sys/class/gpio/export' for writing: Input/output error \[5\])", true},
      {[] { return crx::gpio_export_pin(8); }, on(8, nullptr, kIo),
       R"(Failed to write GPIO 8 to '/sys/class/gpio/export': Input/output error \[5\])", true},
      {[] { return crx::gpio_export_pin(8); }, on(8, nullptr, kClose),
       R"(Failed to close GPIO FD \d+: Input/output error \[5\])", true},
      {[] { return crx::gpio_export_pin(6); }, [this] { gpio().refuse_export(6); },
       "GPIO export for 6 pin failed", true},
      {[] { return crx::gpio_set_direction(7, 1); }, [] {},
       R"(Failed to open '/sys/class/gpio/gpio7/direction' for reading and writing: No such file or directory \[2\])",
       true},
      {[] { return crx::gpio_set_direction(5, 1); }, on(5, "direction", kIo),
       R"(Failed to write 'in' direction to '/sys/class/gpio/gpio5/direction': Input/output error \[5\])", true},
      {[] { return crx::gpio_set_direction(5, 0); }, on(5, "direction", kClose),
       R"(Failed to close \d+: Input/output error \[5\])", true},
      {[] { return crx::gpio_set_rising_edge(7); }, [] {},
       R"(Failed to open '/sys/class/gpio/gpio7/edge' for reading and writing: No such file or directory \[2\])",
       false},
      {[] { return crx::gpio_set_falling_edge(5); }, on(5, "edge", kIo),
       R"(Failed to write 'falling' to '/sys/class/gpio/gpio5/edge': Input/output error \[5\])", false},
      {[] { return crx::gpio_set_rising_edge(5); }, on(5, "edge", kClose),
       R"(Failed to close \d+: Input/output error \[5\])", false},
      {[] { return crx::gpio_set_active_high(5); }, on(5, "active_low", kOpen),
       R"(Failed to open '/sys/class/gpio/gpio5/active_low' for reading and writing: Input/output error \[5\])",
       false},
      {[] { return crx::gpio_set_active_low(5); }, on(5, "active_low", kIo),
       R"(Failed to write active low/high to '/sys/class/gpio/gpio5/active_low': Input/output error \[5\])", false},
      {[] { return crx::gpio_set_active_high(5); }, on(5, "active_low", kClose),
       R"(Failed to close \d+: Input/output error \[5\])", false},
      {[&] { return crx::gpio_read_pin(7, &value); }, [] {},
       R"(Failed to open '/sys/class/gpio/gpio7/value' for reading: No such file or directory \[2\])", true},
      {[&] { return crx::gpio_read_pin(5, &value); }, on(5, "value", kIo),
       R"(Failed to read GPIO 5 to '/sys/class/gpio/gpio5/value': Input/output error \[5\])", true},
      // The value was read but the close failed: still a failure.
      {[&] { return crx::gpio_read_pin(5, &value); }, on(5, "value", kClose),
       R"(Failed to close GPIO FD \d+: Input/output error \[5\])", true},
  };
  for (const auto& c : cases) {
    gpio().export_line(5);
    gpio().set_level(5, true);
    sandbox().clear_logs();
    crx_errno = 0;
    value = 0xEE;
    c.fault();
    EXPECT_EQ(c.call(), -1) << c.line;
    EXPECT_EQ(crx_errno, c.sets_code ? 69 : 0) << c.line;
    const auto lines = sandbox().syslog_texts();
    ASSERT_EQ(lines.size(), 1u) << c.line << "\n" << syslog_dump();
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(c.line))) << lines[0];
    EXPECT_EQ(value, 0xEE) << "a failed read stores nothing";
    EXPECT_EQ(sandbox().open_device_count(), 0) << "a failed write or read closes the file: " << c.line;
  }
  EXPECT_FAILS_WITH(crx::gpio_read_pin(5, nullptr), 69);
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

TEST_F(Gpio, ReadConvertsAtMost20BytesOfDecimalText) {
  gpio().export_line(97);
  uint8_t value = 0xEE;
  gpio().set_level(97, true);
  ASSERT_EQ(crx::gpio_read_pin(97, &value), 0);
  EXPECT_EQ(value, 1);
  ASSERT_EQ(crx::gpio_set_active_low(97), 0);  // the value file reads through it
  ASSERT_EQ(crx::gpio_read_pin(97, &value), 0);
  EXPECT_EQ(value, 0);

  const struct {
    const char* text;
    uint8_t value;
  } cases[] = {{"17\n", 17}, {"", 0}, {"x", 0}, {"000000000000000000007", 0}};
  for (const auto& c : cases) {
    sandbox().add_device("/sys/class/gpio/gpio98/value", std::make_shared<TextNode>(c.text));
    ASSERT_EQ(crx::gpio_read_pin(98, &value), 0) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(Gpio, OpenPinFdLogsThePathAndHandsTheValueFileOut) {
  gpio().export_line(20);
  gpio().set_level(20, true);
  const int fd = crx::gpio_open_pin_fd(20, O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_THAT(sandbox().syslog_texts(), ElementsAre("Open pin: /sys/class/gpio/gpio20/value"));
  char text[4] = {};
  EXPECT_EQ(crx::os::read(fd, text, sizeof text), 2);
  EXPECT_STREQ(text, "1\n");
  EXPECT_EQ(crx::os::close(fd), 0);
  EXPECT_EQ(crx::gpio_open_pin_fd(21, O_RDONLY), -1);
}

}  // namespace

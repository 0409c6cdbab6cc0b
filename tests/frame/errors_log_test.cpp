// Error texts and the two log sinks, as a caller sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <syslog.h>

#include <regex>

#include "crx.h"
#include "log.h"
#include "sim/testing.h"

using ::testing::ElementsAre;

namespace {

TEST(ErrorMessages, KnownCodesHaveTheirText) {
  EXPECT_EQ(crx_errno, 0) << "no error before any call";
  const std::pair<int, const char*> texts[] = {
      {0, "No error"},
      {ERR_SPI_READ, "SPI function failed to read data"},
      {37, "Failed to get UBX command acknoledge"},
      {54, "Invalid frequency band"},
      {62, "LBT: Channel busy"},
      {64, "LBT: An appropriate time on air entry could not be found in the LUT"},
      {69, "Unspecified error code"}};
  for (const auto& [code, text] : texts) EXPECT_STREQ(crx_err_message(code), text) << code;
}

TEST(ErrorMessages, CodesWithoutTextAndOutOfRangeGiveTheUnknownText) {
  const char* unknown = "** no error message, or invalid error code **";
  for (int code : {23, 26, 55, 56, 57, 58, 59, 60, 61, 70, 1000, -1}) {
    EXPECT_STREQ(crx_err_message(code), unknown) << code;
  }
  // The same static text every time: callers never free it.
  EXPECT_EQ(crx_err_message(23), crx_err_message(70));
}

class Logging : public crx::sim::SandboxTest {};

TEST_F(Logging, ConsoleIsSilentUntilEnabledButSyslogAlwaysGetsTheText) {
  crx::log_line("BrvDBG-HAL: E R R O R in %s - wrong board #", "crx_conf_board");
  EXPECT_TRUE(sandbox().console_lines().empty());
  ASSERT_EQ(sandbox().syslog_lines().size(), 1u);
  EXPECT_EQ(sandbox().syslog_lines()[0].text, "BrvDBG-HAL: E R R O R in crx_conf_board - wrong board #");
  EXPECT_EQ(sandbox().syslog_lines()[0].priority, LOG_LOCAL0 | LOG_DEBUG);

  EXPECT_EQ(crx_console_log_enable(1), 1);
  sandbox().set_calendar_time(1700000000);
  crx::log_line("value %d", 42);
  ASSERT_EQ(sandbox().console_lines().size(), 1u);
  EXPECT_EQ(sandbox().console_lines()[0], "[1700000000] value 42\n");
  EXPECT_EQ(sandbox().syslog_texts().back(), "value 42");

  EXPECT_EQ(crx_console_log_enable(0), 0);
  crx::log_line("quiet");
  EXPECT_EQ(sandbox().console_lines().size(), 1u);
}

TEST_F(Logging, ConsolePrefixIsRightAlignedInTenColumns) {
  crx_console_log_enable(1);
  sandbox().set_calendar_time(12345);
  crx::log_line("x");
  EXPECT_EQ(sandbox().console_lines().at(0), "[     12345] x\n");
  // The real clock: ten columns of digits.
  sandbox().set_calendar_time(0);
  crx::log_line("y");
  EXPECT_TRUE(std::regex_match(sandbox().console_lines().at(1), std::regex(R"(\[ *[0-9]{1,10}\] y\n)")));
  EXPECT_EQ(sandbox().console_lines().at(1).find(']'), 11u);
}

TEST_F(Logging, ExportedSinksFormatLikePrintf) {
  LogToConsole("not shown %d\n", 1);
  crx_console_log_enable(1);
  LogToConsole("shown %s %d\n", "a", 2);
  LogToSyslog("sys %05d", 7);
  EXPECT_THAT(sandbox().console_lines(), ElementsAre("shown a 2\n"));
  EXPECT_THAT(sandbox().syslog_texts(), ElementsAre("sys 00007"));
}

class ArrayDumps : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    crx_console_log_enable(1);
    sandbox().set_calendar_time(1000);
  }
};

TEST_F(ArrayDumps, NoItemsOrASwitchedOffConsoleWriteNothing) {
  const uint8_t b[2] = {1, 2};
  LogBytes(3, b, 0, 8, "title");
  EXPECT_TRUE(sandbox().syslog_lines().empty());
  crx_console_log_enable(0);
  LogBytes(CRX_LOG_CONSOLE, b, 2, 8, "t");
  EXPECT_TRUE(sandbox().console_lines().empty());
}

TEST_F(ArrayDumps, ShortDumpIsOneLineWithoutIndex) {
  const uint8_t b[5] = {0x01, 0xab, 0x00, 0xff, 0x10};
  LogBytes(CRX_LOG_CONSOLE | CRX_LOG_SYSLOG, b, 5, 8, "rx %d", 3);
  EXPECT_THAT(sandbox().console_lines(), ElementsAre("[      1000] rx 3: 01 ab 00 ff 10\n"));
  EXPECT_THAT(sandbox().syslog_texts(), ElementsAre("rx 3: 01 ab 00 ff 10"));
}

TEST_F(ArrayDumps, LongDumpCarriesItemIndexPerLine) {
  uint8_t b[10];
  for (int i = 0; i < 10; ++i) b[i] = static_cast<uint8_t>(i);
  LogBytes(CRX_LOG_SYSLOG, b, 10, 8, "buf");
  EXPECT_THAT(sandbox().syslog_texts(),
              ElementsAre("buf: 00000000: 00 01 02 03 04 05 06 07", "buf: 00000008: 08 09"));
  EXPECT_TRUE(sandbox().console_lines().empty());  // console bit not set
}

TEST_F(ArrayDumps, WordsIndexCountsItemsNotBytes) {
  uint16_t w[20];
  for (int i = 0; i < 20; ++i) w[i] = static_cast<uint16_t>(0x1000 + i);
  LogWords(CRX_LOG_CONSOLE, w, 20, 8, "w");
  const auto lines = sandbox().console_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[      1000] w: 00000000: 1000 1001 1002 1003 1004 1005 1006 1007\n");
  EXPECT_EQ(lines[1].substr(0, 26), "[      1000] w: 00000008: ");
  EXPECT_EQ(lines[2], "[      1000] w: 00000010: 1010 1011 1012 1013\n");
}

TEST_F(ArrayDumps, LongwordsPrintTheirFullPattern) {
  const int32_t l[3] = {-1, 0x12345678, 0};
  LogLongwords(CRX_LOG_SYSLOG, l, 3, 2, "l");
  EXPECT_THAT(sandbox().syslog_texts(), ElementsAre("l: 00000000: ffffffff 12345678", "l: 00000002: 00000000"));
}

}  // namespace

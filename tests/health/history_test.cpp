// The history files on storage and the getters that return them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

#include "child.h"
#include "crx.h"
#include "health/pkt_stats.h"
#include "history_files.h"
#include "sim/testing.h"

namespace {

using namespace health_test;
namespace h = crx::health;

class History : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_calendar_time(utc(2026, 12, 9, 15, 0, 0));
  }
  bool logged(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }
  std::vector<StatRecord> marked(size_t n) {
    std::vector<StatRecord> v;
    for (uint32_t i = 1; i <= n; ++i) v.push_back(marked_record(i));
    return v;
  }
};

TEST_F(History, FirstSaveStartsFromBlankRecords) {
  const StatRecord hour = marked_record(7);
  ASSERT_EQ(h::save_history_to_file(&hour, true), 0);
  EXPECT_TRUE(logged("BrvDBG-HAL: warning: read_history_from_file impossible to read log file "
                     "(/var/lib/logs/packet_history.hr)"));
  EXPECT_TRUE(logged("Didn't get historical data, use blank record"));
  const std::string file = sandbox().read_file(h::kHourlyHistoryPath);
  ASSERT_EQ(file.size(), 8u + 24 * 1224);
  EXPECT_EQ(file.substr(0, 8), history_file(h::kHourlyMagic, {}, 24));
  const auto records = records_of(file);
  for (int i = 0; i < 23; ++i) EXPECT_TRUE(records[i] == StatRecord{}) << "record " << i;
  EXPECT_TRUE(records[23] == hour);
  EXPECT_FALSE(sandbox().exists(std::string(h::kHourlyHistoryPath) + ".tmp"));
  EXPECT_EQ(h::save_history_to_file(nullptr, false), -1);
}

TEST_F(History, FileCutShortIsDeletedAndItsPartNotReused) {
  auto records = marked(24);
  std::string file = history_file(h::kHourlyMagic, records);
  sandbox().write_file(h::kHourlyHistoryPath, file.substr(0, file.size() - 100));

  uint16_t count = 99;
  void* buffer = nullptr;
  EXPECT_EQ(crx_per_chan_stat_hourly(&buffer, &count), -1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: read_history_from_file Reached end of history file before "
                     "reading all data (/var/lib/logs/packet_history.hr)"));
  EXPECT_FALSE(sandbox().exists(h::kHourlyHistoryPath));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::memcmp(buffer, std::string(27648, '\0').data(), 27648), 0) << "buffer left zero";

  // A save over a short file keeps none of its partial records.
  sandbox().write_file(h::kHourlyHistoryPath, file.substr(0, 8 + 5 * 1224));
  const StatRecord hour = marked_record(50);
  ASSERT_EQ(h::save_history_to_file(&hour, true), 0);
  const auto saved = records_of(sandbox().read_file(h::kHourlyHistoryPath));
  ASSERT_EQ(saved.size(), 24u);
  for (int i = 0; i < 23; ++i) EXPECT_TRUE(saved[i] == StatRecord{}) << "record " << i;
  EXPECT_TRUE(saved[23] == hour);

  // A header cut short is refused without deleting (the next save replaces it).
  sandbox().write_file(h::kDailyHistoryPath, file.substr(0, 5));
  EXPECT_EQ(crx_per_chan_stat_daily(&buffer, &count), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R:  failed to read log file (/var/lib/logs/packet_history.day), "
                     "error: end of file"));
  std::free(buffer);
}

TEST_F(History, WrongMagicIsRefusedButKept) {
  const std::string file = history_file(0x12345678, marked(24));
  sandbox().write_file(h::kHourlyHistoryPath, file);
  void* buffer = std::malloc(4);
  uint16_t count = 24;
  EXPECT_EQ(crx_per_sf_stat_hourly(&buffer, &count), -1);
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: magic number 0x12345678 does not match, expected: 0xaabbccdd"));
  EXPECT_EQ(sandbox().read_file(h::kHourlyHistoryPath), file);
  EXPECT_EQ(std::memcmp(buffer, std::string(1728, '\0').data(), 1728), 0);
  std::free(buffer);

  // The daily file has its own magic: an hourly file in its place is wrong.
  sandbox().write_file(h::kDailyHistoryPath, history_file(h::kHourlyMagic, marked(31)));
  buffer = nullptr;
  EXPECT_EQ(crx_per_chan_sf_daily(&buffer, &count), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: magic number 0xaabbccdd does not match, expected: 0xaabbeeff"));
  std::free(buffer);
}

TEST_F(History, GettersReturnEveryRecordOldestFirst) {
  auto hours = marked(24);
  for (auto& r : hours)
    for (auto& s : r.sf) std::memset(s.reserved, 0xEE, 3);  // not passed on
  sandbox().write_file(h::kHourlyHistoryPath, history_file(h::kHourlyMagic, hours));
  const auto days = marked(31);
  sandbox().write_file(h::kDailyHistoryPath, history_file(h::kDailyMagic, days));

  struct Case {
    int (*getter)(void**, uint16_t*);
    const std::vector<StatRecord>* records;
    bool channels;
  };
  for (const Case& c : {Case{crx_per_chan_stat_hourly, &hours, true}, Case{crx_per_chan_stat_daily, &days, true},
                        Case{crx_per_sf_stat_hourly, &hours, false}, Case{crx_per_chan_sf_daily, &days, false}}) {
    void* buffer = std::malloc(1);  // grown by the library
    uint16_t count = 0;
    ASSERT_EQ(c.getter(&buffer, &count), 0);
    ASSERT_EQ(count, c.records->size());
    const auto* out = static_cast<const uint8_t*>(buffer);
    for (size_t r = 0; r < count; ++r) {
      const StatRecord& want = (*c.records)[r];
      if (c.channels) {
        EXPECT_EQ(std::memcmp(out + r * 72 * 16, want.chan, 72 * 16), 0) << "record " << r;
      } else {
        for (int s = 0; s < 6; ++s) {
          const uint8_t* e = out + (r * 6 + s) * 12;
          uint32_t ok, other;
          std::memcpy(&ok, e, 4);
          std::memcpy(&other, e + 4, 4);
          EXPECT_EQ(ok, want.sf[s].crc_ok);
          EXPECT_EQ(other, want.sf[s].other);
          EXPECT_EQ(e[8], want.sf[s].datarate);
          EXPECT_EQ(e[9] | e[10] | e[11], 0);
        }
      }
    }
    std::free(buffer);
  }

  uint16_t count = 5;
  void* buffer = nullptr;
  EXPECT_EQ(crx_per_chan_stat_hourly(nullptr, &count), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: crx_per_chan_stat_hourly NULL pointer"));
  EXPECT_EQ(crx_per_chan_sf_daily(&buffer, nullptr), -1);
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(History, FailedSaveLeavesTheOldFileWhole) {
  const std::string before = history_file(h::kHourlyMagic, marked(24));
  sandbox().write_file(h::kHourlyHistoryPath, before);

  // The storage fills up part-way through the new file.
  const int rc = in_child([] {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {10000, 10000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const StatRecord hour = marked_record(99);
    return h::save_history_to_file(&hour, true) == -1 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(sandbox().read_file(h::kHourlyHistoryPath), before);
  EXPECT_FALSE(sandbox().exists(std::string(h::kHourlyHistoryPath) + ".tmp"));

  // Nowhere to put the new file at all.
  sandbox().make_dirs(std::string(h::kHourlyHistoryPath) + ".tmp/blocked");
  const StatRecord hour = marked_record(99);
  EXPECT_EQ(h::save_history_to_file(&hour, true), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL: E R R O R: impossible to write log file /var/lib/logs/packet_history.hr"));
  EXPECT_EQ(sandbox().read_file(h::kHourlyHistoryPath), before);
}

TEST_F(History, MissingLogDirectoryIsCreated) {
  sandbox().remove(h::kHistoryDir);
  const StatRecord day = marked_record(3);
  ASSERT_EQ(h::save_history_to_file(&day, false), 0);
  const auto records = records_of(sandbox().read_file(h::kDailyHistoryPath));
  ASSERT_EQ(records.size(), 31u);
  EXPECT_TRUE(records[30] == day);
}

}  // namespace

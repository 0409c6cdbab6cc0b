// Packet statistics: counting received packets, the live counters in shared
// memory, and the roll-over of the hour and the day.
#include <gtest/gtest.h>

#include <sys/shm.h>

#include <atomic>
#include <thread>

#include "child.h"
#include "crx.h"
#include "crx_hal/hooks.h"
#include "health/pkt_stats.h"
#include "history_files.h"
#include "platform/os.h"
#include "sim/testing.h"

namespace {

using namespace health_test;
namespace h = crx::health;

class Statistics : public crx::sim::SandboxTest {
 protected:
  bool logged(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }
  int saves_logged(const char* type) {
    int n = 0;
    for (const auto& t : sandbox().syslog_texts()) n += t == std::string("in save_history_to_file, type: ") + type;
    return n;
  }
  std::vector<StatRecord> hourly_file() { return records_of(sandbox().read_file(h::kHourlyHistoryPath)); }
  std::vector<StatRecord> daily_file() { return records_of(sandbox().read_file(h::kDailyHistoryPath)); }
  // The statistics segment as another process maps it.
  uint32_t* counters_segment() {
    const int id = crx::os::shmget(h::kPktStatShmKey, 0, 0);
    if (id < 0) return nullptr;
    void* p = ::shmat(id, nullptr, 0);
    return p == reinterpret_cast<void*>(-1) ? nullptr : static_cast<uint32_t*>(p);
  }
};

TEST_F(Statistics, PacketsAreCountedPerChannelAndSpreadingFactor) {
  const auto first = packet(3, 868100000, STAT_CRC_OK, DR_LORA_SF7);
  save_per_chan_stat(&first);
  save_per_sf_stat(&first);
  const auto bad = packet(3, 868100000, STAT_CRC_BAD, DR_LORA_SF12);
  save_per_chan_stat(&bad);
  save_per_sf_stat(&bad);
  // Another frequency on the same chain keeps the first one, and is said.
  const auto moved = packet(3, 868300000, STAT_NO_CRC, DR_LORA_SF12, BW_250KHZ);
  save_per_chan_stat(&moved);
  save_per_sf_stat(&moved);
  const auto odd_bw = packet(71, 869525000, STAT_CRC_OK, DR_LORA_SF9, 99);
  save_per_chan_stat(&odd_bw);

  StatRecord expected{};
  expected.chan[3] = {1, 2, 868100000, 250000};
  expected.chan[71] = {1, 0, 869525000, 0};
  expected.sf[0] = {1, 0, DR_LORA_SF7, {}};
  expected.sf[5] = {0, 2, DR_LORA_SF12, {}};
  EXPECT_TRUE(h::current_statistics() == expected);
  EXPECT_TRUE(logged("in save_per_chan_stat, current_history.channel[ch].freq (868100000) != freq_hz (868300000)\n"));

  // Outside the table: chain 72 and up, SF6, several SF bits, no packet.
  for (uint8_t chain : {72, 75, 255}) {
    const auto p = packet(chain, 868100000, STAT_CRC_OK, DR_LORA_SF7);
    save_per_chan_stat(&p);
  }
  for (uint32_t dr : {0x01u, 0x06u, 0x80u, uint32_t(DR_LORA_MULTI)}) {
    const auto p = packet(0, 868100000, STAT_CRC_OK, dr);
    save_per_sf_stat(&p);
  }
  save_per_chan_stat(nullptr);
  save_per_sf_stat(nullptr);
  EXPECT_TRUE(h::current_statistics() == expected);
}

TEST_F(Statistics, CountersReachOtherProcessesAndTheirResetRequests) {
  const uint32_t words[8] = {0, 11, 12, 13, 14, 15, 16, 17};
  EXPECT_FALSE(h::publish_packet_counters(words)) << "nothing to publish into yet";

  ASSERT_EQ(crx::hooks::create_pkt_statistic_shm(), 0);
  ASSERT_EQ(crx::hooks::create_pkt_statistic_shm(), 0);  // a second start reuses it
  const int id = crx::os::shmget(h::kPktStatShmKey, 0, 0);
  struct shmid_ds ds {};
  ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 32u);
  EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
  EXPECT_EQ(ds.shm_nattch, 1u) << "one attachment per process";

  EXPECT_FALSE(h::publish_packet_counters(words));
  // A monitor reads them and asks for a reset.
  ASSERT_EQ(in_child([this] {
              uint32_t* seg = counters_segment();
              if (!seg || seg[1] != 11 || seg[7] != 17) return 1;
              reinterpret_cast<uint8_t*>(seg)[0] = 255;
              return 0;
            }),
            0);
  const uint32_t* seg = counters_segment();
  EXPECT_TRUE(h::publish_packet_counters(words));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(seg[i], 0u) << "word " << i;
  EXPECT_FALSE(h::publish_packet_counters(words)) << "one request, one reset";
  EXPECT_EQ(seg[3], 13u);
  reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(seg))[0] = 254;
  EXPECT_FALSE(h::publish_packet_counters(words));

  // A receiver started in another process attaches to the same memory.
  EXPECT_EQ(in_child([] {
              const uint32_t later[8] = {0, 21, 22, 23, 24, 25, 26, 27};
              return h::create_pkt_statistic_shm() == 0 && !h::publish_packet_counters(later) ? 0 : 1;
            }),
            0);
  EXPECT_EQ(seg[7], 27u);
}

TEST_F(Statistics, EachHourIsSavedOnceAtItsMinuteZero) {
  const auto p = packet(0, 868100000, STAT_CRC_OK, DR_LORA_SF7);
  save_per_chan_stat(&p);
  sandbox().set_calendar_time(utc(2026, 12, 9, 9, 59, 58));
  crx::hooks::do_packet_history();
  EXPECT_FALSE(sandbox().exists(h::kHourlyHistoryPath));

  sandbox().set_calendar_time(utc(2026, 12, 9, 10, 0, 0));
  crx::hooks::do_packet_history();
  const StatRecord first_hour = [] {
    StatRecord r{};
    r.chan[0] = {1, 0, 868100000, 125000};
    return r;
  }();
  auto file = hourly_file();
  ASSERT_EQ(file.size(), 24u);
  for (int i = 0; i < 23; ++i) EXPECT_TRUE(file[i] == StatRecord{}) << "record " << i;
  EXPECT_TRUE(file[23] == first_hour);
  EXPECT_TRUE(h::current_statistics() == StatRecord{});
  EXPECT_FALSE(sandbox().exists(h::kDailyHistoryPath)) << "not midnight";

  save_per_chan_stat(&p);
  save_per_chan_stat(&p);
  sandbox().set_calendar_time(utc(2026, 12, 9, 10, 0, 2));
  crx::hooks::do_packet_history();
  sandbox().set_calendar_time(utc(2026, 12, 9, 10, 0, 58));
  crx::hooks::do_packet_history();
  EXPECT_EQ(saves_logged("Hourly"), 1);

  sandbox().set_calendar_time(utc(2026, 12, 9, 10, 1, 0));
  crx::hooks::do_packet_history();
  sandbox().set_calendar_time(utc(2026, 12, 9, 11, 0, 0));
  crx::hooks::do_packet_history();
  EXPECT_EQ(saves_logged("Hourly"), 2);
  file = hourly_file();
  ASSERT_EQ(file.size(), 24u);
  EXPECT_TRUE(file[22] == first_hour);
  EXPECT_EQ(file[23].chan[0].crc_ok, 2u);
}

TEST_F(Statistics, MidnightAddsTheDayOfTheHoursTheFileHeld) {
  std::vector<StatRecord> hours;
  for (uint32_t i = 1; i <= 24; ++i) hours.push_back(marked_record(i));
  sandbox().write_file(h::kHourlyHistoryPath, history_file(h::kHourlyMagic, hours));
  const auto p = packet(5, 867100000, STAT_CRC_OK, DR_LORA_SF10);
  save_per_chan_stat(&p);
  save_per_sf_stat(&p);

  sandbox().set_calendar_time(utc(2026, 12, 10, 0, 0, 1));
  crx::hooks::do_packet_history();

  const auto days = daily_file();
  ASSERT_EQ(days.size(), 31u);
  for (int i = 0; i < 30; ++i) EXPECT_TRUE(days[i] == StatRecord{}) << "day " << i;
  const StatRecord& day = days[30];
  // 1 + 2 + ... + 24 = 300; the hour just ended goes to the next day's sum.
  EXPECT_EQ(day.chan[5].crc_ok, 300u);
  EXPECT_EQ(day.chan[5].other, 600u);
  EXPECT_EQ(day.chan[5].freq_hz, hours[23].chan[5].freq_hz);
  EXPECT_EQ(day.chan[5].bandwidth_hz, 0u);
  EXPECT_EQ(day.sf[3].crc_ok, 324u);
  EXPECT_EQ(day.sf[3].other, 348u);
  EXPECT_EQ(day.sf[3].datarate, DR_LORA_SF10);

  const auto file = hourly_file();
  ASSERT_EQ(file.size(), 24u);
  EXPECT_TRUE(file[0] == hours[1]) << "the oldest hour is dropped";
  EXPECT_TRUE(file[22] == hours[23]);
  EXPECT_EQ(file[23].chan[5].crc_ok, 1u);
  EXPECT_EQ(file[23].sf[3].datarate, DR_LORA_SF10);
  const std::string header = sandbox().read_file(h::kDailyHistoryPath).substr(0, 8);
  EXPECT_EQ(header, history_file(h::kDailyMagic, {}, 31));
}

TEST_F(Statistics, NoPacketIsLostWhileTheHourIsSaved) {
  sandbox().set_calendar_time(utc(2026, 12, 9, 14, 0, 0));
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> counted{0};
  std::thread receiver([&] {
    const auto p = packet(7, 868500000, STAT_CRC_OK, DR_LORA_SF8);
    while (!stop.load()) {
      save_per_chan_stat(&p);
      counted.fetch_add(1);
    }
  });
  while (counted.load() < 1000) std::this_thread::yield();
  crx::hooks::do_packet_history();
  stop = true;
  receiver.join();
  const auto file = hourly_file();
  ASSERT_EQ(file.size(), 24u);
  EXPECT_GE(file[23].chan[7].crc_ok, 1000u);
  EXPECT_EQ(file[23].chan[7].crc_ok + h::current_statistics().chan[7].crc_ok, counted.load());
}

}  // namespace

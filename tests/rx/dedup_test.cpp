// Ghosts across polls and copies of one uplink from several chips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "crx_hal/dedup.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

class DedupTest : public RadioBoardTest {
 protected:
  // An uplink as chip `chip` decodes it.
  static rx::RxEntry heard(const sim::Uplink& u, uint8_t chip) {
    rx::RxEntry e{};
    EXPECT_EQ(decode_uplink(u, chip, &e), rx::Decoded::kPacket);
    return e;
  }
  static sim::Uplink copy(uint32_t dev, uint16_t fcnt, uint32_t count, uint8_t crc, float snr, uint8_t chan = 2) {
    sim::Uplink u = data_uplink(dev, fcnt, chan, 9, count);
    u.crc_state = crc;
    u.snr = snr;
    return u;
  }
  static rx::Batch batch_of(const std::vector<rx::RxEntry>& entries) {
    rx::Batch b;
    for (const auto& e : entries) b.e[b.n++] = e;
    return b;
  }
};

TEST_F(DedupTest, SamePacketRule) {
  const rx::PacketKeys data{2, 7, 0x1234};
  EXPECT_TRUE(rx::same_packet(data, 1000, DR_LORA_SF9, data, 1024, DR_LORA_SF9));
  EXPECT_TRUE(rx::same_packet(data, 1024, DR_LORA_SF9, data, 1000, DR_LORA_SF9));
  EXPECT_FALSE(rx::same_packet(data, 1000, DR_LORA_SF9, data, 1025, DR_LORA_SF9));
  EXPECT_TRUE(rx::same_packet(data, 4294967290u, DR_LORA_SF9, data, 10, DR_LORA_SF9));  // across the wrap
  EXPECT_FALSE(rx::same_packet(data, 1000, DR_LORA_SF9, data, 1000, DR_LORA_SF10));
  EXPECT_FALSE(rx::same_packet(data, 1000, DR_LORA_SF9, {2, 8, 0x1234}, 1000, DR_LORA_SF9));
  EXPECT_FALSE(rx::same_packet(data, 1000, DR_LORA_SF9, {2, 7, 0x1235}, 1000, DR_LORA_SF9));
  EXPECT_FALSE(rx::same_packet(data, 1000, DR_LORA_SF9, {4, 7, 0x1234}, 1000, DR_LORA_SF9));
  // Join requests have no frame counter to compare.
  EXPECT_TRUE(rx::same_packet({0, 1, 99}, 1000, DR_LORA_SF9, {0, 2, 99}, 1010, DR_LORA_SF9));
}

TEST_F(DedupTest, GhostOfThePreviousPollIsDropped) {
  rx::History history;
  rx::Batch first = batch_of({heard(copy(1, 5, 1000, 5, 3), 0), heard(copy(2, 5, 1000, 5, 3), 0)});
  rx::remove_ghosts(first, history);
  ASSERT_EQ(first.n, 2u);
  rx::rebuild_history(history, first);

  rx::Batch second = batch_of({heard(copy(1, 5, 1010, 5, 3), 0), heard(copy(3, 5, 1000, 5, 3), 0),
                               heard(copy(2, 6, 1000, 5, 3), 0)});
  rx::remove_ghosts(second, history);
  ASSERT_EQ(second.n, 2u);
  EXPECT_EQ(second.e[0].keys.dev_id, 3u);  // order kept
  EXPECT_EQ(second.e[1].keys.dev_id, 2u);
  rx::rebuild_history(history, second);
  // Only the previous poll counts: device 1 is news again.
  rx::Batch third = batch_of({heard(copy(1, 5, 1010, 5, 3), 0)});
  rx::remove_ghosts(third, history);
  EXPECT_EQ(third.n, 1u);
}

// Chips empty their FIFOs at different moments, so the copies of one uplink
// can straddle two polls: a bad copy first must not hide the good one.
TEST_F(DedupTest, GoodCopyAfterABadOneIsNoGhost) {
  rx::History history;
  rx::Batch first = batch_of({heard(copy(1, 5, 1000, 7, 3), 0)});
  rx::rebuild_history(history, first);
  rx::Batch second = batch_of({heard(copy(1, 5, 1004, 5, 3, 3), 1), heard(copy(1, 5, 1006, 7, 3, 3), 1)});
  rx::remove_ghosts(second, history);
  ASSERT_EQ(second.n, 1u);
  EXPECT_EQ(second.e[0].pkt.status, uint32_t(STAT_CRC_OK));
  // The other way round the bad copy is the ghost.
  rx::rebuild_history(history, second);
  rx::Batch third = batch_of({heard(copy(1, 5, 1010, 7, 3), 0), heard(copy(1, 5, 1010, 5, 3), 0)});
  rx::remove_ghosts(third, history);
  EXPECT_EQ(third.n, 0u);
}

TEST_F(DedupTest, CrcDecidesThenSnrThenOrder) {
  struct Case {
    uint8_t crc_j, crc_k;
    float snr_j, snr_k;
    int kept;  // 0: j's copy, 1: k's
    const char* log;
  };
  const Case cases[] = {
      {7, 5, 9, 1, 1, "duplicate found 0:1 (crc), swapping"},
      {5, 7, 1, 9, 0, "duplicate found 0:1 (crc)"},
      {5, 5, 3, 3, 0, "duplicate found 0:1 (snr)"},
      {5, 5, 4, 3, 0, "duplicate found 0:1 (snr)"},
      {5, 5, 3, 4, 1, nullptr},
      {7, 7, 2, 6, 1, nullptr},
  };
  for (const Case& c : cases) {
    sandbox().clear_logs();
    rx::Batch b = batch_of({heard(copy(9, 1, 2000, c.crc_j, c.snr_j), 0), heard(copy(9, 1, 2010, c.crc_k, c.snr_k), 1)});
    rx::merge_duplicates(b, false);
    ASSERT_EQ(b.n, 1u);
    EXPECT_EQ(b.e[0].pkt.if_chain / 10, c.kept) << c.snr_j << " " << c.snr_k;
    if (c.log) {
      EXPECT_TRUE(sandbox().syslog_contains(c.log)) << c.log;
    }
    EXPECT_TRUE(sandbox().syslog_contains(" j=0: tmst="));
  }
}

TEST_F(DedupTest, DiversityMergesTheOtherChainsReception) {
  // Chips 0 and 2 sit on chains 0 and 1 with the same channel frequency.
  brd_cfg_priv.chan_freq[2][2] = brd_cfg_priv.chan_freq[0][2];
  sim::Uplink bad = copy(7, 3, 3000, 7, 8.0f);
  sim::Uplink good = copy(7, 3, 3010, 5, 2.0f);
  good.raw_rssi = 90;
  for (bool diversity : {false, true}) {
    rx::Batch b = batch_of({heard(bad, 0), heard(good, 2)});
    rx::merge_duplicates(b, diversity);
    ASSERT_EQ(b.n, 1u);
    const crx_rx_pkt_t& p = b.e[0].pkt;
    EXPECT_EQ(p.status, STAT_CRC_OK);
    EXPECT_EQ(p.if_chain, 22);
    EXPECT_TRUE(p.rsig[1].valid);
    EXPECT_EQ(p.rsig[0].valid, diversity);
    if (diversity) {
      EXPECT_FLOAT_EQ(p.rsig[0].snr, 8.0f);
      EXPECT_FLOAT_EQ(p.rsig[0].rssi, std::round(80.0f - 166.0f + 19.5f));
      EXPECT_EQ(p.rsig[0].chan, 2);
      EXPECT_FLOAT_EQ(p.rsig[1].rssi, std::round(90.0f - 166.0f + 19.5f));
    }
  }
  // Different frequencies or the same chain: no merge.
  rx::Batch same_chain = batch_of({heard(bad, 0), heard(good, 1)});
  rx::merge_duplicates(same_chain, true);
  ASSERT_EQ(same_chain.n, 1u);
  EXPECT_FALSE(same_chain.e[0].pkt.rsig[1].valid);
  brd_cfg_priv.chan_freq[2][2] += 200000;
  rx::Batch other_freq = batch_of({heard(bad, 0), heard(good, 2)});
  rx::merge_duplicates(other_freq, true);
  ASSERT_EQ(other_freq.n, 1u);
  EXPECT_FALSE(other_freq.e[0].pkt.rsig[0].valid);
}

TEST_F(DedupTest, EveryCopyOfEveryPacketGoes) {
  // Three packets heard by three chips each, interleaved: one of each stays.
  std::vector<rx::RxEntry> entries;
  for (uint8_t chip = 0; chip < 3; ++chip)
    for (uint32_t dev = 1; dev <= 3; ++dev) entries.push_back(heard(copy(dev, 1, 1000 * dev + chip, 5, float(chip)), chip));
  rx::Batch b = batch_of(entries);
  rx::merge_duplicates(b, false);
  ASSERT_EQ(b.n, 3u);
  std::vector<uint64_t> devs;
  for (size_t i = 0; i < b.n; ++i) {
    devs.push_back(b.e[i].keys.dev_id);
    EXPECT_EQ(b.e[i].pkt.if_chain / 10, 2) << "highest SNR wins";
  }
  std::sort(devs.begin(), devs.end());
  EXPECT_EQ(devs, (std::vector<uint64_t>{1, 2, 3}));
}

}  // namespace
}  // namespace crx::test

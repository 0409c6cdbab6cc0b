// RF v3 messaging, AMR frames, the RF v3 CRC and the OPAL channel plan on
// the simulated AMI transceivers: register steps, refusals and time-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crx_hal/brd_cfg.h"
#include "tests/meter/meter_fixture.h"

namespace crx::test {
namespace {

constexpr uint32_t kRxCentre = 915000000;

// What the receiver's FIFO holds for a payload: the sync byte is stripped,
// the CRC (over sync byte and payload, low byte first) stays.
std::vector<uint8_t> on_air(std::vector<uint8_t> payload) {
  std::vector<uint8_t> msg{0xC4};
  msg.insert(msg.end(), payload.begin(), payload.end());
  const uint16_t crc = crc16Calculate(msg.data(), uint32_t(msg.size()));
  payload.push_back(uint8_t(crc));
  payload.push_back(uint8_t(crc >> 8));
  return payload;
}

class Rfv3Test : public MeterBoardTest {
 protected:
  void SetUp() override {
    MeterBoardTest::SetUp();
    brd_cfg_priv.rx_freq = kRxCentre;
    crcFailCount = 0;
  }
  // Addresses written since the last clear, in order.
  std::vector<unsigned> written() {
    std::vector<unsigned> out;
    for (const auto& a : port().accesses())
      if (a.write) out.push_back(a.address);
    return out;
  }
};

TEST(OpalPlan, NearestChannelPerBandwidthCode) {
  EXPECT_EQ(opalLoraChannelFromFreq(914400000, 1), 176);
  EXPECT_EQ(opalLoraChannelFromFreq(920600000, 1), 180);
  EXPECT_EQ(opalLoraChannelFromFreq(915100000, 1), 176) << "a tie keeps the earlier entry";
  EXPECT_EQ(opalLoraChannelFromFreq(923000000, 3), 141);
  EXPECT_EQ(opalLoraChannelFromFreq(915010498, 3), 102);
  EXPECT_EQ(opalLoraChannelFromFreq(918611084, 3), 151);
  EXPECT_EQ(opalLoraChannelFromFreq(0, 3), 122) << "912310059 Hz is the lowest";
  EXPECT_EQ(opalLoraChannelFromFreq(914400000, 2), -1);
}

TEST_F(Rfv3Test, OpalPlanNamesAnUnknownBandwidthCode) {
  EXPECT_EQ(opalLoraChannelFromFreq(914400000, 0), -1);
  EXPECT_TRUE(sandbox().syslog_contains("opalLoraChannelFromFreq, unknown bandwidth code 0")) << syslog_dump();
}

TEST(Rfv3Crc, CheckValueSplitAndEmptyInput) {
  const char* check = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(check);
  EXPECT_EQ(crc16Calculate(bytes, 9), 0x374B);
  EXPECT_EQ(crc16CalculatePartial(bytes + 4, 5, crc16Calculate(bytes, 4)), 0x374B);
  EXPECT_EQ(crc16Calculate(nullptr, 9), 0xFFFF);
  EXPECT_EQ(crc16CalculatePartial(bytes, 0, 0x1234), 0x1234);
}

TEST_F(Rfv3Test, TransmitWritesOffsetLengthPreambleDataThenStart) {
  const std::vector<uint8_t> payload = {0xC4, 0x10, 0x20, 0x30};
  EXPECT_EQ(rfv3_fsk_tx_msg(9, 4, 1, payload.data(), 48), 1) << syslog_dump();
  EXPECT_EQ(written(), (std::vector<unsigned>{2241, 2243, 2244, 2246, 2240}));
  ASSERT_EQ(ami().transmissions().size(), 1u);
  const auto tx = ami().transmissions()[0];
  EXPECT_EQ(tx.offset, 0);
  EXPECT_EQ(tx.length, 6);
  EXPECT_EQ(tx.preamble, 48);
  const uint16_t crc = crc16Calculate(payload.data(), 4);
  EXPECT_EQ(tx.data, (std::vector<uint8_t>{0xC4, 0x10, 0x20, 0x30, uint8_t(crc), uint8_t(crc >> 8)}));

  EXPECT_EQ(rfv3_fsk_tx_msg(0, 4, 1, payload.data(), 48), 1);
  EXPECT_EQ(ami().transmissions()[1].offset, 1792) << "922 MHz is 7 MHz above 915 MHz";
  EXPECT_EQ(rfv3_fsk_tx_msg(43, 4, 1, payload.data(), 48), 1);
  EXPECT_EQ(ami().transmissions()[2].offset, -3200);
}

TEST_F(Rfv3Test, TransmitRefusals) {
  std::vector<uint8_t> big(256, 0x55);
  EXPECT_EQ(rfv3_fsk_tx_msg(9, 253, 1, big.data(), 8), 1);
  EXPECT_EQ(ami().transmissions().back().data.size(), 255u);
  port().clear_accesses();
  EXPECT_EQ(rfv3_fsk_tx_msg(9, 254, 1, big.data(), 8), 0);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_fsk_tx_msg, payload size too large, max 253 bytes"));
  EXPECT_EQ(rfv3_fsk_tx_msg(9, 4, 1, nullptr, 8), 0);
  EXPECT_TRUE(sandbox().syslog_contains("called without valid input buffer"));
  EXPECT_EQ(rfv3_fsk_tx_msg(102, 4, 1, big.data(), 8), 0);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_fsk_tx_msg, channel must be < 102"));
  EXPECT_EQ(rfv3_fsk_tx_msg(50, 4, 1, big.data(), 8), 0);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_fsk_tx_msg, |reg_freq_offset|>4096 0x"));
  EXPECT_TRUE(written().empty());
  port().fail_next(1);
  EXPECT_EQ(rfv3_fsk_tx_msg(9, 4, 1, big.data(), 8), 0);
  EXPECT_TRUE(sandbox().syslog_contains("could not set channel frequency"));
}

TEST_F(Rfv3Test, TransmitPrintsTheBytesWhenAsked) {
  sandbox().write_file("/tmp/printAllPackets", "");
  std::vector<uint8_t> payload(16);
  for (int i = 0; i < 16; ++i) payload[size_t(i)] = uint8_t(i);
  ASSERT_EQ(rfv3_fsk_tx_msg(9, 16, 1, payload.data(), 8), 1);
  const uint16_t crc = crc16Calculate(payload.data(), 16);
  char tail[32];
  std::snprintf(tail, sizeof tail, "\n0x%02x %02x \n", crc & 0xFF, crc >> 8);
  const std::string expected = "0x00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f " + std::string(tail);
  bool found = false;
  for (const auto& line : sandbox().console_lines()) found = found || line == expected;
  EXPECT_TRUE(found);
}

TEST_F(Rfv3Test, ScanStartsWithItsSettingsAndLimits) {
  EXPECT_EQ(rfv3_startScan(65536, 80), 0);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_startScan, channelScanTime is too long (131072 us)"));
  EXPECT_EQ(rfv3_startScan(100, 4096), 0);
  EXPECT_TRUE(sandbox().syslog_contains("too many preamble bits selected (4096)"));
  EXPECT_TRUE(ami().starts().empty());
  EXPECT_EQ(rfv3_startScan(65535, 4095), 1);
  ASSERT_EQ(ami().starts().size(), 1u);
  const auto s = ami().starts()[0];
  EXPECT_TRUE(s.scan);
  EXPECT_TRUE(s.slow_rate);
  EXPECT_EQ(s.scan_time, 65535);
  EXPECT_EQ(s.preamble_bits, 4095);
  EXPECT_TRUE(ami().running());
  EXPECT_EQ(rfv3_stopScan(), 1);
  EXPECT_FALSE(ami().running());
}

TEST_F(Rfv3Test, ReadScanDeliversTheLowestReceiversMessage) {
  uint32_t channel = 0, len = 64;
  int32_t rssi = 0;
  struct timespec when {};
  uint8_t buf[64];
  ASSERT_EQ(rfv3_startScan(1000, 80), 1);
  EXPECT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0) << "nothing yet";
  ami().push_scan(3, 1, on_air({0x01, 0x02, 0x03}), 20, 10);
  ami().push_scan(2, 3, on_air({0xAA, 0xBB}), 50, 1500);
  ASSERT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 1) << syslog_dump();
  EXPECT_EQ(channel, 2u + 4 * 3 + 52);
  EXPECT_EQ(rssi, (50 + 30) * 10);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), (std::vector<uint8_t>{0xC4, 0xAA, 0xBB}));
  struct timespec expected = scanStartTime;
  expected.tv_sec += 1;
  expected.tv_nsec += 500000000;
  if (expected.tv_nsec >= 1000000000) {
    expected.tv_nsec -= 1000000000;
    ++expected.tv_sec;
  }
  EXPECT_EQ(when.tv_sec, expected.tv_sec);
  EXPECT_EQ(when.tv_nsec, expected.tv_nsec);
  EXPECT_FALSE(ami().running()) << "receivers stopped after a message";
}

TEST_F(Rfv3Test, ReadScanRefusesBadCrcShortAndOversizedMessages) {
  uint32_t channel = 0, len = 8;
  int32_t rssi = 0;
  struct timespec when {};
  uint8_t buf[8];
  ASSERT_EQ(rfv3_startScan(1000, 80), 1);
  auto swapped = on_air({0x11, 0x22, 0x33});
  std::swap(swapped[3], swapped[4]);
  ami().push_scan(0, 0, swapped, 10, 1);
  EXPECT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0);
  EXPECT_EQ(crcFailCount, 1);
  EXPECT_TRUE(sandbox().syslog_contains("BRVDBG: CRC Error in packet, calculatedCRC: 0x"));
  EXPECT_TRUE(ami().running()) << "receivers restarted";
  EXPECT_EQ(ami().starts().size(), 2u);

  ami().push_scan(1, 0, {0x01, 0x02}, 10, 1);
  EXPECT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0);
  EXPECT_TRUE(sandbox().syslog_contains(
      "BRV_HAL: rfv3_readScan - Warning BREG_AMI_FREQ1_FIFO_DEPTH (2) < minimum message length (3)"));

  ami().push_scan(0, 0, on_air(std::vector<uint8_t>(7, 0x42)), 10, 1);  // 9 bytes + sync byte > 8
  EXPECT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0);
  EXPECT_EQ(len, 8u) << "the caller's size is untouched";
  EXPECT_EQ(rfv3_readScan(nullptr, buf, &len, &rssi, &when), 0);
}

// A bad CRC restarts the receivers before it is reported: a failed restart
// is logged ahead of the CRC line.
TEST_F(Rfv3Test, ReadScanRestartsBeforeReportingABadCrc) {
  uint32_t channel = 0, len = 16;
  int32_t rssi = 0;
  struct timespec when {};
  uint8_t buf[16];
  uint64_t before = port().transfer_count();
  ASSERT_EQ(rfv3_stopScan(), 1);
  const uint64_t one_write = port().transfer_count() - before;

  auto bad = on_air({0x11, 0x22, 0x33});
  bad[1] ^= 0x01;
  ASSERT_EQ(rfv3_startScan(1000, 80), 1);
  ami().push_scan(0, 0, bad, 10, 1);
  before = port().transfer_count();
  ASSERT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0);
  const uint64_t whole = port().transfer_count() - before;
  ASSERT_GT(whole, 2 * one_write);

  // Same again, the restart's first transfer failing.
  ASSERT_EQ(rfv3_startScan(1000, 80), 1);
  ami().push_scan(0, 0, bad, 10, 1);
  sandbox().clear_logs();
  port().fail_transfer_at(int64_t(whole - 2 * one_write));
  EXPECT_EQ(rfv3_readScan(&channel, buf, &len, &rssi, &when), 0);
  EXPECT_EQ(crcFailCount, 2);
  const auto lines = sandbox().syslog_texts();
  const auto reset = std::find(lines.begin(), lines.end(),
                               "BRV_HAL: ERROR in rfv3_readScan, could reset scanning receivers");
  const auto crc = std::find_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("BRVDBG: CRC Error in packet"); });
  ASSERT_NE(reset, lines.end()) << syslog_dump();
  ASSERT_NE(crc, lines.end());
  EXPECT_LT(reset, crc) << syslog_dump();
}

TEST_F(Rfv3Test, ReceiveSetsUpTheSingleChannelReceiver) {
  uint8_t buf[32];
  uint32_t len = sizeof buf;
  ami().push_message(on_air({0x05, 0x06, 0x07}), 40);
  EXPECT_EQ(rfv3_fsk_rx_msg(0, 1, buf, &len, 0), 40 + 30) << syslog_dump();
  EXPECT_EQ(len, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xC4, 0x05, 0x06, 0x07}));
  ASSERT_EQ(ami().starts().size(), 1u);
  EXPECT_FALSE(ami().starts()[0].scan);
  EXPECT_TRUE(ami().starts()[0].slow_rate);
  EXPECT_EQ(ami().starts()[0].if_offset, 1792);
}

TEST_F(Rfv3Test, ReceiveWaitsUntilTheTimeOut) {
  sandbox().set_fast_clock(true);
  uint8_t buf[32];
  uint32_t len = sizeof buf;
  port().clear_accesses();
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 0), -1);
  int status_reads = 0;
  for (const auto& a : port().accesses()) status_reads += !a.write && a.address == 2304;
  EXPECT_EQ(status_reads, 1) << "a zero time-out checks once";

  // Stopped receivers hold nothing; the next call's start takes the
  // message, which shows after five status polls.
  ASSERT_EQ(rfv3_stopScan(), 1);
  ami().push_message(on_air({0x01, 0x02}), 10, 5);
  sandbox().clear_sleeps();
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 10), 40);
  const auto sleeps = sandbox().sleeps();
  ASSERT_EQ(sleeps.size(), 5u);
  EXPECT_EQ(sleeps[0], 100000);

  // A 3 ms time-out: polls 100 us apart until it has passed, never past it
  // (the clock also runs while the call works, so a slow build polls less).
  sandbox().clear_sleeps();
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 3), -1);
  const auto polls = sandbox().sleeps();
  EXPECT_GE(polls.size(), 1u);
  EXPECT_LE(polls.size(), 31u);
  int64_t slept = 0;
  for (int64_t ns : polls) slept += ns;
  EXPECT_LE(slept, 3100000);
}

TEST_F(Rfv3Test, ReceiveRefusals) {
  uint8_t buf[8];
  uint32_t len = sizeof buf;
  EXPECT_EQ(rfv3_fsk_rx_msg(50, 0, buf, &len, 0), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_fsk_rx_msg invalid data channel 50"));
  EXPECT_EQ(rfv3_fsk_rx_msg(1, 2, buf, &len, 0), -1);
  EXPECT_TRUE(sandbox().syslog_contains("dataRate in: 2"));
  EXPECT_EQ(rfv3_fsk_rx_msg(1, 0, nullptr, &len, 0), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in rfv3_fsk_rx_msg data buffer is null"));
  brd_cfg_priv.rx_freq = 902000000;
  EXPECT_EQ(rfv3_fsk_rx_msg(0, 0, buf, &len, 0), -1);  // 20 MHz away
  EXPECT_TRUE(sandbox().syslog_contains("|reg_freq_offset|>0x0fff 0x"));
  brd_cfg_priv.rx_freq = kRxCentre;

  auto bad = on_air({0x01, 0x02});
  bad[2] ^= 0xFF;
  ami().push_message(bad, 10);
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 0), -1);
  EXPECT_EQ(crcFailCount, 1);
  ami().push_message({0x01, 0x02}, 10);
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 0), 0);
  EXPECT_TRUE(sandbox().syslog_contains("BREG_AMI_FREQ1_FIFO_DEPTH (2) < minimum message length"));
  ami().push_message(on_air(std::vector<uint8_t>(6, 1)), 10);  // 8 bytes + sync byte
  EXPECT_EQ(rfv3_fsk_rx_msg(9, 0, buf, &len, 0), -1);
  EXPECT_EQ(len, 8u);
}

TEST_F(Rfv3Test, AmrFramesFromEachReceiver) {
  amr_fsk_pkt_t pkt{};
  EXPECT_EQ(amr_fsk_fetch(&pkt), 0);
  EXPECT_EQ(amr_fsk_fetch(nullptr), -1);
  ami().push_amr(1, -5, {0xDE, 0xAD, 0xBE}, 20);
  ami().push_amr(2, 300, std::vector<uint8_t>(255, 0x77), 0);
  ASSERT_EQ(amr_fsk_fetch(&pkt), 1);
  EXPECT_EQ(pkt.freq_hz, kRxCentre - 5 * 3906);
  EXPECT_EQ(pkt.rssi, 570u);
  EXPECT_EQ(pkt.length, 3);
  EXPECT_EQ(std::vector<uint8_t>(pkt.data, pkt.data + 3), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE}));
  ASSERT_EQ(amr_fsk_fetch(&pkt), 1);
  EXPECT_EQ(pkt.freq_hz, kRxCentre + 300 * 3906);
  EXPECT_EQ(pkt.length, 255);
  EXPECT_EQ(pkt.data[254], 0x77);
  EXPECT_EQ(amr_fsk_fetch(&pkt), 0);
  port().fail_next(1);
  EXPECT_EQ(amr_fsk_fetch(&pkt), -1);
}

}  // namespace
}  // namespace crx::test

// Decoding of FIFO entries as the simulated chip presents them.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "crx_hal/rx_decode.h"
#include "tests/support/radio_board.h"

namespace crx::test {
namespace {

using rx::Decoded;

class DecodeTest : public RadioBoardTest {
 protected:
  Decoded decode(const sim::Uplink& u, rx::RxEntry* out, uint8_t chip = 0) { return decode_uplink(u, chip, out); }
  rx::RxEntry decoded(const sim::Uplink& u, uint8_t chip = 0) {
    rx::RxEntry e{};
    EXPECT_EQ(decode(u, &e, chip), Decoded::kPacket);
    return e;
  }
};

TEST_F(DecodeTest, MultiSfChannelPacket) {
  sim::Uplink u = data_uplink(0x26011234, 0x0102, 3, 9, 5000000);
  u.cr = 2;
  const rx::RxEntry e = decoded(u, 1);  // chip 1: chain 0, channels from 903.9 MHz
  const crx_rx_pkt_t& p = e.pkt;
  EXPECT_EQ(p.status, STAT_CRC_OK);
  EXPECT_EQ(p.if_chain, 13);
  EXPECT_EQ(p.freq_hz, 902300000u + 200000u * 11);
  EXPECT_EQ(p.modulation, MOD_LORA);
  EXPECT_EQ(p.bandwidth, BW_125KHZ);
  EXPECT_EQ(p.datarate, DR_LORA_SF9);
  EXPECT_EQ(p.coderate, CR_LORA_4_6);
  EXPECT_EQ(p.size, u.payload.size());
  EXPECT_EQ(std::vector<uint8_t>(p.payload, p.payload + p.size), u.payload);
  EXPECT_EQ(p.crc, 0xBEEF);
  const crx_rsig_t& r = p.rsig[0];
  EXPECT_TRUE(r.valid);
  EXPECT_FALSE(p.rsig[1].valid);
  EXPECT_EQ(r.chan, 11);
  EXPECT_FLOAT_EQ(r.snr, 7.25f);
  EXPECT_FLOAT_EQ(r.snr_min, 5.0f);
  EXPECT_FLOAT_EQ(r.snr_max, 9.5f);
  // 80 - 166 + 19.5, no temperature term (all coefficients 0).
  EXPECT_FLOAT_EQ(r.rssi, std::round(-66.5f));
  EXPECT_EQ(e.keys.mtype, 2);
  EXPECT_EQ(e.keys.dev_id, 0x26011234u);
  EXPECT_EQ(e.keys.fcnt, 0x0102);
}

TEST_F(DecodeTest, ChannelKindsAndLogicalNumbers) {
  // Chip 3 sits on chain 1.
  sim::Uplink std_ch = data_uplink(1, 1, 8, 8);
  const rx::RxEntry s = decoded(std_ch, 3);
  EXPECT_EQ(s.pkt.bandwidth, BW_500KHZ);
  EXPECT_EQ(s.pkt.freq_hz, 904600000u);
  EXPECT_EQ(s.sig.chan, 65);
  EXPECT_TRUE(s.pkt.rsig[1].valid);
  EXPECT_FLOAT_EQ(s.sig.rssi, 80.0f - 166.0f);  // no channel term on channel 8

  sim::Uplink fsk = data_uplink(1, 1, 9);
  fsk.raw_rssi = 100;
  fsk.snr_min = 3.0f;  // whatever the metadata bytes hold, FSK has no SNR
  fsk.snr_max = 7.0f;
  brd_cfg_priv.rf_chain[0].rssi_offset = -202.5f;
  const rx::RxEntry f = decoded(fsk, 0);
  EXPECT_EQ(f.pkt.modulation, MOD_FSK);
  EXPECT_EQ(f.pkt.bandwidth, BW_125KHZ);
  EXPECT_EQ(f.pkt.datarate, 50000u);
  EXPECT_EQ(f.pkt.coderate, CR_UNDEFINED);
  EXPECT_FLOAT_EQ(f.sig.snr, -128.0f);
  EXPECT_TRUE(f.pkt.rsig[0].valid);
  EXPECT_FLOAT_EQ(f.pkt.rsig[0].snr, -128.0f);
  EXPECT_FLOAT_EQ(f.pkt.rsig[0].snr_min, 0.0f);
  EXPECT_FLOAT_EQ(f.pkt.rsig[0].snr_max, 0.0f);
  EXPECT_EQ(f.sig.chan, 72);
  EXPECT_EQ(f.pkt.count_us, fsk.count_us);  // no correction for FSK
  EXPECT_FLOAT_EQ(f.sig.rssi, -71.0f);
}

TEST_F(DecodeTest, OpalFullBandUsesItsChannelPlan) {
  board_type = CRX_BOARD_OPAL;
  brd_cfg_priv.freq_band = FREQ_BAND_US_FULL_ISM;
  brd_cfg_priv.chan_freq[0][8] = 914400000;
  brd_cfg_priv.chan_freq[0][1] = 923000000;
  EXPECT_EQ(decoded(data_uplink(1, 1, 8)).sig.chan, 176);
  EXPECT_EQ(decoded(data_uplink(1, 1, 1)).sig.chan, 141);
  brd_cfg_priv.freq_band = FREQ_BAND_US915;
  EXPECT_EQ(decoded(data_uplink(1, 1, 1)).sig.chan, uint8_t((923000000u - 902300000u) / 200000u));
}

TEST_F(DecodeTest, CrcStates) {
  const std::vector<std::pair<uint8_t, uint32_t>> table = {
      {5, STAT_CRC_OK}, {7, STAT_CRC_BAD}, {1, STAT_NO_CRC}, {0, STAT_UNDEFINED},
      {2, STAT_UNDEFINED}, {3, STAT_UNDEFINED}, {4, STAT_UNDEFINED}, {6, STAT_UNDEFINED}, {0x0D, STAT_CRC_OK}};
  for (const auto& [state, expected] : table) {
    const uint8_t bytes[5] = {1, 0, 0, state, 10};
    const rx::FifoStatus s = rx::parse_fifo_status(bytes);
    EXPECT_EQ(s.crc_status, expected) << int(state);
    EXPECT_EQ(s.crc_present, expected == STAT_CRC_OK || expected == STAT_CRC_BAD) << int(state);
    EXPECT_EQ(s.size, 10);
  }
  const uint8_t empty[5] = {0, 9, 9, 5, 10};
  EXPECT_TRUE(rx::parse_fifo_status(empty).empty);
}

TEST_F(DecodeTest, DownlinkTypesAndMissingChannelsAreDropped) {
  for (uint8_t first : {0x20, 0x60, 0xA0}) {
    sim::Uplink u = data_uplink(1, 1);
    u.payload[0] = first;
    rx::RxEntry e{};
    EXPECT_EQ(decode(u, &e), Decoded::kDownlink) << int(first);
  }
  for (uint8_t first : {0x00, 0x40, 0x80, 0xC0, 0xE0}) {
    sim::Uplink u = data_uplink(1, 1);
    u.payload[0] = first;
    rx::RxEntry e{};
    EXPECT_EQ(decode(u, &e), Decoded::kPacket) << int(first);
  }
  sim::Uplink u = data_uplink(1, 1, 12);
  rx::RxEntry e{};
  EXPECT_EQ(decode(u, &e), Decoded::kNoChannel);
  EXPECT_TRUE(sandbox().syslog_contains("WARNING  channel does not exist  cx = 12 > 8"));
}

TEST_F(DecodeTest, KeysOfJoinRequestsAndShortFrames) {
  sim::Uplink join = data_uplink(0, 0);
  join.payload = {0x00, 1, 2, 3, 4, 5, 6, 7, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 9, 9};
  const rx::RxEntry j = decoded(join);
  EXPECT_EQ(j.keys.mtype, 0);
  EXPECT_EQ(j.keys.dev_id, 0x8877665544332211ull);
  EXPECT_EQ(j.keys.fcnt, 0);
  // Bytes past the payload are not the frame's: they count as 0.
  sim::Uplink shorty = data_uplink(0x04030201, 0);
  shorty.payload = {0x40, 1, 2, 3, 4, 0, 7};
  const rx::RxEntry s = decoded(shorty);
  EXPECT_EQ(s.keys.dev_id, 0x04030201u);
  EXPECT_EQ(s.keys.fcnt, 7);
  sim::Uplink none = data_uplink(0, 0);
  none.payload.clear();
  const rx::RxEntry n = decoded(none);
  EXPECT_EQ(n.pkt.size, 0);
  EXPECT_EQ(n.keys.mtype, 0);
}

// Delays worked out by hand from the chip's frame timing.
TEST_F(DecodeTest, TimestampCorrection) {
  struct Case {
    uint8_t chan;
    uint32_t bw;
    uint8_t sf, cr, size;
    uint8_t crc_state;
    uint32_t delay;
  };
  const Case cases[] = {
      {0, BW_125KHZ, 7, 1, 10, sim::Uplink::kCrcOk, 718},
      {5, BW_125KHZ, 7, 1, 0, sim::Uplink::kNoCrc, 810},   // the shortest frame's own formula
      {8, BW_500KHZ, 9, 1, 20, sim::Uplink::kCrcBad, 718},
      {8, BW_250KHZ, 12, 4, 51, sim::Uplink::kCrcOk, 13744},
      {8, BW_125KHZ, 11, 2, 0, sim::Uplink::kNoCrc, 12952},  // the wrapped remainder
      {8, BW_62K5HZ, 9, 1, 20, sim::Uplink::kCrcOk, 0},
      {2, BW_125KHZ, 5, 1, 20, sim::Uplink::kCrcOk, 114},  // SF outside 6-12
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chan " << int(c.chan) << " sf " << int(c.sf) << " size " << int(c.size));
    for (auto& b : brd_cfg_priv.std_bandwidth) b = c.bw;
    sim::Uplink u = data_uplink(1, 1, c.chan, c.sf, 100000);
    u.cr = c.cr;
    u.crc_state = c.crc_state;
    u.payload.resize(c.size, 0x40);
    if (c.size) u.payload[0] = 0x40;
    const rx::RxEntry e = decoded(u);
    EXPECT_EQ(e.pkt.count_us, 100000u - c.delay);
  }
  // The correction wraps with the counter.
  sim::Uplink early = data_uplink(1, 1, 0, 7, 100);
  early.payload.resize(10);
  EXPECT_EQ(decoded(early).pkt.count_us, 100u - 718u);
}

TEST_F(DecodeTest, CorrectionOverSpreadingFactorsAndSizes) {
  // Over the sizes the delay moves by at most one coding block (sf symbols
  // of up to 8 chips at 4 µs, divided down with the bandwidth), and every
  // SF step at least doubles the preamble part.
  for (uint32_t n : {0u, 8u}) {
    for (uint32_t bw : {uint32_t(BW_125KHZ), uint32_t(BW_250KHZ), uint32_t(BW_500KHZ)}) {
      const uint32_t divisor = n == 0 ? 1 : bw == BW_500KHZ ? 4 : bw == BW_250KHZ ? 2 : 1;
      int64_t previous_min = 0;
      for (uint32_t sf = 7; sf <= 12; ++sf) {
        uint32_t lo = UINT32_MAX, hi = 0;
        for (uint32_t size = 3; size <= 255; ++size)
          for (bool crc : {false, true})
            for (uint32_t cr = 1; cr <= 4; ++cr) {
              const uint32_t d = rx::timestamp_delay(uint8_t(n), bw, sf, cr, size, crc);
              lo = std::min(lo, d), hi = std::max(hi, d);
            }
        SCOPED_TRACE(testing::Message() << n << " " << bw << " SF" << sf);
        EXPECT_LE(hi - lo, sf * 32 / divisor);
        EXPECT_GE(lo, (sf + 1) * (1u << (sf - 1)) / divisor);
        EXPECT_GT(int64_t(lo), 2 * previous_min - 200);
        previous_min = lo;
      }
    }
  }
}

TEST_F(DecodeTest, RssiWithTemperatureTerm) {
  EXPECT_FLOAT_EQ(crx_ad9361_temp2rssi(30, 20, -7, 100), 300.0f / 65536.0f);
  EXPECT_FLOAT_EQ(crx_ad9361_temp2rssi(0, 20, 1000, -3000), 460000.0f / 65536.0f);
  EXPECT_FLOAT_EQ(crx_ad9361_temp2rssi(200, 0, 32767, 32767), float(int32_t(32767.0 * 40000 + 32767.0 * 200)) / 65536.0f);
  // The receive thread passes code 0: the distance is minus the calibration code.
  brd_cfg_priv.calibration_temperature_code_ad9361 = 20;
  brd_cfg_priv.rf_chain[0] = {true, true, -150.0f, 1000, -3000, {}, 0};
  EXPECT_FLOAT_EQ(calc_rssi(0, 2, 60, 0, 0), std::round(-70.5f + 460000.0f / 65536.0f));
  EXPECT_FLOAT_EQ(calc_rssi(0, 8, 60, 0, 0), std::round(-90.0f + 460000.0f / 65536.0f));
  // Other boards get no temperature term, nor does an unknown chain any calibration.
  EXPECT_FLOAT_EQ(calc_rssi(1, 2, 60, 0, 0), std::round(-70.5f));
  EXPECT_FLOAT_EQ(calc_rssi(0, 2, 60, 7, 0), std::round(79.5f));
}

}  // namespace
}  // namespace crx::test

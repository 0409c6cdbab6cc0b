// The TX buffer contents of LoRa and FSK packets, read back the way the
// simulated chip decodes them.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "crx_hal/tx_encode.h"
#include "sim/tx_buffer.h"

namespace crx::test {
namespace {

crx_tx_pkt_t lora(uint32_t sf_enum, uint32_t bw, uint32_t cr, uint8_t size) {
  crx_tx_pkt_t p;
  crx_init_tx_pkt(&p);
  p.freq_hz = 923300000;
  p.modulation = MOD_LORA;
  p.datarate = sf_enum;
  p.bandwidth = bw;
  p.coderate = cr;
  p.size = size;
  for (int i = 0; i < size; ++i) p.payload[i] = uint8_t(i * 7 + 1);
  return p;
}

crx_tx_pkt_t fsk(uint32_t bitrate, uint8_t size) {
  crx_tx_pkt_t p;
  crx_init_tx_pkt(&p);
  p.freq_hz = 869525000;
  p.modulation = MOD_FSK;
  p.datarate = bitrate;
  p.f_dev = 25;
  p.size = size;
  for (int i = 0; i < size; ++i) p.payload[i] = uint8_t(255 - i);
  return p;
}

sim::Transmission encode_and_decode(const crx_tx_pkt_t& p, uint32_t trigger = 0, size_t* length = nullptr) {
  std::array<uint8_t, tx::kBufferBytes> buf;
  const size_t n = tx::encode_buffer(p, trigger, buf);
  EXPECT_GT(n, 0u);
  if (length) *length = n;
  return sim::TxBufferModel::decode(std::span(buf).first(n));
}

TEST(TxEncode, ExamplePackets) {
  crx_tx_pkt_t p = lora(DR_LORA_SF9, BW_125KHZ, CR_LORA_4_5, 10);
  p.preamble = 8;
  std::array<uint8_t, tx::kBufferBytes> buf;
  ASSERT_EQ(tx::encode_buffer(p, 0x01020304, buf), 26u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 9, buf.begin() + 14), (std::vector<uint8_t>{0x99, 0x0A, 0x00, 0x00, 0x08}));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin() + 3, buf.begin() + 7), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(buf[7], 0);
  EXPECT_EQ(buf[8], 0);
  EXPECT_EQ(buf[16], 1);

  crx_tx_pkt_t f = fsk(50000, 20);
  ASSERT_EQ(tx::encode_buffer(f, 0, buf), 37u);
  EXPECT_EQ(buf[7], 0x10);
  EXPECT_EQ(buf[14], 0x02);
  EXPECT_EQ(buf[15], 0x80);
  EXPECT_EQ(buf[16], 20);
  EXPECT_EQ(buf[17], 255);
}

TEST(TxEncode, FrequencyWord) {
  // (f / 8 MHz - whole steps) × (2^23 - 15), MSB first.
  EXPECT_EQ(tx::freq_fraction(864000000), 0u);
  EXPECT_EQ(tx::freq_fraction(868000000), 4194296u);  // half a step
  EXPECT_EQ(tx::freq_fraction(923300000), uint32_t(0.4125 * 8388593.0));
  for (uint32_t f = 860000000; f < 1020000000; f += 7777777) {
    crx_tx_pkt_t p = lora(DR_LORA_SF7, BW_125KHZ, CR_LORA_4_5, 1);
    p.freq_hz = f;
    const sim::Transmission t = encode_and_decode(p);
    EXPECT_NEAR(t.frequency_hz(f), double(f), 1.0) << f;
  }
}

TEST(TxEncode, LoraGrid) {
  const uint32_t bws[] = {BW_125KHZ, BW_250KHZ, BW_500KHZ};
  const uint32_t bw_hz[] = {125000, 250000, 500000};
  for (int sf = 7; sf <= 12; ++sf)
    for (int b = 0; b < 3; ++b)
      for (uint32_t cr = 1; cr <= 4; ++cr)
        for (int flags = 0; flags < 8; ++flags)
          for (uint16_t preamble : {0, 2, 3, 4, 8, 300})
            for (uint8_t size : {0, 1, 51, 255}) {
              crx_tx_pkt_t p = lora(uint32_t(1u << (sf - 6)), bws[b], cr, size);
              p.no_crc = flags & 1;
              p.no_header = flags & 2;
              p.invert_pol = flags & 4;
              p.preamble = preamble;
              const uint32_t trigger = uint32_t(sf * 1000003u + preamble);
              size_t length = 0;
              const sim::Transmission t = encode_and_decode(p, trigger, &length);
              SCOPED_TRACE(testing::Message() << "SF" << sf << " bw " << bw_hz[b] << " cr " << cr << " flags "
                                              << flags << " preamble " << preamble << " size " << int(size));
              ASSERT_FALSE(t.fsk);
              EXPECT_EQ(length, 16u + size);
              EXPECT_EQ(t.sf, sf);
              EXPECT_EQ(t.cr, cr);
              EXPECT_EQ(t.bandwidth_hz(), bw_hz[b]);
              EXPECT_EQ(t.crc, !p.no_crc);
              EXPECT_EQ(t.implicit_header, p.no_header);
              EXPECT_EQ(t.invert_iq, p.invert_pol);
              // Symbols of 16 ms and more need the low-data-rate mode.
              const double symbol_ms = double(1u << sf) / (bw_hz[b] / 1000.0);
              EXPECT_EQ(t.ppm, symbol_ms >= 16.0);
              EXPECT_EQ(t.preamble, preamble == 0 ? 6 : preamble < 4 ? 4 : preamble);
              EXPECT_EQ(t.trigger_count, trigger);
              EXPECT_EQ(t.power_index, 0);
              EXPECT_EQ(t.payload, std::vector<uint8_t>(p.payload, p.payload + size));
            }
}

TEST(TxEncode, FskGrid) {
  for (uint32_t bitrate : {500u, 1200u, 4800u, 9600u, 50000u, 100000u, 250000u})
    for (uint8_t f_dev : {0, 25, 255})
      for (bool no_crc : {false, true})
        for (uint16_t preamble : {0, 1, 2, 3, 5, 40})
          for (uint8_t size : {0, 1, 64, 254}) {
            crx_tx_pkt_t p = fsk(bitrate, size);
            p.f_dev = f_dev;
            p.no_crc = no_crc;
            p.preamble = preamble;
            size_t length = 0;
            const sim::Transmission t = encode_and_decode(p, 77, &length);
            SCOPED_TRACE(testing::Message() << bitrate << " b/s, f_dev " << int(f_dev) << " preamble " << preamble
                                            << " size " << int(size));
            ASSERT_TRUE(t.fsk);
            EXPECT_EQ(length, 17u + size);
            EXPECT_EQ(t.f_dev_khz, f_dev);
            EXPECT_EQ(t.length_byte, size + 1);
            EXPECT_EQ(t.crc, !no_crc);
            EXPECT_EQ(t.preamble, preamble == 0 ? 5 : preamble < 3 ? 3 : preamble);
            EXPECT_NEAR(double(t.bitrate()), double(bitrate), bitrate * 0.001);
            EXPECT_EQ(t.trigger_count, 77u);
            EXPECT_EQ(t.payload, std::vector<uint8_t>(p.payload, p.payload + size));
          }
}

TEST(TxEncode, RefusedParameters) {
  struct Case {
    crx_tx_pkt_t pkt;
    int code;
  };
  auto with = [](crx_tx_pkt_t p, auto change) {
    change(p);
    return p;
  };
  const crx_tx_pkt_t ok = lora(DR_LORA_SF7, BW_125KHZ, CR_LORA_4_5, 10);
  const std::vector<Case> cases = {
      {with(ok, [](auto& p) { p.coderate = 0; }), ERR_BAD_BITRATE},
      {with(ok, [](auto& p) { p.coderate = 5; }), ERR_BAD_BITRATE},
      {with(ok, [](auto& p) { p.coderate = 0, p.datarate = 0; }), ERR_BAD_BITRATE},  // coding rate first
      {with(ok, [](auto& p) { p.datarate = MR_UNDEFINED; }), ERR_BAD_SF},
      {with(ok, [](auto& p) { p.datarate = DR_LORA_MULTI; }), ERR_BAD_SF},
      {with(ok, [](auto& p) { p.datarate = 0x80; }), ERR_BAD_SF},
      {with(ok, [](auto& p) { p.datarate = 0, p.bandwidth = 0; }), ERR_BAD_SF},
      {with(ok, [](auto& p) { p.bandwidth = BW_UNDEFINED; }), ERR_BAD_BW},
      {with(ok, [](auto& p) { p.bandwidth = BW_62K5HZ; }), ERR_BAD_BW},
      {with(ok, [](auto& p) { p.bandwidth = 9; }), ERR_BAD_BW},
      {with(ok, [](auto& p) { p.modulation = MOD_UNDEFINED; }), ERR_BAD_MODULATION},
      {with(ok, [](auto& p) { p.modulation = 3; }), ERR_BAD_MODULATION},
      {fsk(0, 10), ERR_BAD_BITRATE},
      {fsk(488, 10), ERR_BAD_BITRATE},
      {fsk(50000, 255), ERR_UNSPECIFIED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tx::check_modulation(c.pkt), c.code) << c.pkt.modulation << " " << c.pkt.datarate;
    std::array<uint8_t, tx::kBufferBytes> buf;
    EXPECT_EQ(tx::encode_buffer(c.pkt, 0, buf), 0u);
  }
  EXPECT_EQ(tx::check_modulation(fsk(489, 254)), 0);
}

TEST(TxEncode, TriggerCounts) {
  EXPECT_EQ(tx::trigger_count(TX_IMMEDIATE, 5000000, 88), 0u);
  EXPECT_EQ(tx::trigger_count(TX_TIMESTAMPED, 5000000, 88), 5000000u - 1500 - 88);
  EXPECT_EQ(tx::trigger_count(TX_ON_GPS, 5000000, 88), 5000000u - 1500 + 88);
  EXPECT_EQ(tx::trigger_count(TX_TIMESTAMPED, 1000, 0), 1000u - 1500u);  // wraps with the counter
  for (uint32_t type = 0; type <= 15; ++type)
    EXPECT_EQ(tx::extra_delay_us(type), type == CRX_BOARD_CONDOR_NA || type == CRX_BOARD_CONDOR_EU ? 88u : 0u);
}

}  // namespace
}  // namespace crx::test

// Time on air against the general LoRa formula, with the library's own
// assumptions stated case by case, and the FSK and received-packet variants.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "crx.h"
#include "sim/testing.h"

using ::testing::ElementsAre;

namespace {

// The general LoRa time on air (SX1276 datasheet / AN1200.13), in whole ms:
// T_sym = 2^SF / BW; preamble n + 4.25 symbols; payload symbols
// 8 + max(ceil((8 PL - 4 SF + 28 + 16 CRC - 20 IH) / (4 (SF - 2 DE))) (CR + 4), 0).
// Summed in exact rational arithmetic so that truncation never meets a
// rounding error.
struct LoraParams {
  int sf;
  uint64_t bw_mhz;  // millihertz, so that 7.8125 kHz is exact
  int cr;  // 1 for 4/5 ... 4 for 4/8
  bool implicit_header;
  bool crc;
  bool low_data_rate;
  unsigned preamble;
  unsigned size;
};

int64_t general_payload_symbols(const LoraParams& p) {
  const double num = 8.0 * p.size - 4.0 * p.sf + 28 + 16 * p.crc - 20 * p.implicit_header;
  const double den = 4.0 * (p.sf - 2 * p.low_data_rate);
  return 8 + std::max<int64_t>(static_cast<int64_t>(std::ceil(num / den)) * (p.cr + 4), 0);
}

uint64_t general_ms(const LoraParams& p) {
  // ms = 2^SF / BW * 1000 * (preamble + 4.25 + N)
  const uint64_t quarter_symbols = 4ull * p.preamble + 17 + 4ull * general_payload_symbols(p);
  return (quarter_symbols << p.sf) * 1000000 / (4 * p.bw_mhz);
}

// The datasheet's rule: the optimisation is on when a symbol lasts over 16 ms.
bool datasheet_low_data_rate(int sf, uint64_t bw_mhz) { return (1000000ull << sf) > 16 * bw_mhz; }

// The true channel bandwidths, 125 kHz / 2^k.
uint64_t exact_bw_mhz(crx_bw_t bw) {
  switch (bw) {
    case BW_500KHZ: return 500000000;
    case BW_250KHZ: return 250000000;
    case BW_125KHZ: return 125000000;
    case BW_62K5HZ: return 62500000;
    case BW_31K2HZ: return 31250000;
    case BW_15K6HZ: return 15625000;
    case BW_7K8HZ: return 7812500;
    default: return 0;
  }
}

struct LoraCase {
  int sf;
  crx_bw_t bw;
  int cr;
  bool implicit_header;
  bool no_crc;
  unsigned preamble;
  unsigned size;
  // Whether the library's assumptions (below) change the result of the
  // general formula for this packet.
  bool differs;
  const char* why;
};

// The library's assumptions expressed as inputs to the general formula:
// bandwidth truncated to whole kHz, low-data-rate for every SF above 10,
// CRC counted even when the packet has none.
LoraParams library_view(const LoraCase& c) {
  const uint64_t whole_khz = exact_bw_mhz(c.bw) / 1000000;
  return {c.sf, whole_khz * 1000000, c.cr, c.implicit_header, true, c.sf > 10, c.preamble, c.size};
}

LoraParams general_view(const LoraCase& c) {
  const uint64_t bw = exact_bw_mhz(c.bw);
  return {c.sf, bw, c.cr, c.implicit_header, !c.no_crc, datasheet_low_data_rate(c.sf, bw), c.preamble,
          c.size};
}

const LoraCase kLoraCases[] = {
    {7, BW_125KHZ, 1, false, false, 8, 10, false, "plain SF7"},
    {7, BW_125KHZ, 1, false, false, 8, 0, false, "empty payload"},
    {7, BW_250KHZ, 2, true, false, 8, 51, false, "implicit header"},
    {7, BW_500KHZ, 4, false, false, 12, 255, false, "largest payload"},
    {8, BW_125KHZ, 3, false, false, 8, 64, false, ""},
    {8, BW_500KHZ, 1, true, false, 6, 1, false, ""},
    {9, BW_125KHZ, 2, false, false, 8, 115, false, ""},
    {9, BW_250KHZ, 4, false, false, 0, 20, false, "a preamble of 0 counts 0 symbols"},
    {10, BW_125KHZ, 1, false, false, 8, 242, false, ""},
    {10, BW_500KHZ, 3, true, false, 8, 33, false, ""},
    {11, BW_125KHZ, 1, false, false, 8, 51, false, "low data rate on in both views"},
    {12, BW_125KHZ, 4, true, false, 8, 0, false, "negative numerator, ceil gives 0"},
    {12, BW_125KHZ, 1, false, false, 8, 255, false, ""},
    {12, BW_250KHZ, 2, false, false, 8, 100, false, "16.384 ms symbols: the datasheet agrees"},
    {11, BW_250KHZ, 1, false, false, 8, 20, true, "low data rate forced at 8.192 ms symbols"},
    {11, BW_500KHZ, 4, false, false, 8, 200, true, "low data rate forced at 4.096 ms symbols"},
    {12, BW_500KHZ, 1, true, false, 8, 50, true, "low data rate forced at 8.192 ms symbols"},
    {7, BW_125KHZ, 1, false, true, 8, 10, true, "CRC counted although the packet has none"},
    {9, BW_500KHZ, 2, true, true, 8, 75, true, "CRC counted although the packet has none"},
    {12, BW_125KHZ, 1, true, true, 8, 0, false,
     "CRC counted, but the general formula's clamp gives the same 8 symbols"},
    {10, BW_62K5HZ, 1, false, false, 8, 10, true, "62.5 kHz taken as 62 kHz"},
    {8, BW_31K2HZ, 2, false, false, 8, 30, true, "31.25 kHz taken as 31 kHz"},
    {7, BW_15K6HZ, 1, false, false, 8, 5, true, "15.625 kHz taken as 15 kHz"},
    {12, BW_7K8HZ, 4, false, false, 65535, 255, true, "longest packet: 7.8 kHz taken as 7 kHz"},
};

crx_tx_pkt_t lora_packet(const LoraCase& c) {
  crx_tx_pkt_t pkt;
  crx_init_tx_pkt(&pkt);
  pkt.modulation = MOD_LORA;
  pkt.bandwidth = c.bw;
  pkt.datarate = crx_sf_nb2enum(c.sf);
  pkt.coderate = static_cast<uint32_t>(c.cr);
  pkt.no_header = c.implicit_header;
  pkt.no_crc = c.no_crc;
  pkt.preamble = static_cast<uint16_t>(c.preamble);
  pkt.size = static_cast<uint8_t>(c.size);
  return pkt;
}

TEST(TimeOnAir, LoraPacketsFollowTheGeneralFormulaUnderTheLibrarysAssumptions) {
  for (const LoraCase& c : kLoraCases) {
    SCOPED_TRACE(testing::Message() << "SF" << c.sf << " bw " << c.bw << " CR 4/" << c.cr + 4 << " IH "
                                    << c.implicit_header << " no_crc " << c.no_crc << " preamble "
                                    << c.preamble << " size " << c.size << ": " << c.why);
    const uint64_t expected = general_ms(library_view(c));
    const uint64_t general = general_ms(general_view(c));
    EXPECT_EQ(general != expected, c.differs) << "general " << general << ", library " << expected;
    const crx_tx_pkt_t pkt = lora_packet(c);
    EXPECT_EQ(crx_time_on_air(&pkt), expected);
  }
}

TEST(TimeOnAir, WorkedLoraExamples) {
  crx_tx_pkt_t pkt = lora_packet({7, BW_125KHZ, 1, false, false, 8, 10, false, ""});
  // 1.024 ms symbols, 28 payload symbols: trunc(12.544 + 28.672).
  EXPECT_EQ(crx_time_on_air(&pkt), 41u);

  // SF10 at 62.5 kHz is reckoned at 62 kHz: 23 payload symbols,
  // 1024 / 62 * 35.25 = 582.19 ms, where 62.5 kHz would give 577.5 ms.
  pkt = lora_packet({10, BW_62K5HZ, 1, false, false, 8, 10, false, ""});
  EXPECT_EQ(crx_time_on_air(&pkt), 582u);

  // Whole-ms results are not lost to rounding: SF7 at 125 kHz with
  // 8 + 4.25 + 19 = 31.25 symbols lasts exactly 32 ms.
  // 7 + 4.25 + 20 payload symbols (CR 4/6, size 2) = 31.25.
  pkt = lora_packet({7, BW_125KHZ, 2, false, false, 7, 2, false, ""});
  EXPECT_EQ(crx_time_on_air(&pkt), 32u);
}

TEST(TimeOnAir, FskCountsFixedBytesPreambleLengthPayloadAndCrc) {
  crx_tx_pkt_t pkt;
  crx_init_tx_pkt(&pkt);
  pkt.modulation = MOD_FSK;
  pkt.datarate = 50000;
  pkt.size = 20;
  pkt.preamble = 5;
  pkt.no_crc = false;
  EXPECT_EQ(crx_time_on_air(&pkt), 5u);  // 31 bytes: trunc(4.96) + 1
  pkt.no_crc = true;
  EXPECT_EQ(crx_time_on_air(&pkt), 5u);  // 29 bytes: trunc(4.64) + 1
  pkt.datarate = 4800;
  pkt.size = 255;
  pkt.preamble = 8;
  pkt.no_crc = false;
  EXPECT_EQ(crx_time_on_air(&pkt), 449u);  // 269 bytes: trunc(448.33) + 1
  // 10 bytes at 1 kbit/s are exactly 80 ms, which stays 80 before the + 1.
  pkt.datarate = 1000;
  pkt.size = 4;
  pkt.preamble = 0;
  EXPECT_EQ(crx_time_on_air(&pkt), 81u);
  // The longest packet at the slowest rate still fits the result.
  pkt.datarate = 1;
  pkt.size = 255;
  pkt.preamble = 65535;
  EXPECT_EQ(crx_time_on_air(&pkt), (3u + 65535 + 1 + 255 + 2) * 8 * 1000 + 1);
}

TEST(TimeOnAirRx, PartsAreTheGeneralFormulaWithAnEightSymbolPreamble) {
  for (const LoraCase& c : kLoraCases) {
    if (c.bw != BW_125KHZ && c.bw != BW_250KHZ && c.bw != BW_500KHZ) continue;
    SCOPED_TRACE(testing::Message() << "SF" << c.sf << " bw " << c.bw << " size " << c.size << ": "
                                    << c.why);
    LoraParams p = library_view(c);
    p.preamble = 8;
    const double t_sym = std::ldexp(1.0, c.sf) * 1e6 / static_cast<double>(p.bw_mhz);
    const double n = static_cast<double>(general_payload_symbols(p));

    crx_rx_pkt_t pkt{};
    pkt.modulation = MOD_LORA;
    pkt.bandwidth = c.bw;
    pkt.datarate = crx_sf_nb2enum(c.sf);
    pkt.coderate = static_cast<uint32_t>(c.cr);
    pkt.size = static_cast<uint8_t>(c.size);
    double pre = -1, sync = -1, payload = -1;
    const double total = time_on_air_rx(&pkt, c.implicit_header, &pre, &sync, &payload);
    EXPECT_DOUBLE_EQ(pre, 8 * t_sym);
    EXPECT_DOUBLE_EQ(sync, 4.25 * t_sym);
    EXPECT_DOUBLE_EQ(payload, n * t_sym);
    EXPECT_DOUBLE_EQ(total, pre + sync + payload);
    // The parts are optional.
    EXPECT_DOUBLE_EQ(time_on_air_rx(&pkt, c.implicit_header, nullptr, nullptr, nullptr), total);
  }
}

TEST(TimeOnAirRx, SmallestPacketHasEightPayloadSymbols) {
  crx_rx_pkt_t pkt{};
  pkt.bandwidth = BW_125KHZ;
  pkt.datarate = DR_LORA_SF12;
  pkt.coderate = CR_LORA_4_5;
  pkt.size = 0;
  double payload = 0;
  const double total = time_on_air_rx(&pkt, true, nullptr, nullptr, &payload);
  EXPECT_DOUBLE_EQ(payload, 8 * 32.768);
  EXPECT_DOUBLE_EQ(total, 20.25 * 32.768);
}

class TimeOnAirRefusals : public crx::sim::SandboxTest {};

TEST_F(TimeOnAirRefusals, PacketsToSendThatCannotBeTimedGiveZeroAndSaySo) {
  EXPECT_EQ(crx_time_on_air(nullptr), 0u);

  crx_tx_pkt_t pkt = lora_packet({7, BW_125KHZ, 1, false, false, 8, 10, false, ""});
  pkt.modulation = MOD_UNDEFINED;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.modulation = MOD_LORA;
  pkt.bandwidth = BW_UNDEFINED;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.bandwidth = 0x55;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.bandwidth = BW_125KHZ;
  pkt.datarate = DR_LORA_MULTI;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.datarate = 0x1000;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.datarate = DR_LORA_SF7;
  pkt.coderate = CR_UNDEFINED;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.coderate = 0xFFFFFFFF;  // would overflow the symbol count
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);
  pkt.modulation = MOD_FSK;
  pkt.datarate = 0;
  EXPECT_EQ(crx_time_on_air(&pkt), 0u);

  EXPECT_THAT(sandbox().syslog_texts(),
              ElementsAre("Failed to compute time on air, wrong parameter",
                          "Cannot compute time on air for this packet, unsupported modulation (0x00)",
                          "Cannot compute time on air for this packet, unsupported bandwidth (0x00)",
                          "Cannot compute time on air for this packet, unsupported bandwidth (0x55)",
                          "Cannot compute time on air for this packet, unsupported datarate (0x7E)",
                          "Cannot compute time on air for this packet, unsupported datarate (0x1000)",
                          "Cannot compute time on air for this packet, unsupported coderate (0x00)",
                          "Cannot compute time on air for this packet, unsupported coderate (0xFFFFFFFF)",
                          "Cannot compute time on air for this packet, unsupported datarate (0x00)"));
}

TEST_F(TimeOnAirRefusals, ReceivedPacketsThatCannotBeTimedGiveZeroAndLeaveThePartsAlone) {
  crx_rx_pkt_t pkt{};
  pkt.bandwidth = BW_7K8HZ;  // only 125, 250 and 500 kHz are known here
  pkt.datarate = DR_LORA_SF7;
  pkt.coderate = CR_LORA_4_5;
  double pre = -1, sync = -2, payload = -3;
  EXPECT_EQ(time_on_air_rx(&pkt, false, &pre, &sync, &payload), 0.0);
  pkt.bandwidth = BW_125KHZ;
  pkt.datarate = 0x06;
  EXPECT_EQ(time_on_air_rx(&pkt, false, &pre, &sync, &payload), 0.0);
  pkt.datarate = DR_LORA_SF7;
  pkt.coderate = 5;
  EXPECT_EQ(time_on_air_rx(&pkt, false, &pre, &sync, &payload), 0.0);
  EXPECT_EQ(time_on_air_rx(nullptr, false, &pre, &sync, &payload), 0.0);
  EXPECT_EQ(pre, -1);
  EXPECT_EQ(sync, -2);
  EXPECT_EQ(payload, -3);

  EXPECT_THAT(sandbox().syslog_texts(),
              ElementsAre("ERROR: Cannot compute time on air for this packet, unsupported bandwidth (7)",
                          "ERROR: Cannot compute time on air for this packet, unsupported datarate (6)",
                          "ERROR: Cannot compute time on air for this packet, unsupported coderate (5)",
                          "Failed to compute time on air, wrong parameter"));
}

}  // namespace

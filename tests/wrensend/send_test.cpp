// ostra_wren_send through crx_send on a started Wren board, read back as
// the simulated SX1301 decodes its TX buffer: the descriptor over a grid of
// packets, the gain entry and the TX offsets of the transmitting radio,
// the trigger of each mode, and every refusal before any bus traffic.
#include <gtest/gtest.h>

#include "send_fixture.h"
#include "wren/tx_descriptor.h"
#include "wren/tx_lut.h"

namespace {

using crx::sim::Transmission;

class WrenSend : public crx::test::WrenSendTest {
 protected:
  uint64_t bus_messages() {
    return board().sx1301->message_total() + board().gpio_fpga->message_total() +
           board().side_radio->message_total();
  }
  int scan_tx_value() {
    int v = -1;
    sem_getvalue(crx::wren::scan_tx_sem(), &v);
    return v;
  }
};

TEST_F(WrenSend, LoraGridReadsBackFromTheTxBuffer) {
  start_board();
  const uint32_t bws[] = {BW_125KHZ, BW_250KHZ, BW_500KHZ};
  const uint32_t sfs[] = {DR_LORA_SF7, DR_LORA_SF8, DR_LORA_SF9, DR_LORA_SF10, DR_LORA_SF11, DR_LORA_SF12};
  size_t expected = 0;
  for (uint32_t bw : bws)
    for (uint32_t sf : sfs)
      for (uint32_t cr : {CR_LORA_4_5, CR_LORA_4_8}) {
        const uint32_t freq = 903100000 + 200000 * uint32_t(expected % 20);
        crx_tx_pkt_t p = lora(freq, sf, bw, uint8_t(5 + expected));
        p.coderate = cr;
        p.no_crc = expected % 3 == 0;
        p.no_header = expected % 4 == 0;
        p.invert_pol = expected % 5 == 0;
        p.preamble = uint16_t(expected % 7);
        SCOPED_TRACE(testing::Message() << "bw " << bw << " sf " << sf << " cr " << cr);
        ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
        ++expected;
        const auto all = sent();
        ASSERT_EQ(all.size(), expected);
        const Transmission& t = all.back();
        EXPECT_FALSE(t.fsk);
        EXPECT_NEAR(t.radio_frequency_hz(2, freq), double(freq), 62.0);
        EXPECT_EQ(t.freq_integer >> 6, bw == BW_500KHZ ? 2 : bw == BW_125KHZ ? 1 : 0);
        EXPECT_EQ(t.bandwidth_code, bw == BW_500KHZ ? 2 : bw == BW_250KHZ ? 1 : 0);
        EXPECT_EQ(t.sf, crx_sf_enum2nb(crx_sf_t(sf)));
        EXPECT_EQ(t.cr, cr);
        EXPECT_EQ(t.crc, !p.no_crc);
        EXPECT_EQ(t.implicit_header, p.no_header);
        EXPECT_EQ(t.invert_iq, p.invert_pol);
        EXPECT_EQ(t.ppm, ppm_mode_en(crx_bw_t(bw), crx_sf_enum2nb(crx_sf_t(sf))) != 0);
        EXPECT_EQ(t.preamble, p.preamble == 0 ? 6 : std::max<int>(p.preamble, 4));
        EXPECT_EQ(t.payload, std::vector<uint8_t>(p.payload, p.payload + p.size));
        EXPECT_EQ(t.rf_chain, 0);
        EXPECT_EQ(t.trigger, Transmission::Trigger::kImmediate);
        EXPECT_EQ(t.trigger_count, 0u);
        EXPECT_EQ(t.metadata[8], 0);
        EXPECT_EQ(t.metadata[14] | t.metadata[15], 0);
      }
}

TEST_F(WrenSend, DescriptorBytesOfKnownPackets) {
  start_board();
  // SF9, 4/5, 125 kHz, explicit header, CRC on, normal polarity at
  // 915.2 MHz on an SX1257: 228 (0xE4) whole 4 MHz steps, fraction
  // 3 200 000 << 8 / 15625 = 52428; the bandwidth takes byte 0's top bits.
  crx_tx_pkt_t p = lora(915200000);
  p.tx_mode = TX_TIMESTAMPED;
  uint32_t now = 0;
  ASSERT_EQ(crx_get_instcnt(0, 0, &now), 0);
  p.count_us = now + 500000;
  ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
  Transmission t = sent().back();
  EXPECT_EQ(t.metadata[0], (0xE4 & 0x3F) | 0x40);
  EXPECT_EQ(t.metadata[1], 0xCC);
  EXPECT_EQ(t.metadata[2], 0xCC);
  EXPECT_EQ(t.metadata[9], 0x99);
  EXPECT_EQ(t.metadata[10], 10);
  EXPECT_EQ(t.metadata[11], 0x00);
  EXPECT_EQ(t.trigger, Transmission::Trigger::kTimestamped);
  EXPECT_EQ(t.trigger_count, p.count_us - 1500);

  // FSK: 10 bytes at 50 000 bit/s, CRC off, preamble 0 sent as 5.
  crx_tx_pkt_t f = fsk(915200000, 50000, 10);
  f.no_crc = true;
  f.preamble = 0;
  f.tx_mode = TX_ON_GPS;
  ASSERT_EQ(crx_send(0, &f), 0) << syslog_dump();
  t = sent().back();
  EXPECT_TRUE(t.fsk);
  EXPECT_EQ(t.metadata[0], 0xE4) << "FSK keeps the whole integer part";
  EXPECT_EQ(t.metadata[7] & 0x10, 0x10);
  EXPECT_EQ(t.metadata[9], 25);
  EXPECT_EQ(t.length_byte, 11);
  EXPECT_EQ(t.metadata[11], 9);
  EXPECT_EQ(t.preamble, 5);
  EXPECT_EQ(t.metadata[14], 0x02);
  EXPECT_EQ(t.metadata[15], 0x80);
  EXPECT_EQ(t.payload.size(), 10u);
  EXPECT_EQ(t.trigger, Transmission::Trigger::kOnPps);
  EXPECT_EQ(t.trigger_count, 0u) << "only a timestamped packet carries a count";

  f.no_crc = false;
  f.tx_mode = TX_IMMEDIATE;
  ASSERT_EQ(crx_send(0, &f), 0);
  EXPECT_EQ(sent().back().metadata[11], 11);
}

TEST_F(WrenSend, GainEntryAndOffsetsOfTheTransmittingRadio) {
  start_board();
  // Power: requested -> entry (10, 14, 20, 27 dBm).
  const std::pair<float, int> choices[] = {{19.5f, 1}, {9.0f, 0}, {27.0f, 3}, {30.0f, 3}, {20.0f, 2}, {14.0f, 1}};
  for (const auto& [power, index] : choices) {
    SCOPED_TRACE(power);
    crx_tx_pkt_t p = lora(915000000);
    p.rf_power = power;
    ASSERT_EQ(crx_send(0, &p), 0);
    const Transmission t = sent().back();
    EXPECT_EQ(t.power_index, index);
    EXPECT_EQ(t.digital_gain, index) << "row 193 := the entry's digital gain";
    // Radio A transmits: its arrays at mixer gain - 8 (= index here).
    EXPECT_EQ(t.offset_i, kOffsets[size_t(index)]);
    EXPECT_EQ(t.offset_q, kOffsets[size_t(8 + index)]);
    EXPECT_EQ(p.rf_chain, 0);
  }
}

TEST_F(WrenSend, RadioBTransmitsWithItsOwnOffsetsWhenRadioACannot) {
  install();
  crx::sim::cx_put_file(sandbox(), crx::test::wren_db(crx::test::kTddPcba, "US915", 902.0, 928.0)
                                       .set("Configuration", "RF_TX_EN_0", 0)
                                       .set("Configuration", "RF_TX_EN_1", 1)
                                       .image());
  sandbox().write_file("/etc/default/tx_lut.json", crx::test::kFourGains);
  ASSERT_EQ(configure_us(), 0) << syslog_dump();
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  crx_tx_pkt_t p = lora(915000000);
  p.rf_power = 20;
  p.rf_chain = 0;
  ASSERT_EQ(crx_send(0, &p), 0) << syslog_dump();
  EXPECT_EQ(p.rf_chain, 1);
  const Transmission t = sent().back();
  EXPECT_EQ(t.rf_chain, 1);
  EXPECT_EQ(t.offset_i, kOffsets[16 + 2]);
  EXPECT_EQ(t.offset_q, kOffsets[24 + 2]);
}

TEST_F(WrenSend, RefusalsComeBeforeAnyBusTraffic) {
  start_board();
  struct Case {
    const char* what;
    crx_tx_pkt_t pkt;
    int code;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, crx_tx_pkt_t p, int code) { cases.push_back({what, p, code}); };
  crx_tx_pkt_t p = lora(915000000);
  p.coderate = 0;
  add("coding rate", p, ERR_BAD_BITRATE);
  p = lora(915000000, 0x80);
  add("spreading factor", p, ERR_BAD_SF);
  p = lora(915000000, DR_LORA_SF9, BW_62K5HZ);
  add("bandwidth", p, ERR_BAD_BW);
  p = lora(915000000);
  p.modulation = 3;
  add("modulation", p, ERR_BAD_MODULATION);
  p = lora(915000000);
  p.tx_mode = 3;
  add("mode", p, ERR_BAD_TX_MODE);
  add("FSK bit rate 0", fsk(915000000, 0, 10), ERR_BAD_BITRATE);
  add("FSK bit rate whose divider passes 16 bits", fsk(915000000, 488, 10), ERR_BAD_BITRATE);
  add("FSK payload whose length byte wraps", fsk(915000000, 50000, 255), ERR_UNSPECIFIED);

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const uint64_t before = bus_messages();
    crx_errno = 0;
    c.pkt.rf_chain = 1;
    EXPECT_EQ(crx_send(0, &c.pkt), -1);
    EXPECT_EQ(crx_errno, c.code);
    EXPECT_EQ(c.pkt.rf_chain, 0) << "the chain that would serve it is reported even for a refused packet";
    EXPECT_EQ(bus_messages(), before);
    EXPECT_EQ(scan_tx_value(), 1) << "the scan is not held off for a refused packet";
  }
  EXPECT_TRUE(sent().empty());
  EXPECT_TRUE(has_line("BrvDBG-HAL ostra_wren_send E R R O R  Unknown modulation"));

  // The largest that fit: 489 bit/s (divider 65439) and 254 bytes.
  crx_tx_pkt_t ok = fsk(915000000, 489, 254);
  EXPECT_EQ(crx_send(0, &ok), 0) << syslog_dump();
  EXPECT_EQ(sent().back().length_byte, 255);
}

TEST_F(WrenSend, EmptyGainTableRefusesEverySend) {
  // A gain file without "txgain_lut" leaves the table empty; the board
  // still starts (the AGC gets the end mark only).
  start_board(crx::test::kTddPcba, R"({"lbt_listen_times": []})");
  ASSERT_EQ(crx::wren::tx_lut.size, 0);
  crx_tx_pkt_t p = lora(915000000);
  EXPECT_EQ(crx_send(0, &p), -1);
  EXPECT_EQ(crx_errno, ERR_BAD_TX_LUT);
  EXPECT_TRUE(sent().empty());
}

TEST_F(WrenSend, GainEntriesOutsideTheirFieldsAreRefusedAtLoad) {
  ASSERT_EQ(crx::wren::parse_txlut_text(crx::test::kFourGains, "good.json"), 0);
  const char* bad[] = {
      R"({"txgain_lut": [{"dig_gain": 4, "pa_gain": 0, "dac_gain": 3, "mix_gain": 8, "rf_power": 10}]})",
      R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 4, "dac_gain": 3, "mix_gain": 8, "rf_power": 10}]})",
      R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 4, "mix_gain": 8, "rf_power": 10}]})",
      R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 3, "mix_gain": 7, "rf_power": 10}]})",
      R"({"txgain_lut": [{"dig_gain": 0, "pa_gain": 0, "dac_gain": 3, "mix_gain": 16, "rf_power": 10}]})",
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_EQ(crx::wren::parse_txlut_text(text, "bad.json"), -1);
    EXPECT_EQ(crx_errno, ERR_UNSPECIFIED);
    EXPECT_EQ(crx::wren::tx_lut.size, 4) << "the table is left as it was";
  }
}

TEST_F(WrenSend, EveryTransferOfASendCanFailWithoutArming) {
  install();
  sandbox().write_file("/etc/default/tx_lut.json", crx::test::kFourGains);
  ASSERT_EQ(configure_us(), 0);
  // No receive thread: every SX1301 message is the send's.
  crx::brd_cfg_priv.full_start = false;
  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  crx_tx_pkt_t clean = lora(915000000);
  const uint64_t before = board().sx1301->message_total();
  ASSERT_EQ(crx_send(0, &clean), 0);
  const int messages = int(board().sx1301->message_total() - before);
  int failures = 0;
  for (int k = 0; k < messages; ++k) {
    SCOPED_TRACE(k);
    const size_t armed = sent().size();
    crx_tx_pkt_t p = lora(915000000);
    board().sx1301->fail_message_at(int64_t(board().sx1301->message_total()) + k);
    crx_errno = 0;
    const int rc = crx_send(0, &p);
    board().sx1301->fail_message_at(-1);
    if (rc == 0) {  // the counter read is tried again
      EXPECT_EQ(sent().size(), armed + 1);
      continue;
    }
    ++failures;
    EXPECT_EQ(rc, -1);
    EXPECT_NE(crx_errno, 0);
    EXPECT_EQ(sent().size(), armed) << "nothing armed";
  }
  // Three gain rows, command reset, address, buffer, trigger.
  EXPECT_GE(failures, 7) << syslog_dump();
}

}  // namespace

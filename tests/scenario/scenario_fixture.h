// A Condor NA configured from its example file and started through the
// library, with the chips' receive-status outputs wired to their GPIO lines:
// uplinks go in through the simulated chips, out through crx_fetch*;
// downlinks go in through crx_send, out as the chips' transmission records.
#pragma once

#include <sys/time.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/boards.h"
#include "sim/traffic.h"
#include "tests/start/start_fixture.h"

namespace crx::test {

class ScenarioTest : public StartTest {
 protected:
  // The example configuration, or its variant where chips 4-7 repeat chips
  // 0-3 on RF chain 1 (every uplink then reaches two chains).
  void start_condor_na(bool diversity = false) {
    prepare_condor_na(diversity);
    ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  }
  // The same up to the start, for tests that add to the board first.
  void prepare_condor_na(bool diversity = false) {
    // A transmitter calibration of 10 dB on both outputs.
    database(condor_na_db()
                 .set("Tx", "AD936x_TX1_Atten_MSB", 0)
                 .set("Tx", "AD936x_TX1_Atten_LSB", 40)
                 .set("Tx", "AD936x_TX2_Atten_MSB", 0)
                 .set("Tx", "AD936x_TX2_Atten_LSB", 40));
    port_ = sim::install_fpga_board(sandbox(), 8);
    sim::wire_rx_status(*port_, gpio_, sim::kLargeBoardRxLines);
    config_text_ = fixture("condor_na.json");
    if (diversity) {
      auto doc = nlohmann::json::parse(config_text_, nullptr, true, true);
      auto& chips = doc["crx_conf"][0]["SX1301_conf"];
      for (size_t c = 4; c < 8; ++c) {
        chips[c] = chips[c - 4];
        chips[c]["chip_rf_chain"] = 1;
      }
      config_text_ = doc.dump();
    }
    ASSERT_NE(read(config_text_), nullptr) << syslog_dump();
  }

  // Fetches until `n` packets came or a second passed without one.
  std::vector<crx_rx_pkt_t> fetch(size_t n) {
    std::vector<crx_rx_pkt_t> out;
    crx_rx_pkt_t pkts[16];
    while (out.size() < n) {
      uint8_t nb = 0;
      const struct timeval wait = {1, 0};
      if (crx_fetch_v2(pkts, 16, &nb, &wait) != 0) break;
      out.insert(out.end(), pkts, pkts + nb);
    }
    return out;
  }

  // A LoRaWAN data uplink as chip `chip` would report it.
  static sim::Uplink uplink(uint32_t dev_addr, uint16_t fcnt, uint8_t if_chan, uint8_t sf, uint32_t count) {
    sim::Uplink u;
    u.payload = sim::lorawan_data_frame(false, dev_addr, fcnt, 1, {1, 2, 3, 4});
    u.if_chan = if_chan;
    u.sf = sf;
    u.cr = 1;
    u.raw_rssi = 70;
    u.snr = 6.5f;
    u.snr_min = 4.0f;
    u.snr_max = 8.25f;
    u.count_us = count;
    return u;
  }

  static uint32_t dev_addr_of(const crx_rx_pkt_t& p) {
    return p.payload[1] | p.payload[2] << 8 | p.payload[3] << 16 | uint32_t(p.payload[4]) << 24;
  }

  // A LoRa downlink of the US band's first window.
  static crx_tx_pkt_t downlink(uint32_t mode, uint32_t count_us, uint32_t datarate = DR_LORA_SF10) {
    crx_tx_pkt_t p;
    crx_init_tx_pkt(&p);
    p.tx_mode = mode;
    p.count_us = count_us;
    p.freq_hz = 923900000;
    p.rf_power = 20;
    p.rf_chain = 0;
    p.modulation = MOD_LORA;
    p.bandwidth = BW_500KHZ;
    p.datarate = datarate;
    p.coderate = CR_LORA_4_5;
    p.preamble = 8;
    p.invert_pol = true;
    p.no_crc = true;
    p.size = 12;
    for (uint8_t i = 0; i < p.size; ++i) p.payload[i] = uint8_t(0x60 + i);
    return p;
  }

  int tx_status(uint8_t chip) {
    int s = 0;
    EXPECT_EQ(crx_tx_status(0, chip, &s), 0);
    return s;
  }

  std::string config_text_;
};

}  // namespace crx::test

// A started Wren board with a four-entry gain table (10, 14, 20 and 27 dBm
// on mixer gains 8 to 11), and packets to send on it.
#pragma once

#include <chrono>
#include <cstring>
#include <thread>

#include "tests/wrenstart/wren_fixture.h"
#include "wren/semaphores.h"

namespace crx::test {

inline constexpr const char* kFourGains = R"({"txgain_lut": [
  {"dig_gain": 0, "pa_gain": 0, "dac_gain": 3, "mix_gain": 8,  "rf_power": 10},
  {"dig_gain": 1, "pa_gain": 1, "dac_gain": 3, "mix_gain": 9,  "rf_power": 14},
  {"dig_gain": 2, "pa_gain": 2, "dac_gain": 3, "mix_gain": 10, "rf_power": 20},
  {"dig_gain": 3, "pa_gain": 3, "dac_gain": 3, "mix_gain": 11, "rf_power": 27}]})";

class WrenSendTest : public WrenStartTest {
 protected:
  // Installs, configures and starts the board; `gains` replaces the file.
  void start_board(const char* pcba = kTddPcba, const char* gains = kFourGains) {
    install(pcba);
    sandbox().write_file("/etc/default/tx_lut.json", gains);
    configure_and_start(pcba);
  }

  // The installed `pcba` with the four gains, its band's plan and one LBT
  // entry over the band: 27 dBm, 400 ms of talk, 5 ms of listening, busy
  // from -80 dBm. Not started.
  void configure_with_lbt(const char* pcba) {
    sandbox().write_file("/etc/default/tx_lut.json", kFourGains);
    const bool outdoor = std::string(pcba) == kOutdoorPcba;
    ASSERT_EQ(outdoor ? configure_eu() : configure_us(), 0) << syslog_dump();
    crx_lbt_cfg_t& lbt = brd_cfg_priv.lbt;
    lbt = {};
    lbt.enabled = 1;
    lbt.count = 1;
    lbt.entries[0] = outdoor ? crx_lbt_entry_t{27, 863000000, 870000000, 400, 5000, -80}
                             : crx_lbt_entry_t{27, 902000000, 910000000, 400, 5000, -80};
  }

  static crx_tx_pkt_t lora(uint32_t freq, uint32_t sf = DR_LORA_SF9, uint32_t bw = BW_125KHZ, uint8_t size = 10) {
    crx_tx_pkt_t p;
    std::memset(&p, 0, sizeof p);
    p.tx_mode = TX_IMMEDIATE;
    p.freq_hz = freq;
    p.rf_power = 14;
    p.modulation = MOD_LORA;
    p.bandwidth = bw;
    p.datarate = sf;
    p.coderate = CR_LORA_4_5;
    p.preamble = 8;
    p.size = size;
    for (int i = 0; i < size; ++i) p.payload[i] = uint8_t(0xA0 + i);
    return p;
  }

  static crx_tx_pkt_t fsk(uint32_t freq, uint32_t bitrate, uint8_t size) {
    crx_tx_pkt_t p = lora(freq, 0, 0, size);
    p.modulation = MOD_FSK;
    p.datarate = bitrate;
    p.coderate = 0;
    p.f_dev = 25;
    return p;
  }

  std::vector<sim::Transmission> sent() { return chip().transmissions(); }

  // Waits (a generous bound) until the scan-TX semaphore reads `want`.
  static int wait_scan_tx(int want) {
    int value = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      if (sem_getvalue(wren::scan_tx_sem(), &value) != 0) return -1;
      if (value == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return value;
  }
};

}  // namespace crx::test

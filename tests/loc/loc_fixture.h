// A large board in the sandbox with its geolocation block and interrupt
// line, and the engine's time sources replaced by a fixed reference and a
// counter the test sets.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "crx.h"
#include "loc/loc_engine.h"
#include "loc/loc_env.h"
#include "loc/loc_shm.h"
#include "sim/geoloc.h"
#include "sim/gpio.h"
#include "tests/regs/board_fixture.h"

namespace crx::test {

struct FakeTime {
  static inline loc::TimeRef ref{1400000000, 5000000, 0x1000000000ull};
  static inline uint32_t now_us = 5300000;
  static inline int holdover = -1;
};

class LocBoardTest : public FpgaBoardTest {
 protected:
  void SetUp() override {
    FpgaBoardTest::SetUp();
    gpio_ = sim::SysfsGpio::install(sandbox());
    block_ = sim::GeolocBlock::install(port(), gpio_, 2);
    auto& env = loc::environment();
    saved_ = env;
    env.reference = [](loc::TimeRef& out) { return out = FakeTime::ref, 0; };
    env.count_now = [](uint32_t& out) { return out = FakeTime::now_us, 0; };
    env.position = [](loc::Position& out) { out = {48.85, 2.35, 35}; };
    env.set_holdover = [](uint16_t s) { return FakeTime::holdover = s, 0; };
    open();
  }
  void TearDown() override {
    loc::engine_stop();
    loc::shm_detach();
    loc::environment() = saved_;
    block_->stop();
    FpgaBoardTest::TearDown();
  }
  sim::GeolocBlock& block() { return *block_; }
  sim::SysfsGpio& gpio() { return *gpio_; }
  bool logged(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }

  // An uplink the engine takes: LoRa, CRC good, 125 kHz, unconfirmed data.
  static crx_rx_pkt_t uplink(uint32_t datarate = DR_LORA_SF7, uint32_t count_us = 5200000) {
    crx_rx_pkt_t p{};
    p.status = STAT_CRC_OK;
    p.modulation = MOD_LORA;
    p.bandwidth = BW_125KHZ;
    p.datarate = datarate;
    p.coderate = CR_LORA_4_5;
    p.freq_hz = 868300000;
    p.count_us = count_us;
    p.size = 20;
    for (int i = 0; i < 20; ++i) p.payload[i] = uint8_t(i + 1);
    p.rsig[0].valid = true;
    p.rsig[0].rssi = -80.5f;
    p.rsig[0].snr = 7.25f;
    return p;
  }
  static constexpr loc::FrameHeader kFrame{2, 42, 0x26011BDA};

 private:
  std::shared_ptr<sim::SysfsGpio> gpio_;
  std::shared_ptr<sim::GeolocBlock> block_;
  loc::Environment saved_{};
};

}  // namespace crx::test

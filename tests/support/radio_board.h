// A Condor NA board for the receive and transmit tests: the FPGA port with
// a receive FIFO and a TX buffer model on every chip, the chips' receive-
// status lines in sysfs GPIO following their FIFOs, and the board state a
// configured, started concentrator would have. The configuration and start
// calls are not run: the tests drive the receive and transmit paths alone.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <vector>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/rx_decode.h"
#include "sim/boards.h"
#include "sim/gpio.h"
#include "sim/rx_fifo.h"
#include "sim/testing.h"
#include "sim/tx_buffer.h"

namespace crx::test {

inline constexpr std::array<int, 8> kCondorRxPins = {23, 26, 27, 44, 45, 46, 47, 114};

class RadioPort : public sim::FpgaBoardPort {
 public:
  std::array<sim::RxFifoModel, kMaxChips> fifo;
  std::array<sim::TxBufferModel, kMaxChips> tx;
  std::atomic<uint32_t> now{0};
  // Reads of these chips' FIFO registers fail (errno EIO).
  std::array<std::atomic<bool>, kMaxChips> fail_fifo{};

 protected:
  ssize_t read_registers(uint8_t target, uint8_t page, uint16_t address, std::span<uint8_t> out) override {
    if (target < kMaxChips) {
      if (address == sim::RxFifoModel::kStatusAddress || address == sim::RxFifoModel::kDataAddress) {
        if (fail_fifo[target]) return errno = EIO, -1;
        if (address == sim::RxFifoModel::kDataAddress) {
          fifo[target].read_data(out);
        } else {
          const auto s = fifo[target].status();
          for (size_t i = 0; i < out.size(); ++i) out[i] = i < s.size() ? s[i] : 0;
        }
        return ssize_t(out.size());
      }
      if (page == 1 && address == sim::TxBufferModel::kStatus && out.size() == 1) {
        out[0] = tx[target].status(now);
        return 1;
      }
      if (page == 1 && address == sim::TxBufferModel::kCommand && out.size() == 1) {
        out[0] = tx[target].command();
        return 1;
      }
    }
    return FpgaBoardPort::read_registers(target, page, address, out);
  }
  ssize_t write_registers(uint8_t target, uint8_t page, uint16_t address, std::span<const uint8_t> in) override {
    if (target < kMaxChips) {
      if (address == sim::RxFifoModel::kStatusAddress) {
        fifo[target].pop();
        return ssize_t(in.size());
      }
      if (address == sim::TxBufferModel::kAddressRegister && !in.empty()) tx[target].write_address(in[0]);
      if (address == sim::TxBufferModel::kDataPort) tx[target].write_data(in);
      if (page == 1 && address == sim::TxBufferModel::kCommand && !in.empty()) tx[target].write_command(in[0], now);
      if (page == 1 && (address == sim::TxBufferModel::kStartDelay || address == sim::TxBufferModel::kStartDelay + 1))
        for (size_t i = 0; i < in.size(); ++i)
          tx[target].write_start_delay_byte(int(address - sim::TxBufferModel::kStartDelay + i), in[i]);
    }
    return FpgaBoardPort::write_registers(target, page, address, in);
  }
};

class RadioBoardTest : public sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    board_type = CRX_BOARD_CONDOR_NA;
    num_sx1301_chips = 8;
    port_ = std::make_shared<RadioPort>();
    sandbox().add_device("/dev/spifpga32766.1", port_);
    gpio_ = sim::SysfsGpio::install(sandbox());
    ASSERT_EQ(crx_reg_setup(0), 0);
    brd_cfg_priv = {};
    region_limits = {902000000, 928000000, 923000000, 928000000};
    brd_cfg_priv.freq_band = FREQ_BAND_US915;
    brd_cfg_priv.rx_freq = 915000000;
    brd_cfg_priv.rf_chain[0].rssi_offset = -166.0f;
    brd_cfg_priv.rf_chain[1].rssi_offset = -166.0f;
    for (int c = 0; c < 8; ++c) {
      brd_cfg_priv.chip_enable[c] = c < 4;
      brd_cfg_priv.chip_rf_chain[c] = uint8_t(c / 2 % 2);
      for (int n = 0; n < 8; ++n) brd_cfg_priv.chan_freq[c][n] = 902300000u + 200000u * uint32_t(8 * (c % 2) + n);
      brd_cfg_priv.chan_freq[c][8] = 903000000u + 1600000u * uint32_t(c % 2);
      brd_cfg_priv.chan_freq[c][9] = 903800000u;
      brd_cfg_priv.std_bandwidth[c] = BW_500KHZ;
      brd_cfg_priv.fsk_bandwidth[c] = BW_125KHZ;
      brd_cfg_priv.fsk_bitrate[c] = 50000;
    }
    brd_cfg_priv.running = true;
  }
  void TearDown() override {
    brd_cfg_priv.running = false;
    crx_reg_close();
    SandboxTest::TearDown();
  }

  // The receive-status lines as start leaves them: exported rising-edge
  // inputs that follow the chips' FIFOs.
  void wire_rx_lines() {
    for (int c = 0; c < 8; ++c) {
      const int pin = kCondorRxPins[size_t(c)];
      ASSERT_EQ(setup_rx_status_pin(uint8_t(c)), 0);
      port_->fifo[size_t(c)].on_level_change([g = gpio_, pin](bool high) { g->set_level(pin, high); });
    }
  }

 public:
  // A LoRaWAN data uplink from device `dev` with frame counter `fcnt`;
  // public for the programs' tests that run a board of their own.
  static sim::Uplink data_uplink(uint32_t dev, uint16_t fcnt, uint8_t chan = 0, uint8_t sf = 7,
                                 uint32_t count = 1000000) {
    sim::Uplink u;
    u.payload = {0x40, uint8_t(dev), uint8_t(dev >> 8), uint8_t(dev >> 16), uint8_t(dev >> 24), 0x80,
                 uint8_t(fcnt), 0, uint8_t(fcnt >> 8), 1, 2, 3, 4, 5};
    u.if_chan = chan;
    u.sf = sf;
    u.cr = 1;
    u.raw_rssi = 80;
    u.snr = 7.25f;
    u.snr_min = 5.0f;
    u.snr_max = 9.5f;
    u.count_us = count;
    u.crc = 0xBEEF;
    return u;
  }

 protected:
  // The head entry of a FIFO holding `u`, decoded as chip `chip`'s.
  static rx::Decoded decode_uplink(const sim::Uplink& u, uint8_t chip, rx::RxEntry* out) {
    sim::RxFifoModel fifo;
    fifo.push_uplink(u);
    const auto status_bytes = fifo.status();
    const rx::FifoStatus status = rx::parse_fifo_status(status_bytes);
    std::vector<uint8_t> data(status.size + rx::kMetadataBytes);
    fifo.read_data(data);
    return rx::decode_packet(chip, status, data, out);
  }

  std::shared_ptr<RadioPort> port_;
  std::shared_ptr<sim::SysfsGpio> gpio_;
};

}  // namespace crx::test

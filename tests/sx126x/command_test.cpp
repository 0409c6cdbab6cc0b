// The SX126x command layer on the wire: frames as the chip receives them,
// answers decoded from its status byte, the transfer limits, the BUSY line,
// and the receive set-ups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crx.h"
#include "device/paths.h"
#include "device/spi.h"
#include "radio/sx126x.h"
#include "sim/boards.h"
#include "sim/gpio.h"
#include "sim/testing.h"
#include "tests/support/checks.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Sx126x : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
    board_ = crx::sim::install_wren_board(sandbox(), crx::sim::WrenSideRadio::kSx126x);
    crx::sim::wire_sx126x_busy(board_, gpio_);
    ASSERT_EQ(crx::spi_linuxdev_open(crx::paths::kSideRadioPort, crx::kSpiSpeedDefault, &fd_), 0);
    sx126x_cfg.spi_fd = &fd_;
  }
  void TearDown() override {
    sx126x_cfg.spi_fd = nullptr;
    if (fd_ >= 0) crx::spi_linuxdev_close(fd_);
    SandboxTest::TearDown();
  }

  crx::sim::Sx126xRadio& radio() { return *board_.sx126x; }
  crx::sim::SysfsGpio& gpio() { return *gpio_; }
  std::vector<Bytes> commands() { return radio().commands(); }
  Bytes last() {
    auto c = commands();
    return c.empty() ? Bytes{} : c.back();
  }
  bool logged(const std::string& text) { return sandbox().syslog_contains(text); }

  int fd_ = -1;

 private:
  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
  crx::sim::WrenBoard board_;
};

TEST_F(Sx126x, WriteCommandsGoOutAsTheChipExpects) {
  ASSERT_EQ(sx126x_set_rf_freq(868000000), 0);
  EXPECT_EQ(last(), (Bytes{0x86, 0x36, 0x40, 0x00, 0x00}));
  EXPECT_EQ(radio().frequency_hz(), 868000000u);

  const sx126x_gfsk_mod_params_t gfsk{4800, 0x09, 12, 25000};
  ASSERT_EQ(sx126x_set_gfsk_mod_params(&gfsk), 0);
  // 1 024 000 000 / 4800 = 213 333; 25 000 x 2^25 / 32 MHz = 26 214.
  EXPECT_EQ(last(), (Bytes{0x8B, 0x03, 0x41, 0x55, 0x09, 12, 0x00, 0x66, 0x66}));
  EXPECT_EQ(radio().rx_bandwidth_hz(), 58600u);

  const sx126x_lora_mod_params_t lora{7, 4, 1, 1};
  ASSERT_EQ(sx126x_set_lora_mod_params(&lora), 0);
  EXPECT_EQ(last(), (Bytes{0x8B, 7, 4, 1, 1}));

  const sx126x_gfsk_pkt_params_t gp{0x0120, 4, 24, 0, 1, 255, 2, 1};
  ASSERT_EQ(sx126x_set_gfsk_pkt_params(&gp), 0);
  EXPECT_EQ(last(), (Bytes{0x8C, 0x01, 0x20, 4, 24, 0, 1, 255, 2, 1}));
  const sx126x_lora_pkt_params_t lp{8, 0, 64, 1, 0};
  ASSERT_EQ(sx126x_set_lora_pkt_params(&lp), 0);
  EXPECT_EQ(last(), (Bytes{0x8C, 0x00, 0x08, 0, 64, 1, 0}));

  ASSERT_EQ(sx126x_set_buf_base_addr(240, 0), 0);
  EXPECT_EQ(last(), (Bytes{0x8F, 240, 0}));

  // Only bits 9-8 survive in each mask's high byte.
  const sx126x_dio_irq_params_t irq{0xFFFF, 0x0302, 0x0001, 0x8000};
  ASSERT_EQ(sx126x_dio_irq_params(&irq), 0);
  EXPECT_EQ(last(), (Bytes{0x08, 0x03, 0xFF, 0x03, 0x02, 0x00, 0x01, 0x00, 0x00}));
  ASSERT_EQ(sx126x_clear_irq_status(0xFE01), 0);
  EXPECT_EQ(last(), (Bytes{0x02, 0x02, 0x01}));

  ASSERT_EQ(sx126x_stop_timer_on_preamble(1), 0);
  EXPECT_EQ(last(), (Bytes{0x9F, 1}));
  ASSERT_EQ(sx126x_write_register(0x08AC, 0x96), 0);
  EXPECT_EQ(last(), (Bytes{0x0D, 0x08, 0xAC, 0x96}));
  const uint8_t payload[] = {1, 2, 3};
  ASSERT_EQ(sx126x_write_buffer(240, payload, 3), 0);
  EXPECT_EQ(last(), (Bytes{0x0E, 240, 1, 2, 3}));
}

TEST_F(Sx126x, TimeoutsAreSentInStepsOfFifteenMicroseconds) {
  ASSERT_EQ(sx126x_set_rx(SX126X_TIMEOUT_CONTINUOUS), 0);
  EXPECT_EQ(last(), (Bytes{0x82, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(radio().mode(), 5);
  ASSERT_EQ(sx126x_set_rx(1000), 0);
  EXPECT_EQ(last(), (Bytes{0x82, 0x00, 0xFA, 0x00}));
  ASSERT_EQ(sx126x_set_tx(262000), 0);
  EXPECT_EQ(radio().tx_timeout_word(), 262000u * 64);
  EXPECT_EQ(radio().mode(), 6);

  radio().clear_commands();
  EXPECT_FAILS_WITH(sx126x_set_tx(262001), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("timeout too big: 262001, must be between 0x0 and 262000"));
  EXPECT_FAILS_WITH(sx126x_set_rx(0xFFFFFE), ERR_UNSPECIFIED);
  EXPECT_TRUE(commands().empty());
}

TEST_F(Sx126x, ReadCommandsTakeTheAnswerAfterTheStatusByte) {
  ASSERT_EQ(sx126x_set_standby(1), 0);
  uint8_t mode = 0, status = 9;
  ASSERT_EQ(sx126x_get_op_mode(&mode), 0);
  EXPECT_EQ(mode, 3);
  EXPECT_EQ(last(), (Bytes{0xC0, 0x00}));
  ASSERT_EQ(sx126x_get_dev_status(&status), 0);
  EXPECT_EQ(status, 0);

  ASSERT_EQ(sx126x_set_pkt_type(1), 0);
  uint8_t type = 0;
  ASSERT_EQ(sx126x_get_pkt_type(&type), 0);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(last(), (Bytes{0x11, 0x00, 0x00}));

  radio().set_irq_status(0x0302);
  uint16_t irq = 0;
  ASSERT_EQ(sx126x_get_irq_status(&irq), 0);
  EXPECT_EQ(irq, 0x0302);

  radio().set_rssi_dbm(-97.5);
  float rssi = 0;
  ASSERT_EQ(sx126x_get_rssi(&rssi), 0);
  EXPECT_FLOAT_EQ(rssi, -97.5f);
  EXPECT_EQ(last(), (Bytes{0x15, 0x00, 0x00}));

  radio().write_register(0x0740, 0x14);
  uint8_t value = 0;
  ASSERT_EQ(sx126x_read_register(0x0740, &value), 0);
  EXPECT_EQ(value, 0x14);
  EXPECT_EQ(last(), (Bytes{0x1D, 0x07, 0x40, 0x00, 0x00}));

  const uint8_t data[] = {9, 8, 7, 6};
  ASSERT_EQ(sx126x_write_buffer(10, data, 4), 0);
  uint8_t back[4] = {};
  ASSERT_EQ(sx126x_read_buffer(11, back, 3), 0);
  EXPECT_EQ(Bytes(back, back + 3), (Bytes{8, 7, 6}));

  ASSERT_EQ(sx126x_set_buf_base_addr(128, 16), 0);
  uint8_t len = 9, start = 0;
  ASSERT_EQ(sx126x_get_rx_buffer_status(&len, &start), 0);
  EXPECT_EQ(start, 16);
}

TEST_F(Sx126x, RefusedArgumentsSendNothing) {
  uint8_t rx[258];
  const uint8_t cmd[3] = {0x1E, 0, 0};
  EXPECT_FAILS_WITH(sx126x_spi_access(cmd, 3, rx, 258), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("sx126x_spi_access, ERROR: not enough buffer, tx: 3, rx: 258"));
  EXPECT_FAILS_WITH(sx126x_spi_access(nullptr, 3, nullptr, 0), ERR_NULL_PTR);
  EXPECT_TRUE(logged("sx126x_spi_access, ERROR: invalid tx parameter"));
  EXPECT_FAILS_WITH(sx126x_spi_access(cmd, 1, nullptr, 2), ERR_NULL_PTR);
  EXPECT_TRUE(logged("sx126x_spi_access, ERROR: invalid rx parameter"));
  const std::vector<uint8_t> params(256, 0);
  EXPECT_FAILS_WITH(sx126x_write_cmd(0x0E, params.data(), 256), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("param size too big."));

  EXPECT_FAILS_WITH(sx126x_set_buf_base_addr(7, 7), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(sx126x_set_standby(2), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("wrong standby mode: 2."));
  EXPECT_FAILS_WITH(sx126x_set_pkt_type(2), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("wrong pkt type: 2."));
  EXPECT_FAILS_WITH(sx126x_stop_timer_on_preamble(2), ERR_UNSPECIFIED);

  // A bit rate of 0 would divide by zero; 60 bit/s needs more than 24 bits;
  // 0x07 is no receive bandwidth of the chip.
  sx126x_gfsk_mod_params_t gfsk{0, 0, 10, 0};
  EXPECT_FAILS_WITH(sx126x_set_gfsk_mod_params(&gfsk), ERR_UNSPECIFIED);
  gfsk.bit_rate = 60;
  EXPECT_FAILS_WITH(sx126x_set_gfsk_mod_params(&gfsk), ERR_UNSPECIFIED);
  gfsk.bit_rate = 61;
  gfsk.bandwidth = 0x07;
  EXPECT_FAILS_WITH(sx126x_set_gfsk_mod_params(&gfsk), ERR_UNSPECIFIED);
  gfsk.bandwidth = 10;
  gfsk.fdev_hz = 16000000;
  EXPECT_FAILS_WITH(sx126x_set_gfsk_mod_params(&gfsk), ERR_UNSPECIFIED);

  EXPECT_FAILS_WITH(sx126x_get_op_mode(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_get_rssi(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_get_irq_status(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_get_rx_buffer_status(nullptr, rx), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_read_register(0, nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_set_gfsk_mod_params(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_set_lora_pkt_params(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_dio_irq_params(nullptr), ERR_NULL_PTR);
  EXPECT_FAILS_WITH(sx126x_setup_lora(868000000, nullptr), ERR_NULL_PTR);
  EXPECT_TRUE(commands().empty());
  EXPECT_EQ(radio().message_count(), 0u);
}

TEST_F(Sx126x, TransferFailuresCarryTheirDirection) {
  radio().fail_message_at(int64_t(radio().message_total()));
  EXPECT_FAILS_WITH(sx126x_set_rf_freq(868000000), ERR_SPI_WRITE);
  EXPECT_TRUE(logged("sx126x_set_rf_freq ERROR: spi failed, ioctl returned -1"));
  EXPECT_TRUE(logged("BrvDBG-HAL sx126x_set_rf_freq E R R O R"));
  radio().fail_message_at(int64_t(radio().message_total()));
  float rssi = 1;
  EXPECT_FAILS_WITH(sx126x_get_rssi(&rssi), ERR_SPI_READ);
  EXPECT_EQ(rssi, 1.0f);

  int closed = -1;
  sx126x_cfg.spi_fd = &closed;
  EXPECT_FAILS_WITH(sx126x_set_standby(0), ERR_SPI_WRITE);
  EXPECT_TRUE(logged("BrvDBG-HAL sx126x_set_standby E R R O R - Invalid File Descriptor."));
  sx126x_cfg.spi_fd = nullptr;
  EXPECT_FAILS_WITH(sx126x_set_standby(0), ERR_SPI_WRITE);
}

TEST_F(Sx126x, TheBusyLineIsAnInputAndIsWaitedFor) {
  ASSERT_FALSE(gpio().exported(48));
  ASSERT_EQ(sx126x_set_standby(0), 0);
  EXPECT_TRUE(gpio().exported(48));
  EXPECT_EQ(gpio().direction(48), "in");

  // A chip busy for a few reads takes the command once BUSY drops.
  radio().hold_busy_for_reads(5);
  ASSERT_EQ(sx126x_set_rf_freq(915000000), 0);
  EXPECT_EQ(radio().frequency_hz(), 915000000u);
  EXPECT_EQ(radio().ignored_while_busy(), 0);

  // One that stays busy gets nothing: the command fails before the bus.
  radio().hold_busy_for_reads(1000000);
  const size_t before = radio().message_count();
  EXPECT_FAILS_WITH(sx126x_set_rf_freq(868000000), ERR_UNSPECIFIED);
  EXPECT_EQ(radio().message_count(), before);
  EXPECT_EQ(radio().frequency_hz(), 915000000u);
  EXPECT_TRUE(logged("busy pin still high"));
  radio().hold_busy_for_reads(0);
  EXPECT_EQ(sx126x_set_rf_freq(868000000), 0);
}

TEST_F(Sx126x, ABusyLineThatCannotBeExportedFailsTheTransfer) {
  gpio().refuse_export(48);
  EXPECT_FAILS_WITH(sx126x_set_standby(0), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("GPIO export for busy pin failed"));
  EXPECT_EQ(radio().message_count(), 0u);
}

TEST_F(Sx126x, FskSetUpPutsTheChipInContinuousReceive) {
  ASSERT_EQ(sx126x_set_rx(1000), 0);  // not in standby: the set-up asks for it
  radio().clear_commands();
  ASSERT_EQ(sx126x_setup_fsk(868100000, crx::radio::kSx126xRxBw234k3), 0) << syslog_dump();
  const uint32_t f = crx::radio::sx126x_freq_word(868100000);
  // 1 024 000 000 / 1200 = 853 333; 703 Hz is 737 steps.
  EXPECT_EQ(commands(), (std::vector<Bytes>{{0xC0, 0x00},
                                             {0x80, 0x00},
                                             {0x8A, 0x00},
                                             {0x86, uint8_t(f >> 24), uint8_t(f >> 16), uint8_t(f >> 8), uint8_t(f)},
                                             {0x8B, 0x0D, 0x05, 0x55, 0x00, 10, 0x00, 0x02, 0xE1},
                                             {0x8F, 240, 0},
                                             {0x82, 0xFF, 0xFF, 0xFF}}));
  EXPECT_EQ(radio().mode(), 5);

  // Already in standby: no standby command.
  ASSERT_EQ(sx126x_set_standby(0), 0);
  radio().clear_commands();
  ASSERT_EQ(sx126x_setup_fsk(868100000, 12), 0);
  EXPECT_EQ(commands().size(), 6u);

  // The retune: frequency, then a 4800 bit/s modulation without deviation.
  radio().clear_commands();
  ASSERT_EQ(sx126x_change_fsk(869525000, 12), 0);
  ASSERT_EQ(commands().size(), 2u);
  EXPECT_EQ(radio().frequency_hz(), 869525000u - 1);  // the word rounds down
  EXPECT_EQ(commands()[1], (Bytes{0x8B, 0x03, 0x41, 0x55, 0x00, 12, 0x00, 0x00, 0x00}));
}

TEST_F(Sx126x, EachFailingSetUpStepStopsTheSequenceWithItsLine) {
  const char* lines[] = {"failed to get op mode", "failed to set pkt type", "failed to set rf frequency",
                         "failed to set modulation params", "failed to set buffer base addr",
                         "failed to set modulation params"};
  for (int step = 0; step < 6; ++step) {
    ASSERT_EQ(sx126x_set_standby(0), 0);
    radio().clear_commands();
    sandbox().clear_logs();
    radio().fail_message_at(int64_t(radio().message_total()) + step);
    EXPECT_EQ(sx126x_setup_fsk(868100000, 10), -1) << "step " << step;
    radio().fail_message_at(-1);
    EXPECT_TRUE(logged(std::string("BrvDBG-HAL sx126x_setup_fsk E R R O R - ") + lines[step])) << step;
    EXPECT_EQ(commands().size(), size_t(step)) << "nothing after the failing step";
  }
}

TEST_F(Sx126x, LoraSetUpSendsTheRecordWithoutItsLowDataRateFlag) {
  const sx126x_lora_mod_params_t mod{9, 4, 1, 1};
  ASSERT_EQ(sx126x_setup_lora(868300000, &mod), 0) << syslog_dump();
  const auto c = commands();
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[1], (Bytes{0x8A, 0x01}));
  EXPECT_EQ(c[3], (Bytes{0x8B, 9, 4, 1, 0}));
  EXPECT_EQ(c[5], (Bytes{0x82, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(radio().packet_type(), 1);
}

TEST(Sx126xWords, ConversionsAndBandwidthCodes) {
  using namespace crx::radio;
  EXPECT_EQ(sx126x_freq_word(868000000), 0x36400000u);
  EXPECT_EQ(sx126x_bitrate_word(4800), 213333u);
  EXPECT_EQ(sx126x_bitrate_word(0), 0u);
  EXPECT_EQ(*sx126x_timeout_word(1000), 64000u);
  EXPECT_FALSE(sx126x_timeout_word(262001).has_value());
  EXPECT_EQ(sx126x_rx_bw_hz(12), 58600u);
  EXPECT_EQ(sx126x_rx_bw_hz(10), 234300u);
  EXPECT_EQ(sx126x_rx_bw_hz(7), 0u);
  EXPECT_EQ(sx126x_rx_bw_code_nearest(125000), 0x0B);  // 117.3 kHz
  EXPECT_EQ(sx126x_rx_bw_code_nearest(250000), 0x0A);  // 234.3 kHz
  EXPECT_EQ(sx126x_rx_bw_code_nearest(500000), 0x09);  // 467 kHz
  EXPECT_EQ(sx126x_rx_bw_code_nearest(0), 0x1F);
}

}  // namespace

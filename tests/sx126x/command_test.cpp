// The SX126x command layer on the wire: timeouts and answers as the chip
// decodes them, the transfer limits, the BUSY line, and the failing steps
// of a receive set-up.
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

}  // namespace

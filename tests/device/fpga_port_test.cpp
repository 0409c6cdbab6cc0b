// The FPGA port's positioned transfers and the flash-memory command framing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/spi.h"
#include "sim/fpga_port.h"
#include "sim/spidev.h"
#include "sim/testing.h"

namespace {

using ::testing::ElementsAre;

// A port whose registers answer fewer bytes than asked.
class ShortReadPort : public crx::sim::FpgaPortDevice {
 protected:
  ssize_t read_registers(uint8_t, uint8_t, uint16_t, std::span<uint8_t> out) override {
    if (!out.empty()) out[0] = 0x77;
    return out.empty() ? 0 : 1;
  }
};

class FpgaPort : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    install(std::make_shared<crx::sim::FpgaPortDevice>());
  }
  void TearDown() override {
    if (fd_ >= 0) crx::spi_linuxdev_close(fd_);
    SandboxTest::TearDown();
  }
  void install(std::shared_ptr<crx::sim::FpgaPortDevice> port) {
    if (fd_ >= 0) crx::spi_linuxdev_close(fd_);
    fd_ = -1;
    port_ = std::move(port);
    sandbox().add_device("/dev/spifpga32766.1", port_);
    ASSERT_EQ(crx::spi_linuxdev_open("/dev/spifpga32766.1", -1, &fd_), 0);
  }

  crx::sim::FpgaPortDevice& port() { return *port_; }
  int fd() const { return fd_; }

 private:
  std::shared_ptr<crx::sim::FpgaPortDevice> port_;
  int fd_ = -1;
};

TEST_F(FpgaPort, OffsetWordCarriesTargetPageAndAddress) {
  uint8_t byte = 0;
  for (uint8_t target = 0; target <= 8; ++target) {
    for (int8_t page : {int8_t(-1), int8_t(0), int8_t(2)}) {
      port().clear_accesses();
      ASSERT_EQ(crx::spi_linuxdev_read(target, page, fd(), 0x65, &byte, 1, nullptr), 0);
      ASSERT_EQ(crx::spi_linuxdev_write(target, page, fd(), 0x65, &byte, 1, nullptr), 0);
      const auto accesses = port().accesses();
      ASSERT_EQ(accesses.size(), 2u);
      const uint64_t word = uint64_t(target) << 24 | uint64_t(uint8_t(page)) << 16 | 0x65;
      for (const auto& a : accesses) {
        EXPECT_EQ(a.offset, word) << int(target) << " " << int(page);
        EXPECT_EQ(a.target, target);
        EXPECT_EQ(a.page, uint8_t(page));
        EXPECT_EQ(a.address, 0x65);
      }
      EXPECT_FALSE(accesses[0].write);
      EXPECT_TRUE(accesses[1].write);
    }
  }
  port().clear_accesses();
  ASSERT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 20000, &byte, 1, nullptr), 0);
  EXPECT_EQ(port().accesses().at(0).offset, 0x08FF4E20u);
}

TEST_F(FpgaPort, AddressAndLengthLimits) {
  std::vector<uint8_t> data(8193);
  const struct {
    uint8_t target;
    uint16_t address;
    uint32_t length;
    int result;
  } cases[] = {
      {8, 32768, 1, 0},    {8, 32769, 1, -1},  {8, 65535, 1, -1},  {3, 128, 1, 0},
      {3, 129, 1, -1},     {3, 200, 1, -1},    {0, 0, 8192, 0},    {0, 0, 8193, -1},
      {8, 0, 8193, -1},
  };
  for (const auto& c : cases) {
    port().clear_accesses();
    EXPECT_EQ(crx::spi_linuxdev_read(c.target, 0, fd(), c.address, data.data(), c.length, nullptr), c.result)
        << int(c.target) << " " << c.address << " " << c.length;
    EXPECT_EQ(crx::spi_linuxdev_write(c.target, 0, fd(), c.address, data.data(), c.length, nullptr), c.result);
    EXPECT_EQ(port().access_count(), c.result == 0 ? 2u : 0u);
  }
  // A chip sees only seven address bits.
  port().clear_accesses();
  ASSERT_EQ(crx::spi_linuxdev_read(5, 1, fd(), 128, data.data(), 1, nullptr), 0);
  EXPECT_EQ(port().accesses().at(0).address, 0);
  // Nothing to move needs no buffer; something to move does.
  EXPECT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(crx::spi_linuxdev_write(8, -1, fd(), 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 1, nullptr, 1, nullptr), -1);
  EXPECT_EQ(crx::spi_linuxdev_write(8, -1, fd(), 1, nullptr, 1, nullptr), -1);
}

TEST_F(FpgaPort, TransfersMoveTheBytesAndReadsReportByteOneAsStatus) {
  const uint8_t bytes[] = {1, 2, 3};
  uint8_t status = 0xEE;
  ASSERT_EQ(crx::spi_linuxdev_write(1, 2, fd(), 0x10, bytes, 3, &status), 0);
  EXPECT_EQ(status, 0) << "a write's status is 0";
  EXPECT_THAT(port().peek(1, 2, 0x10, 3), ElementsAre(1, 2, 3));

  const uint8_t regs[] = {0x11, 0x22, 0x33, 0x44};
  port().poke(8, 0xFF, 0x200, regs);
  uint8_t data[5] = {0, 0, 0, 0, 0xEE};
  ASSERT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 0x200, data, 4, &status), 0);
  EXPECT_THAT(data, ElementsAre(0x11, 0x22, 0x33, 0x44, 0xEE));
  EXPECT_EQ(status, 0x22);
  EXPECT_THAT(port().accesses().back().data, ElementsAre(0x11, 0x22, 0x33, 0x44));
  // A single byte has no byte 1: the status is 0, not stack contents.
  status = 0xEE;
  ASSERT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 0x200, data, 1, &status), 0);
  EXPECT_EQ(status, 0);
}

TEST_F(FpgaPort, ShortReadGivesZerosRatherThanStaleBytes) {
  install(std::make_shared<ShortReadPort>());
  uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(crx::spi_linuxdev_read(2, 0, fd(), 3, data, 4, nullptr), 0);
  EXPECT_THAT(data, ElementsAre(0x77, 0, 0, 0));
}

TEST_F(FpgaPort, FailedTransferFailsAndLeavesTheCallersBufferAlone) {
  uint8_t data[2] = {0xEE, 0xEE};
  uint8_t status = 0xEE;
  port().fail_next(2);
  EXPECT_EQ(crx::spi_linuxdev_read(8, -1, fd(), 1, data, 2, &status), -1);
  EXPECT_EQ(crx::spi_linuxdev_write(8, -1, fd(), 1, data, 2, &status), -1);
  EXPECT_THAT(data, ElementsAre(0xEE, 0xEE));
  EXPECT_EQ(status, 0xEE);
  // A closed port fails too.
  EXPECT_EQ(crx::spi_linuxdev_read(8, -1, -1, 1, data, 2, nullptr), -1);
}

// ---------------------------------------------------------------- flash commands

// A flash part that answers every byte with its position in the transfer.
class FlashPort : public crx::sim::SpidevDevice {
 public:
  int shortfall = 0;

 protected:
  int message(std::span<crx::sim::SpiTransfer> transfers) override {
    int total = 0;
    for (auto& t : transfers) {
      if (t.rx)
        for (uint32_t i = 0; i < t.len; ++i) t.rx[i] = uint8_t(0x80 + i);
      total += int(t.len);
    }
    return total - shortfall;
  }
};

class FlashCommand : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    flash_ = std::make_shared<FlashPort>();
    sandbox().add_device("/dev/spidev1.0", flash_);
    ASSERT_EQ(crx::spi_linuxdev_open("/dev/spidev1.0", 12, &fd_), 0);
  }
  void TearDown() override {
    crx::spi_linuxdev_close(fd_);
    SandboxTest::TearDown();
  }
  FlashPort& flash() { return *flash_; }
  int fd() const { return fd_; }

  const uint8_t address_[3] = {0x12, 0x34, 0x56};

 private:
  std::shared_ptr<FlashPort> flash_;
  int fd_ = -1;
};

TEST_F(FlashCommand, CommandAddressAndDataGoAsOneTransfer) {
  uint8_t data[4] = {};
  ASSERT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, address_, 3, data, 4), 0);
  const uint8_t written[] = {0xDE, 0xAD};
  ASSERT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, address_, 3, written, 2), 0);
  ASSERT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x06, nullptr, 0, nullptr, 0), 0);
  const auto messages = flash().messages();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& m : messages) {
    ASSERT_EQ(m.size(), 1u);
    EXPECT_FALSE(m[0].cs_change);
  }
  EXPECT_THAT(messages[0][0].tx, ElementsAre(0x03, 0x12, 0x34, 0x56, 0, 0, 0, 0));
  EXPECT_THAT(data, ElementsAre(0x84, 0x85, 0x86, 0x87)) << "the answer after command and address";
  EXPECT_THAT(messages[1][0].tx, ElementsAre(0x02, 0x12, 0x34, 0x56, 0xDE, 0xAD));
  EXPECT_THAT(messages[2][0].tx, ElementsAre(0x06));
}

TEST_F(FlashCommand, RefusesOversizedOrMissingPartsWithoutATransfer) {
  std::vector<uint8_t> data(8192);
  std::vector<uint8_t> long_address(4100);
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, address_, 3, data.data(), 4094), 0);
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, address_, 3, data.data(), 4094), 0);
  EXPECT_EQ(flash().messages().at(0).at(0).len, 4098u);
  flash().clear_messages();
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, address_, 3, data.data(), 4095), -1);
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, address_, 3, data.data(), 4095), -1);
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, address_, 3, nullptr, 1), -1);
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, address_, 3, nullptr, 1), -1);
  // The address bytes must exist and fit the transfer buffer with the data.
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, nullptr, 3, data.data(), 1), -1);
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, long_address.data(), 4100, data.data(), 4094), -1);
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, long_address.data(), 4100, data.data(), 4094), -1);
  EXPECT_EQ(flash().message_count(), 0u);
  // The largest that fits: 1 + 4098 + 4094 = 8193 bytes.
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, long_address.data(), 4098, data.data(), 4094), 0);
}

TEST_F(FlashCommand, FailsWhenTheKernelReportsTooFewBytes) {
  flash().shortfall = 1;
  uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(crx::spi_linuxdev_read_flash_mem(fd(), 0x03, address_, 3, data, 4), -1);
  EXPECT_EQ(crx::spi_linuxdev_write_flash_mem(fd(), 0x02, address_, 3, data, 4), -1);
  EXPECT_THAT(data, ElementsAre(0xEE, 0xEE, 0xEE, 0xEE));
}

}  // namespace

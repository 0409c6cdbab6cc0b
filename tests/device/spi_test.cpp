// spidev ports: port set-up and the framing of register reads and writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <linux/spi/spidev.h>

#include <memory>
#include <algorithm>
#include <vector>

#include "device/spi.h"
#include "sim/spidev.h"
#include "sim/testing.h"

namespace {

using crx::sim::SpiTransfer;

// A port whose chip clocks out a running byte counter on every received
// byte, and that can under-report or fail a chosen message.
class CountingPort : public crx::sim::SpidevDevice {
 public:
  int shortfall = 0;         // bytes left out of every reported count
  int fail_message = -1;     // index of the message that fails, -1 for none
  int messages_seen = 0;
  int fail_setting = -1;     // index of the set-up request that fails, -1 for none
  int settings_seen = 0;
  uint8_t next = 0;          // the next byte the chip clocks out

  int ioctl(crx::sim::Handle& h, unsigned long request, void* arg) override {
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) != 0) {
      if (settings_seen++ == fail_setting) {
        errno = EINVAL;
        return -1;
      }
    }
    return SpidevDevice::ioctl(h, request, arg);
  }

 protected:
  int message(std::span<SpiTransfer> transfers) override {
    if (messages_seen++ == fail_message) {
      errno = EIO;
      return -1;
    }
    int total = 0;
    for (auto& t : transfers) {
      if (t.rx)
        for (uint32_t i = 0; i < t.len; ++i) t.rx[i] = next++;
      total += int(t.len);
    }
    return total - shortfall;
  }
};

class SpiPort : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    port_ = std::make_shared<CountingPort>();
    sandbox().add_device("/dev/spidev32766.1", port_);
    ASSERT_EQ(crx::spi_linuxdev_open("/dev/spidev32766.1", -1, &fd_), 0);
    port_->clear_messages();
  }
  void TearDown() override {
    if (fd_ >= 0) crx::spi_linuxdev_close(fd_);
    SandboxTest::TearDown();
  }

  CountingPort& port() { return *port_; }
  int fd() const { return fd_; }

 private:
  std::shared_ptr<CountingPort> port_;
  int fd_ = -1;
};

// ---------------------------------------------------------------- set-up

class SpiOpen : public crx::sim::SandboxTest {};

TEST_F(SpiOpen, SpeedArgumentBecomesTheClockWithMode0MsbFirstAndDefaultWordSize) {
  const struct {
    int speed;
    uint32_t hz;
  } cases[] = {{-1, 5000000}, {0, 5000000}, {1, 1000000}, {5, 5000000}, {12, 12000000}};
  for (const auto& c : cases) {
    auto port = std::make_shared<crx::sim::SpidevDevice>();
    sandbox().add_device("/dev/spidev32766.5", port);
    int fd = -1;
    ASSERT_EQ(crx::spi_linuxdev_open("/dev/spidev32766.5", c.speed, &fd), 0) << c.speed;
    EXPECT_GE(fd, 0);
    EXPECT_EQ(port->max_speed_hz(), c.hz) << c.speed;
    EXPECT_EQ(port->mode(), 0);
    EXPECT_EQ(port->lsb_first(), 0);
    EXPECT_EQ(port->bits_per_word(), 0);
    EXPECT_EQ(crx::spi_linuxdev_close(fd), 0);
  }
  auto sensor = std::make_shared<crx::sim::SpidevDevice>();
  sandbox().add_device("/dev/spidev32766.2", sensor);
  int fd = -1;
  ASSERT_EQ(crx::spi_tempdev_open(&fd), 0);
  EXPECT_EQ(sensor->mode(), 1);
  EXPECT_EQ(sensor->max_speed_hz(), 1000000u);
  EXPECT_EQ(crx::spi_linuxdev_close(fd), 0);
  EXPECT_EQ(sandbox().open_device_count(), 0);
}

TEST_F(SpiOpen, FailingSetUpStepClosesThePortAndStopsTheLaterSteps) {
  // Requests in order: mode write/read, speed write/read, bit order
  // write/read, word size write/read. Failing either half of a pair ends it.
  for (int failing = 0; failing < 8; ++failing) {
    auto port = std::make_shared<CountingPort>();
    port->fail_setting = failing;
    sandbox().add_device("/dev/spidev32766.4", port);
    int fd = -1;
    EXPECT_EQ(crx::spi_linuxdev_open("/dev/spidev32766.4", -1, &fd), -1) << failing;
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(sandbox().open_device_count(), 0);
    EXPECT_EQ(port->settings_seen, (failing / 2 + 1) * 2) << failing;
  }
}

TEST_F(SpiOpen, RefusesMissingArgumentsAndUnopenablePorts) {
  auto port = std::make_shared<crx::sim::SpidevDevice>();
  sandbox().add_device("/dev/spidev32766.6", port);
  int fd = -1;
  EXPECT_EQ(crx::spi_linuxdev_open(nullptr, 1, &fd), -1);
  EXPECT_EQ(crx::spi_linuxdev_open("/dev/spidev32766.6", 1, nullptr), -1);
  EXPECT_EQ(crx::spi_linuxdev_open("/dev/spidev9.9", 1, &fd), -1);
  port->fail_next_open(1);
  EXPECT_EQ(crx::spi_linuxdev_open("/dev/spidev32766.6", 1, &fd), -1);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(sandbox().open_device_count(), 0);
  EXPECT_EQ(crx::spi_tempdev_open(&fd), -1);  // no temperature sensor here
  EXPECT_EQ(crx::spi_linuxdev_close(-1), -1);
}

// ---------------------------------------------------------------- reads and writes

std::vector<uint8_t> pattern(uint32_t length) {
  std::vector<uint8_t> data(length);
  for (uint32_t i = 0; i < length; ++i) data[i] = uint8_t(i * 7 + 3);
  return data;
}

TEST_F(SpiPort, UpTo8192BytesIsOneTransferWithTheCommandFirst) {
  // A read clears bit 7 of the command and holds chip select after it; a
  // write sets it and sends the caller's bytes behind it.
  for (bool write : {false, true}) {
    for (uint32_t length : {0u, 1u, 8192u}) {
      SCOPED_TRACE(std::string(write ? "write " : "read ") + std::to_string(length));
      port().clear_messages();
      port().next = 0x10;
      std::vector<uint8_t> data = write ? pattern(length) : std::vector<uint8_t>(length + 1, 0xEE);
      uint8_t status = 0xEE;
      const int r = write ? crx::spi_iodev_write(fd(), 0x21, data.data(), length, &status)
                          : crx::spi_iodev_read(fd(), 0xC5, data.data(), length, &status);
      ASSERT_EQ(r, 0);
      const auto messages = port().messages();
      ASSERT_EQ(messages.size(), 1u);
      ASSERT_EQ(messages[0].size(), 1u);
      const auto& t = messages[0][0];
      EXPECT_EQ(t.len, length + 1);
      EXPECT_EQ(t.cs_change, !write);
      EXPECT_TRUE(t.has_tx && t.has_rx);
      EXPECT_EQ(t.tx[0], write ? 0xA1 : 0x45);
      if (write) {
        EXPECT_TRUE(std::equal(data.begin(), data.end(), t.tx.begin() + 1));
      } else {
        EXPECT_EQ(std::count(t.tx.begin() + 1, t.tx.end(), 0), ptrdiff_t(length));
        // The byte clocked in with the command is dropped; data follow it.
        for (uint32_t i = 0; i < length; ++i) ASSERT_EQ(data[i], uint8_t(0x11 + i)) << i;
        EXPECT_EQ(data[length], 0xEE) << "nothing written past the length";
      }
      EXPECT_EQ(status, length ? 0x11 : 0) << "status is the byte clocked in with the first data byte, or 0";
    }
  }
}

TEST_F(SpiPort, Beyond8192BytesGoesIn1024ByteChunksEachBehindTheCommand) {
  const struct {
    uint32_t length;
    size_t chunks;
    uint32_t last;
  } cases[] = {{8193, 9, 1}, {20000, 20, 544}};
  for (bool write : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(write ? "write " : "read ") + std::to_string(c.length));
      port().clear_messages();
      port().next = 0;
      std::vector<uint8_t> data = write ? pattern(c.length) : std::vector<uint8_t>(c.length + 1, 0xEE);
      uint8_t status = 0x5A;
      const int r = write ? crx::spi_iodev_write(fd(), 0x2B, data.data(), c.length, &status)
                          : crx::spi_iodev_read(fd(), 0x80 | 0x2B, data.data(), c.length, &status);
      ASSERT_EQ(r, 0);
      const auto messages = port().messages();
      ASSERT_EQ(messages.size(), c.chunks);
      std::vector<uint8_t> sent;
      for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_EQ(messages[i].size(), 2u);
        const auto& command = messages[i][0];
        const auto& chunk = messages[i][1];
        EXPECT_EQ(command.len, 1u);
        EXPECT_EQ(command.tx.at(0), write ? 0xAB : 0x2B);
        EXPECT_FALSE(command.cs_change || chunk.cs_change);
        EXPECT_EQ(chunk.has_tx, write);
        EXPECT_EQ(chunk.has_rx, !write);
        EXPECT_EQ(chunk.len, i + 1 == messages.size() ? c.last : 1024u);
        sent.insert(sent.end(), chunk.tx.begin(), chunk.tx.end());
      }
      if (write) {
        EXPECT_EQ(sent, data) << "from the caller's data";
      } else {
        // Each chunk landed at its own place: the counter runs on unbroken.
        for (uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(data[i], uint8_t(i)) << i;
        EXPECT_EQ(data[c.length], 0xEE);
      }
      EXPECT_EQ(status, 0x5A) << "bulk transfers leave the status alone";
    }
  }
}

TEST_F(SpiPort, NullBufferIsRefusedUnlessNothingIsMoved) {
  EXPECT_EQ(crx::spi_iodev_read(fd(), 1, nullptr, 1, nullptr), -1);
  EXPECT_EQ(crx::spi_iodev_read(fd(), 1, nullptr, 9000, nullptr), -1);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 1, nullptr, 1, nullptr), -1);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 1, nullptr, 9000, nullptr), -1);
  EXPECT_EQ(port().message_count(), 0u);
  EXPECT_EQ(crx::spi_iodev_read(fd(), 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 1, nullptr, 0, nullptr), 0);
  EXPECT_EQ(port().message_count(), 2u);
}

TEST_F(SpiPort, WriteAcceptsAddressesUpTo128) {
  uint8_t byte = 1;
  EXPECT_EQ(crx::spi_iodev_write(fd(), 128, &byte, 1, nullptr), 0);
  ASSERT_EQ(port().message_count(), 1u);
  EXPECT_EQ(port().messages()[0][0].tx[0], 0x80);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 129, &byte, 1, nullptr), -1);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 255, &byte, 1, nullptr), -1);
  EXPECT_EQ(port().message_count(), 1u) << "refused writes send nothing";
}

TEST_F(SpiPort, TransfersFailWhenTheKernelReportsTooFewBytesOrFails) {
  std::vector<uint8_t> data(20000, 0xEE);
  uint8_t status = 0xEE;
  port().shortfall = 1;
  for (uint32_t length : {0u, 4u, 8192u}) {
    EXPECT_EQ(crx::spi_iodev_read(fd(), 1, data.data(), length, &status), -1) << length;
    EXPECT_EQ(crx::spi_iodev_write(fd(), 1, data.data(), length, &status), -1) << length;
  }
  EXPECT_EQ(status, 0xEE);
  EXPECT_EQ(std::count(data.begin(), data.end(), 0xEE), 20000) << "a failed read copies nothing out";
  for (uint32_t length : {8193u, 20000u}) {
    EXPECT_EQ(crx::spi_iodev_read(fd(), 1, data.data(), length, &status), -1) << length;
    EXPECT_EQ(crx::spi_iodev_write(fd(), 1, data.data(), length, &status), -1) << length;
  }

  port().shortfall = 0;
  port().fail_next(2);
  EXPECT_EQ(crx::spi_iodev_read(fd(), 1, data.data(), 8, nullptr), -1);
  EXPECT_EQ(crx::spi_iodev_write(fd(), 1, data.data(), 8, nullptr), -1);
  port().clear_messages();
  port().fail_message = port().messages_seen + 2;  // the third chunk of the next bulk read
  EXPECT_EQ(crx::spi_iodev_read(fd(), 1, data.data(), 20000, nullptr), -1);
  EXPECT_EQ(port().message_count(), 3u) << "no chunk after the failed one";
}

}  // namespace

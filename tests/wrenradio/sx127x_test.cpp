// The SX127x side radio: identification, the FSK set-up as the chip sees
// it, the receive-continuous check, refusals before any traffic,
// and the guard every access takes against other processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>
#include <utility>
#include <vector>

#include "platform/named_sem.h"
#include "platform/os.h"
#include "radio_fixture.h"

namespace {

using crx::sim::Sx127xRadio;
using Writes = std::vector<std::pair<uint8_t, uint8_t>>;

class Sx127x : public crx::test::WrenRadioTest {
 protected:
  void SetUp() override {
    WrenRadioTest::SetUp();
    open();
    board().side_radio->clear_messages();
  }
  void TearDown() override {
    sx127x_deinit();
    WrenRadioTest::TearDown();
  }
  // The host file behind the sandbox's guard semaphore.
  static std::string guard_file() {
    return "/dev/shm/sem." + crx::os::sem_name("/sx127x_in_use").substr(1);
  }
};

// The whole set-up at 868.1 MHz (Frf 0xD90666), 250 kHz (index 20) and an
// RSSI offset of -25 dB (RSSI config 0x3D).
Writes fsk_setup(uint8_t hop, std::array<std::pair<uint8_t, uint8_t>, 2> agc,
                 std::array<std::pair<uint8_t, uint8_t>, 2> tail) {
  Writes w = {{0x01, 0x00}, {0x01, 0x00}, {0x01, 0x01}, {hop, 0x80}, {0x06, 0xD9}, {0x07, 0x06}, {0x08, 0x66},
              {0x0C, 0x23}, agc[0],       agc[1],       {0x02, 0x7D}, {0x03, 0x00}, {0x04, 0x02}, {0x05, 0xE1},
              {0x0D, 0x00}, {0x0E, 0x3D}, {0x12, 0x01}, {0x23, 0x02}, tail[0],      tail[1],      {0x01, 0x05}};
  return w;
}

TEST_F(Sx127x, Sx1272IsIdentifiedAndSetUpForContinuousFskReception) {
  ASSERT_EQ(sx127x_setup(868100000, 2, 20, -25), 0) << syslog_dump();
  EXPECT_EQ(sx127x_cfg.radio_type, 1);
  EXPECT_EQ(sx127x_cfg.rx_bw_index, 20u);
  EXPECT_EQ(side().register_writes(), fsk_setup(0x4B, {{{0x68, 0x07}, {0x69, 0x60}}}, {{{0x5C, 0x10}, {0x47, 0x01}}}));
  EXPECT_TRUE(side().rx_continuous());
  EXPECT_EQ(side().frequency_hz(), 868099975u);  // Frf 0xD90666 in 61.035 Hz steps
  EXPECT_TRUE(logged("BrvDBG: sx127x_setup - sx127x radio has been found (type:1, version:0x22)"));
  EXPECT_TRUE(logged("BrvDBG: setup_sx1272_FSK - Successfully configured SX1272"));
  EXPECT_FALSE(logged("version register - read"));
}

TEST_F(Sx127x, Sx1276IsIdentifiedAfterOneMismatch) {
  side().set_chip(Sx127xRadio::Chip::kSx1276);
  ASSERT_EQ(sx127x_setup(868100000, 2, 20, -25), 0) << syslog_dump();
  EXPECT_EQ(sx127x_cfg.radio_type, 2);
  EXPECT_EQ(side().register_writes(), fsk_setup(0x44, {{{0x57, 0x07}, {0x58, 0x60}}}, {{{0x70, 0x10}, {0x43, 0x01}}}));
  EXPECT_TRUE(logged("BrvDBG: sx127x_setup - sx127x version register - read:0x12, expected:0x22"));
  EXPECT_TRUE(logged("BrvDBG: sx127x_setup - sx127x radio has been found (type:2, version:0x12)"));
  EXPECT_FALSE(logged("Successfully configured"));
}

TEST_F(Sx127x, UnknownVersionIsNotARadio) {
  side().set_version(0x00);
  EXPECT_FAILS_WITH(sx127x_setup(868100000, 2, 20, -25), ERR_UNSPECIFIED);
  EXPECT_EQ(sx127x_cfg.radio_type, 0);
  EXPECT_TRUE(side().register_writes().empty());
  EXPECT_TRUE(logged("BrvDBG: sx127x_setup - sx127x version register - read:0x00, expected:0x12"));
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_setup E R R O R - SX127x radio type not found."));

  board().side_radio->fail_next(1);
  EXPECT_EQ(sx127x_setup(868100000, 2, 20, -25), -1);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_setup E R R O R - Failed to read sx127x version register."));
}

TEST_F(Sx127x, RadioThatDoesNotReachReceiveContinuousFails) {
  side().set_rx_entry(Sx127xRadio::RxEntry::kModeReadyOnly);  // IRQ flags 0x80
  EXPECT_FAILS_WITH(sx127x_setup(868100000, 2, 20, -25), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx1272_FSK E R R O R - SX1272 failed to enter RX continuous mode."));
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_setup E R R O R - failed to setup SX127x."));

  side().set_chip(Sx127xRadio::Chip::kSx1276);
  side().set_rx_entry(Sx127xRadio::RxEntry::kNever);
  EXPECT_FAILS_WITH(sx127x_setup(868100000, 2, 20, -25), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx1276_FSK E R R O R - SX1276 failed to enter RX continuous mode."));

  side().set_rx_entry(Sx127xRadio::RxEntry::kReady);  // 0xC0
  EXPECT_EQ(sx127x_setup(868100000, 2, 20, -25), 0);
}

TEST_F(Sx127x, FailedWriteDuringTheSetUpIsReportedAfterTheSequence) {
  ASSERT_EQ(sx127x_setup(868100000, 2, 20, -25), 0);  // identification done
  side().clear_register_writes();
  board().side_radio->fail_next(1);
  EXPECT_FAILS_WITH(setup_sx1272_FSK(868100000, 20, -25), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL setup_sx1272_FSK E R R O R - Failed to configure SX1272."));
  EXPECT_EQ(side().register_writes().size(), 19u) << "the rest of the sequence still went out";
  EXPECT_FALSE(side().rx_continuous());
}

TEST_F(Sx127x, RssiOffsetKeepsOnlyItsLowFiveBits) {
  // -25 dB does not fit the 5-bit field: it goes out as +7 dB (0x3D), as
  // units in the field have always had it.
  for (const auto& [offset, expected] : std::vector<std::pair<int8_t, uint8_t>>{
           {-25, 0x3D}, {0, 0x05}, {-1, 0xFD}, {15, 0x7D}, {-16, 0x85}, {16, 0x85}}) {
    SCOPED_TRACE(int(offset));
    side().clear_register_writes();
    ASSERT_EQ(setup_sx1272_FSK(868100000, 20, offset), 0);
    EXPECT_EQ(side().peek(0x0E), expected);
  }
}

TEST_F(Sx127x, RefusedArgumentsCauseNoTraffic) {
  EXPECT_FAILS_WITH(sx127x_setup(868100000, 1, 20, -25), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_setup E R R O R - modulation not supported for SX127x."));
  EXPECT_FAILS_WITH(sx127x_setup(868100000, 2, 21, -25), ERR_UNSPECIFIED);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_setup E R R O R - RX bandwidth not supported by SX127x."));
  EXPECT_FAILS_WITH(sx127x_change_FSK(868100000, 21), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(setup_sx1276_FSK(868100000, 0xFFFFFFFF, -25), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(change_sx1272_FSK(868100000, 22), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(sx127x_reg_r(0x42, nullptr), ERR_NULL_PTR);
  EXPECT_EQ(board().side_radio->message_count(), 0u);
  EXPECT_FALSE(sandbox().exists(guard_file())) << "not even the guard was taken";
}

TEST_F(Sx127x, ClosedPortOrMissingHookIsRefused) {
  ASSERT_EQ(crx_reg_close(), 0);
  uint8_t value = 0;
  EXPECT_FAILS_WITH(sx127x_reg_w(0x01, 0), ERR_SPI_WRITE);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_reg_w E R R O R - Invalid File Descriptor."));
  EXPECT_FAILS_WITH(sx127x_reg_r(0x42, &value), ERR_SPI_READ);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_reg_r E R R O R - Invalid File Descriptor."));

  open();
  const auto hook = sx127x_cfg.reg_read;
  sx127x_cfg.reg_read = nullptr;
  EXPECT_FAILS_WITH(sx127x_reg_r(0x42, &value), ERR_SPI_READ);
  EXPECT_TRUE(logged("BrvDBG-HAL sx127x_reg_r E R R O R - Null function pointer."));
  sx127x_cfg.reg_read = hook;
  EXPECT_EQ(board().side_radio->message_count(), 0u);
}

TEST_F(Sx127x, GuardIsCreatedForEveryoneWithoutTouchingTheUmask) {
  const mode_t before = ::umask(022);
  uint8_t value = 0;
  ASSERT_EQ(sx127x_reg_r(0x42, &value), 0);
  EXPECT_EQ(value, 0x22);
  EXPECT_EQ(::umask(before), 022) << "the process umask is left alone";
  struct stat st {};
  ASSERT_EQ(::stat(guard_file().c_str(), &st), 0) << guard_file();
  EXPECT_EQ(st.st_mode & 0777, 0777u);

  // Posted back after every access, also a failed one.
  board().side_radio->fail_next(1);
  EXPECT_FAILS_WITH(sx127x_reg_r(0x42, &value), ERR_SPI_READ);
  sem_t* guard = crx::os::sem_open("/sx127x_in_use", 0);
  ASSERT_NE(guard, SEM_FAILED);
  int count = -1;
  crx::os::sem_getvalue(guard, &count);
  EXPECT_EQ(count, 1);
  crx::os::sem_close(guard);

  // Released by the de-initialisation: closed and unlinked.
  EXPECT_EQ(sx127x_deinit(), 0);
  EXPECT_NE(::access(guard_file().c_str(), F_OK), 0);
  EXPECT_EQ(sx127x_reg_r(0x42, &value), 0) << "created again on the next access";
}

// A process holding "/sx127x_in_use" keeps every access of this one waiting
// until it lets go.
TEST_F(Sx127x, AnotherProcessHoldingTheGuardDelaysEveryAccess) {
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    int to_child[2], from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      sem_t* guard = crx::os::sem_open_shared("/sx127x_in_use", 0777, 1);
      char c = 0;
      if (guard == SEM_FAILED || crx::os::sem_wait(guard) != 0) ::_exit(2);
      c = 'h';
      if (::write(from_child[1], &c, 1) != 1) ::_exit(3);
      // The parent is about to access; hold on a little, then say so and let go.
      if (::read(to_child[0], &c, 1) != 1) ::_exit(4);
      ::usleep(200000);
      c = 'r';
      if (::write(from_child[1], &c, 1) != 1) ::_exit(5);
      ::sem_post(guard);
      ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(from_child[0], &c, 1), 1);
    ASSERT_EQ(c, 'h');
    const size_t messages = board().side_radio->message_count();
    ASSERT_EQ(::write(to_child[1], "g", 1), 1);
    uint8_t value = 0;
    EXPECT_EQ(write ? sx127x_reg_w(0x0C, 0x23) : sx127x_reg_r(0x42, &value), 0);
    // The child's release came first: its byte is already waiting.
    ::fcntl(from_child[0], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(::read(from_child[0], &c, 1), 1) << "the access did not wait for the guard";
    EXPECT_EQ(c, 'r');
    EXPECT_EQ(board().side_radio->message_count(), messages + 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) ::close(fd);
  }
}

// Threads of one process share the guard's handle: one releasing it while
// others access the radio must neither lose an access nor use a closed
// semaphore.
TEST_F(Sx127x, ThreadsAccessWhileAnotherReleasesTheGuard) {
  constexpr int kAccesses = 200;
  std::vector<std::thread> threads;
  std::array<int, 2> ok{};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&ok, t] {
      for (int i = 0; i < kAccesses; ++i) {
        uint8_t value = 0;
        ok[t] += sx127x_reg_r(0x42, &value) == 0 && value == 0x22;
      }
    });
  }
  threads.emplace_back([] {
    for (int i = 0; i < 50; ++i) sx127x_deinit();
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok, (std::array<int, 2>{kAccesses, kAccesses}));
  EXPECT_EQ(board().side_radio->message_count(), size_t{2 * kAccesses});
}

TEST_F(Sx127x, DirectAccessorsUseAPortOfTheirOwnWithoutTheGuard) {
  const int open_before = sandbox().open_device_count();
  uint8_t value = 0;
  ASSERT_EQ(crx_sx127x_reg_r(0x42, &value), 0);
  EXPECT_EQ(value, 0x22);
  ASSERT_EQ(crx_sx127x_reg_w(0x0C, 0x21), 0);
  EXPECT_EQ(side().peek(0x0C), 0x21);
  EXPECT_EQ(sandbox().open_device_count(), open_before + 1);
  EXPECT_FALSE(sandbox().exists(guard_file()));
  EXPECT_NE(::access(guard_file().c_str(), F_OK), 0);
}

using SideRadioUnopened = crx::test::WrenRadioTest;

TEST_F(SideRadioUnopened, DirectAccessorThatCannotOpenItsPortSaysSoOnStandardOutput) {
  board().side_radio->fail_next_open(1);
  uint8_t value = 0;
  EXPECT_EQ(crx_sx127x_reg_r(0x42, &value), -1);
  EXPECT_TRUE(sandbox().console_contains("BrvDBG-HAL crx_sx127x_reg_r E R R O R - open SPI SYNC BLOCK"));
  EXPECT_EQ(crx_sx127x_reg_r(0x42, &value), 0) << "opened on the next call";
}

}  // namespace

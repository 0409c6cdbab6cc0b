// UBX framing and the exchanges with a simulated u-blox receiver.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <vector>

#include "crx.h"
#include "gps/gps_internal.h"
#include "platform/os.h"
#include "sim/testing.h"
#include "sim/ublox.h"
#include "tests/support/checks.h"

namespace {

using crx::gps::UbxMessage;
using crx::sim::UbloxReceiver;
using Bytes = std::vector<uint8_t>;

Bytes frame_of(uint8_t c, uint8_t id, const Bytes& payload) { return UbloxReceiver::frame(c, id, payload); }

TEST(UbxFrame, ChecksumAndFrameKnownAnswers) {
  UbxMessage poll{};
  poll.msg_class = 0x06;
  poll.msg_id = 0x24;
  uint8_t out[16] = {};
  ASSERT_EQ(crx::gps::ubx_build_frame(poll, out), 8u);
  EXPECT_EQ(Bytes(out, out + 8), (Bytes{0xB5, 0x62, 0x06, 0x24, 0x00, 0x00, 0x2A, 0x84}));
  // ACK-ACK of CFG-PRT as a module sends it.
  EXPECT_EQ(frame_of(0x05, 0x01, {0x06, 0x00}), (Bytes{0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x00, 0x0E, 0x37}));
  poll.length = 51;  // does not fit the record
  EXPECT_EQ(crx::gps::ubx_build_frame(poll, out), 0u);
}

TEST(UbxFrame, FindsFramesInNoiseAndRefusesBrokenOnes) {
  Bytes buf{'$', 'G', 'P', 0xB5, 0x01};
  const Bytes ack = frame_of(0x05, 0x01, {0x06, 0x24});
  buf.insert(buf.end(), ack.begin(), ack.end());
  buf.insert(buf.end(), {0xB5, 0x62, 0x06, 0x24, 0x24, 0x00, 0x01, 0x02, 0x03});  // half a frame
  UbxMessage m{};
  uint16_t consumed = 0;
  ASSERT_EQ(crx::gps::get_ubx_frame(buf.data(), uint16_t(buf.size()), &consumed, &m), 1);
  EXPECT_EQ(consumed, 5 + ack.size());
  EXPECT_EQ(m.msg_class, 0x05);
  EXPECT_EQ(m.length, 2);
  EXPECT_EQ(m.payload[1], 0x24);
  // The rest holds a frame that runs past the buffer: skipped, not taken.
  EXPECT_EQ(crx::gps::get_ubx_frame(buf.data() + consumed, uint16_t(buf.size() - consumed), &consumed, &m), 0);
  EXPECT_EQ(consumed, 2);
  // A bad checksum.
  Bytes bad = ack;
  bad.back() ^= 1;
  EXPECT_EQ(crx::gps::get_ubx_frame(bad.data(), uint16_t(bad.size()), &consumed, &m), 0);
  // A good frame too long for the record is refused whole.
  const Bytes big = frame_of(0x01, 0x35, Bytes(60, 0xAA));
  m = UbxMessage{};
  EXPECT_EQ(crx::gps::get_ubx_frame(big.data(), uint16_t(big.size()), &consumed, &m), 0);
  EXPECT_EQ(consumed, big.size());
  EXPECT_EQ(m.length, 0);
  // Shorter than any frame.
  EXPECT_EQ(crx::gps::get_ubx_frame(ack.data(), 7, &consumed, &m), 0);
  EXPECT_EQ(consumed, 7);
}

class Ubx : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox().set_fast_clock(true);
    crx_init_gps_cfg(&cfg_);
    gps_.attach(cfg_);
    ASSERT_EQ(crx_conf_gps(&cfg_), 0);
  }
  // The commands of one class and id the receiver got, in order.
  std::vector<Bytes> sent(uint8_t c, uint8_t id) {
    std::vector<Bytes> out;
    for (const auto& cmd : gps_.commands())
      if (cmd.msg_class == c && cmd.msg_id == id) out.push_back(cmd.payload);
    return out;
  }
  // Microseconds the library waited.
  int64_t waited_us() {
    int64_t total = 0;
    for (auto ns : sandbox().sleeps()) total += ns;
    return total / 1000;
  }
  crx_gps_cfg_t cfg_{};
  UbloxReceiver gps_;
};

TEST_F(Ubx, ConfigurationRecordIsCheckedAndCopied) {
  crx_gps_cfg_t cfg{};
  EXPECT_EQ(crx_init_gps_cfg(&cfg), &cfg);
  EXPECT_FAILS_WITH(crx_conf_gps(&cfg), ERR_UNSPECIFIED);
  cfg.read = cfg_.read;
  EXPECT_FAILS_WITH(crx_conf_gps(&cfg), ERR_UNSPECIFIED);
  EXPECT_FAILS_WITH(crx_conf_gps(nullptr), ERR_UNSPECIFIED);
}

TEST_F(Ubx, InitConfiguresAModuleThatStillStreamsNmea) {
  ASSERT_EQ(crx_init_gps(), 0) << syslog_dump();
  // Port 0: UBX in and out, NMEA neither; the rest of the answer kept.
  const auto prt = sent(0x06, 0x00);
  ASSERT_EQ(prt.size(), 2u);
  EXPECT_EQ(prt[0], Bytes{0});
  Bytes want = gps_.config(0x00, 0);
  EXPECT_EQ(want[12], 0x05);
  EXPECT_EQ(want[14], 0x01);
  EXPECT_EQ(want[4], 0x84);
  // SBAS switched off, as the step's messages say.
  EXPECT_EQ(sent(0x06, 0x16), (std::vector<Bytes>{Bytes(8, 0)}));
  EXPECT_TRUE(sandbox().syslog_contains("GPS: Disable SBAS"));
  // Stationary platform, 3D fixes only.
  const Bytes nav5 = gps_.config(0x24);
  EXPECT_EQ(nav5[2], 2);
  EXPECT_EQ(nav5[3], 2);
  EXPECT_TRUE(sandbox().syslog_contains(
      "GPS: Set NAV5 parameters: Dynamic platform model: 2, Pos fixing mode: 2, Fixed altitude: 0"));
  // NMEA information messages: warnings off on port 1 only.
  const Bytes inf = gps_.config(0x02, 1);
  EXPECT_EQ(inf[5], 0x05);
  EXPECT_EQ(inf[4], 0x07);
  EXPECT_EQ(gps_.bad_frames(), 0);
}

TEST_F(Ubx, InitWithFixedAltitudeAndFramesSplitAcrossReads) {
  cfg_.fix_2d = 1;
  cfg_.fixed_alt = 0x1234;
  ASSERT_EQ(crx_conf_gps(&cfg_), 0);
  gps_.set_chunk(5);
  ASSERT_EQ(crx_init_gps(), 0) << syslog_dump();
  const Bytes nav5 = gps_.config(0x24);
  EXPECT_EQ(Bytes(nav5.begin() + 2, nav5.begin() + 8), (Bytes{2, 1, 0x34, 0x12, 0, 0}));
}

TEST_F(Ubx, EachStepFailsWithItsCodeAndMessage) {
  struct Case {
    uint8_t id;
    const char* text;
  } cases[] = {{0x00, "ERROR: GPS I/O port configuration failed"},
               {0x16, "ERROR: Failed to disable GPS SBAS "},
               {0x24, "ERROR: Failed to set GPS NAV5 parameters"},
               {0x02, "GPS: Information message configuration"}};
  for (const auto& c : cases) {
    UbloxReceiver gps;
    gps.attach(cfg_);
    ASSERT_EQ(crx_conf_gps(&cfg_), 0);
    gps.nak(0x06, c.id);
    sandbox().clear_logs();
    EXPECT_FAILS_WITH(crx_init_gps(), ERR_UBX_ACK);
    EXPECT_TRUE(sandbox().syslog_contains(c.text)) << c.text << "\n" << syslog_dump();
    // Nothing is sent after the failing step.
    EXPECT_EQ(gps.commands().back().msg_id, c.id);
  }
}

TEST_F(Ubx, ModuleThatDoesNotAnswerProperlyFailsWithinTheTimeOuts) {
  for (auto answer : {UbloxReceiver::Answer::kSilent, UbloxReceiver::Answer::kGarbage,
                      UbloxReceiver::Answer::kBadChecksum}) {
    gps_.set_answer(answer);
    sandbox().clear_sleeps();
    EXPECT_FAILS_WITH(save_config(), ERR_UBX_ACK);
    // Two passes of at most 10 ms of 100 us waits each.
    EXPECT_LE(waited_us(), 20000);
    EXPECT_GE(waited_us(), 100);
  }
  gps_.set_answer(UbloxReceiver::Answer::kNormal);
  gps_.fail_io(true);
  EXPECT_FAILS_WITH(save_config(), ERR_UBX_SEND);
  EXPECT_TRUE(sandbox().syslog_contains("ERROR: failed to write to I2C device "));
}

TEST_F(Ubx, AcknowledgementIsMatchedByClassAndId) {
  // A stale acknowledgement of another command and an answer of another
  // class do not count; a NAK beside an ACK wins.
  gps_.set_answer(UbloxReceiver::Answer::kSilent);
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x24}));
  gps_.push_output(frame_of(0x06, 0x09, {}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x09, crx::gps::kWaitAck, nullptr), crx::gps::kUbxNothing);
  gps_.push_output(frame_of(0x05, 0x00, {0x06, 0x09}));
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x09}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x09, crx::gps::kWaitAck, nullptr), crx::gps::kUbxNak);
  // Mode 0 wants the message as well as the acknowledgement.
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x31}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x31, crx::gps::kWaitBoth, nullptr), crx::gps::kUbxNothing);
  UbxMessage m{};
  gps_.push_output(frame_of(0x06, 0x31, {1, 2, 3}));
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x31}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x31, crx::gps::kWaitBoth, &m), crx::gps::kUbxOk);
  EXPECT_EQ(m.length, 3);
  EXPECT_EQ(m.payload[2], 3);
  // A frame too long for the record is skipped whole, even when its bytes
  // come over several reads and hold a frame-like pattern.
  gps_.set_chunk(7);
  Bytes inner = frame_of(0x05, 0x00, {0x06, 0x08});
  inner.resize(70, 0);
  gps_.push_output(frame_of(0x0A, 0x09, inner));
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x08}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x08, crx::gps::kWaitAck, nullptr), crx::gps::kUbxOk);
  // Noise whose length field no message has does not hide what follows.
  gps_.push_output({0xB5, 0x62, 0x01, 0x07, 0xFF, 0xFF, 0x00});
  gps_.push_output(frame_of(0x05, 0x01, {0x06, 0x01}));
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x01, crx::gps::kWaitAck, nullptr), crx::gps::kUbxOk);
  gps_.fail_io(true);
  EXPECT_EQ(crx::gps::get_ubx_response(0x06, 0x08, crx::gps::kWaitAck, nullptr), crx::gps::kUbxReadFailed);
}

TEST_F(Ubx, CommandPayloads) {
  gps_.set_nmea_output(false);
  ASSERT_EQ(set_time_pulse(0x0102), 0);
  const auto tp5 = sent(0x06, 0x31);
  ASSERT_EQ(tp5.size(), 2u);
  EXPECT_TRUE(tp5[0].empty());
  EXPECT_EQ(Bytes(tp5[1].begin() + 4, tp5[1].begin() + 12), (Bytes{50, 0, 0x02, 0x01, 0x40, 0x42, 0x0F, 0}));

  ASSERT_EQ(set_conf_msg_param(1, 0xF0, 0x04, 0), 0);
  const auto msg = sent(0x06, 0x01);
  EXPECT_EQ(msg[0], (Bytes{0xF0, 0x04}));
  EXPECT_EQ(msg[1], (Bytes{0xF0, 0x04, 1, 0, 1, 1, 1, 1}));
  EXPECT_FAILS_WITH(set_conf_msg_param(6, 0xF0, 0x04, 0), ERR_UNSPECIFIED);

  ASSERT_EQ(save_config(), 0);
  ASSERT_EQ(factory_reset(), 0);
  const auto cfg = sent(0x06, 0x09);
  ASSERT_EQ(cfg.size(), 3u);
  EXPECT_EQ(cfg[0], (Bytes{0, 0, 0, 0, 0x1F, 0x06, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cfg[1], (Bytes{0x1F, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(cfg[2], (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0x06, 0, 0}));

  gps_.set_position(-455020570, -735083330, 0x12345);
  crx_coord_t pos{};
  ASSERT_EQ(get_geodetic_pos(&pos), 0);
  EXPECT_EQ(pos.lat, -455020570.0);
  EXPECT_EQ(pos.lon, -735083330.0);
  EXPECT_EQ(pos.alt, 0x2345);
}

TEST_F(Ubx, FactoryResetStopsWhenTheClearIsRefused) {
  gps_.nak(0x06, 0x09);
  EXPECT_FAILS_WITH(factory_reset(), ERR_UBX_ACK);
  EXPECT_EQ(sent(0x06, 0x09).size(), 1u);
}

TEST_F(Ubx, SerialPortCommands) {
  const int fd = crx::os::open("/tmp/ttyGPS", O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(configure_gps(fd, 1000), 0);
  ASSERT_EQ(configure_gps(fd, 200), 0);
  EXPECT_EQ(sandbox().console_lines().back(), "Enable PUBX, report time: 200\n");
  sandbox().clear_logs();
  ASSERT_EQ(reset_gps(fd), 0);
  // Standard output exactly as printed: the two words of the reset on one line.
  std::string printed;
  for (const auto& l : sandbox().console_lines()) printed += l;
  EXPECT_EQ(printed, "Resetting GPS unit...Done!");
  crx::os::close(fd);
  Bytes want;
  for (int pass = 0; pass < 2; ++pass)
    for (uint8_t id : {1, 2, 3, 5}) {
      const Bytes f = frame_of(0x06, 0x01, {0xF0, id, 0});
      want.insert(want.end(), f.begin(), f.end());
    }
  for (const Bytes& f : {frame_of(0x06, 0x08, {200, 0, 1, 0, 0, 0}), frame_of(0x06, 0x04, {0, 0, 1, 0})})
    want.insert(want.end(), f.begin(), f.end());
  const std::string file = sandbox().read_file("/tmp/ttyGPS");
  EXPECT_EQ(Bytes(file.begin(), file.end()), want);
  EXPECT_EQ(frame_of(0x06, 0x01, {0xF0, 1, 0}).size(), 11u);

  EXPECT_EQ(configure_gps(-1, 1000), -1);
  EXPECT_TRUE(sandbox().console_contains("Failed to write GPS command to enable UBX message 0xF0-0x01"));
  EXPECT_EQ(reset_gps(-1), -1);
  EXPECT_TRUE(sandbox().console_contains("Failed to write GPS command to reset GPS UART"));
}

}  // namespace

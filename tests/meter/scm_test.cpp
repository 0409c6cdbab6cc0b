// crx_cg_init / crx_cg_fetch / crx_cg_close on the simulated SCM board:
// channel set-up, SCM correction and refusals, SCM+ checks, fields at their
// places, and the statistics and fetch-count log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "meter/crc16.h"
#include "meter/scm.h"
#include "tests/meter/meter_fixture.h"

namespace crx::test {
namespace {

using sim::ScmFields;
using sim::ScmPlusFields;

const meter::CgStatistics& stats() { return meter::cg_statistics(); }

class ScmTest : public MeterBoardTest {
 protected:
  void SetUp() override {
    MeterBoardTest::SetUp();
    ASSERT_EQ(crx_cg_init(), 0) << syslog_dump();
    sandbox().clear_logs();
  }
  crx_cg_pkt_t fetch_ok() {
    crx_cg_pkt_t pkt;
    EXPECT_EQ(crx_cg_fetch(&pkt), 0) << syslog_dump();
    return pkt;
  }
  int fetch() {
    crx_cg_pkt_t pkt;
    return crx_cg_fetch(&pkt);
  }
};

TEST(ScmRecord, FieldsSitAtTheirOffsets) {
  EXPECT_EQ(sizeof(crx_cg_pkt_t), 24u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, valid), 0u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, type), 1u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, chan), 2u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, nb_err), 3u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, timestamp), 4u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, ert_type), 8u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, id), 12u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, consumption), 16u);
  EXPECT_EQ(offsetof(crx_cg_pkt_t, tamper), 20u);
}

TEST(ScmCrc, GenibusCheckValueAndSimulatorAgree) {
  const std::string check = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(meter::crc16_genibus({bytes, check.size()}), 0xD64E);
  uint8_t block[64];
  for (int i = 0; i < 64; ++i) block[i] = uint8_t(i * 37 + 11);
  for (size_t n = 0; n <= 64; n += 7)
    EXPECT_EQ(meter::crc16_genibus({block, n}), sim::crc16_genibus_bitwise(block, n)) << n;
}

TEST_F(ScmTest, InitEnablesEveryChannel) {
  EXPECT_EQ(meter().enabled_count(), 64);
}

TEST_F(ScmTest, FpgaSoftResetReachesTheReceiver) {
  ASSERT_EQ(crx_reg_reset(0), 0);
  EXPECT_EQ(meter().enabled_count(), 0);
}

TEST_F(ScmTest, InitReportsAFailedChannelWrite) {
  port().fail_next(1);
  EXPECT_EQ(crx_cg_init(), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in cg_init_chan, failed to set address")) << syslog_dump();
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in crx_cg_init, failed to init chan"));
}

TEST_F(ScmTest, CleanScmFrameDeliversItsFields) {
  meter().push_scm(37, sim::scm_frame({0x2ABCDEF, 0x9, 0x41, 0x123456}), 0xA1B2C3D4);
  const crx_cg_pkt_t pkt = fetch_ok();
  EXPECT_EQ(pkt.valid, 1);
  EXPECT_EQ(pkt.type, 0);
  EXPECT_EQ(pkt.chan, 37);
  EXPECT_EQ(pkt.nb_err, 0);
  EXPECT_EQ(pkt.timestamp, 0xA1B2C3D4u);
  EXPECT_EQ(pkt.ert_type, 0x9);
  EXPECT_EQ(pkt.id, 0x2ABCDEFu);
  EXPECT_EQ(pkt.consumption, 0x123456u);
  EXPECT_EQ(pkt.tamper, 0x41);
  EXPECT_EQ(stats().scm, 1u);
  // Nothing waiting now.
  const crx_cg_pkt_t none = fetch_ok();
  EXPECT_EQ(none.valid, 0);
  EXPECT_EQ(stats().empty_polls, 1u);
}

// Byte 1 holds physical tamper (7-6), ERT type (5-2) and encoder tamper
// (1-0): every combination must come out apart.
TEST_F(ScmTest, TamperAndErtTypeAreIndependent) {
  for (uint8_t ert = 0; ert < 16; ++ert) {
    for (uint8_t t = 0; t < 16; ++t) {
      const uint8_t tamper = uint8_t((t & 0x0C) << 4 | (t & 0x03));
      meter().push_scm(1, sim::scm_frame({77, ert, tamper, 5}), 0);
      const crx_cg_pkt_t pkt = fetch_ok();
      ASSERT_EQ(pkt.valid, 1);
      EXPECT_EQ(pkt.ert_type, ert) << int(t);
      EXPECT_EQ(pkt.tamper, tamper) << int(ert);
    }
  }
}

TEST_F(ScmTest, DataBitErrorsAreCorrectedAndCounted) {
  auto one = sim::scm_frame({1234567, 7, 0x80, 999});
  one[6] ^= 0x10;
  meter().push_scm(2, one, 1);
  auto two = sim::scm_frame({1234567, 7, 0x80, 999});
  two[0] ^= 0x04;
  two[4] ^= 0x01;
  meter().push_scm(3, two, 2);
  crx_cg_pkt_t pkt = fetch_ok();
  EXPECT_EQ(pkt.valid, 1);
  EXPECT_EQ(pkt.nb_err, 1);
  EXPECT_EQ(pkt.id, 1234567u);
  pkt = fetch_ok();
  EXPECT_EQ(pkt.nb_err, 2);
  EXPECT_EQ(pkt.id, 1234567u);
  EXPECT_EQ(pkt.consumption, 999u);
  EXPECT_EQ(stats().bch_one, 1u);
  EXPECT_EQ(stats().bch_two, 1u);
}

TEST_F(ScmTest, ParityBitErrorDropsTheFrame) {
  auto frame = sim::scm_frame({42, 3, 0, 17});
  frame[9] ^= 0x20;
  meter().push_scm(4, frame, 0);
  crx_cg_pkt_t pkt;
  EXPECT_EQ(crx_cg_fetch(&pkt), -1);
  EXPECT_EQ(pkt.valid, 0);
  EXPECT_EQ(stats().parity_errors, 1u);
  EXPECT_EQ(meter().waiting(), 0u) << "the frame is consumed";
}

TEST_F(ScmTest, ThreeBitErrorsAreRefused) {
  int refused = 0;
  for (int k = 0; k < 20; ++k) {
    auto frame = sim::scm_frame({uint32_t(1000 + k), 1, 0, uint32_t(k)});
    frame[1] ^= 0x01;
    frame[3] ^= uint8_t(1u << (k % 8));
    frame[7] ^= 0x80;
    meter().push_scm(5, frame, 0);
    crx_cg_pkt_t pkt;
    const int r = crx_cg_fetch(&pkt);
    if (r == -1) ++refused;
    else EXPECT_NE(pkt.id, uint32_t(1000 + k)) << "three errors cannot come back right";
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(stats().bch_failures + stats().bch_three_or_more + stats().parity_errors, uint32_t(refused));
}

TEST_F(ScmTest, ScmPlusFramesAreCheckedByCrcAndProtocolId) {
  meter().push_scm_plus(63, sim::scm_plus_frame({0xAB, 0x01020304, 0xDEADBEEF, 0x8001}), 99);
  crx_cg_pkt_t pkt = fetch_ok();
  EXPECT_EQ(pkt.valid, 1);
  EXPECT_EQ(pkt.type, 1);
  EXPECT_EQ(pkt.chan, 63);
  EXPECT_EQ(pkt.ert_type, 0xAB);
  EXPECT_EQ(pkt.id, 0x01020304u);
  EXPECT_EQ(pkt.consumption, 0xDEADBEEFu);
  EXPECT_EQ(pkt.tamper, 0x8001);
  EXPECT_EQ(pkt.timestamp, 99u);

  auto bad_crc = sim::scm_plus_frame({1, 2, 3, 4});
  bad_crc[13] ^= 1;
  meter().push_scm_plus(0, bad_crc, 0);
  EXPECT_EQ(fetch(), -1);
  EXPECT_EQ(stats().crc_errors, 1u);

  auto other = sim::scm_plus_frame({1, 2, 3, 4});
  other[0] = 0x1F;
  const uint16_t crc = sim::crc16_genibus_bitwise(other.data(), 12);
  other[12] = uint8_t(crc >> 8);
  other[13] = uint8_t(crc);
  meter().push_scm_plus(0, other, 0);
  EXPECT_EQ(fetch(), -1);
  EXPECT_EQ(stats().crc_errors, 1u);
  EXPECT_EQ(stats().scm_plus, 3u);
}

TEST_F(ScmTest, FramesOnChannelsNeverEnabledDoNotArrive) {
  meter().reset();  // the FPGA's reset disables every channel
  meter().push_scm(9, sim::scm_frame({1, 1, 0, 1}), 0);
  EXPECT_EQ(fetch_ok().valid, 0);
  EXPECT_EQ(meter().dropped(), 1u);
  ASSERT_EQ(crx_cg_init(), 0);
  meter().push_scm(9, sim::scm_frame({1, 1, 0, 1}), 0);
  EXPECT_EQ(fetch_ok().valid, 1);
}

TEST_F(ScmTest, StatisticsEvery101FramesAndFetchTotalsEvery1000Calls) {
  for (int i = 0; i < 100; ++i) meter().push_scm(1, sim::scm_frame({uint32_t(i), 1, 0, 1}), 0);
  for (int i = 0; i < 100; ++i) fetch_ok();
  EXPECT_FALSE(sandbox().syslog_contains("Received packet statistics"));
  // The block is written before this frame is counted by kind.
  meter().push_scm_plus(1, sim::scm_plus_frame({1, 2, 3, 4}), 0);
  fetch_ok();
  const auto lines = sandbox().syslog_texts();
  const std::vector<std::string> block = {
      "BRV_HAL: Received packet statistics:", "      Total packets received: 100", "      Total SCM packets: 100",
      "      BCH decoding failures: 0",      "      BCH with 1 bit error: 0",     "      BCH with 2 bit errors: 0",
      "      BCH with 3 or more bit errors: 0", "      ",                          "      Total SCM+ packets: 0",
      "      SCM+ packets with crc errors: 0"};
  auto at = std::search(lines.begin(), lines.end(), block.begin(), block.end());
  EXPECT_NE(at, lines.end()) << syslog_dump();
  for (int i = 0; i < 898; ++i) fetch_ok();
  EXPECT_FALSE(sandbox().syslog_contains("fetch total"));
  fetch_ok();
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: fetch total: 1000, no pkt poll: 899")) << syslog_dump();
}

TEST_F(ScmTest, RefusalsAndReadFailures) {
  EXPECT_EQ(crx_cg_fetch(nullptr), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in crx_cg_fetch, null pointer"));
  port().fail_next(1);
  EXPECT_EQ(fetch(), -1);
  EXPECT_TRUE(sandbox().syslog_contains("BRV_HAL: ERROR in crx_cg_fetch, failed to read status"));
  crx_cg_pkt_t pkt;
  crx_cg_close();
  EXPECT_EQ(crx_cg_fetch(&pkt), -1) << "no codec after close";
}

}  // namespace
}  // namespace crx::test

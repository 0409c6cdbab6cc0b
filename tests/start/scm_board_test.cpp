// The SCM board runs its meter receiver with the concentrator: crx_start
// sets the receiver up, a meter broadcast injected into the FPGA comes out
// of crx_cg_fetch with its fields, and crx_stop closes the receiver.
#include <gtest/gtest.h>

#include "sim/meter.h"
#include "start_fixture.h"

namespace crx::test {
namespace {

// An SCM board whose database gives it the Heron's two chips and band.
CxDatabase scm_db() { return region(CxDatabase(6).board("Q7000000"), "AS923_J", 920.0, 928.0, 922.5, 2); }
const Family kScm{"scm", scm_db, 2, "heron.json"};

class ScmBoard : public StartTest {};

TEST_F(ScmBoard, StartRunsTheMeterReceiverAndStopClosesIt) {
  configure(kScm);
  ASSERT_EQ(board_type, uint32_t(CRX_BOARD_SCM));
  auto meter = sim::install_meter_receiver(board());
  crx_cg_pkt_t pkt{};
  EXPECT_EQ(crx_cg_fetch(&pkt), -1) << "no receiver before start";

  ASSERT_EQ(crx_start(0), 0) << syslog_dump();
  sim::ScmFields f;
  f.id = 0x2ABCDEF;
  f.ert_type = 7;
  f.tamper = 0x81;
  f.consumption = 123456;
  meter->push_scm(12, sim::scm_frame(f), 0x01020304);
  ASSERT_EQ(crx_cg_fetch(&pkt), 0) << syslog_dump();
  EXPECT_EQ(pkt.valid, 1);
  EXPECT_EQ(pkt.type, 0);
  EXPECT_EQ(pkt.chan, 12);
  EXPECT_EQ(pkt.id, 0x2ABCDEFu);
  EXPECT_EQ(pkt.ert_type, 7);
  EXPECT_EQ(pkt.tamper, 0x81);
  EXPECT_EQ(pkt.consumption, 123456u);
  EXPECT_EQ(pkt.timestamp, 0x01020304u);

  ASSERT_EQ(crx_stop(0), 0);
  EXPECT_EQ(crx_cg_fetch(&pkt), -1) << "the receiver is closed with the concentrator";
}

}  // namespace
}  // namespace crx::test

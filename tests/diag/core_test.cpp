// crxdiag's core driven in the process that runs the board: what only that
// process can see (the current hour, the PPS latch) and the option parsing.
#include <gmock/gmock.h>

#include "diag.h"
#include "diag_fixture.h"
#include "sim/boards.h"
#include "sim/gpio.h"
#include "sim/traffic.h"
#include "tests/support/checks.h"

using ::testing::HasSubstr;

namespace diag_test {
namespace {

class SandboxHost : public crxdiag::Host {
 public:
  explicit SandboxHost(crx::sim::Sandbox& s) : s_(s) {}
  std::string locate(const std::string& path) const override { return s_.host_path(path); }
  key_t ipc_key(key_t key) const override { return s_.ipc_key(key); }
  int tai_offset() const override { return s_.tai_offset(); }
  void capture_log(bool) override {}
  std::vector<crxdiag::LogLine> take_log() override { return {}; }

 private:
  crx::sim::Sandbox& s_;
};

class Core : public DiagTest {
 protected:
  void TearDown() override {
    crx_stop(0);
    crx_reg_close();
    DiagTest::TearDown();
  }
  // A Condor NA started in this process, with its receive lines wired.
  void start_board() {
    // Half past: at minute 0 of an hour the housekeeping job moves the
    // current hour into the history, and the test would find it empty.
    sandbox().set_calendar_time(1765279800);  // 2025-12-09 11:30:00 UTC
    database(condor_na_db());
    config();
    sandbox().set_fast_clock(true);
    board_ = crx::sim::install_fpga_board(sandbox(), 8);
    auto gpio = crx::sim::SysfsGpio::install(sandbox());
    crx::sim::wire_rx_status(*board_, gpio, crx::sim::kLargeBoardRxLines);
    ASSERT_NE(crx_read_cfg_json(nullptr), nullptr);
    ASSERT_EQ(crx_start(0), 0);
    sandbox().set_fast_clock(false);
  }
  std::shared_ptr<crx::sim::FpgaBoardPort> board_;
};

TEST_F(Core, CurrentHourPerChannelAndSpreadingFactorInTheRunningProcess) {
  start_board();
  // Three uplinks on chip 1's channel 2 at SF9, one of them with a bad CRC.
  for (int i = 0; i < 3; ++i) {
    crx::sim::Uplink u;
    u.payload = crx::sim::lorawan_data_frame(false, 0x26010000u + uint32_t(i), 1, 1, {1, 2});
    u.if_chan = 2;
    u.sf = 9;
    u.crc_state = i == 2 ? crx::sim::Uplink::kCrcBad : crx::sim::Uplink::kCrcOk;
    u.count_us = board_->chip(1).count() + uint32_t(i) * 100000;
    board_->chip(1).push_uplink(u);
  }
  SandboxHost host(sandbox());
  crxdiag::Report r;
  crx::test::eventually([&] {
    r = crxdiag::stats(host, {});
    return r.doc["current_hour"].contains("total") && r.doc["current_hour"]["total"] == 3;
  });
  const crxdiag::Json& cur = r.doc["current_hour"];
  ASSERT_EQ(cur["total"], 3) << r.doc.dump(2);
  EXPECT_EQ(cur["other"], 1);
  EXPECT_EQ(cur["sf"][2]["sf"], 9);
  EXPECT_EQ(cur["sf"][2]["crc_ok"], 2);
  EXPECT_EQ(cur["sf"][2]["other"], 1);
  ASSERT_EQ(cur["channels"].size(), 1u);
  EXPECT_EQ(cur["channels"][0]["if_chain"], 12);
  EXPECT_EQ(cur["channels"][0]["crc_ok"], 2);
  EXPECT_EQ(cur["channels"][0]["bandwidth_hz"], 125000);
  EXPECT_THAT(crxdiag::stats_text(r.doc), HasSubstr("Current hour: 3 packets, 1 without a good CRC\n"));
  EXPECT_THAT(crxdiag::stats_prometheus([&] {
                crxdiag::StatsSources s;
                s.have_current = true;
                uint8_t raw[crxdiag::kRecordSize];
                EXPECT_EQ(crx_get_current_stat(raw, sizeof raw), int(sizeof raw));
                s.current = crxdiag::parse_record(std::span<const uint8_t, crxdiag::kRecordSize>(raw, sizeof raw));
                return s;
              }()),
              HasSubstr("crx_sf_packets_current_hour{sf=\"9\",crc=\"other\"} 1\n"));

  // The PPS latch is read where the board runs.
  const crxdiag::Report g = crxdiag::gps(host);
  EXPECT_TRUE(g.doc["counter"].contains("counter_us")) << g.doc.dump(2);
  EXPECT_TRUE(g.doc["counter"].contains("pps_age_ms"));
}

TEST(CoreOptions, WrongCommandLinesAreUsageErrors) {
  struct NoHost : crxdiag::Host {
    void capture_log(bool) override {}
    std::vector<crxdiag::LogLine> take_log() override { return {}; }
  } host;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"reboot"},
                                             {"stats", "--svg"},
                                             {"faults", "--svg", "x.svg"},
                                             {"info", "-c", "x.json"},
                                             {"start", "--seconds", "-1"},
                                             {"start", "--seconds", "3x"},
                                             {"gps", "extra"},
                                             {"stats", "--bogus"}}) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(crxdiag::run(args, host, out, err), crxdiag::kExitUsage) << ::testing::PrintToString(args);
    EXPECT_GT(std::ftell(err), 0L);
    EXPECT_EQ(std::ftell(out), 0L);
    std::fclose(out);
    std::fclose(err);
  }
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(crxdiag::run({"--help"}, host, out, stderr), 0);
  EXPECT_GT(std::ftell(out), 1000L);
  std::fclose(out);
}

}  // namespace
}  // namespace diag_test

namespace diag_test {
namespace {

// The installed program itself: the library's console lines reach the
// failure report through its pipe, and its command line is checked. (A
// configuration file that does not exist keeps it off any hardware.)
TEST(InstalledProgram, CollectsTheLibrarysLinesAndChecksItsCommandLine) {
  const std::string missing = "/nonexistent/crxdiag-test-config.json";
  const Outcome o = crx::test::finish(crx::test::start({CRX_TOOL_CRXDIAG, "start", "-c", missing}));
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_THAT(o.out, HasSubstr("FAILED at step: configuration\n"));
  EXPECT_THAT(o.out, HasSubstr("  | ERROR: failed to find any configuration file named " + missing + "\n"));
  EXPECT_THAT(o.out, HasSubstr("Hint: The configuration file " + missing + " does not exist"));

  const Outcome help = crx::test::finish(crx::test::start({CRX_TOOL_CRXDIAG, "--help"}));
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: crxdiag COMMAND [OPTIONS]"));
  const Outcome wrong = crx::test::finish(crx::test::start({CRX_TOOL_CRXDIAG, "selftest"}));
  EXPECT_EQ(wrong.status, 64);
  EXPECT_THAT(wrong.err, HasSubstr("unknown command selftest"));
}

}  // namespace
}  // namespace diag_test

// crxfwd-sim as a child process: it serves until SIGTERM, then stops the
// board and exits 0; a gateway EUI of 0 is refused at start.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <fstream>

#include "fwd_support.h"
#include "tests/support/program.h"

namespace crxfwd::test {
namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/crxfwd-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    std::remove(config_.c_str());
    ::rmdir(dir_.c_str());
  }
  // The Condor NA example pointed at the test's server.
  void write_config(const LoopbackServer& s) {
    Json doc = example_config("condor_na.json");
    doc["gateway_conf"]["server_address"] = "127.0.0.1";
    doc["gateway_conf"]["serv_port_up"] = std::stoi(s.up_port());
    doc["gateway_conf"]["serv_port_down"] = std::stoi(s.down_port());
    config_ = dir_ + "/config.json";
    std::ofstream(config_) << doc.dump(2);
  }
  std::string dir_, config_;
};

TEST_F(ProgramTest, SigtermStopsTheBoardAndExitsZero) {
  LoopbackServer server;
  write_config(server);
  const auto child = crx::test::start({CRX_TOOL_CRXFWD_SIM, "--board", "condor_na", "--devices", "3", "-c", config_});
  ASSERT_GT(child.pid, 0);
  const bool pulled = server.wait(
      [](const std::vector<Received>& all) { return LoopbackServer::count(all, Type::kPullData) >= 1; }, 60000);
  ::kill(child.pid, SIGTERM);
  const auto o = crx::test::finish(child);
  ASSERT_TRUE(pulled) << o.out << o.err;
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("SIGTERM: stopping"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("concentrator stopped"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("gateway EUI 00800000A0"), std::string::npos) << o.out;
}

TEST_F(ProgramTest, GatewayEuiZeroIsRefused) {
  LoopbackServer server;
  write_config(server);
  const auto o = crx::test::finish(
      crx::test::start({CRX_TOOL_CRXFWD_SIM, "--board", "condor_na", "--devices", "0", "-c", config_,
                        "--gateway-id", "0"}));
  EXPECT_EQ(o.status, 1) << o.out << o.err;
  EXPECT_NE(o.out.find("configuration: the gateway EUI is 0"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("concentrator stopped"), std::string::npos) << "the board is stopped again";
  const auto usage = crx::test::finish(crx::test::start({CRX_TOOL_CRXFWD_SIM, "--bogus"}));
  EXPECT_EQ(usage.status, 2);
  for (const char* id : {"-1", " 1", "+1", "12345678901234567", "0x"}) {
    const auto bad = crx::test::finish(crx::test::start({CRX_TOOL_CRXFWD_SIM, "--devices", "0", "--seconds", "1", "--gateway-id", id}));
    EXPECT_EQ(bad.status, 2) << "--gateway-id \"" << id << "\"";
  }
  const auto help = crx::test::finish(crx::test::start({CRX_TOOL_CRXFWD, "--help"}));
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("EXIT STATUS"), std::string::npos);
}

}  // namespace
}  // namespace crxfwd::test

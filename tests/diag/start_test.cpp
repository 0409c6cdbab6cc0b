// crxdiag start on a simulated board: a healthy run, failures at each kind
// of step, and the refusal while another process runs the concentrator.
#include <gmock/gmock.h>

#include <set>

#include "diag_fixture.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace diag_test {
namespace {

class Start : public DiagTest {
 protected:
  void SetUp() override {
    DiagTest::SetUp();
    database(condor_na_db());
    config();
  }
  static std::vector<std::string> step_names(const Json& doc) {
    std::vector<std::string> names;
    for (const auto& s : doc["steps"]) names.push_back(s["step"]);
    return names;
  }
};

TEST_F(Start, HealthyBoardListsEveryStepInOrderAndThePacketsItReceived) {
  const Json doc = run_json({"start", "--seconds", "3"});
  EXPECT_EQ(doc["result"], "ok");
  EXPECT_EQ(doc["status"], 0);
  EXPECT_EQ(step_names(doc),
            (std::vector<std::string>{"configuration", "identity and register checks", "front-end reset",
                                      "transceiver (AD9361) and FPGA PLL", "AGC firmware load",
                                      "chip set-up and arbiter firmware", "counter offset", "receiving",
                                      "stop"}));
  double previous = -1;
  for (const auto& s : doc["steps"]) {
    EXPECT_GE(s["at_ms"].get<double>(), previous) << s;
    EXPECT_GE(s["took_ms"].get<double>(), 0) << s;
    previous = s["at_ms"];
  }
  // The six uplinks the simulated chips heard, each once, as they were sent.
  ASSERT_EQ(doc["packets"].size(), 6u) << doc.dump(2);
  std::set<std::string> addrs;
  for (const auto& p : doc["packets"]) {
    const int i = std::stoi(p["dev_addr"].get<std::string>(), nullptr, 16) - 0x26011000;
    ASSERT_TRUE(i >= 0 && i < 6) << p;
    addrs.insert(p["dev_addr"]);
    EXPECT_EQ(p["chip"], i);
    EXPECT_EQ(p["if_chain"], 11 * i);
    EXPECT_EQ(p["datarate"], "SF" + std::to_string(7 + i));
    EXPECT_EQ(p["crc"], i == 3 ? "bad" : "ok");
    EXPECT_EQ(p["bandwidth_hz"], 125000);
    EXPECT_EQ(p["size"], 15);
  }
  EXPECT_EQ(addrs.size(), 6u);
  EXPECT_EQ(doc["counters"]["uplink"], 6);
  EXPECT_EQ(doc["counters"]["crc_ok"], 5);
  EXPECT_EQ(doc["counters"]["crc_error"], 1);
  EXPECT_TRUE(doc["board_stopped"].get<bool>());
}

TEST_F(Start, HealthyBoardTextShowsPacketsStepsAndTotals) {
  const Outcome o = run({"start", "--seconds", "3"});
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_THAT(o.out, HasSubstr("Started; receiving for 3 s"));
  EXPECT_THAT(o.out, HasSubstr("chip 3 IF 33   907.7000 MHz  LoRa SF10 125 kHz  CRC bad"));
  EXPECT_THAT(o.out, HasSubstr("DevAddr 26011005"));
  EXPECT_THAT(o.out, HasSubstr("counter offset"));
  EXPECT_THAT(o.out, HasSubstr("Packets received: 6\nCounters: uplink 6, downlink 0, CRC ok 5, CRC error 1\n"));
  EXPECT_THAT(o.out, HasSubstr("Stopped.\n"));
  EXPECT_THAT(o.out, Not(HasSubstr("FAILED")));
}

struct Failure {
  const char* fault;
  const char* step;
  int code;
  const char* hint_word;
  int fault_raised;  // the fault memory's fault the failure raises
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.fault; }

class StartFailure : public Start, public ::testing::WithParamInterface<Failure> {};

TEST_P(StartFailure, NamesTheStepTheCodeAndAHintAndLeavesTheBoardStopped) {
  const Failure& f = GetParam();
  const Json doc = run_json({"start"}, {{"CRX_SIM_FAULT", f.fault}});
  EXPECT_EQ(doc["status"], 1);
  EXPECT_EQ(doc["result"], "failed");
  const Json& fail = doc["failure"];
  EXPECT_EQ(fail["step"], f.step);
  EXPECT_EQ(fail["code"], f.code);
  EXPECT_EQ(fail["message"], crx_err_message(f.code));
  EXPECT_THAT(fail["hint"].get<std::string>(), HasSubstr(f.hint_word));
  EXPECT_FALSE(fail["log"].empty());
  EXPECT_LE(fail["log"].size(), 12u);
  EXPECT_TRUE(doc["board_stopped"].get<bool>());
  // The step list ends at the failure; nothing was received.
  ASSERT_FALSE(doc["steps"].empty());
  EXPECT_EQ(doc["steps"].back()["step"], f.step);
  EXPECT_FALSE(doc.contains("packets"));

  // The library raised the step's fault, which the faults command reports.
  const Json faults = run_json({"faults"});
  EXPECT_EQ(faults["status"], 2);
  EXPECT_TRUE(faults["faults"][f.fault_raised - 1]["active"].get<bool>()) << faults.dump(2);

  // The same failure as text.
  const Outcome o = run({"start"}, {{"CRX_SIM_FAULT", f.fault}});
  EXPECT_EQ(o.status, 1);
  EXPECT_THAT(o.out, HasSubstr(std::string("FAILED at step: ") + f.step + "\n"));
  EXPECT_THAT(o.out, HasSubstr("Code " + std::to_string(f.code) + ": " + crx_err_message(f.code) + "\n"));
  EXPECT_THAT(o.out, HasSubstr("Last log lines:\n  | "));
  EXPECT_THAT(o.out, HasSubstr("Hint: "));
  EXPECT_THAT(o.out, HasSubstr("The board is left stopped.\n"));
}

INSTANTIATE_TEST_SUITE_P(Steps, StartFailure,
                         ::testing::Values(Failure{"firmware", "AGC firmware load", ERR_SPI_WRITE, "firmware", 1},
                                           Failure{"transceiver", "transceiver (AD9361)", ERR_AD9361_RXPLL_LOCK,
                                                   "synthesizer", 2},
                                           Failure{"pll", "FPGA PLL lock", ERR_FPGA_PLL_LOCK, "reference", 1},
                                           Failure{"counter", "counter offset", ERR_SPI_READ, "PPS", 1}),
                         [](const auto& info) { return std::string(info.param.fault); });

// A configuration file it refuses and a missing FPGA port both fail at the
// configuration step, each named in the hint.
TEST_F(Start, ConfigurationStepFailuresNameTheirCause) {
  const struct {
    const char* file_text;  // null: the example file
    std::vector<std::pair<std::string, std::string>> env;
    const char* hint;
  } cases[] = {{"{ not json", {}, "config.json"},
               {nullptr, {{"CRX_SIM_BOARD", "none"}}, "/dev/spifpga32766.1 could not be opened"}};
  for (const auto& c : cases) {
    if (c.file_text)
      sandbox().write_file("/etc/default/config.json", c.file_text);
    else
      config();
    const Json doc = run_json({"start"}, c.env);
    EXPECT_EQ(doc["status"], 1) << c.hint;
    EXPECT_EQ(doc["failure"]["step"], "configuration");
    EXPECT_THAT(doc["failure"]["hint"].get<std::string>(), HasSubstr(c.hint));
    EXPECT_TRUE(doc["board_stopped"].get<bool>());
  }
}

TEST_F(Start, ConfigurationFileFromTheCommandLine) {
  sandbox().write_file("/etc/default/config.json", "{ not json");
  sandbox().write_file("/tmp/other.json", read_text(std::string(CRX_TEST_DATA) + "/config/condor_na.json"));
  const Json doc = run_json({"start", "-c", "/tmp/other.json", "--seconds", "0.2"});
  EXPECT_EQ(doc["result"], "ok") << doc.dump(2);
  EXPECT_EQ(doc["config"], "/tmp/other.json");
}

// A process that started the board keeps the packet-statistics memory
// attached for its life: crxdiag refuses, touching nothing.
TEST_F(Start, RefusedWhileAnotherProcessHasTheBoardStarted) {
  const int id = segment(crxdiag::kPacketStatsKey, crxdiag::kPacketStatsSize);
  ASSERT_GE(id, 0);
  void* attached = ::shmat(id, nullptr, 0);
  ASSERT_NE(attached, reinterpret_cast<void*>(-1));
  const Json doc = run_json({"start"});
  EXPECT_EQ(doc["status"], 4);
  EXPECT_EQ(doc["result"], "refused");
  EXPECT_GT(doc["other_process"].get<int>(), 0);
  EXPECT_THAT(doc["refused"].get<std::string>(), HasSubstr("another process has the concentrator started"));
  EXPECT_FALSE(doc.contains("steps"));
  // Nothing ran: no fault memory was made.
  EXPECT_LT(::shmget(sandbox().ipc_key(crxdiag::kFaultMemoryKey), 0, 0), 0);
  const Outcome o = run({"start"});
  EXPECT_EQ(o.status, 4);
  EXPECT_THAT(o.out, HasSubstr("REFUSED: another process has the concentrator started"));

  // Once that process lets go, start runs.
  ::shmdt(attached);
  EXPECT_EQ(run_json({"start", "--seconds", "0.2"})["result"], "ok");
}

}  // namespace
}  // namespace diag_test

// sidemon as a child process on a simulated Wren board: its options and
// their refusals, the log files with their header, rows, link and hourly
// rotation, the end after the 16th failed read, and the orderly end on a
// signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "../wrenstart/wren_fixture.h"
#include "tests/support/program.h"

namespace {

using crx::test::Outcome;

constexpr const char* kDir = "/var/lib/utilResults";
constexpr const char* kLink = "/var/lib/utilResults/rssiLog.csv";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The program's usage text: from its first line on (the library's own
// console lines may come before it).
std::vector<std::string> usage_of(const std::string& text) {
  const auto all = lines_of(text);
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i].rfind("~~~ Library version string", 0) == 0) return {all.begin() + long(i), all.end()};
  return {};
}

bool has_line(const std::string& text, const std::string& line) {
  for (const auto& l : lines_of(text))
    if (l == line) return true;
  return false;
}

class Sidemon : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    put_board(crx::test::kTddPcba);
  }

  void put_board(const char* pcba) {
    crx::sim::cx_put_file(sandbox(), crx::test::wren_db(pcba, "US915", 902.0, 928.0).image());
  }

  // On the fast clock unless told otherwise: a pass then takes no real time.
  crx::test::Child launch(const std::vector<std::string>& args, const std::string& reads = "",
                          bool fast = true, double dbm = -97.5) {
    std::vector<std::string> argv = {CRX_TOOL_SIDEMON_SIM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string root = sandbox().root();
    return crx::test::start(argv, [=] {
      ::setenv("CRX_SIM_ROOT", root.c_str(), 1);
      ::setenv("CRX_SIM_RSSI_DBM", std::to_string(dbm).c_str(), 1);
      if (!reads.empty()) ::setenv("CRX_SIM_RSSI_READS", reads.c_str(), 1);
      if (fast) ::setenv("CRX_SIM_FAST_CLOCK", "1", 1);
    });
  }
  Outcome run(const std::vector<std::string>& args, const std::string& reads = "", bool fast = true,
              double dbm = -97.5) {
    return crx::test::finish(launch(args, reads, fast, dbm));
  }

  // The log files (not the link), oldest first.
  std::vector<std::string> logs() {
    std::vector<std::string> out;
    if (DIR* d = opendir(sandbox().host_path(kDir).c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("rssiLog_", 0) == 0) out.push_back(std::string(kDir) + "/" + name);
      }
      closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::string link_target() {
    char buf[512] = {};
    const ssize_t n = readlink(sandbox().host_path(kLink).c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : "";
  }
};

TEST_F(Sidemon, MalformedOptionsAreRefusedWithTheirTexts) {
  const std::string b_error = "ERROR: argument parsing of -b argument.";
  const std::string o_error = "ERROR: argument parsing of -o argument.";
  const std::string f_error = "ERROR: argument parsing of -f argument. -h for help.";
  const std::string usage_line = " -b <uint>  Channel bandwidth in KHz [25,50,100,125,200,250,500]";
  struct Case {
    std::vector<std::string> args;
    std::string text;  // empty: the usage text alone
    bool usage;
  };
  const Case cases[] = {
      {{"-b", "300"}, b_error, true},
      {{"-b", "abc"}, "", true},
      {{"-f", "799.999"}, f_error, false},
      {{"-f", "1000.001"}, f_error, false},
      {{"-f", "many"}, f_error, false},
      {{"-o", "128"}, o_error, true},
      {{"-o", "-129"}, o_error, true},
      {{"-o", "x"}, o_error, true},
      {{"-x"}, "ERROR: argument parsing options. -h for help.", false},
      {{"-d", "-f"}, "ERROR: argument parsing options. -h for help.", false},
  };
  for (const Case& c : cases) {
    const Outcome o = run(c.args);
    const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(o.status, 1) << what;
    if (!c.text.empty()) {
      EXPECT_TRUE(has_line(o.out, c.text)) << what << ":\n" << o.out;
    } else {
      EXPECT_EQ(o.out.find("ERROR"), std::string::npos) << what << ": only the usage\n" << o.out;
    }
    EXPECT_EQ(has_line(o.out, usage_line), c.usage) << what << ":\n" << o.out;
    if (c.usage) {
      EXPECT_EQ(usage_of(o.out).size(), 9u) << what << "\n" << o.out;
    }
  }
  EXPECT_FALSE(sandbox().exists(kDir)) << "nothing was logged";
}

TEST_F(Sidemon, HelpPrintsTheUsageOnAnyBoard) {
  put_board("Q7000101");  // a Condor NA
  const Outcome o = run({"-h"});
  EXPECT_EQ(o.status, 0);
  const auto l = usage_of(o.out);
  ASSERT_EQ(l.size(), 9u) << o.out;
  EXPECT_EQ(l[0], "~~~ Library version string" + std::string(49, '~'));
  EXPECT_EQ(l[1], std::string(" ") + crx_version_info(0, nullptr, nullptr));
  EXPECT_EQ(l[2], "~~~ Available options " + std::string(53, '~'));
  EXPECT_EQ(l[3], " -d (Deleg) Delegate concentrator hw initialization to another app");
  EXPECT_EQ(l[4], " -c <filename>  use config file other than 'config.json'");
  EXPECT_EQ(l[5], " -f <float> Center Frequency in MHz ( 800.000 <= f <= 1000.000");
  EXPECT_EQ(l[7], " -o <int>   Offset in dB to be applied to the SX127x RSSI [-128..127]");
  EXPECT_EQ(l[8], std::string(75, '~'));
}

TEST_F(Sidemon, AnotherBoardTypeExitsBeforeCreatingTheLogDirectory) {
  put_board("Q7000101");
  const Outcome o = run({"-d", "-b", "25"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has_line(o.out, "   This utility is only supported by the Ostra Wren gateway.")) << o.out;
  EXPECT_FALSE(sandbox().exists(kDir));
}

TEST_F(Sidemon, AcceptedOptionsReachTheRadioAndTheLogGetsHeaderAndRows) {
  // Three readings, then the radio stops answering: the 16th failure ends
  // the run.
  const Outcome o = run({"-d", "-f", "868.1", "-b", "25", "-o", "-8"}, "3o16x");
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_TRUE(has_line(o.out, "+++ Start of the sidemon Utility +++")) << o.out;
  EXPECT_TRUE(has_line(o.out, "Center Frequency: 868.100 MHz "));
  EXPECT_TRUE(has_line(o.out, "Channel Bandwidth: 25 kHz "));
  EXPECT_TRUE(has_line(o.out, "RSSI Offset: -8 dB "));
  EXPECT_TRUE(has_line(o.out, "INFO: log file will be rotated every 3600 seconds"));
  EXPECT_TRUE(has_line(o.out, "Error: Could not read from the sx127x after 16 tries. Exiting."));

  const auto files = logs();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(/var/lib/utilResults/rssiLog_\d{8}T\d{6}Z\.csv)")))
      << files[0];
  EXPECT_TRUE(has_line(o.out, "INFO: Now writing to log file " + files[0]));
  EXPECT_EQ(link_target(), sandbox().host_path(files[0]));
  // The radio applies the offset: -2 x (-97.5 - 8) = 211, read as -105 dBm.
  const auto rows = lines_of(sandbox().read_file(files[0]));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], "\"sys time (UTC)\",\"RSSI (dBm)\" ");
  for (int i = 1; i < 4; ++i)
    EXPECT_TRUE(std::regex_match(rows[size_t(i)], std::regex(R"("\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z",-105)")))
        << rows[size_t(i)];
  EXPECT_EQ(sandbox().read_file(files[0]).find('\r'), std::string::npos);
}

TEST_F(Sidemon, EdgeValuesOfTheOptionsAreAccepted) {
  for (const auto& [args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-f", "800", "-o", "0x10"}, "RSSI Offset: 16 dB "},
           {{"-f", "1000", "-o", "-128", "-b", "500"}, "Center Frequency: 1000.000 MHz "},
           {{"-o", "127", "-f", "900", "-f", "800"}, "Center Frequency: 800.000 MHz "}}) {
    std::vector<std::string> all = {"-d"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome o = run(all, "16x");
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(has_line(o.out, line)) << args[1] << "\n" << o.out;
    EXPECT_TRUE(has_line(o.out, "Error: Could not read from the sx127x after 16 tries. Exiting."));
  }
}

TEST_F(Sidemon, TheSixteenthFailedReadEndsTheRunEvenWithSuccessesBetween) {
  std::string script;
  for (int i = 0; i < 16; ++i) script += "2o1x";
  const Outcome o = run({"-d"}, script);
  EXPECT_EQ(o.status, 1);
  int failures = 0;
  for (const auto& l : lines_of(o.out)) failures += l == "Error: Could not read from the sx127x ";
  EXPECT_EQ(failures, 16);
  const auto files = logs();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(lines_of(sandbox().read_file(files[0])).size(), 1u + 32u) << "rows only for the 32 readings before";
}

TEST_F(Sidemon, AnExistingLinkIsReplacedAndTheLogRotatesHourly) {
  sandbox().make_dirs(kDir);
  sandbox().write_file("/var/lib/utilResults/old.csv", "old");
  ASSERT_EQ(symlink(sandbox().host_path("/var/lib/utilResults/old.csv").c_str(),
                    sandbox().host_path(kLink).c_str()),
            0);
  // On the fast clock a pass takes a simulated second: 3700 readings span
  // more than the hour.
  const Outcome o = run({"-d"}, "3700o16x", true);
  EXPECT_EQ(o.status, 1);
  const auto files = logs();
  ASSERT_EQ(files.size(), 2u) << o.out.substr(0, 2000);
  EXPECT_TRUE(has_line(o.out, "INFO: log file closed"));
  EXPECT_EQ(link_target(), sandbox().host_path(files[1]));
  const auto first = lines_of(sandbox().read_file(files[0]));
  const auto second = lines_of(sandbox().read_file(files[1]));
  EXPECT_EQ(first.size() + second.size(), 2u + 3700u);
  // Replaced at the first check after the hour: within ten passes of it.
  // The opening time is whole seconds from time(), so where the clock
  // stood within its second moves the hour by one reading.
  EXPECT_GE(first.size(), 1u + 3600u);
  EXPECT_LE(first.size(), 1u + 3611u);
  EXPECT_EQ(second[0], "\"sys time (UTC)\",\"RSSI (dBm)\" ");
  EXPECT_EQ(sandbox().read_file("/var/lib/utilResults/old.csv"), "old");
}

TEST_F(Sidemon, EachSignalEndsTheRunInOrder) {
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
    for (const auto& f : logs()) sandbox().remove(f);
    const crx::test::Child child = launch({"-d"}, "", false);
    Outcome o;
    std::thread reader([&] { o = crx::test::finish(child); });
    // Wait for a first row, then signal.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool sampled = false;
    while (!sampled && std::chrono::steady_clock::now() < deadline) {
      const auto files = logs();
      sampled = !files.empty() && lines_of(sandbox().read_file(files[0])).size() >= 2;
      if (!sampled) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(sampled) << strsignal(sig);
    ::kill(child.pid, sig);
    reader.join();
    EXPECT_EQ(o.status, 0) << strsignal(sig) << "\n" << o.out;
    EXPECT_TRUE(has_line(o.out, "+++  Exiting sidemon +++")) << strsignal(sig);
  }
}

TEST_F(Sidemon, OutsideDelegateModeTheConcentratorIsStartedAndStopped) {
  std::ifstream in(std::string(CRX_TEST_DATA) + "/config/wren_tdd.json");
  std::stringstream text;
  text << in.rdbuf();
  sandbox().write_file("/etc/default/config.json", text.str());
  sandbox().write_file("/etc/default/tx_lut.json", crx::test::tx_lut_file(2));
  const Outcome o = run({}, "2o16x", true);
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_TRUE(o.out.find("calibration finished") != std::string::npos) << "the start ran:\n" << o.out;
  EXPECT_TRUE(has_line(o.out, "+++ Start of the sidemon Utility +++"));
  // The stop unlinked what the start published.
  sem_t* running = crx::os::sem_open(crx::wren::kHalRunningSem, 0);
  EXPECT_EQ(running, SEM_FAILED);
  if (running != SEM_FAILED) crx::os::sem_close(running);
}

TEST_F(Sidemon, ASideRadioThatIsNoSx127xEndsTheRun) {
  std::vector<std::string> argv = {CRX_TOOL_SIDEMON_SIM, "-d"};
  const std::string root = sandbox().root();
  const Outcome o = crx::test::finish(crx::test::start(argv, [=] {
    ::setenv("CRX_SIM_ROOT", root.c_str(), 1);
    ::setenv("CRX_SIM_SIDE_RADIO", "sx126x", 1);
  }));
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has_line(o.out, "Error: sx127x_setup() could not configure the sx127x")) << o.out;
  EXPECT_TRUE(has_line(o.out, "+++ Start of the sidemon Utility +++"));
}

}  // namespace

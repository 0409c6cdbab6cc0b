// ifhwaddr run as a program on the simulated board.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/cxdb.h"
#include "sim/testing.h"
#include "tests/support/program.h"

using ::testing::IsEmpty;

namespace {

using crx::test::Outcome;

// Runs `program` with the sandbox root in its environment; `file_limit`
// (bytes, 0 = none) caps the size of any file it writes.
Outcome run(const char* program, const std::string& root, rlim_t file_limit = 0) {
  return crx::test::finish(crx::test::start({program}, [&] {
    if (file_limit) {
      ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then just comes up short
      struct rlimit rl {
        file_limit, file_limit
      };
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }
    ::setenv("CRX_SIM_ROOT", root.c_str(), 1);
  }));
}

constexpr const char* kInterfaces = "/etc/network/interfaces";
constexpr const char* kSetting = "pre-up /sbin/ifconfig eth0 hw ether 0002F7A1B2C3\n";

const std::string kTypical =
    "# interfaces(5) file used by ifup(8) and ifdown(8)\n"
    "auto lo\n"
    "iface lo inet loopback\n"
    "\n"
    "auto eth0\n"
    "iface eth0 inet dhcp\n"
    "    hostname gateway\n";

class Ifhwaddr : public crx::sim::SandboxTest {
 protected:
  void with_database() { crx::sim::cx_put_file(sandbox(), crx::sim::CxDatabase(6).image()); }
  void interfaces(const std::string& content) { sandbox().write_file(kInterfaces, content, 0644); }
  Outcome run_tool(rlim_t file_limit = 0) { return run(CRX_TOOL_IFHWADDR_SIM, sandbox().root(), file_limit); }

  // Anything left in /etc/network besides the interfaces file.
  std::vector<std::string> leftovers() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(sandbox().host_path("/etc/network")))
      if (e.path().filename() != "interfaces") out.push_back(e.path().filename().string());
    return out;
  }

  // A failing run: exit 1, its message, the file untouched.
  void expect_refusal(const std::string& before, const std::string& message, rlim_t file_limit = 0) {
    const Outcome o = run_tool(file_limit);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, message);
    EXPECT_EQ(sandbox().read_file(kInterfaces), before);
    EXPECT_THAT(leftovers(), IsEmpty());
  }
};

TEST_F(Ifhwaddr, InsertsTheSettingAfterTheFirstEth0Line) {
  with_database();
  interfaces(kTypical);
  const Outcome o = run_tool();
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "PCBA MAC: 0002F7A1B2C3\n");
  EXPECT_EQ(o.err, "");
  std::string expected = kTypical;
  expected.insert(expected.find("    hostname"), kSetting);
  EXPECT_EQ(sandbox().read_file(kInterfaces), expected);
  struct stat st {};
  ASSERT_EQ(::stat(sandbox().host_path(kInterfaces).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the temporary file's permissions
  EXPECT_THAT(leftovers(), IsEmpty());

  // A second run finds its own setting and leaves the file alone.
  const Outcome again = run_tool();
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, "The interfaces file already contains MAC setting; will not override\n");
  EXPECT_EQ(sandbox().read_file(kInterfaces), expected);
}

TEST_F(Ifhwaddr, AnySettingAlreadyPresentIsNeverOverridden) {
  with_database();
  const std::string content = "# pre-up /sbin/ifconfig eth0 hw ether 001122334455\niface eth1 inet dhcp\n";
  interfaces(content);
  const Outcome o = run_tool();
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "The interfaces file already contains MAC setting; will not override\n");
  EXPECT_EQ(sandbox().read_file(kInterfaces), content);
}

TEST_F(Ifhwaddr, AnInterfaceNameThatOnlyBeginsWithEth0IsTheAnchorWhenFirst) {
  with_database();
  interfaces("iface eth0.100 inet manual\niface eth0 inet dhcp\n");
  EXPECT_EQ(run_tool().status, 0);
  EXPECT_EQ(sandbox().read_file(kInterfaces),
            std::string("iface eth0.100 inet manual\n") + kSetting + "iface eth0 inet dhcp\n");
}

TEST_F(Ifhwaddr, FileSizeLimitIsBelowTenKibibytes) {
  with_database();
  const std::string head = "iface eth0 inet dhcp\n";
  std::string fits = head + std::string(10239 - head.size() - 1, '#') + "\n";
  ASSERT_EQ(fits.size(), 10239u);
  interfaces(fits);
  EXPECT_EQ(run_tool().status, 0);
  EXPECT_EQ(sandbox().read_file(kInterfaces), head + kSetting + fits.substr(head.size()));

  const std::string too_long = fits + "#";
  interfaces(too_long);
  expect_refusal(too_long, "File too long\n");
}

TEST_F(Ifhwaddr, RefusalsLeaveTheFileAsItWas) {
  with_database();
  interfaces("");
  expect_refusal("", "Failed to read from the interfaces file\n");

  const std::string no_eth0 = "auto lo\niface lo inet loopback\niface eth1 inet dhcp\n";
  interfaces(no_eth0);
  expect_refusal(no_eth0, "Did not find eth0 definition in the interfaces file\n");

  const std::string no_eol = "auto eth0\niface eth0";
  interfaces(no_eol);
  expect_refusal(no_eol, "Did not find the end of line - this might be a bug\n");

  sandbox().remove(kInterfaces);
  const Outcome o = run_tool();
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "Failed to open the interfaces file\n");
  EXPECT_FALSE(sandbox().exists(kInterfaces));
}

TEST_F(Ifhwaddr, WithoutADatabaseNothingIsWritten) {
  interfaces(kTypical);
  expect_refusal(kTypical, "Failed to obtain eth0 MAC address from the commissioning database\n");
}

// The address goes into a file that root's network scripts run: only a
// well-formed one is written, and a bad one is named in printable form.
TEST_F(Ifhwaddr, OnlyTwelveHexDigitsAreWrittenAsTheAddress) {
  const struct {
    const char* stored;
    const char* shown;
  } bad[] = {
      {"0002F7\nup rm", "0002F7\\nup rm"},
      {"0002F7A1B2C\n", "0002F7A1B2C\\n"},
      {"0002F7 A1B2C3", "0002F7 A1B2C3"},
      {" 0002F7A1B2C", " 0002F7A1B2C"},
      {"00:02:F7:A1", "00:02:F7:A1"},
      {"0002F7A1B2C", "0002F7A1B2C"},
      {"0002F7A1B2C3D", "0002F7A1B2C3D"},
      {"0002F7A1B2CG", "0002F7A1B2CG"},
      {"0002F7A1B2C3D4E5F6A7B8C9", "0002F7A1B2C3D"},  // the record keeps 13 characters
      {"0002F7\tA1\x01", "0002F7\\x09A1\\x01"},
      {"", ""},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.stored);
    crx::sim::cx_put_file(sandbox(), crx::sim::CxDatabase(6).set("Configuration", "PCBA_MAC_Address", c.stored).image());
    interfaces(kTypical);
    const Outcome o = run_tool();
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, std::string("Invalid MAC address in the commissioning database: \"") + c.shown + "\"\n");
    EXPECT_EQ(o.out.find('\t'), std::string::npos);
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1) << o.out;
    EXPECT_EQ(sandbox().read_file(kInterfaces), kTypical);
    EXPECT_THAT(leftovers(), IsEmpty());
  }

  // Lower-case digits are hex digits too, written as stored.
  crx::sim::cx_put_file(sandbox(), crx::sim::CxDatabase(6).set("Configuration", "PCBA_MAC_Address", "0010ff112233").image());
  interfaces(kTypical);
  EXPECT_EQ(run_tool().status, 0);
  std::string expected = kTypical;
  expected.insert(expected.find("    hostname"), "pre-up /sbin/ifconfig eth0 hw ether 0010ff112233\n");
  EXPECT_EQ(sandbox().read_file(kInterfaces), expected);
}

TEST_F(Ifhwaddr, EveryFailedWriteRemovesTheTemporaryFile) {
  with_database();
  interfaces(kTypical);
  const size_t first = kTypical.find("    hostname");
  const size_t prefix = std::string("pre-up /sbin/ifconfig eth0 hw ether ").size();
  const size_t mac = 12;
  const struct {
    rlim_t limit;
    const char* message;
  } cases[] = {
      {first - 5, "Failed to write the first part of data\n"},
      {first + 5, "Failed to write the MAC setting string\n"},
      {first + prefix + 5, "Failed to write the MAC address\n"},
      {first + prefix + mac, "Failed to write the new line\n"},
      {first + prefix + mac + 1 + 3, "Failed to write the remaining data\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    expect_refusal(kTypical, c.message, c.limit);
  }
}

TEST(IfhwaddrProgram, InstalledProgramLinksTheLibraryAndNoSimulator) {
  const std::string program = CRX_TOOL_IFHWADDR;
  auto output = [](const std::string& cmd) {
    std::string text;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
      ::pclose(p);
    }
    return text;
  };
  const std::string dynamic = output("objdump -p '" + program + "'");
  EXPECT_THAT(dynamic, ::testing::HasSubstr("NEEDED               libcrx.so.4"));
  EXPECT_THAT(dynamic, ::testing::Not(::testing::HasSubstr("sqlite")));
  const std::string symbols = output("nm -C '" + program + "'");
  ASSERT_FALSE(symbols.empty());
  EXPECT_THAT(symbols, ::testing::Not(::testing::HasSubstr("crx::sim")));
  EXPECT_THAT(symbols, ::testing::Not(::testing::HasSubstr("crx::os")));
  EXPECT_THAT(output("strings '" + program + "'"), ::testing::Not(::testing::HasSubstr("CRX_SIM_ROOT")));
}

}  // namespace

// pkgstate run as a program against a status file under a temporary root.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

namespace {

const std::string kUsage =
    "--------- Brevant bsp upgrade status utility---------\n"
    "pkgstate -<options> <root>\n"
    "Root - the root of the path to the status file without the trailing '/', if not supplied, it's from the "
    "system root\n"
    "Options:\n"
    " -h print this help\n"
    " -t update the timestamp\n"
    " -s clear the state and update the timestamp\n"
    "If no options are provided, the utility reads the status and prints it\n";

using crx::test::Child;
using crx::test::Outcome;

Child spawn(std::vector<std::string> args) {
  args.insert(args.begin(), CRX_TOOL_PKGSTATE);
  return crx::test::start(args);
}
Outcome pkgstate(const std::vector<std::string>& args) { return crx::test::finish(spawn(args)); }

uint64_t now_ms() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
}

// The status record as bytes, with little-endian field access.
struct Record {
  std::string bytes = std::string(192, '\0');
  uint64_t get(size_t off, int n) const {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[off + static_cast<size_t>(i)]);
    return v;
  }
  Record& set(size_t off, int n, uint64_t v) {
    for (int i = 0; i < n; ++i, v >>= 8) bytes[off + static_cast<size_t>(i)] = static_cast<char>(v & 0xFF);
    return *this;
  }
  Record& text(size_t off, const std::string& s) {
    bytes.replace(off, s.size(), s);
    return *this;
  }
  uint64_t update_ts() const { return get(0, 8); }
  uint32_t state() const { return static_cast<uint32_t>(get(40, 4)); }
};

// A record as the bridge might leave it: every field set.
Record bridge_record() {
  Record r;
  r.set(0, 8, 1111111111111)
      .set(8, 8, 2222222222222)
      .set(16, 4, 3600)
      .set(24, 8, 3333333333333)
      .set(32, 4, 7200)
      .set(36, 1, 1)
      .set(37, 1, 2)
      .set(38, 1, 3)
      .set(40, 4, 5)
      .set(48, 8, 4444444444444)
      .set(56, 8, 5555555555555)
      .text(64, "4.0.3-bsp")
      .text(128, "4.1.0-bsp");
  r.bytes[20] = r.bytes[39] = r.bytes[44] = '\x5a';  // alignment holes are kept as found
  return r;
}

class Pkgstate : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "pkgstate-XXXXXX").string();
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    root_ = templ;
    fs::create_directories(root_ + "/var/lib");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string dir() const { return root_ + "/var/lib/brevant-mqtt-bridge"; }
  std::string file() const { return dir() + "/bsp_upgrade_status"; }

  void write_status(const std::string& bytes) {
    fs::create_directories(dir());
    std::ofstream(file(), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string read_status() const {
    std::ifstream in(file(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  Record status() const { return Record{read_status()}; }
  // Everything in the bridge's directory: no stray temporary files.
  std::vector<std::string> dir_entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir())) names.push_back(e.path().filename().string());
    return names;
  }

  std::string root_;
};

TEST_F(Pkgstate, MissingFileIsReportedAndOnlyMinusTCreatesIt) {
  Outcome r = pkgstate({root_});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bsp status file (" + file() + ") does not exist, do nothing\n");

  r = pkgstate({"-s", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Status file does not exist, must provide -t option\n" + kUsage);
  EXPECT_FALSE(fs::exists(dir()));

  const uint64_t before = now_ms();
  r = pkgstate({"-t", root_});
  const uint64_t after = now_ms();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(fs::status(dir()).permissions() & fs::perms::all, fs::perms(0755 & ~mask));
  EXPECT_EQ(fs::status(file()).permissions() & fs::perms::all, fs::perms(0660 & ~mask));
  const Record rec = status();
  ASSERT_EQ(rec.bytes.size(), 192u);
  EXPECT_GE(rec.update_ts(), before);
  EXPECT_LE(rec.update_ts(), after);
  EXPECT_EQ(rec.bytes.substr(8), std::string(184, '\0'));
  EXPECT_THAT(dir_entries(), ::testing::ElementsAre("bsp_upgrade_status"));
}

TEST_F(Pkgstate, CreatesWithBothOptionsAndInAnExistingDirectory) {
  fs::create_directories(dir());
  EXPECT_EQ(pkgstate({"-t", "-s", root_}).status, 0);
  EXPECT_EQ(read_status().size(), 192u);
  EXPECT_EQ(status().state(), 0u);
  EXPECT_NE(status().update_ts(), 0u);
}

TEST_F(Pkgstate, UpdateRefreshesTheTimeStampAndResetKeepsEverythingElse) {
  const Record bridge = bridge_record();
  write_status(bridge.bytes);

  const uint64_t before = now_ms();
  EXPECT_EQ(pkgstate({"-t", root_}).status, 0);
  Record rec = status();
  ASSERT_EQ(rec.bytes.size(), 192u);
  EXPECT_GE(rec.update_ts(), before);
  EXPECT_EQ(rec.bytes.substr(8), bridge.bytes.substr(8));

  // -s resets the state too; its optional attached argument is ignored.
  for (const char* opt : {"-s", "-sanything"}) {
    write_status(bridge.bytes);
    EXPECT_EQ(pkgstate({opt, root_}).status, 0) << opt;
    rec = status();
    EXPECT_GE(rec.update_ts(), before) << opt;
    EXPECT_EQ(rec.state(), 0u) << opt;
    Record expected = bridge;
    expected.set(0, 8, rec.update_ts()).set(40, 4, 0);
    EXPECT_EQ(rec.bytes, expected.bytes) << opt;
  }
}

TEST_F(Pkgstate, PrintsEveryFieldOfTheRecord) {
  write_status(bridge_record().bytes);
  const Outcome r = pkgstate({root_});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Upgrade request\n"
            "  update_ts      : 1111111111111\n"
            "  download_ts    : 2222222222222\n"
            "  download_delay : 3600\n"
            "  upgrade_ts     : 3333333333333\n"
            "  upgrade_delay  : 7200\n"
            "  force          : 1\n"
            "  download       : 2\n"
            "  local_upgrade  : 3\n"
            "State            : INSTALL SCHEDULED\n"
            "Last upgrade time: 4444444444444\n"
            "Report ts        : 5555555555555\n"
            "Current version  : 4.0.3-bsp\n"
            "Available version: 4.1.0-bsp\n");
  // Printing leaves the file as it was.
  EXPECT_EQ(read_status(), bridge_record().bytes);
}

TEST_F(Pkgstate, StateNamesAndFullWidthValues) {
  const char* names[] = {"INSTALLED",         "DOWNLOAD SCHEDULED", "DOWNLOADING",       "DOWNLOAD FAILED",
                         "DOWNLOADED",        "INSTALL SCHEDULED",  "INSTALLING",        "INSTALL SCHEDULED",
                         "INSTALLING",        "INSTALL FAILED",     "UNKNOWN",           "UNKNOWN",
                         "UNKNOWN"};
  for (uint32_t state = 0; state <= 12; ++state) {
    write_status(Record{}.set(40, 4, state).bytes);
    EXPECT_THAT(pkgstate({root_}).out, HasSubstr(std::string("State            : ") + names[state] + "\n")) << state;
  }
  write_status(Record{}.set(40, 4, 0xFFFFFFFF).bytes);
  EXPECT_THAT(pkgstate({root_}).out, HasSubstr("State            : UNKNOWN\n"));

  // Unsigned and full width; versions that fill their field without a NUL
  // stop at the field's end.
  Record big;
  big.set(0, 8, UINT64_MAX).set(16, 4, UINT32_MAX).set(36, 1, 255);
  big.text(64, std::string(64, 'c')).text(128, std::string(64, 'a'));
  write_status(big.bytes);
  const std::string out = pkgstate({root_}).out;
  EXPECT_THAT(out, HasSubstr("  update_ts      : 18446744073709551615\n"));
  EXPECT_THAT(out, HasSubstr("  download_delay : 4294967295\n"));
  EXPECT_THAT(out, HasSubstr("  force          : 255\n"));
  EXPECT_THAT(out, HasSubstr("Current version  : " + std::string(64, 'c') + "\n"));
  EXPECT_THAT(out, HasSubstr("Available version: " + std::string(64, 'a') + "\n"));
}

TEST_F(Pkgstate, HelpAndUnknownOptions) {
  Outcome r = pkgstate({"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kUsage);
  for (const char* opt : {"-x", "--time"}) {
    r = pkgstate({opt, root_});
    EXPECT_EQ(r.status, 255) << opt;
    EXPECT_EQ(r.out, "Uknown argument, usage -h option for help\n" + kUsage) << opt;
  }
}

TEST_F(Pkgstate, AShortRecordIsNeitherPrintedNorChanged) {
  for (size_t size : {0, 100, 191}) {
    const std::string content(size, '\x11');
    for (const char* opt : {"", "-t", "-s"}) {
      write_status(content);
      std::vector<std::string> args{root_};
      if (*opt) args.insert(args.begin(), opt);
      const Outcome r = pkgstate(args);
      EXPECT_EQ(r.status, 255) << size << opt;
      EXPECT_EQ(r.out, "failed to read bsp upgrade record\n") << size << opt;
      EXPECT_EQ(read_status(), content) << size << opt;
    }
  }
}

// The bridge may grow its file: the record is its first 192 bytes, and
// whatever follows is the bridge's and stays as it is.
TEST_F(Pkgstate, ALongerFileHoldsTheRecordInItsFirstBytes) {
  const Record bridge = bridge_record();
  for (size_t extra : {1, 208, 5000}) {
    std::string tail(extra, '\0');
    for (size_t i = 0; i < extra; ++i) tail[i] = static_cast<char>('a' + i % 26);
    write_status(bridge.bytes + tail);
    Outcome r = pkgstate({root_});
    EXPECT_EQ(r.status, 0) << extra;
    EXPECT_THAT(r.out, HasSubstr("State            : INSTALL SCHEDULED\n")) << extra;
    EXPECT_THAT(r.out, HasSubstr("Available version: 4.1.0-bsp\n")) << extra;

    const uint64_t before = now_ms();
    r = pkgstate({"-s", root_});
    EXPECT_EQ(r.status, 0) << extra << r.out;
    const std::string after = read_status();
    ASSERT_EQ(after.size(), 192 + extra);
    const Record rec{after.substr(0, 192)};
    EXPECT_GE(rec.update_ts(), before);
    Record expected = bridge;
    expected.set(0, 8, rec.update_ts()).set(40, 4, 0);
    EXPECT_EQ(rec.bytes, expected.bytes) << extra;
    EXPECT_EQ(after.substr(192), tail) << extra;
  }
}

// A -t killed between writing its private copy and linking it leaves the
// copy behind; later runs must not let such copies pile up.
TEST_F(Pkgstate, PrivateCopiesOfKilledRunsDoNotAccumulate) {
  fs::create_directories(dir());
  // No process has these ids: copies of runs long gone.
  for (const char* pid : {"2147483646", "999999999"})
    std::ofstream(file() + "." + pid + ".new") << std::string(192, '\x22');
  // A run that is still going (this test's own process) keeps its copy, and
  // names that are not private copies are not touched.
  const std::string live = file() + "." + std::to_string(::getpid()) + ".new";
  std::ofstream(live) << "in progress";
  for (const char* other : {".new", ".x.new", ".12.new.bak", ".bak"}) std::ofstream(file() + other) << "other";

  EXPECT_EQ(pkgstate({"-t", root_}).status, 0);
  EXPECT_EQ(read_status().size(), 192u);
  const std::string base = "bsp_upgrade_status";
  EXPECT_THAT(dir_entries(), ::testing::UnorderedElementsAre(base, base + ".12.new.bak", base + "." + std::to_string(::getpid()) + ".new",
                                            base + ".bak", base + ".new", base + ".x.new"));
}

TEST_F(Pkgstate, DirectoryProblemsFailWithoutCreatingAnything) {
  // The directory above the bridge's is missing: only one level is made.
  fs::remove_all(root_ + "/var/lib");
  Outcome r = pkgstate({"-t", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "failed to create " + dir() + " directory\nFailed to create the path\n");
  EXPECT_FALSE(fs::exists(dir()));

  // The bridge's directory is a file.
  fs::create_directories(root_ + "/var/lib");
  std::ofstream(dir()) << "not a directory";
  r = pkgstate({"-t", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "path for keeping bridge files " + dir() + " exists, but it isn't a directory\n"
                   "Failed to create the path\n");

  // A component further up is a file.
  fs::remove_all(root_ + "/var");
  std::ofstream(root_ + "/var") << "x";
  r = pkgstate({"-t", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "failed to create " + dir() + " directory\nFailed to create the path\n");
}

TEST_F(Pkgstate, AStatusPathThatIsADirectoryCannotBeOpened) {
  fs::create_directories(file());
  const Outcome r = pkgstate({root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Failed to open bsp status file (" + file() + ") for reading, error: Is a directory\n");
}

// A full file system as the file size limit shows it: no byte can be written.
TEST_F(Pkgstate, AFailedWriteNeverLeavesAShortRecord) {
  auto no_room = [](std::vector<std::string> args) {
    args.insert(args.begin(), CRX_TOOL_PKGSTATE);
    return crx::test::finish(crx::test::start(args, [] {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl {
        0, 0
      };
      ::setrlimit(RLIMIT_FSIZE, &rl);
    }));
  };
  fs::create_directories(dir());
  Outcome r = no_room({"-t", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "failed to write bsp upgrade record\n");
  EXPECT_TRUE(dir_entries().empty());  // neither a status file nor the private copy

  const Record before = bridge_record();
  write_status(before.bytes);
  r = no_room({"-s", root_});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "failed to write bsp upgrade record\n");
  EXPECT_EQ(read_status(), before.bytes);
}

TEST_F(Pkgstate, RootTooLongForThePath) {
  const std::string dirs = "/var/lib/brevant-mqtt-bridge/bsp_upgrade_status";
  // 1023 characters still fit the path buffer; 1024 do not.
  const std::string fits(1023 - dirs.size(), 'r');
  Outcome r = pkgstate({fits});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bsp status file (" + fits + dirs + ") does not exist, do nothing\n");
  for (const auto& opt : {"", "-t"}) {
    std::vector<std::string> args{fits + "r"};
    if (*opt) args.insert(args.begin(), opt);
    r = pkgstate(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Failed to form a path for bsp upgrade status file\n");
  }
}

TEST_F(Pkgstate, TwoRootsMeanTheSystemRoot) {
  const std::string system_file = "/var/lib/brevant-mqtt-bridge/bsp_upgrade_status";
  if (::access(system_file.c_str(), F_OK) == 0) GTEST_SKIP() << "this machine has a real status file";
  write_status(bridge_record().bytes);
  // Read only: never write to the machine's own file from a test.
  const Outcome r = pkgstate({root_, root_});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "bsp status file (" + system_file + ") does not exist, do nothing\n");
}

// True when /proc/locks shows `pid` blocked waiting for a POSIX lock.
bool blocked_on_lock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string w;
    bool waiting = false;
    while (words >> w) {
      if (w == "->") waiting = true;
      if (waiting && w == std::to_string(pid)) return true;
    }
  }
  return false;
}

TEST_F(Pkgstate, WaitsForTheLockOfAnotherWriter) {
  if (!fs::exists("/proc/locks")) GTEST_SKIP() << "no /proc/locks";
  write_status(bridge_record().bytes);
  const int fd = ::open(file().c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lockf(fd, F_LOCK, 0), 0);

  const Child child = spawn({"-t", root_});
  ASSERT_GT(child.pid, 0);
  bool exited = false;
  while (!blocked_on_lock(child.pid)) {
    int st;
    if (::waitpid(child.pid, &st, WNOHANG) == child.pid) {
      exited = true;
      break;
    }
    ::usleep(1000);
  }
  ASSERT_FALSE(exited) << "pkgstate went on while the file was locked";

  // The bridge's change made under the lock must survive pkgstate's update.
  Record changed = bridge_record();
  changed.set(40, 4, 3).text(128, "4.2.0-bsp");
  ASSERT_EQ(::pwrite(fd, changed.bytes.data(), 192, 0), 192);
  ASSERT_EQ(::lockf(fd, F_ULOCK, 0), 0);
  ::close(fd);

  const Outcome r = crx::test::finish(child);
  EXPECT_EQ(r.status, 0);
  const Record rec = status();
  EXPECT_NE(rec.update_ts(), changed.update_ts());
  EXPECT_EQ(rec.bytes.substr(8), changed.bytes.substr(8));
}

TEST_F(Pkgstate, ConcurrentWritersNeverLeaveAPartialRecord) {
  // First all creating the missing file at once, then all updating it.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<Child> children;
    for (int i = 0; i < 12; ++i) {
      children.push_back(
          spawn(i % 3 == 0 ? std::vector<std::string>{"-t", "-s", root_} : std::vector<std::string>{"-t", root_}));
      ASSERT_GT(children.back().pid, 0);
    }
    // Whenever the file is there, it holds a whole record.
    for (int i = 0; i < 200; ++i) {
      std::error_code ec;
      const auto size = fs::file_size(file(), ec);
      if (!ec) {
        EXPECT_EQ(size, 192u);
      }
    }
    for (const Child& child : children) {
      const Outcome r = crx::test::finish(child);
      EXPECT_EQ(r.status, 0) << r.out;
    }
    const Record rec = status();
    ASSERT_EQ(rec.bytes.size(), 192u);
    EXPECT_NE(rec.update_ts(), 0u);
    EXPECT_EQ(rec.bytes.substr(8), std::string(184, '\0'));
    EXPECT_THAT(dir_entries(), ::testing::ElementsAre("bsp_upgrade_status"));
  }
}

}  // namespace

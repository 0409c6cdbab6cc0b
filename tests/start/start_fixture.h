// A configured large board on the simulator, ready for crx_start: the
// commissioning database of one family, its example configuration file
// read through the library, and probes of what a run leaves behind.
#pragma once

#include <dirent.h>

#include <fstream>
#include <memory>
#include <string>

#include "crx.h"
#include "crx_hal/brd_cfg.h"
#include "crx_hal/hooks.h"
#include "crx_hal/timers.h"
#include "sim/boards.h"
#include "sim/gpio.h"
#include "tests/cfgfile/board_fixture.h"
#include "tests/support/checks.h"

namespace crx::test {

struct Family {
  const char* name;
  CxDatabase (*db)();
  int chips;
  const char* file;
};

inline void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

inline const Family kCondorNa{"condor_na", condor_na_db, 8, "condor_na.json"};
inline const Family kCondorEu{"condor_eu", condor_eu_db, 4, "condor_eu.json"};
inline const Family kHeron{"heron", heron_db, 2, "heron.json"};
inline const Family kPlover{"plover", plover_db, 8, "plover.json"};

// Entries of a /proc/self folder.
inline int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
// System V segments mapped into this process.
inline int shm_attachments() {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);)
    if (line.find("SYSV") != std::string::npos) ++n;
  return n;
}

class StartTest : public ConfigFile {
 protected:
  void SetUp() override {
    ConfigFile::SetUp();
    sandbox().set_fast_clock(true);
    gpio_ = crx::sim::SysfsGpio::install(sandbox());
  }
  void TearDown() override {
    crx_stop(0);
    crx_reg_close();
    ConfigFile::TearDown();
  }

  // The family's database, board and example configuration, applied.
  void configure(const Family& f) {
    database(f.db());
    port_ = crx::sim::install_fpga_board(sandbox(), f.chips);
    ASSERT_NE(read(fixture(f.file)), nullptr) << syslog_dump();
    board().clear_firmware_releases();
    sandbox().clear_logs();
  }
  // Applies a configuration given as records instead of a file.
  void configure_records(const Family& f) {
    database(f.db());
    port_ = crx::sim::install_fpga_board(sandbox(), f.chips);
  }

  crx::sim::FpgaBoardPort& board() { return *port_; }
  static crx::brd_cfg_priv_t& priv() { return crx::brd_cfg_priv; }
  int status() {
    int s = 0;
    EXPECT_EQ(crx_brd_status(0, &s), 0);
    return s;
  }
  bool has_line(const std::string& text) const {
    for (const auto& t : const_cast<StartTest*>(this)->sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }

  std::shared_ptr<crx::sim::FpgaBoardPort> port_;
  std::shared_ptr<crx::sim::SysfsGpio> gpio_;
};

}  // namespace crx::test

// A sandbox holding a commissioning database and a configuration file.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crx.h"
#include "sim/cxdb.h"
#include "sim/testing.h"

namespace crx::test {

inline constexpr const char* kConfigPath = "/etc/default/config.json";

class ConfigFile : public crx::sim::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    database(crx::sim::CxDatabase(6));
  }

  void database(const crx::sim::CxDatabase& db) { crx::sim::cx_put_file(sandbox(), db.image()); }
  void config(const std::string& text) { sandbox().write_file(kConfigPath, text); }
  crx_gw_cfg_t* read() { return crx_read_cfg_json(nullptr); }
  // Writes `text` as the configuration file and reads it.
  crx_gw_cfg_t* read(const std::string& text) {
    config(text);
    return read();
  }

  static std::string fixture(const std::string& name) {
    std::ifstream in(std::string(CRX_TEST_DATA) + "/config/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  bool logged(const std::string& line) const {
    for (const auto& t : sandbox_ref().syslog_texts())
      if (t == line) return true;
    return false;
  }
  // The reader's own lines (not those of the layers it calls), from the
  // first one equal to `first` on.
  std::vector<std::string> lines_from(const std::string& first) const {
    std::vector<std::string> out;
    for (const auto& t : sandbox_ref().syslog_texts()) {
      if (out.empty() && t != first) continue;
      for (const char* tag : {"INFO: ", "ERROR: ", "WARNING: ", "***** "})
        if (t.rfind(tag, 0) == 0) out.push_back(t);
    }
    return out;
  }

 private:
  crx::sim::Sandbox& sandbox_ref() const { return const_cast<ConfigFile*>(this)->sandbox(); }
};

}  // namespace crx::test

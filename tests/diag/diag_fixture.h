// crxdiag on a prepared sandbox: a Condor NA's database and configuration,
// and helpers that run the program (crxdiag-sim) as a child process and
// read its JSON document.
#pragma once

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crx.h"
#include "parse.h"
#include "sim/cxdb.h"
#include "sim/testing.h"
#include "tests/support/program.h"

namespace diag_test {

using Json = nlohmann::ordered_json;
using crx::test::Outcome;

inline std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The database the factory writes for a Condor NA in the US915 region.
inline crx::sim::CxDatabase condor_na_db(int version = 6) {
  crx::sim::CxDatabase db(version);
  db.board("Q7000101");
  const char* t = "Configuration";
  db.set(t, "Operating_Band", "US915").set(t, "Min_UL_Frequency_MHz", 902.0).set(t, "Max_UL_Frequency_MHz", 928.0);
  db.set(t, "Min_DL_Frequency_MHz", 923.0).set(t, "Max_DL_Frequency_MHz", 928.0);
  db.set(t, "Module_Name", "Ostra Condor").set(t, "Module_Serial_Number", "MS-0042");
  db.set(t, "Customer_Gateway_ID", "00800000A0001234").set(t, "PCBA_MAC_Address", "0002F7A1B2C3");
  db.set(t, "PCBA_Serial_Number", "PS-777").set(t, "PCBA_Revision", "C");
  if (version >= 4) db.set(t, "Rx_LO_MHz", 908.6).set(t, "Num_of_SX1301s", 8);
  return db;
}

// One history record whose counts say which record it is: channel c of
// record m holds (m + c) good and m % 3 other packets, SF k holds
// 10 * m + k good and m % 4 other ones.
inline std::vector<uint8_t> marked_record(uint32_t m) {
  std::vector<uint8_t> r(crxdiag::kRecordSize, 0);
  auto put = [&r](size_t at, uint32_t v) { std::memcpy(&r[at], &v, 4); };
  for (uint32_t c = 0; c < 8; ++c) {
    put(16 * c, m + c);
    put(16 * c + 4, m % 3);
    put(16 * c + 8, 902300000 + 200000 * c);
    put(16 * c + 12, 125000);
  }
  for (uint32_t k = 0; k < 6; ++k) {
    put(1152 + 12 * k, 10 * m + k);
    put(1152 + 12 * k + 4, m % 4);
    r[1152 + 12 * k + 8] = uint8_t(2u << k);
  }
  return r;
}

inline std::string history_file(bool hourly, int records, uint32_t first_mark = 1) {
  std::string b(8, '\0');
  const uint32_t magic = hourly ? crxdiag::kHourlyMagic : crxdiag::kDailyMagic;
  const uint16_t version = 1, count = uint16_t(hourly ? 24 : 31);
  std::memcpy(b.data(), &magic, 4);
  std::memcpy(b.data() + 4, &version, 2);
  std::memcpy(b.data() + 6, &count, 2);
  for (int i = 0; i < records; ++i) {
    const auto r = marked_record(first_mark + uint32_t(i));
    b.append(reinterpret_cast<const char*>(r.data()), r.size());
  }
  return b;
}

class DiagTest : public crx::sim::SandboxTest {
 protected:
  void database(const crx::sim::CxDatabase& db) { crx::sim::cx_put_file(sandbox(), db.image()); }
  void config() { sandbox().write_file("/etc/default/config.json", read_text(std::string(CRX_TEST_DATA) + "/config/condor_na.json")); }
  void histories() {
    sandbox().make_dirs("/var/lib/logs");
    sandbox().write_file("/var/lib/logs/packet_history.hr", history_file(true, 24));
    sandbox().write_file("/var/lib/logs/packet_history.day", history_file(false, 31, 100));
  }

  // crxdiag-sim with `args`, in this sandbox, with extra environment.
  Outcome run(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env = {}) {
    std::vector<std::string> argv{CRX_TOOL_CRXDIAG_SIM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string root = sandbox().root();
    return crx::test::finish(crx::test::start(argv, [&] {
      ::setenv("CRX_SIM_ROOT", root.c_str(), 1);
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    }));
  }
  // The same with --json: the document (null when the output is not one),
  // whose "status" is checked against the exit status.
  Json run_json(std::vector<std::string> args, const std::vector<std::pair<std::string, std::string>>& env = {}) {
    args.push_back("--json");
    const Outcome o = run(args, env);
    const Json doc = Json::parse(o.out, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << o.out << o.err;
    if (!doc.is_discarded()) {
      EXPECT_EQ(doc["status"], o.status);
    }
    return doc;
  }

  // The sandbox's copy of a System V segment the library uses.
  int segment(int key, size_t size) { return ::shmget(sandbox().ipc_key(key), size, IPC_CREAT | 0666); }
  void write_segment(int key, const std::vector<uint8_t>& bytes) {
    const int id = segment(key, bytes.size());
    ASSERT_GE(id, 0);
    void* p = ::shmat(id, nullptr, 0);
    ASSERT_NE(p, reinterpret_cast<void*>(-1));
    std::memcpy(p, bytes.data(), bytes.size());
    ::shmdt(p);
  }
};

}  // namespace diag_test

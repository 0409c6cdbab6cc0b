// crxdiag faults against the fault memory as the library leaves it, and
// against memories it does not know.
#include <gmock/gmock.h>

#include "diag_fixture.h"

using ::testing::HasSubstr;

namespace diag_test {
namespace {

class Faults : public DiagTest {
 protected:
  std::vector<uint8_t> memory() {
    const int id = ::shmget(sandbox().ipc_key(crxdiag::kFaultMemoryKey), 0, 0);
    if (id < 0) return {};
    struct shmid_ds ds {};
    ::shmctl(id, IPC_STAT, &ds);
    void* p = ::shmat(id, nullptr, SHM_RDONLY);
    std::vector<uint8_t> b(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + ds.shm_segsz);
    ::shmdt(p);
    return b;
  }
};

TEST_F(Faults, ActiveFaultsByNameWithTheAlarmWordAndStatusTwo) {
  ASSERT_EQ(raise_fault_alarms(ERR_BAD_FREQ_BAND), 0);  // fault 2, alarm 1; the memory starts with fault 7
  const std::vector<uint8_t> before = memory();
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["status"], 2);
  EXPECT_EQ(doc["version"], "1.2");
  EXPECT_EQ(doc["size"], 196);
  EXPECT_EQ(doc["active"], Json::array({2, 7}));
  EXPECT_EQ(doc["alarm_word"], "0x03");
  ASSERT_EQ(doc["faults"].size(), 10u);
  for (const auto& f : doc["faults"]) {
    const int id = f["id"];
    EXPECT_EQ(f["active"], id == 2 || id == 7) << f;
    EXPECT_EQ(f["status"], id == 2 || id == 7 ? 1 : 0) << f;
  }
  EXPECT_EQ(doc["faults"][1]["name"], "transceiver");
  EXPECT_EQ(doc["faults"][6]["name"], "downlink idle");
  EXPECT_EQ(doc["alarms"][0]["active"], true);
  EXPECT_EQ(doc["alarms"][1]["active"], true);
  EXPECT_EQ(doc["alarms"][2]["active"], false);
  EXPECT_EQ(memory(), before);  // read, never written

  const Outcome o = run({"faults"});
  EXPECT_EQ(o.status, 2);
  EXPECT_THAT(o.out, HasSubstr("Fault memory version 1.2, alarm word 0x03\n"));
  EXPECT_THAT(o.out, HasSubstr("fault  2  ACTIVE  transceiver       AD9361 calibration or start-up failure\n"));
  EXPECT_THAT(o.out, HasSubstr("fault  1  clear   radio hardware"));
  EXPECT_THAT(o.out, HasSubstr("2 faults active.\n"));
}

TEST_F(Faults, NoActiveFaultGivesStatusZero) {
  ASSERT_EQ(crx_update_fault_status(7, 0), 0);
  const Outcome o = run({"faults"});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_THAT(o.out, HasSubstr("No fault active.\n"));
  EXPECT_THAT(o.out, HasSubstr("alarm word 0x00"));
}

TEST_F(Faults, NoFaultMemoryIsSaidAndNotCreated) {
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["status"], 3);
  EXPECT_THAT(doc["problem"].get<std::string>(), HasSubstr("no fault memory (System V key 44946)"));
  EXPECT_TRUE(doc["faults"].empty());
  EXPECT_TRUE(memory().empty());
  EXPECT_THAT(run({"faults"}).out, HasSubstr("MISSING: no fault memory"));
}

TEST_F(Faults, MemoryOfAnotherSizeIsNotDecoded) {
  write_segment(crxdiag::kFaultMemoryKey, std::vector<uint8_t>(100, 1));
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["status"], 3);
  EXPECT_EQ(doc["problem"], "the fault memory is 100 bytes, 196 expected: not decoded");
  EXPECT_TRUE(doc["faults"].empty());
}

TEST_F(Faults, MemoryOfAnotherVersionIsNotDecoded) {
  std::vector<uint8_t> b(196, 0);
  b[0] = 2;
  write_segment(crxdiag::kFaultMemoryKey, b);
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["status"], 3);
  EXPECT_THAT(doc["problem"].get<std::string>(), HasSubstr("version 2.0, which this program does not know"));
  b[0] = 0;
  write_segment(crxdiag::kFaultMemoryKey, b);
  EXPECT_THAT(run({"faults"}).out, HasSubstr("MISSING: the fault memory was never initialised (version 0)"));
}

// The layout before minor version 1 has no faults 8-10 or alarms 6-7.
TEST_F(Faults, VersionOneZeroLacksTheLaterFaults) {
  std::vector<uint8_t> b(196, 0);
  b[0] = 1;
  for (int i = 0; i <= 10; ++i) b[size_t(20 + 4 * i)] = uint8_t(i);
  for (int i = 0; i <= 7; ++i) b[size_t(132 + 4 * i)] = uint8_t(i);
  b[22 + 4 * 3] = 1;  // fault 3
  b[22 + 4 * 9] = 1;  // beyond the version: not read
  write_segment(crxdiag::kFaultMemoryKey, b);
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["status"], 2);
  EXPECT_EQ(doc["version"], "1.0");
  EXPECT_EQ(doc["active"], Json::array({3}));
  EXPECT_TRUE(doc["faults"][8]["status"].is_null());
  EXPECT_TRUE(doc["alarms"][6]["status"].is_null());
  EXPECT_THAT(doc["note"].get<std::string>(), HasSubstr("faults 8-10 and alarms 6-7 do not exist"));
}

TEST_F(Faults, LargerMemoryDecodesItsFirstPart) {
  ASSERT_EQ(crx_update_fault_status(7, 1), 0);
  std::vector<uint8_t> b = memory();
  b.resize(300, 0xEE);
  const int old = ::shmget(sandbox().ipc_key(crxdiag::kFaultMemoryKey), 0, 0);
  ASSERT_EQ(::shmctl(old, IPC_RMID, nullptr), 0);
  write_segment(crxdiag::kFaultMemoryKey, b);
  const Json doc = run_json({"faults"});
  EXPECT_EQ(doc["active"], Json::array({7}));
  EXPECT_THAT(doc["note"].get<std::string>(), HasSubstr("300 bytes"));
}

}  // namespace
}  // namespace diag_test

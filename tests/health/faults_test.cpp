// The fault memory as the processes of a gateway share it: its bytes, the
// mapping of error codes to faults and alarms, old layouts, and a writer
// that died holding the lock.
#include <gtest/gtest.h>

#include <semaphore.h>
#include <sys/shm.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "child.h"
#include "crx.h"
#include "health/faults.h"
#include "platform/os.h"
#include "sim/testing.h"

namespace {

using health_test::in_child;
namespace h = crx::health;

class FaultMemory : public crx::sim::SandboxTest {
 protected:
  // The segment as another program of the gateway maps it, or null.
  uint8_t* raw() {
    const int id = crx::os::shmget(h::kFaultShmKey, 0, 0);
    if (id < 0) return nullptr;
    void* p = ::shmat(id, nullptr, 0);
    return p == reinterpret_cast<void*>(-1) ? nullptr : static_cast<uint8_t*>(p);
  }
  // A segment as an older library left it: version 1.0 with all entries.
  uint8_t* make_segment(uint16_t minor, uint8_t major = 1) {
    const int id = crx::os::shmget(h::kFaultShmKey, h::kFaultShmSize, IPC_CREAT | IPC_EXCL | 0666);
    EXPECT_GE(id, 0);
    auto* b = static_cast<uint8_t*>(::shmat(id, nullptr, 0));
    std::memset(b, 0, h::kFaultShmSize);
    ::sem_init(reinterpret_cast<sem_t*>(b + 4), 1, 1);
    b[0] = major;
    b[192] = uint8_t(minor);
    for (int i = 0; i < 11; ++i) b[20 + 4 * i] = uint8_t(i);
    for (int i = 0; i < 8; ++i) b[132 + 4 * i] = uint8_t(i);
    return b;
  }
  bool logged(const std::string& text) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == text) return true;
    return false;
  }
  std::vector<int> faults() {
    std::vector<int> v;
    for (uint16_t id = 1; id <= 10; ++id) v.push_back(crx_get_fault_status(id));
    return v;
  }
  std::vector<int> alarms() {
    std::vector<int> v;
    for (uint16_t id = 1; id <= 7; ++id) v.push_back(crx_get_alarm_status(id));
    return v;
  }
};

TEST_F(FaultMemory, FirstWriterCreatesTheLayoutOtherProcessesRead) {
  // The writer is another process; this one only reads.
  ASSERT_EQ(in_child([] { return crx_update_fault_status(5, 1) == 0 ? 0 : 1; }), 0);

  EXPECT_EQ(faults(), (std::vector<int>{0, 0, 0, 0, 1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(alarms(), (std::vector<int>{0, 1, 1, 0, 0, 0, 0}));
  EXPECT_TRUE(logged("get_shm_fault_status: first time read, attaching to shared memory."));

  const int id = crx::os::shmget(h::kFaultShmKey, 0, 0);
  struct shmid_ds ds {};
  ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 196u);
  EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);

  const uint8_t* b = raw();
  ASSERT_NE(b, nullptr);
  std::vector<uint8_t> expected(196, 0);
  expected[0] = 1;
  expected[192] = 2;
  for (int i = 0; i < 11; ++i) expected[20 + 4 * i] = uint8_t(i);
  for (int i = 0; i < 8; ++i) expected[132 + 4 * i] = uint8_t(i);
  expected[22 + 4 * 7] = 1;   // fault 7: no downlink yet
  expected[22 + 4 * 5] = 1;   // fault 5, from the child
  expected[134 + 4 * 2] = 1;  // alarm 2
  expected[134 + 4 * 3] = 1;  // alarm 3 follows fault 5
  std::vector<uint8_t> outside_semaphore(b, b + 196);
  std::fill(outside_semaphore.begin() + 4, outside_semaphore.begin() + 20, 0);
  EXPECT_EQ(outside_semaphore, expected);
  int value = -1;
  ::sem_getvalue(reinterpret_cast<sem_t*>(const_cast<uint8_t*>(b) + 4), &value);
  EXPECT_EQ(value, 1) << "semaphore left taken";

  // A second writer attaches to what exists instead of starting afresh.
  ASSERT_EQ(crx_update_fault_status(6, 1), 0);
  EXPECT_EQ(crx_get_fault_status(5), 1);
  EXPECT_EQ(crx_get_alarm_status(4), 1);
}

TEST_F(FaultMemory, ReaderWhereNoWriterRanFails) {
  EXPECT_EQ(crx_get_fault_status(1), -1);
  EXPECT_EQ(crx_get_alarm_status(1), -1);
  EXPECT_TRUE(logged("attach_fault_module fault shared memory does not exist."));
  EXPECT_TRUE(logged("get_shm_alarm_status: Failed to attach to shared memory."));
  EXPECT_EQ(raw(), nullptr) << "a reader must not create the memory";
  EXPECT_EQ(update_shm_alarm_status(1, 1), -1);
  EXPECT_TRUE(logged("update_shm_alarm_status something wrong, shared memory or semaphore empty."));
}

TEST_F(FaultMemory, ErrorCodesMapToTheirFaultsAtTheRangeEdges) {
  const std::vector<std::pair<int, int>> code_fault = {
      {-1, 0}, {0, 0},  {1, 1},  {2, 1},  {3, 0},  {8, 0},  {9, 1},  {13, 1}, {14, 0}, {26, 0},
      {27, 1}, {38, 1}, {39, 2}, {54, 2}, {57, 2}, {58, 0}, {64, 0}, {65, 3}, {66, 0}, {69, 1}};
  for (auto [code, fault] : code_fault) EXPECT_EQ(h::error2fault(code), fault) << "code " << code;

  EXPECT_EQ(h::fault2alarm(8), 2);
  EXPECT_EQ(h::fault2alarm(9), 0);
  EXPECT_EQ(h::fault2alarm(11), 0);
  EXPECT_TRUE(logged("fault2alarm: invalid fault id: 11"));
  EXPECT_EQ(h::is_alarm_on(8), 0);
  EXPECT_TRUE(logged("is_alarm_on: invalid alarm id: 8"));
}

TEST_F(FaultMemory, AlarmsClearOnlyWhenNoneOfTheirFaultsIsActive) {
  ASSERT_EQ(raise_fault_alarms(1), 0);
  ASSERT_EQ(raise_fault_alarms(54), 0);
  EXPECT_EQ(crx_get_fault_status(2), 1);
  EXPECT_EQ(crx_get_alarm_status(1), 1);
  ASSERT_EQ(clear_fault_alarms(54), 0);
  EXPECT_EQ(crx_get_fault_status(2), 0);
  EXPECT_EQ(crx_get_alarm_status(1), 1) << "fault 1 still active";
  ASSERT_EQ(clear_fault_alarms(2), 0);
  EXPECT_EQ(crx_get_alarm_status(1), 0);

  ASSERT_EQ(raise_fault_alarms(65), 0);
  ASSERT_EQ(clear_fault_alarms(65), 0);
  EXPECT_EQ(crx_get_fault_status(3), 0);
  EXPECT_EQ(crx_get_alarm_status(2), 1) << "fault 7 still active";
  ASSERT_EQ(crx_update_fault_status(7, 0), 0);
  EXPECT_EQ(crx_get_alarm_status(2), 0);
  ASSERT_EQ(crx_update_fault_status(8, 1), 0);
  EXPECT_EQ(crx_get_alarm_status(2), 1);

  // Alarms 3 and 4 follow their single fault exactly, whatever it holds.
  for (uint8_t v : {1, 7, 0}) {
    ASSERT_EQ(crx_update_fault_status(5, v), 0);
    EXPECT_EQ(crx_get_alarm_status(3), v);
    ASSERT_EQ(crx_update_fault_status(6, v), 0);
    EXPECT_EQ(crx_get_alarm_status(4), v);
  }
}

TEST_F(FaultMemory, CodesWithoutFaultAndInvalidIdsChangeNothing) {
  ASSERT_EQ(crx_update_fault_status(1, 0), 0);  // creates the memory
  const uint8_t* b = raw();
  const std::vector<uint8_t> before(b, b + 196);

  EXPECT_EQ(raise_fault_alarms(14), 0);
  EXPECT_EQ(clear_fault_alarms(14), 0);
  EXPECT_EQ(raise_fault_alarms(70), -1);
  EXPECT_TRUE(logged("raise_fault_alarms, invalid error code: 70"));
  EXPECT_EQ(clear_fault_alarms(70), -1);
  EXPECT_TRUE(logged("clear_fault_alarms, invalid error code: 70"));
  EXPECT_EQ(crx_update_fault_status(0, 1), -1);
  EXPECT_EQ(crx_update_fault_status(11, 1), -1);
  EXPECT_TRUE(logged("update_shm_fault_status invalid fault id: 11"));
  EXPECT_TRUE(logged("BrvDBG-HAL crx_update_fault_status ERROR failed to update fault: 11"));
  EXPECT_EQ(update_shm_alarm_status(8, 1), -1);
  EXPECT_EQ(crx_get_fault_status(11), -1);
  EXPECT_TRUE(logged("get_shm_fault_status invalid fault id: 11."));
  EXPECT_EQ(crx_get_alarm_status(0), -1);
  EXPECT_TRUE(logged("get_shm_alarm_status invalid alarm id: 0."));
  EXPECT_EQ(std::vector<uint8_t>(b, b + 196), before);
}

TEST_F(FaultMemory, FaultWithoutAlarmIsStoredButReportsTheAlarmStep) {
  EXPECT_EQ(crx_update_fault_status(9, 1), -1);
  EXPECT_EQ(crx_get_fault_status(9), 1);
  EXPECT_TRUE(logged("update_shm_alarm_status invalid alarm id: 0."));
  EXPECT_EQ(alarms(), (std::vector<int>{0, 1, 0, 0, 0, 0, 0}));
}

TEST_F(FaultMemory, OlderLayoutWithoutTheNewerIdsIsHonoured) {
  uint8_t* b = make_segment(0);
  b[22 + 4 * 8] = 1;  // whatever an old layout holds where fault 8 would be

  EXPECT_EQ(crx_update_fault_status(10, 1), 0);
  EXPECT_TRUE(logged("fault_init: shared memory version: 1.0."));
  EXPECT_TRUE(logged("update_shm_fault_status fault id: 10 not supported on shm version: 0."));
  EXPECT_EQ(b[22 + 4 * 10], 0);
  EXPECT_EQ(crx_get_fault_status(8), 0);
  EXPECT_TRUE(logged("get_shm_fault_status fault id: 8 not supported on shm version: 1.0."));
  EXPECT_EQ(crx_get_alarm_status(6), 0);
  EXPECT_TRUE(logged("get_shm_alarm_status alarm id: 6 not supported on shm version: 0."));
  EXPECT_EQ(crx_get_fault_status(7), 0);

  EXPECT_EQ(update_shm_alarm_status(7, 1), 0);
  EXPECT_EQ(b[134 + 4 * 7], 0);
  // The byte where fault 8 would be does not hold alarm 2 on.
  ASSERT_EQ(crx_update_fault_status(4, 1), 0);
  ASSERT_EQ(crx_update_fault_status(4, 0), 0);
  EXPECT_EQ(crx_get_alarm_status(2), 0);
}

TEST_F(FaultMemory, UninitialisedMemoryIsRefused) {
  make_segment(2, 0);
  EXPECT_EQ(crx_update_fault_status(1, 1), -1);
  EXPECT_TRUE(logged("update_shm_fault_status uninitialized shared memory or unsupported version: 0"));
  EXPECT_EQ(crx_get_fault_status(1), -1);
  EXPECT_TRUE(logged("get_shm_fault_status uninitialized shared memory or unsupported version: 0."));
}

TEST_F(FaultMemory, WriterThatDiedHoldingTheLockDelaysOthersOnlyBriefly) {
  ASSERT_EQ(crx_update_fault_status(5, 0), 0);
  // Another process takes the semaphore and dies before giving it back.
  ASSERT_EQ(in_child([this] {
              uint8_t* b = raw();
              return b && ::sem_wait(reinterpret_cast<sem_t*>(b + 4)) == 0 ? 0 : 1;
            }),
            0);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(crx_update_fault_status(5, 1), -1);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 30.0) << "gave up rather than waiting for ever";
  bool explained = false;
  for (const auto& t : sandbox().syslog_texts())
    explained = explained || t.find("update_shm_fault_status: fault memory semaphore not free after 1000 ms") == 0;
  EXPECT_TRUE(explained);
  EXPECT_EQ(crx_get_fault_status(5), 0) << "reads go on, the write was dropped";

  // Once the semaphore is free again writes succeed.
  ::sem_post(reinterpret_cast<sem_t*>(raw() + 4));
  EXPECT_EQ(crx_update_fault_status(5, 1), 0);
  EXPECT_EQ(crx_get_alarm_status(3), 1);
}

TEST_F(FaultMemory, WritersInSeveralProcessesAllLand) {
  ASSERT_EQ(crx_update_fault_status(1, 0), 0);
  std::vector<pid_t> kids;
  for (uint16_t fault : {1, 2, 4, 5, 6}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int rc = 0;
      for (int i = 0; i < 200; ++i) rc |= crx_update_fault_status(fault, uint8_t(i & 1));
      rc |= crx_update_fault_status(fault, 1);
      ::_exit(rc == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(faults(), (std::vector<int>{1, 1, 0, 1, 1, 1, 1, 0, 0, 0}));
  EXPECT_EQ(alarms(), (std::vector<int>{1, 1, 1, 1, 0, 0, 0}));
}

}  // namespace

// The localization segment and its filter list of device addresses, as
// processes of a gateway share them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "crx.h"
#include "loc/loc_shm.h"
#include "platform/os.h"
#include "sim/testing.h"

namespace {

using crx::loc::kFilterLength;
using crx::loc::Segment;
using ::testing::ElementsAre;

class Filter : public crx::sim::SandboxTest {
 protected:
  Segment& seg() {
    if (!crx::loc::segment()) {
      EXPECT_EQ(crx::loc::shm_attach(), 0);
    }
    return *crx::loc::segment();
  }
  std::vector<uint32_t> listed() {
    std::vector<uint32_t> out;
    for (uint32_t a : seg().filter)
      if (a != 0) out.push_back(a);
    return out;
  }
  bool logged(const std::string& line) {
    for (const auto& t : sandbox().syslog_texts())
      if (t == line) return true;
    return false;
  }
  // Runs `body` in `n` child processes, released together once all
  // exist; true when all exit with 0.
  template <typename F>
  bool in_children(int n, F body) {
    int start[2];
    if (::pipe(start) != 0) return false;
    std::vector<pid_t> kids;
    for (int k = 0; k < n; ++k) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(start[1]);
        char c;
        while (::read(start[0], &c, 1) > 0) {}
        _exit(body(k));
      }
      kids.push_back(pid);
    }
    ::close(start[0]);
    ::close(start[1]);
    bool ok = true;
    for (pid_t pid : kids) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    return ok;
  }
};

TEST_F(Filter, SegmentIsCreatedUnderItsKeyWithItsSizeAndStartsEmpty) {
  ASSERT_EQ(crx::loc::shm_attach(), 0);
  const int id = ::shmget(crx::os::ipc_key(44970), 0, 0);
  ASSERT_GE(id, 0);
  struct shmid_ds ds {};
  ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 4288u);
  EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
  const auto* bytes = reinterpret_cast<const uint8_t*>(crx::loc::segment());
  EXPECT_EQ(std::count(bytes, bytes + 4288, 0), 4288);

  // A second attach in the same process changes nothing.
  EXPECT_EQ(crx::loc::shm_attach(), 0);
  EXPECT_TRUE(logged("shm_attach shared memory already initialized. Do nothing."));
  crx::loc::shm_detach();
  EXPECT_LT(::shmget(crx::os::ipc_key(44970), 0, 0), 0) << "the last one out destroys it";
}

TEST_F(Filter, ASegmentTooSmallUnderTheKeyIsRefused) {
  const int id = ::shmget(crx::os::ipc_key(44970), 1024, IPC_CREAT | 0666);
  ASSERT_GE(id, 0);
  EXPECT_EQ(crx_loc_add_mote(0x1234), -1);
  EXPECT_FALSE(crx::loc::segment());
  bool found = false;
  for (const auto& t : sandbox().syslog_texts())
    found = found || t.rfind("shm_attach shmget - memory already exists, but we can't find it. errno: ", 0) == 0;
  EXPECT_TRUE(found) << syslog_dump();
}

TEST_F(Filter, AddingListsEachAddressOnceAndActivatesTheFilter) {
  EXPECT_EQ(crx_loc_add_mote(0x26011BDA), 0);  // attaches by itself
  EXPECT_EQ(seg().filter_active, 1);
  EXPECT_EQ(crx_loc_add_mote(0x26011BDB), 0);
  EXPECT_EQ(crx_loc_add_mote(0x26011BDA), 0);
  EXPECT_THAT(listed(), ElementsAre(0x26011BDAu, 0x26011BDBu));

  EXPECT_EQ(crx_loc_add_mote(0), -1);
  EXPECT_TRUE(logged("crx_loc_add_mote: Invalid mote address."));
  EXPECT_EQ(crx_loc_del_mote(0), -1);
  EXPECT_TRUE(logged("crx_loc_del_mote: Empty entry."));
  EXPECT_EQ(listed().size(), 2u);
}

TEST_F(Filter, TheHundredAndFirstDistinctAddressIsRefused) {
  for (uint32_t a = 1; a <= kFilterLength; ++a) ASSERT_EQ(crx_loc_add_mote(a), 0) << a;
  EXPECT_EQ(crx_loc_add_mote(kFilterLength), 0) << "already listed, not new";
  EXPECT_EQ(crx_loc_add_mote(kFilterLength + 1), -1);
  EXPECT_TRUE(logged("crx_loc_add_mote: filter list full."));
  EXPECT_EQ(listed().size(), kFilterLength);
  // A freed entry is taken again.
  EXPECT_EQ(crx_loc_del_mote(50), 0);
  EXPECT_EQ(crx_loc_add_mote(kFilterLength + 1), 0);
  EXPECT_EQ(seg().filter[kFilterLength - 1], kFilterLength + 1);
}

TEST_F(Filter, DeletingMovesLaterEntriesDownAndTheLastOneDeactivates) {
  for (uint32_t a : {0xA1u, 0xA2u, 0xA3u}) ASSERT_EQ(crx_loc_add_mote(a), 0);
  EXPECT_EQ(crx_loc_del_mote(0xA1), 0);
  EXPECT_THAT(listed(), ElementsAre(0xA2u, 0xA3u));
  EXPECT_EQ(seg().filter[0], 0xA2u);
  EXPECT_EQ(seg().filter[1], 0xA3u);
  EXPECT_EQ(seg().filter[2], 0u);

  EXPECT_EQ(crx_loc_del_mote(0xA1), -1);
  EXPECT_TRUE(logged("crx_loc_del_mote: Mote not in filter list."));
  EXPECT_EQ(crx_loc_del_mote(0xA3), 0);
  EXPECT_EQ(seg().filter_active, 1);
  EXPECT_EQ(crx_loc_del_mote(0xA2), 0);
  EXPECT_EQ(seg().filter_active, 0);
  EXPECT_TRUE(listed().empty());
}

TEST_F(Filter, ProcessesUpdatingAtOnceLoseNothing) {
  seg();  // the parent owns the key, so the sandbox removes the segment
  constexpr int kProcesses = 4;
  constexpr uint32_t kEach = 25;
  // Each child adds its own addresses, deleting and re-adding every one,
  // while the others do the same.
  ASSERT_TRUE(in_children(kProcesses, [](int k) {
    crx::loc::shm_detach();  // attach afresh, as an unrelated process would
    for (int round = 0; round < 4000; ++round) {
      for (uint32_t i = 1; i <= kEach; ++i)
        if (crx_loc_add_mote(static_cast<uint32_t>(k) << 16 | i) != 0) return 1;
      for (uint32_t i = 1; i <= kEach; i += 2)
        if (crx_loc_del_mote(static_cast<uint32_t>(k) << 16 | i) != 0) return 2;
      for (uint32_t i = 1; i <= kEach; i += 2)
        if (crx_loc_add_mote(static_cast<uint32_t>(k) << 16 | i) != 0) return 3;
    }
    return 0;
  }));
  const auto all = listed();
  EXPECT_EQ(all.size(), kProcesses * kEach);
  EXPECT_EQ(std::set<uint32_t>(all.begin(), all.end()).size(), all.size()) << "no address twice";
  for (size_t i = 0; i < all.size(); ++i) EXPECT_NE(seg().filter[i], 0u) << "packed at the front";
}

TEST_F(Filter, AnOwnerThatDiedHoldingTheListDoesNotBlockTheOthers) {
  seg();
  // A process dies in the middle of a deletion: lock held, one hole and
  // one address twice in the list.
  ASSERT_TRUE(in_children(1, [](int) {
    Segment& s = *crx::loc::segment();
    s.filter_owner = static_cast<uint32_t>(::getpid());
    s.filter[0] = 0xB1;
    s.filter[1] = 0;
    s.filter[2] = 0xB3;
    s.filter[3] = 0xB3;
    s.filter_active = 1;
    return 0;
  }));
  EXPECT_EQ(crx_loc_add_mote(0xB4), 0);
  EXPECT_THAT(listed(), ElementsAre(0xB1u, 0xB3u, 0xB4u));
  EXPECT_EQ(seg().filter[3], 0u);
  EXPECT_EQ(seg().filter_owner, 0u);
}

}  // namespace

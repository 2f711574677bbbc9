// A storage failure followed by a crash: the pager must never leave a mix
// of the old and the new state, whichever step failed first and wherever
// the process then died.
#include <gtest/gtest.h>

#include <map>

#include "storage/pager.h"
#include "storage/wal.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::SimDisk;
using orvi::testing::SimStorage;

class FailThenCrashTest : public orvi::testing::CrashTest {
 protected:
  // What a killed process leaves: every write that returned, flushed or not.
  static SimDisk killed(const SimDisk& disk) {
    SimDisk after;
    after.current = disk.current;
    after.durable = disk.current;
    return after;
  }
};

// The first failure may hit any step of the commit, including the write or
// the flush of the header that names the log; the process then retries
// (or rolls back, which finishes a durable log the same way) and dies at
// any step of that second attempt.
TEST_F(FailThenCrashTest, CommitFailureThenCrashDuringTheRetry) {
  {
    auto p = open_image(disk_, true);
    write_state(*p, 70, 1);
    ASSERT_TRUE(p->commit());
  }
  const SimDisk saved = disk_;
  State old_state, new_state;
  {
    auto p = open_image(disk_, false);
    old_state = read_state(*p);
    write_state(*p, 140, 2);
    new_state = read_state(*p);
  }
  int cases = 0;
  for (int rollback = 0; rollback < 2; ++rollback) {
    for (uint64_t first = 1; first <= 16; ++first) {
      for (uint64_t second = 1; second <= 8; ++second) {
        disk_ = saved;
        auto p = open_image(disk_, false);
        write_state(*p, 140, 2);
        disk_.fail_once_at = disk_.ops + first;
        if (p->commit()) continue;  // `first` lies beyond the commit
        disk_.fail_once_at = 0;
        disk_.crash_at = disk_.ops + second;
        Status again = rollback ? p->rollback() : p->commit();
        p.reset();
        SimDisk after = killed(disk_);
        auto r = open_image(after, false);
        ASSERT_TRUE(r);
        State got = read_state(*r);
        EXPECT_TRUE(got == old_state || got == new_state)
            << "failure at call " << first << ", crash at call " << second
            << " of the " << (rollback ? "rollback" : "retry")
            << (again ? " (which succeeded)" : "");
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 100);
}

// clear() either leaves the old database or an empty one, whichever of
// its storage calls fails, and a database emptied by a clear whose cut
// failed still takes new records (the bytes left beyond it are not
// mistaken for records).
TEST_F(FailThenCrashTest, ClearFailureLeavesOldOrEmpty) {
  {
    auto p = open_image(disk_, true);
    write_state(*p, 100, 3);
    ASSERT_TRUE(p->commit());
  }
  const SimDisk saved = disk_;
  State old_state;
  {
    auto p = open_image(disk_, false);
    old_state = read_state(*p);
  }
  const State empty{1, {}};
  for (uint64_t k = 1; k <= 4; ++k) {
    for (int after_failure = 0; after_failure < 3; ++after_failure) {
      disk_ = saved;
      auto p = open_image(disk_, false);
      disk_.fail_once_at = disk_.ops + k;
      Status cleared = p->clear_to_empty();
      disk_.fail_once_at = 0;
      if (cleared) {
        // Once the empty header is durable the clear has happened; a
        // failure to cut the file is not reported.
        EXPECT_GE(k, 3u);
        auto r = open_image(disk_, false);
        ASSERT_TRUE(r);
        EXPECT_EQ(read_state(*r), empty);
        continue;
      }
      EXPECT_LE(k, 2u);
      if (after_failure == 0) {
        // Killed right after the failure.
        p.reset();
        SimDisk after = killed(disk_);
        auto r = open_image(after, false);
        ASSERT_TRUE(r) << "failure at call " << k;
        State got = read_state(*r);
        EXPECT_TRUE(got == old_state || got == empty) << "failure at call " << k;
        continue;
      }
      if (after_failure == 1) {
        ASSERT_TRUE(p->rollback()) << "failure at call " << k;
      } else {
        p.reset();
        p = open_image(disk_, false);
        ASSERT_TRUE(p);
      }
      State got = read_state(*p);
      ASSERT_TRUE(got == old_state || got == empty) << "failure at call " << k;
      if (got == empty) {
        // New records land in fresh extents that read as zeros.
        write_state(*p, 5, 9);
        ASSERT_TRUE(p->commit()) << "failure at call " << k;
        p.reset();
        auto r = open_image(disk_, false);
        ASSERT_TRUE(r);
        EXPECT_EQ(read_state(*r), (State{6, {{1, 9}, {2, 9}, {3, 9}, {4, 9}, {5, 9}}}));
      }
    }
  }
}

// The space beyond an emptied database is handed out again as zeros even
// when a clear could not cut the file.
TEST_F(FailThenCrashTest, StaleBytesBeyondTheDatabaseAreCutBeforeReuse) {
  auto p = open_image(disk_, true);
  write_state(*p, 10, 4);
  ASSERT_TRUE(p->commit());
  const uint64_t long_size = disk_.current.size();
  ASSERT_GT(long_size, kDataStart);
  // Header write and flush succeed, the cut fails (and is not reported).
  disk_.fail_once_at = disk_.ops + 3;
  ASSERT_TRUE(p->clear_to_empty());
  disk_.fail_once_at = 0;
  EXPECT_EQ(disk_.current.size(), long_size);
  EXPECT_EQ(p->header().next_node_id, 1u);
  auto slot_extent = p->allocate_extent(ExtentKind::kNode);
  ASSERT_TRUE(slot_extent);
  EXPECT_EQ(*slot_extent, kDataStart);
  EXPECT_EQ(disk_.current.size(), kDataStart);
  auto slot = p->read_node_slot(1);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->id, 0u);
}

}  // namespace
}  // namespace orvi

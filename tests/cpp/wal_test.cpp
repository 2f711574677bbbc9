#include "storage/wal.h"

#include <gtest/gtest.h>

#include <map>

#include "db/graphdb.h"
#include "storage/crc32.h"
#include "storage/pager.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::SimDisk;
using orvi::testing::SimStorage;
using orvi::testing::slurp;
using orvi::testing::spit;
using orvi::testing::TempDir;

class WalTest : public orvi::testing::CrashTest {
 protected:
  static std::unique_ptr<Pager> reopen_image(SimDisk& disk) {
    return open_image(disk, false);
  }
};

TEST_F(WalTest, CommitWritesTheExactLogBytes) {
  auto p = open_disk(true);
  write_state(*p, 1, 3);
  ASSERT_EQ(p->dirty_count(), 2u);  // index page + slot page
  ASSERT_TRUE(p->commit());
  const uint8_t* log = disk_.current.data() + kWalOffset;
  for (int e = 0; e < 2; ++e) {
    const uint8_t* entry = log + e * kWalPageEntry;
    EXPECT_EQ(get_u32(entry), 4117u);
    EXPECT_EQ(entry[4], kWalKindPage);
    EXPECT_EQ(get_u32(entry + 13), 4096u);
    EXPECT_EQ(get_u32(entry + 4113), crc32(entry, 4113));
    uint64_t home = get_u64(entry + 5);
    EXPECT_EQ(0, std::memcmp(entry + 17, disk_.current.data() + home, 4096));
  }
  const uint8_t* commit = log + 2 * kWalPageEntry;
  EXPECT_EQ(get_u32(commit), 21u);
  EXPECT_EQ(commit[4], kWalKindCommit);
  EXPECT_EQ(get_u64(commit + 5), 0u);
  EXPECT_EQ(get_u32(commit + 13), 0u);
  EXPECT_EQ(get_u32(commit + 17), crc32(commit, 17));
  EXPECT_EQ(p->header().wal_length, 0u);
  EXPECT_FALSE(p->log_pending());
}

// The log is written in whole pages; the bytes of its last page past the
// log's end keep what the file held there (zeros in a file that did not
// reach that far).
TEST_F(WalTest, LogKeepsTheRestOfItsLastPage) {
  auto p = open_disk(true);
  write_state(*p, 1, 1);  // two dirty pages: the log ends inside page 3
  ASSERT_TRUE(p->commit());
  const uint64_t short_end = kWalOffset + 2 * kWalPageEntry + kWalCommitEntry;
  for (uint64_t i = short_end; i < kWalOffset + 3 * kPageSize; ++i) {
    ASSERT_EQ(disk_.current[i], 0) << i;
  }
  write_state(*p, 300, 2);  // a long log over the whole of those pages
  ASSERT_TRUE(p->commit());
  const std::vector<uint8_t> before = disk_.current;
  write_state(*p, 1, 3);  // one dirty page: 4138 bytes of log
  ASSERT_TRUE(p->commit());
  const uint64_t end = kWalOffset + kWalPageEntry + kWalCommitEntry;
  EXPECT_NE(0, std::memcmp(disk_.current.data() + kWalOffset,
                           before.data() + kWalOffset, end - kWalOffset));
  EXPECT_EQ(0, std::memcmp(disk_.current.data() + end, before.data() + end,
                           kWalOffset + 10 * kPageSize - end));
}

TEST_F(WalTest, CommitUsesFourFlushes) {
  auto p = open_disk(true);
  write_state(*p, 1, 1);
  uint64_t before = disk_.ops;
  ASSERT_TRUE(p->commit());
  // 3 log pages (2 entries of 4117 bytes + 21 span three pages), flush,
  // header, flush, 2 home pages, flush, header, flush.
  EXPECT_EQ(disk_.ops - before, 11u);
}

TEST_F(WalTest, The1018PageBoundary) {
  auto p = open_disk(true);
  auto touch = [&](uint64_t pages, uint8_t value) {
    for (uint64_t i = 0; i < pages; ++i) {
      ASSERT_TRUE(p->modify_page(kDataStart + i * kPageSize,
                                 [&](Page& pg) { pg[0] = value; }));
    }
  };
  touch(1018, 1);
  ASSERT_EQ(p->dirty_count(), 1018u);
  ASSERT_TRUE(p->commit());
  touch(1019, 2);
  ASSERT_EQ(p->dirty_count(), 1019u);
  uint64_t ops = disk_.ops;
  Status s = p->commit();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kWalOverflow);
  EXPECT_EQ(s.error().detail(),
            "transaction needs 4195244 bytes of WAL but only 4194304 bytes "
            "are reserved (1019 dirty pages; split the work across multiple "
            "commits)");
  EXPECT_EQ(disk_.ops, ops);  // nothing written
  EXPECT_EQ(p->dirty_count(), 1019u);
}

TEST_F(WalTest, ParseKeepsOnlyCompleteContiguousLogs) {
  auto p = open_disk(true);
  write_state(*p, 1, 1);
  ASSERT_TRUE(p->commit());
  const size_t total = 2 * kWalPageEntry + kWalCommitEntry;
  std::string log(reinterpret_cast<const char*>(disk_.current.data() + kWalOffset),
                  total);
  auto ok = Wal::parse(log);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->size(), 3u);
  // Shorter than the log: the commit entry does not end at wal_length.
  auto shorter = Wal::parse(log.substr(0, total - 1));
  ASSERT_TRUE(shorter);
  EXPECT_TRUE(shorter->empty());
  // Longer: trailing bytes after the commit entry.
  auto longer = Wal::parse(log + std::string(10, '\0'));
  ASSERT_TRUE(longer);
  EXPECT_TRUE(longer->empty());
  // A damaged commit checksum.
  std::string bad = log;
  bad[total - 1] ^= 1;
  auto damaged = Wal::parse(bad);
  ASSERT_TRUE(damaged);
  EXPECT_TRUE(damaged->empty());
  // A first entry of length 10.
  bad = log;
  put_u32(reinterpret_cast<uint8_t*>(&bad[0]), 10);
  auto tiny = Wal::parse(bad);
  ASSERT_TRUE(tiny);
  EXPECT_TRUE(tiny->empty());
  // A checksummed page entry with data length 4095.
  bad = log;
  uint8_t* e = reinterpret_cast<uint8_t*>(&bad[0]);
  put_u32(e + 13, 4095);
  put_u32(e + 4113, crc32(e, 4113));
  auto wrong_len = Wal::parse(bad);
  ASSERT_FALSE(wrong_len);
  EXPECT_EQ(wrong_len.error().detail(), "WAL: unexpected data_length 4095");
}

// Leaves a log and a header naming it, as a crash right after the header
// flush would.
void stage_unfinished_commit(SimDisk& disk) {
  auto p = Pager::open_storage(std::make_unique<SimStorage>(&disk), true);
  ASSERT_TRUE(p);
  ASSERT_TRUE((*p)->allocate_extent(ExtentKind::kNode));
  NodeSlot s;
  s.id = 1;
  s.out_degree = 9;
  ASSERT_TRUE((*p)->write_node_slot(s));
  (*p)->header().next_node_id = 2;
  // 3 log pages, flush, header, flush: crash at the first home page.
  disk.crash_at = disk.ops + 7;
  Status c = (*p)->commit();
  ASSERT_FALSE(c);
  disk.crash_at = 0;
  disk.unflushed.clear();
  disk.current = disk.durable;
}

TEST_F(WalTest, OpenReplaysAnUnfinishedCommit) {
  stage_unfinished_commit(disk_);
  auto p = reopen_image(disk_);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->header().wal_length, 0u);
  EXPECT_EQ(p->header().next_node_id, 2u);
  auto slot = p->read_node_slot(1);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->out_degree, 9u);
}

TEST_F(WalTest, OpenDiscardsALogWithADamagedCommitEntry) {
  stage_unfinished_commit(disk_);
  const uint64_t commit_crc = kWalOffset + 2 * kWalPageEntry + 17;
  disk_.current[commit_crc] ^= 0xff;
  auto p = reopen_image(disk_);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->header().wal_length, 0u);
  // The header names the new state but the pages are the old ones: the
  // slot area was never written.
  auto page = p->read_page(kDataStart);
  ASSERT_TRUE(page);
  EXPECT_EQ(*page, Page{});
}

TEST_F(WalTest, ReplayRestoresATornIndexPage) {
  stage_unfinished_commit(disk_);
  // The commit's node index page at 5246976 reached the disk torn: a count
  // far above 510. The log holds its good image.
  if (disk_.current.size() < 5246976 + kPageSize) {
    disk_.current.resize(5246976 + kPageSize, 0);
  }
  put_u32(disk_.current.data() + 5246976 + 8, 9999);
  auto p = reopen_image(disk_);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->chain(ExtentKind::kNode).extents.size(), 1u);
  auto slot = p->read_node_slot(1);
  ASSERT_TRUE(slot);
  EXPECT_EQ(slot->out_degree, 9u);
}

TEST_F(WalTest, OversizedWalLengthIsRefusedAtOpen) {
  stage_unfinished_commit(disk_);
  auto h = FileHeader::from_bytes(disk_.current.data(), kHeaderSize);
  ASSERT_TRUE(h);
  h->wal_length = kWalReserved + 1;
  h->to_bytes(disk_.current.data());
  auto p = Pager::open_storage(std::make_unique<SimStorage>(&disk_), false);
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().kind(), ErrorKind::kCorruptedFile);
}

// Crash at every counted storage call of a commit, with every kind of
// partial persistence of the unflushed writes: the reopened store holds the
// old state or the new one, never a mix.
TEST_F(WalTest, CrashAtEveryStepLeavesOldOrNewState) {
  auto p = open_disk(true);
  write_state(*p, 100, 1);
  ASSERT_TRUE(p->commit());
  const State old_state = read_state(*p);
  p.reset();
  const SimDisk saved = disk_;

  State new_state{};
  uint64_t steps = 0;
  {
    disk_ = saved;
    auto q = reopen_image(disk_);
    write_state(*q, 200, 2);
    new_state = read_state(*q);
    uint64_t before = disk_.ops;
    ASSERT_TRUE(q->commit());
    steps = disk_.ops - before;
  }
  ASSERT_GT(steps, 8u);
  std::mt19937 rng(7);
  int saw_old = 0, saw_new = 0;
  for (uint64_t k = 1; k <= steps; ++k) {
    for (int trial = 0; trial < 8; ++trial) {
      disk_ = saved;
      {
        auto q = reopen_image(disk_);
        write_state(*q, 200, 2);
        disk_.crash_at = disk_.ops + k;
        EXPECT_FALSE(q->commit());
      }
      SimDisk after;
      after.current = disk_.crash_image(rng);
      after.durable = after.current;
      auto r = reopen_image(after);
      ASSERT_TRUE(r) << "step " << k;
      State got = read_state(*r);
      if (got == old_state) {
        ++saw_old;
      } else {
        ASSERT_EQ(got, new_state) << "mixed state after crash at step " << k;
        ++saw_new;
      }
      // Recovery itself is crash-safe: reopening again gives the same.
      auto again = reopen_image(after);
      ASSERT_TRUE(again);
      EXPECT_EQ(read_state(*again), got);
    }
  }
  EXPECT_GT(saw_old, 0);
  EXPECT_GT(saw_new, 0);
}

// A storage call that fails once in the middle of a commit: the same handle
// then either retries the commit or rolls back, and ends in the old or the
// new state, matching what a reopen sees.
TEST_F(WalTest, FailedCommitCanBeRetriedOrRolledBack) {
  auto p = open_disk(true);
  write_state(*p, 70, 1);
  ASSERT_TRUE(p->commit());
  const State old_state = read_state(*p);
  p.reset();
  const SimDisk saved = disk_;
  for (int mode = 0; mode < 2; ++mode) {
    for (uint64_t k = 1; k <= 12; ++k) {
      disk_ = saved;
      auto q = reopen_image(disk_);
      write_state(*q, 140, 2);
      const State new_state = read_state(*q);
      disk_.fail_once_at = disk_.ops + k;
      Status c = q->commit();
      if (c) continue;  // k beyond the commit's calls
      EXPECT_EQ(c.error().kind(), ErrorKind::kIo);
      // Reads through the handle still show the new state after the error.
      EXPECT_EQ(read_state(*q), new_state) << "step " << k;
      if (mode == 0) {
        ASSERT_TRUE(q->commit()) << "retry after failure at step " << k;
        EXPECT_EQ(read_state(*q), new_state);
      } else {
        ASSERT_TRUE(q->rollback());
        State got = read_state(*q);
        EXPECT_TRUE(got == old_state || got == new_state) << "step " << k;
      }
      State in_process = read_state(*q);
      q.reset();
      auto r = reopen_image(disk_);
      ASSERT_TRUE(r);
      EXPECT_EQ(read_state(*r), in_process) << "mode " << mode << " step " << k;
      EXPECT_EQ(r->header().wal_length, 0u);
    }
  }
}

// After a commit fails past the point where its log is durable, the same
// handle keeps working on the pages of that commit. Those later changes
// must not reach the pages the log commits: a rollback finishes exactly the
// logged commit, and a further commit makes the later changes durable.
TEST_F(WalTest, ChangesAfterAFailedCommitStayOutOfItsLog) {
  auto p = open_disk(true);
  write_state(*p, 70, 1);
  ASSERT_TRUE(p->commit());
  p.reset();
  const SimDisk saved = disk_;
  int pending = 0;
  for (int mode = 0; mode < 2; ++mode) {
    for (uint64_t k = 1; k <= 12; ++k) {
      disk_ = saved;
      auto q = reopen_image(disk_);
      write_state(*q, 140, 2);
      const State logged = read_state(*q);
      disk_.fail_once_at = disk_.ops + k;
      if (q->commit() || !q->log_pending()) continue;
      ++pending;
      write_state(*q, 140, 3);
      const State later = read_state(*q);
      if (mode == 0) {
        ASSERT_TRUE(q->rollback());
        EXPECT_EQ(read_state(*q), logged) << "step " << k;
      } else {
        ASSERT_TRUE(q->commit());
        EXPECT_EQ(read_state(*q), later) << "step " << k;
      }
      const State in_process = read_state(*q);
      q.reset();
      auto r = reopen_image(disk_);
      ASSERT_TRUE(r);
      EXPECT_EQ(read_state(*r), in_process) << "mode " << mode << " step " << k;
    }
  }
  EXPECT_GT(pending, 0);
}

// Opening a file for inspection: a pending commit is judged as open()
// judges it and replayed into memory only; the file keeps every byte.
class ReadOnlyOpenTest : public WalTest {
 protected:
  // A file holding a commit that reached its log but not its home pages.
  void stage_file() {
    stage_unfinished_commit(disk_);
    staged_ = std::string(disk_.current.begin(), disk_.current.end());
    spit(path_, staged_);
  }
  Pager::ReadOnly open_read_only() {
    auto opened = Pager::open_read_only(path_);
    EXPECT_OK(opened);
    return opened ? std::move(*opened) : Pager::ReadOnly{};
  }
  void expect_file_unchanged() {
    EXPECT_TRUE(slurp(path_) == staged_);
  }

  TempDir dir_;
  std::string path_ = dir_.file("db.orvi");
  std::string staged_;
};

TEST_F(ReadOnlyOpenTest, ReplaysAPendingCommitInMemoryOnly) {
  stage_file();
  auto ro = open_read_only();
  ASSERT_TRUE(ro.pager);
  EXPECT_FALSE(ro.log_error);
  const RecoveredLog& log = ro.pager->recovered_log();
  EXPECT_TRUE(log.replayed);
  EXPECT_EQ(log.length, 2 * kWalPageEntry + kWalCommitEntry);
  EXPECT_EQ(log.pages, 2u);
  EXPECT_EQ(ro.pager->header().wal_length, 0u);
  auto slot = ro.pager->read_node_slot(1);
  ASSERT_OK(slot);
  EXPECT_EQ(slot->out_degree, 9u);
  ro.pager.reset();
  expect_file_unchanged();
  // A real open then finishes the commit in the file.
  auto p = Pager::open(path_);
  ASSERT_OK(p);
  EXPECT_EQ((*p)->read_node_slot(1)->out_degree, 9u);
  EXPECT_FALSE(slurp(path_) == staged_);
}

TEST_F(ReadOnlyOpenTest, DropsAnIncompleteLogWithoutWriting) {
  stage_unfinished_commit(disk_);
  disk_.current[kWalOffset + 2 * kWalPageEntry + 17] ^= 0xff;  // commit CRC
  staged_ = std::string(disk_.current.begin(), disk_.current.end());
  spit(path_, staged_);
  auto ro = open_read_only();
  ASSERT_TRUE(ro.pager);
  EXPECT_FALSE(ro.pager->recovered_log().replayed);
  EXPECT_NE(ro.pager->recovered_log().length, 0u);
  auto page = ro.pager->read_page(kDataStart);
  ASSERT_OK(page);
  EXPECT_EQ(*page, Page{});
  ro.pager.reset();
  expect_file_unchanged();
}

TEST_F(ReadOnlyOpenTest, ALogThatFailsOpenLeavesTheFileReadable) {
  stage_unfinished_commit(disk_);
  uint8_t* e = disk_.current.data() + kWalOffset;
  put_u32(e + 13, 4095);
  put_u32(e + 4113, crc32(e, 4113));
  staged_ = std::string(disk_.current.begin(), disk_.current.end());
  spit(path_, staged_);
  auto ro = open_read_only();
  ASSERT_TRUE(ro.pager);
  ASSERT_TRUE(ro.log_error);
  EXPECT_EQ(ro.log_error->detail(), "WAL: unexpected data_length 4095");
  EXPECT_NE(ro.pager->header().wal_length, 0u);
  EXPECT_EQ(ro.pager->header().next_node_id, 2u);
  ro.pager.reset();
  expect_file_unchanged();
  EXPECT_FALSE(Pager::open(path_));
}

TEST_F(ReadOnlyOpenTest, ReadsBesideAWriterThatHoldsTheLock) {
  auto db = GraphDB::open(path_);
  ASSERT_OK(db);
  ASSERT_OK((*db)->add_node({"A"}, PropMap()));
  ASSERT_OK(pager_of(**db).commit());
  ASSERT_OK((*db)->add_node({"B"}, PropMap()));  // pending only
  staged_ = slurp(path_);
  auto ro = open_read_only();
  ASSERT_TRUE(ro.pager);
  EXPECT_EQ(ro.pager->header().node_count, 1u);
  EXPECT_EQ(ro.pager->recovered_log().length, 0u);
  ro.pager.reset();
  expect_file_unchanged();
  EXPECT_TRUE(std::filesystem::is_directory(path_ + ".lock"));
  EXPECT_EQ(pager_of(**db).header().node_count, 2u);
}

TEST_F(ReadOnlyOpenTest, RefusesADamagedHeaderAndAMissingFile) {
  spit(path_, "ORVI" + std::string(96, '\0'));
  auto small = Pager::open_read_only(path_);
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error().detail(), "file too small to contain header");
  auto missing = Pager::open_read_only(dir_.file("none.orvi"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::kIo);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("none.orvi")));
}

}  // namespace
}  // namespace orvi

// The readers' lock protocol, observed from a third descriptor with
// F_OFD_GETLK (OFD locks of two descriptions conflict within one process).
#include "storage/reader_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/xattr.h>

#include <fstream>

#include "db/graphdb.h"
#include "db/reader.h"
#include "test_util.h"

namespace orvi {
namespace {

using testing::exists;
using testing::TempDir;

// The type of lock a description other than `fd`'s holds on `byte`
// (F_UNLCK: none).
short held_on(int fd, off_t byte) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  EXPECT_EQ(::fcntl(fd, F_OFD_GETLK, &fl), 0);
  return fl.l_type;
}

class ReaderLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(path_) << "some bytes";
    probe_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(probe_, 0);
  }
  void TearDown() override { ::close(probe_); }

  short held(off_t byte) { return held_on(probe_, byte); }

  TempDir dir_;
  std::string path_ = dir_.file("db");
  int probe_ = -1;
};

TEST_F(ReaderLockTest, WriterMarksItsLifeAndLocksOnlyItsWindows) {
  auto reader = ReadLock::open(path_);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(*reader->writer_marked());
  {
    auto gate = WriterGate::open(path_);
    ASSERT_TRUE(gate);
    EXPECT_TRUE(*reader->writer_marked());
    EXPECT_EQ(held(kSharedByte), F_UNLCK);
    ASSERT_TRUE((*gate)->enter());
    ASSERT_TRUE((*gate)->enter());  // nested: one window
    EXPECT_EQ(held(kPendingByte), F_WRLCK);
    EXPECT_EQ(held(kSharedByte), F_WRLCK);
    (*gate)->leave();
    EXPECT_EQ(held(kSharedByte), F_WRLCK);
    (*gate)->leave();
    EXPECT_EQ(held(kPendingByte), F_UNLCK);
    EXPECT_EQ(held(kSharedByte), F_UNLCK);
  }
  EXPECT_FALSE(*reader->writer_marked());
}

TEST_F(ReaderLockTest, ReaderHoldsOnlyTheSharedByte) {
  auto reader = ReadLock::open(path_);
  ASSERT_TRUE(reader);
  ASSERT_TRUE(reader->lock_shared());
  EXPECT_EQ(held(kSharedByte), F_RDLCK);
  EXPECT_EQ(held(kPendingByte), F_UNLCK);
  reader->unlock_shared();
  EXPECT_EQ(held(kSharedByte), F_UNLCK);
}

TEST_F(ReaderLockTest, WriterBreaksSnapshotsOfItsFileInThisProcess) {
  auto reader = ReadLock::open(path_);
  auto gate = WriterGate::open(path_);
  ASSERT_TRUE(reader && gate);
  ASSERT_TRUE(reader->lock_shared());
  struct Seen {
    ReadLock* lock;
    int breaks = 0;
  } seen{&*reader};
  const uint64_t other = register_snapshot(
      FileId{reader->id().dev, reader->id().ino + 1},
      [](void*) { FAIL() << "a snapshot of another file was broken"; },
      nullptr);
  register_snapshot(
      reader->id(),
      [](void* context) {
        auto* s = static_cast<Seen*>(context);
        s->lock->unlock_shared();
        s->breaks += 1;
      },
      &seen);
  // Without the break this would wait for ever on the reader's lock.
  ASSERT_TRUE((*gate)->enter());
  EXPECT_EQ(seen.breaks, 1);
  (*gate)->leave();
  ASSERT_TRUE((*gate)->enter());
  EXPECT_EQ(seen.breaks, 1);  // broken once, then forgotten
  (*gate)->leave();
  unregister_snapshot(other);
}

TEST_F(ReaderLockTest, RefusesWhatIsNoRegularFile) {
  EXPECT_FALSE(ReadLock::open(dir_.path()));
  auto missing = ReadLock::open(dir_.file("absent"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().os_errno(), ENOENT);
  EXPECT_FALSE(exists(dir_.file("absent")));
}

// The ids the reader's label index lists under `label`, read as one call.
std::vector<uint64_t> indexed(FileReader& reader, const std::string& label) {
  auto pager = reader.begin();
  EXPECT_TRUE(pager);
  std::vector<uint64_t> ids;
  if (pager) {
    auto index = reader.label_index(**pager);
    EXPECT_TRUE(index);
    if (index) ids = (*index)->ids_for_labels({label});
  }
  reader.end();
  return ids;
}

TEST(ReaderLabelEpoch, OnlyClearRenewsItAndTheReaderFollowsIt) {
  TempDir dir;
  const std::string path = dir.file("db");
  auto db = GraphDB::open(path);
  ASSERT_TRUE(db);
  ASSERT_TRUE((*db)->add_node({"A"}, {}));
  ASSERT_TRUE((*db)->commit());
  auto reader = FileReader::open(path);
  auto lock = ReadLock::open(path);
  ASSERT_TRUE(reader && lock);
  EXPECT_EQ(lock->epoch(), std::optional<uint64_t>(0));  // never cleared
  EXPECT_EQ(indexed(**reader, "A"), std::vector<uint64_t>({1}));

  ASSERT_TRUE((*db)->add_node({"A"}, {}));  // commits keep the epoch
  ASSERT_TRUE((*db)->commit());
  EXPECT_EQ(lock->epoch(), std::optional<uint64_t>(0));
  EXPECT_EQ(indexed(**reader, "A"), std::vector<uint64_t>({1, 2}));

  ASSERT_TRUE((*db)->clear());
  const std::optional<uint64_t> first = lock->epoch();
  ASSERT_TRUE(first && *first != 0);
  ASSERT_TRUE((*db)->add_node({"B"}, {}));
  ASSERT_TRUE((*db)->add_node({"B"}, {}));
  ASSERT_TRUE((*db)->commit());
  EXPECT_EQ(indexed(**reader, "A"), std::vector<uint64_t>());
  EXPECT_EQ(indexed(**reader, "B"), std::vector<uint64_t>({1, 2}));

  // The index is kept while the epoch stays: put back the epoch it was
  // built under across a second clear and it is not rebuilt.
  ASSERT_TRUE((*db)->clear());
  EXPECT_NE(lock->epoch(), first);
  ASSERT_TRUE((*db)->add_node({"C"}, {}));
  ASSERT_TRUE((*db)->add_node({"C"}, {}));
  ASSERT_TRUE((*db)->commit());
  ASSERT_EQ(::setxattr(path.c_str(), kEpochAttribute, &*first, sizeof *first, 0), 0);
  EXPECT_EQ(indexed(**reader, "B"), std::vector<uint64_t>({1, 2}));
  ASSERT_EQ(::removexattr(path.c_str(), kEpochAttribute), 0);
  // Within one generation of the change counter the attribute is not read
  // again; a header-only commit moves the counter.
  EXPECT_EQ(indexed(**reader, "C"), std::vector<uint64_t>());
  ASSERT_TRUE((*db)->commit());
  EXPECT_EQ(indexed(**reader, "C"), std::vector<uint64_t>({1, 2}));
}

// A reader whose fast path never runs out of trust: only the change
// counter can end its view, so every change a writer fails to announce
// shows as a stale read.
class FastReaderTest : public ::testing::Test {
 protected:
  static constexpr int64_t kForever = int64_t{3600} * 1'000'000'000;

  void SetUp() override {
    auto db = GraphDB::open(path_);
    ASSERT_TRUE(db);
    db_ = std::move(*db);
    add("A", 3);
    open_reader();
  }

  void open_reader() {
    auto reader = FileReader::open(path_, kForever);
    ASSERT_TRUE(reader);
    reader_ = std::move(*reader);
  }

  void add(const std::string& label, int count) {
    for (int i = 0; i < count; ++i) ASSERT_TRUE(db_->add_node({label}, {}));
    ASSERT_TRUE(db_->commit());
  }

  // The labels of nodes 1 up to the header's next id, as one read sees
  // them ("-" for a missing node), run again when end() asks.
  std::string seen() {
    for (;;) {
      auto pager = reader_->begin();
      EXPECT_TRUE(pager);
      if (!pager) return "error";
      std::string out;
      Node node;
      for (uint64_t id = 1; id < (*pager)->header().next_node_id; ++id) {
        auto found = read_node(**pager, id, node);
        out += !found ? "?" : !*found ? "-" : node.labels().at(0);
      }
      if (!reader_->end()) return out;
    }
  }

  TempDir dir_;
  std::string path_ = dir_.file("db");
  std::unique_ptr<GraphDB> db_;
  std::unique_ptr<FileReader> reader_;
};

TEST_F(FastReaderTest, SeesEveryCommitClearAndRefill) {
  EXPECT_EQ(seen(), "AAA");
  add("B", 1);
  EXPECT_EQ(seen(), "AAAB");
  ASSERT_TRUE(db_->delete_node(2));
  ASSERT_TRUE(db_->commit());
  EXPECT_EQ(seen(), "A-AB");
  ASSERT_TRUE(db_->clear());
  EXPECT_EQ(seen(), "");
  add("C", 4);  // the same counters as before the clear
  EXPECT_EQ(seen(), "CCCC");
  EXPECT_EQ(indexed(*reader_, "C"), std::vector<uint64_t>({1, 2, 3, 4}));
  EXPECT_EQ(indexed(*reader_, "A"), std::vector<uint64_t>());
}

TEST_F(FastReaderTest, APageMissedAfterACommitRunsTheReadAgain) {
  add("P", 200);  // nodes on several slot pages
  EXPECT_EQ(seen().substr(0, 4), "AAAP");
  ASSERT_TRUE(db_->delete_node(150));
  ASSERT_TRUE(db_->commit());
  // Copies of the header, the chains and node 1's page only.
  Node node;
  auto pager = reader_->begin();
  ASSERT_TRUE(pager);
  ASSERT_TRUE(read_node(**pager, 1, node));
  reader_->end();
  pager = reader_->begin();
  ASSERT_TRUE(pager);
  // Served from copies: no lock is held, so the commit does not wait.
  const int probe = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  const short reader_holds = held_on(probe, kSharedByte);
  ::close(probe);
  ASSERT_EQ(reader_holds, F_UNLCK);
  ASSERT_TRUE(db_->add_node({"N"}, {}));
  ASSERT_TRUE(db_->delete_node(140));
  ASSERT_TRUE(db_->commit());
  // Node 140's page is not among the copies; the file's page now belongs
  // to a newer state than the header this read holds.
  (void)read_node(**pager, 140, node);
  EXPECT_TRUE(reader_->end());
  const std::string now = seen();
  EXPECT_EQ(now.size(), 204u);
  EXPECT_EQ(now.substr(139, 11), "-PPPPPPPPP-");
}

TEST_F(FastReaderTest, SeesAFileRenamedOverTheDatabase) {
  EXPECT_EQ(seen(), "AAA");
  ASSERT_TRUE(db_->vacuum());
  add("V", 1);
  EXPECT_EQ(seen(), "AAAV");
  // Another database put at the name, as an import does (whose writer
  // then closes, which tells readers too).
  const std::string other = dir_.file("other");
  {
    auto db = GraphDB::open(other);
    ASSERT_TRUE(db);
    ASSERT_TRUE((*db)->add_node({"I"}, {}));
    ASSERT_TRUE((*db)->commit());
  }
  db_.reset();
  EXPECT_EQ(seen(), "AAAV");
  ASSERT_EQ(::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(seen(), "AAAV");  // nobody said so yet
  ChangeCounter::note_replaced(path_);
  EXPECT_EQ(seen(), "I");
}

TEST_F(FastReaderTest, WithoutATrustedCounterEveryReadLooks) {
  const std::string counter = path_ + kCounterSuffix;
  // Deleted: a new reader finds none and reads under the lock every time.
  ASSERT_EQ(::unlink(counter.c_str()), 0);
  open_reader();
  EXPECT_EQ(seen(), "AAA");
  add("B", 1);
  EXPECT_EQ(seen(), "AAAB");

  // A writer that could not take the counter (here it holds something
  // else) leaves a counter that a reader maps but that nobody bumps.
  db_.reset();
  { std::ofstream(counter) << "not a counter"; }
  auto db = GraphDB::open(path_);
  ASSERT_TRUE(db);
  db_ = std::move(*db);
  const std::string spare = dir_.file("spare");
  ASSERT_TRUE(GraphDB::open(spare));  // makes a whole counter beside it
  ASSERT_EQ(::rename((spare + kCounterSuffix).c_str(), counter.c_str()), 0);
  open_reader();
  EXPECT_EQ(seen(), "AAAB");
  add("C", 1);
  EXPECT_EQ(seen(), "AAABC");
}

}  // namespace
}  // namespace orvi

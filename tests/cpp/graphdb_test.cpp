#include "db/graphdb.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "db/open_files.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;

bool exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

class GraphDBTest : public ::testing::Test {
 protected:
  std::unique_ptr<GraphDB> open_ok(const std::string& path) {
    auto db = GraphDB::open(path);
    EXPECT_OK(db);
    return db ? std::move(*db) : nullptr;
  }
  OrviError open_err(const std::string& path) {
    auto db = GraphDB::open(path);
    EXPECT_FALSE(db);
    return db ? OrviError::invalid_argument("opened") : db.error();
  }
  size_t registry_size() {
    std::lock_guard<std::mutex> g(registry().mutex);
    return registry().paths.size() + registry().files.size();
  }
  // Opens `path` in a child process that forgets this process's registry,
  // as a process of its own would: 'W' when it got the file, 'L' when it
  // was refused as already open, 'E' on any other failure. With
  // `inherited`, the child first drops its copy of that handle.
  char open_in_child(const std::string& path,
                     std::unique_ptr<GraphDB>* inherited = nullptr) {
    int pipes[2];
    if (::pipe(pipes) != 0) return '?';
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (inherited != nullptr) inherited->reset();
      registry().paths.clear();
      registry().files.clear();
      auto db = GraphDB::open(path);
      char c = db ? 'W'
                  : (db.error().kind() == ErrorKind::kAlreadyOpen ? 'L' : 'E');
      (void)!::write(pipes[1], &c, 1);
      ::_exit(0);
    }
    ::close(pipes[1]);
    char c = '?';
    if (::read(pipes[0], &c, 1) != 1) c = '?';
    ::close(pipes[0]);
    ::waitpid(pid, nullptr, 0);
    return c;
  }

  TempDir dir_;
  std::string path_ = dir_.file("g.db");
};

TEST_F(GraphDBTest, SecondHandleOnOneFileIsRefusedByEveryName) {
  auto first = open_ok(path_);
  char canon[PATH_MAX];
  ASSERT_NE(::realpath(path_.c_str(), canon), nullptr);
  OrviError e = open_err(path_);
  EXPECT_EQ(e.kind(), ErrorKind::kAlreadyOpen);
  EXPECT_EQ(e.detail(), canon);
  ASSERT_EQ(::symlink(path_.c_str(), dir_.file("link.db").c_str()), 0);
  EXPECT_EQ(open_err(dir_.file("link.db")).detail(), canon);
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  OrviError rel = open_err("g.db");
  OrviError dotted = open_err("./sub/../g.db");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(rel.detail(), canon);
  EXPECT_EQ(dotted.kind(), ErrorKind::kIo);  // "sub" does not exist
  first.reset();
  EXPECT_FALSE(exists(path_ + ".lock"));
  auto again = open_ok(dir_.file("link.db"));
  EXPECT_EQ(*again->registered_path(), canon);
}

// A forked child shares the parent's guard but never keeps it: dropping its
// copy does not free the file, and living on does not hold it once the
// parent has closed it.
TEST_F(GraphDBTest, ForkedChildNeitherReleasesNorKeepsTheGuard) {
  const std::string alias = dir_.file("alias.db");
  auto db = open_ok(path_);
  ASSERT_EQ(::link(path_.c_str(), alias.c_str()), 0);
  EXPECT_EQ(open_in_child(alias, &db), 'L');

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t idle = ::fork();
  if (idle == 0) {
    (void)!::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  db.reset();
  auto again = open_ok(alias);
  EXPECT_TRUE(again != nullptr);
  ::kill(idle, SIGKILL);
  ::waitpid(idle, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(GraphDBTest, DanglingLinkIsKeyedByTheFileItCreates) {
  ASSERT_EQ(::symlink("target.db", dir_.file("link.db").c_str()), 0);
  auto db = open_ok(dir_.file("link.db"));
  ASSERT_TRUE(db);
  char canon[PATH_MAX];
  ASSERT_NE(::realpath(dir_.path().c_str(), canon), nullptr);
  const std::string target = std::string(canon) + "/target.db";
  EXPECT_EQ(*db->registered_path(), target);
  EXPECT_TRUE(exists(target + ".lock"));
  EXPECT_EQ(open_err(target).kind(), ErrorKind::kAlreadyOpen);
}

TEST_F(GraphDBTest, FailedOpensLeaveNoRegistryEntryOrLockDirectory) {
  const size_t before = registry_size();
  EXPECT_EQ(open_err(dir_.file("missing/x.db")).kind(), ErrorKind::kIo);
  OrviError empty = open_err("");
  EXPECT_EQ(empty.message(), "Invalid request: database path has no file name: ");
  OrviError dots = open_err(dir_.file("missing/.."));
  EXPECT_EQ(dots.detail(), "database path has no file name: " +
                               dir_.file("missing/.."));
  // An existing file that is not a database.
  {
    std::ofstream junk(path_);
    junk << std::string(4096, 'x');
  }
  EXPECT_EQ(open_err(path_).kind(), ErrorKind::kCorruptedFile);
  EXPECT_FALSE(exists(path_ + ".lock"));
  EXPECT_EQ(registry_size(), before);
}

TEST_F(GraphDBTest, OpenRemovesALeftoverVacuumFile) {
  {
    std::ofstream tmp(path_ + ".tmp");
    tmp << "stale";
  }
  auto db = open_ok(path_);
  EXPECT_FALSE(exists(path_ + ".tmp"));
  EXPECT_TRUE(exists(path_ + ".lock/owner.json"));
}

TEST_F(GraphDBTest, MemoryDatabasesAreIndependent) {
  auto a = open_ok(":memory:");
  auto b = open_ok(":memory:");
  ASSERT_TRUE(a->add_node({"A"}, {}));
  EXPECT_EQ(pager_of(*a).header().node_count, 1u);
  EXPECT_EQ(pager_of(*b).header().node_count, 0u);
  EXPECT_FALSE(a->registered_path().has_value());
  // Any other spelling names a file.
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
  auto file = open_ok(":MEMORY:");
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(file);
  EXPECT_EQ(*file->registered_path(), dir_.path() + "/:MEMORY:");
}

TEST_F(GraphDBTest, DeleteNodeRemovesEveryEdgeOnce) {
  auto db = open_ok(":memory:");
  auto a = db->add_node({"P"}, {});
  auto b = db->add_node({"P", "Q"}, {});
  ASSERT_TRUE(a && b);
  Pager& p = pager_of(*db);
  ASSERT_TRUE(add_edge(p, a->id, "x", b->id, {}));
  ASSERT_TRUE(add_edge(p, b->id, "y", a->id, {}));
  ASSERT_TRUE(add_edge(p, b->id, "loop", b->id, {}));
  ASSERT_TRUE(db->delete_node(b->id));
  EXPECT_EQ(p.header().edge_count, 0u);
  EXPECT_EQ(p.header().node_count, 1u);
  auto gone = get_node(p, b->id);
  ASSERT_TRUE(gone);
  EXPECT_FALSE(gone->has_value());
  auto slot_a = p.read_node_slot(a->id);
  ASSERT_TRUE(slot_a);
  EXPECT_EQ(slot_a->out_degree, 0u);
  EXPECT_EQ(slot_a->in_degree, 0u);
  EXPECT_EQ(slot_a->first_out, 0u);
  EXPECT_EQ(label_index_of(*db).ids_for_labels({"Q"}), std::vector<uint64_t>{});
  EXPECT_EQ(label_index_of(*db).ids_for_labels({"P"}),
            std::vector<uint64_t>{a->id});
  Status again = db->delete_node(b->id);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(p.header().node_count, 1u);
}

TEST_F(GraphDBTest, RollbackRebuildsTheIndexAndClearsTheFlag) {
  auto db = open_ok(path_);
  ASSERT_TRUE(db->add_node({"Kept"}, {}));
  ASSERT_TRUE(pager_of(*db).commit());
  ASSERT_TRUE(db->add_node({"Gone"}, {}));
  db->set_in_transaction(true);
  ASSERT_TRUE(db->rollback());
  EXPECT_FALSE(db->in_transaction());
  EXPECT_TRUE(label_index_of(*db).ids_for_labels({"Gone"}).empty());
  EXPECT_EQ(label_index_of(*db).ids_for_labels({"Kept"}).size(), 1u);
  auto scanned = db->query_nodes({}, std::nullopt);
  ASSERT_TRUE(scanned);
  EXPECT_EQ(scanned->size(), 1u);
}

TEST_F(GraphDBTest, UncommittedChangesVanishOnClose) {
  {
    auto db = open_ok(path_);
    ASSERT_TRUE(db->add_node({"A"}, {}));
  }
  auto db = open_ok(path_);
  EXPECT_EQ(pager_of(*db).header().node_count, 0u);
}

// Several processes race to open one file; exactly one wins each round, and
// a holder killed with SIGKILL is reclaimed by the next opener.
TEST_F(GraphDBTest, ProcessesRaceForOneFile) {
  for (int round = 0; round < 5; ++round) {
    int pipes[2];
    ASSERT_EQ(::pipe(pipes), 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
      pid_t pid = ::fork();
      if (pid == 0) {
        ::close(pipes[0]);
        auto db = GraphDB::open(path_);
        char c = db ? 'W' : (db.error().kind() == ErrorKind::kAlreadyOpen ? 'L' : 'E');
        (void)!::write(pipes[1], &c, 1);
        if (db) ::usleep(200000);  // hold while the others try
        ::_exit(0);
      }
      kids.push_back(pid);
    }
    ::close(pipes[1]);
    std::string results;
    char c;
    while (::read(pipes[0], &c, 1) == 1) results.push_back(c);
    ::close(pipes[0]);
    for (pid_t k : kids) ::waitpid(k, nullptr, 0);
    EXPECT_EQ(std::count(results.begin(), results.end(), 'W'), 1) << results;
    EXPECT_EQ(std::count(results.begin(), results.end(), 'E'), 0) << results;
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    auto db = GraphDB::open(path_);
    char c = db ? 'W' : 'E';
    (void)!::write(ready[1], &c, 1);
    for (;;) ::pause();
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'W');
  EXPECT_EQ(open_err(path_).kind(), ErrorKind::kAlreadyOpen);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_TRUE(exists(path_ + ".lock"));
  auto db = open_ok(path_);
  EXPECT_TRUE(db != nullptr);
}

}  // namespace
}  // namespace orvi

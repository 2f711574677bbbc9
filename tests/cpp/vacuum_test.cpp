#include "graph/vacuum.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;
using orvi::testing::slurp;
using orvi::testing::spit;
using orvi::testing::size_of;
using orvi::testing::exists;

// Every record, id, endpoint, blob and counter of a database, canonically.
std::string dump(GraphDB& db) {
  Pager& p = pager_of(db);
  std::string out;
  auto nodes = all_nodes(p);
  EXPECT_OK(nodes);
  for (const Node& n : *nodes) {
    auto slot = p.read_node_slot(n.id);
    out += "N" + std::to_string(n.id) + ":" + encode_labels(n.labels()) + ":" +
           encode_props(n.properties()) + ":" + std::to_string(slot->first_out) +
           "," + std::to_string(slot->first_in) + "," +
           std::to_string(slot->out_degree) + "," +
           std::to_string(slot->in_degree) + "\n";
  }
  auto edges = all_edges(p);
  EXPECT_OK(edges);
  for (const Edge& e : *edges) {
    auto slot = p.read_edge_slot(e.id);
    out += "E" + std::to_string(e.id) + ":" + std::to_string(e.from_node) +
           ">" + std::to_string(e.to_node) + ":" + e.label + ":" +
           encode_props(e.properties()) + ":" + std::to_string(slot->next_out) +
           "," + std::to_string(slot->next_in) + "\n";
  }
  const FileHeader& h = p.header();
  out += "counts " + std::to_string(h.node_count) + " " +
         std::to_string(h.edge_count) + " next " +
         std::to_string(h.next_node_id) + " " + std::to_string(h.next_edge_id);
  return out;
}

// Sum of the blob lengths of every live slot: what compacted property
// storage must hold.
uint64_t live_blob_bytes(Pager& p) {
  uint64_t total = 0;
  for (uint64_t id = 1; id < p.header().next_node_id; ++id) {
    auto s = p.read_node_slot(id);
    if (s->live()) total += s->label_len + s->prop_len;
  }
  for (uint64_t id = 1; id < p.header().next_edge_id; ++id) {
    auto s = p.read_edge_slot(id);
    if (s->live()) total += s->label_len + s->prop_len;
  }
  return total;
}

class VacuumTest : public ::testing::Test {
 protected:
  void open(const std::string& path) {
    db_.reset();
    auto db = GraphDB::open(path);
    ASSERT_OK(db);
    db_ = std::move(*db);
  }
  void reopen() { open(path_); }

  // Nodes with labels and properties, edges between them, many updates,
  // some deletions; committed.
  void churn(int nodes = 40, int updates = 15) {
    for (int i = 0; i < nodes; ++i) {
      ASSERT_TRUE(db_->add_node({"L" + std::to_string(i % 3)},
                                {{"i", PropValue::from_int(i)}}));
    }
    for (int i = 1; i <= nodes; ++i) {
      ASSERT_TRUE(add_edge(pager_of(*db_), i, "E", 1 + i % nodes,
                           {{"w", PropValue::from_int(i)}}));
      ASSERT_TRUE(add_edge(pager_of(*db_), i, "", i, {}));
    }
    for (int u = 0; u < updates; ++u) {
      for (int i = 1; i <= nodes; ++i) {
        ASSERT_TRUE(update_node(
            pager_of(*db_), i,
            {{"v", PropValue::from_string(std::string(2000, 'a' + u % 26))}}));
      }
      ASSERT_TRUE(update_edge(pager_of(*db_), 1 + u % nodes,
                              {{"u", PropValue::from_int(u)}}));
    }
    for (int i = 5; i <= nodes; i += 7) ASSERT_TRUE(db_->delete_node(i));
    ASSERT_TRUE(delete_edge(pager_of(*db_), 3));
    ASSERT_TRUE(pager_of(*db_).commit());
  }

  void vacuum_ok() {
    Status s = db_->vacuum();
    ASSERT_OK(s);
  }

  TempDir dir_;
  std::string path_ = dir_.file("g.db");
  std::unique_ptr<GraphDB> db_;
};

TEST_F(VacuumTest, ShrinksTheFileAndKeepsEveryRecordAndId) {
  open(path_);
  churn();
  const std::string before = dump(*db_);
  const auto labels = label_index_of(*db_).ids_for_labels({"L1"});
  const uint64_t size_before = size_of(path_);

  vacuum_ok();
  EXPECT_FALSE(db_->detached());
  EXPECT_EQ(dump(*db_), before);
  EXPECT_EQ(label_index_of(*db_).ids_for_labels({"L1"}), labels);
  EXPECT_LT(size_of(path_), size_before);
  EXPECT_FALSE(exists(path_ + ".tmp"));
  // Property storage holds exactly the live blobs, from its first extent.
  Pager& p = pager_of(*db_);
  ASSERT_EQ(p.chain(ExtentKind::kProp).extents.size(), 1u);
  EXPECT_EQ(p.header().prop_tail - p.chain(ExtentKind::kProp).extents[0],
            live_blob_bytes(p));

  reopen();
  EXPECT_EQ(dump(*db_), before);
  // Deleted ids are not handed out again.
  const uint64_t next = pager_of(*db_).header().next_node_id;
  auto n = db_->add_node({}, {});
  ASSERT_TRUE(n);
  EXPECT_EQ(n->id, next);
}

TEST_F(VacuumTest, IdsBeyondTheFirstExtentStayAddressable) {
  open(":memory:");
  const uint64_t count = kNodesPerExtent + 10;
  for (uint64_t i = 0; i < count; ++i) ASSERT_TRUE(db_->add_node({}, {}));
  for (uint64_t i = 2; i <= count; ++i) ASSERT_TRUE(db_->delete_node(i));
  vacuum_ok();
  EXPECT_EQ(pager_of(*db_).chain(ExtentKind::kNode).extents.size(), 2u);
  EXPECT_EQ(pager_of(*db_).header().node_count, 1u);
  auto n = db_->add_node({}, {});
  ASSERT_TRUE(n);
  EXPECT_EQ(n->id, count + 1);
  // The edge extent covers the highest edge id even when every edge is gone.
  ASSERT_TRUE(add_edge(pager_of(*db_), 1, "E", count + 1, {}));
  ASSERT_TRUE(delete_edge(pager_of(*db_), 1));
  vacuum_ok();
  auto e = add_edge(pager_of(*db_), 1, "E", 1, {});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->id, 2u);
}

TEST_F(VacuumTest, DatabaseLargerThanTheWriteAheadLog) {
  // About 10 MiB of live property data, committed in pieces small enough
  // for the log; the compacted copy is far larger than one commit can hold.
  open(path_);
  const std::string big(2000, 'x');
  for (int batch = 0; batch < 5; ++batch) {
    for (int i = 0; i < 1000; ++i) {
      ASSERT_TRUE(db_->add_node({"Big"}, {{"s", PropValue::from_string(big)}}));
    }
    ASSERT_TRUE(pager_of(*db_).commit());
  }
  const std::string before = dump(*db_);
  vacuum_ok();
  EXPECT_EQ(dump(*db_), before);
  reopen();
  EXPECT_EQ(dump(*db_), before);
}

TEST_F(VacuumTest, StaleTemporaryFileIsReplaced) {
  open(path_);
  churn(10, 2);
  const std::string before = dump(*db_);
  spit(path_ + ".tmp", std::string(100000, 'g'));
  vacuum_ok();
  EXPECT_FALSE(exists(path_ + ".tmp"));
  EXPECT_EQ(dump(*db_), before);
}

TEST_F(VacuumTest, CommitsPendingChanges) {
  open(path_);
  churn(10, 2);
  auto n = db_->add_node({"Pending"}, {{"p", PropValue::from_int(1)}});
  ASSERT_TRUE(n);
  ASSERT_TRUE(update_node(pager_of(*db_), 1, {{"i", PropValue::from_int(99)}}));
  const std::string before = dump(*db_);
  vacuum_ok();
  ASSERT_TRUE(db_->rollback());
  EXPECT_EQ(dump(*db_), before);
  reopen();
  EXPECT_EQ(dump(*db_), before);
  EXPECT_EQ(label_index_of(*db_).ids_for_labels({"Pending"}),
            std::vector<uint64_t>{n->id});
}

TEST_F(VacuumTest, RefusedInsideAnExplicitTransaction) {
  open(path_);
  churn(10, 2);
  ASSERT_TRUE(db_->add_node({}, {}));  // pending
  const std::string bytes = slurp(path_);
  db_->set_in_transaction(true);
  Status s = db_->vacuum();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kTransactionFailed);
  EXPECT_EQ(s.error().message(),
            "Transaction could not be completed: vacuum() cannot run inside "
            "an explicit transaction; commit or rollback the transaction "
            "first");
  EXPECT_EQ(slurp(path_), bytes);
  EXPECT_FALSE(exists(path_ + ".tmp"));
  // The pending node was not committed.
  const uint64_t next = pager_of(*db_).header().next_node_id;
  ASSERT_TRUE(db_->rollback());
  EXPECT_EQ(pager_of(*db_).header().next_node_id, next - 1);
}

TEST_F(VacuumTest, MemoryDatabaseIsCompactedInPlace) {
  open(":memory:");
  churn();
  auto pending = db_->add_node({"P"}, {});
  ASSERT_TRUE(pending);
  const std::string before = dump(*db_);
  const uint64_t store_before = pager_of(*db_).storage().file_size();
  vacuum_ok();
  EXPECT_EQ(dump(*db_), before);
  // The superseded blobs are really gone from the store.
  EXPECT_LT(pager_of(*db_).storage().file_size(), store_before);
  Pager& p = pager_of(*db_);
  EXPECT_EQ(p.header().prop_tail - p.chain(ExtentKind::kProp).extents[0],
            live_blob_bytes(p));
  // Everything, the pending node included, was committed.
  ASSERT_TRUE(db_->rollback());
  EXPECT_EQ(dump(*db_), before);
  EXPECT_EQ(label_index_of(*db_).ids_for_labels({"P"}),
            std::vector<uint64_t>{pending->id});
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(VacuumTest, EmptyDatabases) {
  open(path_);
  vacuum_ok();
  reopen();
  EXPECT_EQ(pager_of(*db_).header().next_node_id, 1u);
  auto n = db_->add_node({"A"}, {});
  ASSERT_TRUE(n);
  EXPECT_EQ(n->id, 1u);

  open(":memory:");
  vacuum_ok();
  EXPECT_EQ(dump(*db_), "counts 0 0 next 1 1");
}

TEST_F(VacuumTest, DamagedBlobLengthIsRefusedBeforeAnythingIsBuilt) {
  open(path_);
  churn(10, 2);
  auto slot = pager_of(*db_).read_node_slot(2);
  ASSERT_TRUE(slot);
  slot->prop_len = 0xFFFFFFF0u;
  ASSERT_TRUE(pager_of(*db_).write_node_slot(*slot));
  ASSERT_TRUE(pager_of(*db_).commit());
  const std::string bytes = slurp(path_);
  Status s = db_->vacuum();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(slurp(path_), bytes);
  EXPECT_FALSE(exists(path_ + ".tmp"));
  EXPECT_FALSE(db_->detached());
}

TEST_F(VacuumTest, UnremovableTemporaryPathIsRefused) {
  open(path_);
  churn(10, 2);
  const std::string before = dump(*db_);
  ASSERT_EQ(::mkdir((path_ + ".tmp").c_str(), 0777), 0);
  spit(path_ + ".tmp/inside", "x");
  Status s = db_->vacuum();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kIo);
  EXPECT_FALSE(db_->detached());
  EXPECT_EQ(dump(*db_), before);
  ASSERT_TRUE(db_->add_node({}, {}));
  ASSERT_TRUE(pager_of(*db_).commit());
}

TEST_F(VacuumTest, VacuumThroughASymlinkReplacesTheRealFile) {
  open(path_);
  churn(10, 2);
  db_.reset();
  const std::string link = dir_.file("link.db");
  ASSERT_EQ(::symlink(path_.c_str(), link.c_str()), 0);
  open(link);
  const std::string before = dump(*db_);
  vacuum_ok();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  open(path_);
  EXPECT_EQ(dump(*db_), before);
}

// A failed rename followed by a failed reopen: the database path was taken
// by a directory while the handle had the file open, so neither the rename
// over it nor opening it again can work. The handle must not carry on with
// its empty placeholder store.
TEST_F(VacuumTest, HandleIsDetachedWhenTheDatabaseCannotBeReopened) {
  open(path_);
  churn(10, 2);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  ASSERT_EQ(::mkdir(path_.c_str(), 0777), 0);
  spit(path_ + "/keep", "x");

  Status s = db_->vacuum();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kTransactionFailed);
  EXPECT_NE(s.error().detail().find("could not reopen it"), std::string::npos);
  EXPECT_NE(s.error().detail().find("orvi.open(path)"), std::string::npos);
  EXPECT_TRUE(db_->detached());
  EXPECT_EQ(db_->detach_reason()->message(), s.error().message());
  EXPECT_FALSE(exists(path_ + ".tmp"));

  // A second vacuum must not replace anything with the empty placeholder.
  Status again = db_->vacuum();
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().message(), s.error().message());
  EXPECT_FALSE(exists(path_ + ".tmp"));
  EXPECT_EQ(slurp(path_ + "/keep"), "x");
}

}  // namespace
}  // namespace orvi

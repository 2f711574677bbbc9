#include "graph/repair.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "graph/edge.h"
#include "graph/node.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;
using orvi::testing::slurp;

// Works on a real file: builds a graph, commits, closes, and then damages
// slot bytes in place, as a torn write or a bad disk would.
class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override { open(); }

  void open() {
    pager_.reset();
    auto p = Pager::open(path_);
    ASSERT_OK(p);
    pager_ = std::move(*p);
  }
  void commit_and_close() {
    ASSERT_TRUE(pager_->commit());
    node_base_ = pager_->chain(ExtentKind::kNode).extents.at(0);
    if (!pager_->chain(ExtentKind::kEdge).extents.empty()) {
      edge_base_ = pager_->chain(ExtentKind::kEdge).extents.at(0);
    }
    pager_.reset();
  }

  uint64_t node() {
    auto n = add_node(*pager_, {"N"}, {});
    EXPECT_TRUE(n);
    return n->id;
  }
  uint64_t edge(uint64_t from, uint64_t to) {
    auto e = add_edge(*pager_, from, "E", to, {});
    EXPECT_OK(e);
    return e ? e->id : 0;
  }

  // Overwrites `n` little-endian bytes of a slot field in the closed file
  // (ids within the first page of extent 0).
  void poke(uint64_t base, uint64_t slot_size, uint64_t id, uint64_t field,
            uint64_t value, size_t n) {
    int fd = ::open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const uint64_t off = base + 8 + slot_size * (id - 1) + field;
    ASSERT_EQ(::pwrite(fd, &value, n, static_cast<off_t>(off)),
              static_cast<ssize_t>(n));
    ::close(fd);
  }
  void poke_node(uint64_t id, uint64_t field, uint64_t value, size_t n) {
    poke(node_base_, kNodeSlotSize, id, field, value, n);
  }
  void poke_edge(uint64_t id, uint64_t field, uint64_t value, size_t n) {
    poke(edge_base_, kEdgeSlotSize, id, field, value, n);
  }

  std::vector<uint64_t> out_ids(uint64_t n) {
    auto r = out_edges(*pager_, n, std::nullopt);
    EXPECT_OK(r);
    std::vector<uint64_t> ids;
    if (r) {
      for (const Edge& e : *r) ids.push_back(e.id);
    }
    return ids;
  }
  std::vector<uint64_t> in_ids(uint64_t n) {
    auto r = in_edges(*pager_, n, std::nullopt);
    EXPECT_OK(r);
    std::vector<uint64_t> ids;
    if (r) {
      for (const Edge& e : *r) ids.push_back(e.id);
    }
    return ids;
  }
  NodeSlot node_slot(uint64_t id) {
    auto s = pager_->read_node_slot(id);
    EXPECT_TRUE(s);
    return s ? *s : NodeSlot();
  }
  RepairCounts repair_ok() {
    auto r = repair_adjacency(*pager_);
    EXPECT_OK(r);
    return r ? *r : RepairCounts{~0ull, ~0ull};
  }

  TempDir dir_;
  std::string path_ = dir_.file("g.db");
  std::unique_ptr<Pager> pager_;
  uint64_t node_base_ = 0;
  uint64_t edge_base_ = 0;
};

TEST_F(RepairTest, EmptyDatabaseRepairsNothing) {
  RepairCounts c = repair_ok();
  EXPECT_EQ(c.nodes_rewritten, 0u);
  EXPECT_EQ(c.edges_relinked, 0u);
}

TEST_F(RepairTest, UndamagedDatabaseKeepsEveryList) {
  uint64_t a = node(), b = node(), c = node();
  node();  // no edges
  edge(a, b);
  edge(b, c);
  edge(a, c);
  edge(c, c);
  uint64_t gone = edge(c, a);
  ASSERT_TRUE(delete_edge(*pager_, gone));
  ASSERT_TRUE(pager_->commit());
  std::vector<std::vector<uint64_t>> before;
  for (uint64_t n : {a, b, c}) {
    before.push_back(out_ids(n));
    before.push_back(in_ids(n));
  }
  RepairCounts counts = repair_ok();
  EXPECT_EQ(counts.nodes_rewritten, 4u);
  EXPECT_EQ(counts.edges_relinked, 4u);
  std::vector<std::vector<uint64_t>> after;
  for (uint64_t n : {a, b, c}) {
    after.push_back(out_ids(n));
    after.push_back(in_ids(n));
  }
  EXPECT_EQ(before, after);
  EXPECT_EQ(pager_->dirty_count(), 0u);
}

TEST_F(RepairTest, RestoresReadsAfterAnOutListCycle) {
  uint64_t a = node(), b = node();
  uint64_t e1 = edge(a, b), e2 = edge(a, b), e3 = edge(a, b);
  commit_and_close();
  poke_edge(e1, 24, e3, 8);  // oldest next_out -> newest: a cycle
  open();
  auto broken = out_edges(*pager_, a, std::nullopt);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().kind(), ErrorKind::kCorruptedFile);

  RepairCounts counts = repair_ok();
  EXPECT_EQ(counts.nodes_rewritten, 2u);
  EXPECT_EQ(counts.edges_relinked, 3u);
  EXPECT_EQ(out_ids(a), (std::vector<uint64_t>{e3, e2, e1}));
  EXPECT_EQ(in_ids(b), (std::vector<uint64_t>{e3, e2, e1}));
  // The repair committed: the file itself reads correctly.
  open();
  EXPECT_EQ(out_ids(a), (std::vector<uint64_t>{e3, e2, e1}));
}

TEST_F(RepairTest, ReplacesWrongDegreeCountersAndHeads) {
  uint64_t a = node(), b = node();
  uint64_t e1 = edge(a, b), e2 = edge(b, a), loop = edge(a, a);
  commit_and_close();
  poke_node(a, 40, 77, 4);     // out_degree
  poke_node(a, 44, 0, 4);      // in_degree
  poke_node(b, 16, e1 + 50, 8);  // first_in beyond every edge id
  open();
  EXPECT_FALSE(in_edges(*pager_, b, std::nullopt));

  repair_ok();
  NodeSlot sa = node_slot(a), sb = node_slot(b);
  EXPECT_EQ(sa.out_degree, 2u);  // e1 and the loop
  EXPECT_EQ(sa.in_degree, 2u);   // e2 and the loop
  EXPECT_EQ(sb.out_degree, 1u);
  EXPECT_EQ(sb.in_degree, 1u);
  EXPECT_EQ(out_ids(a), (std::vector<uint64_t>{loop, e1}));
  EXPECT_EQ(in_ids(a), (std::vector<uint64_t>{loop, e2}));
  EXPECT_EQ(in_ids(b), std::vector<uint64_t>{e1});
}

TEST_F(RepairTest, RebuiltListsRunNewestFirstWithoutDeletedEdges) {
  uint64_t a = node(), b = node(), c = node();
  uint64_t e1 = edge(a, b), e2 = edge(a, c), e3 = edge(a, b), e4 = edge(a, c);
  ASSERT_TRUE(delete_edge(*pager_, e3));
  commit_and_close();
  // Scramble a's list so that it starts at the deleted edge and skips e4.
  poke_node(a, 8, e3, 8);
  poke_edge(e3, 24, e1, 8);
  poke_edge(e1, 24, e2, 8);
  poke_edge(e2, 24, 0, 8);
  open();
  EXPECT_EQ(out_ids(a), (std::vector<uint64_t>{e1, e2}));

  repair_ok();
  EXPECT_EQ(out_ids(a), (std::vector<uint64_t>{e4, e2, e1}));
  EXPECT_EQ(node_slot(a).first_out, e4);
  auto deleted = pager_->read_edge_slot(e3);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->next_out, e1);  // deleted slots are not touched
  EXPECT_EQ(in_ids(b), std::vector<uint64_t>{e1});
  EXPECT_EQ(in_ids(c), (std::vector<uint64_t>{e4, e2}));
}

TEST_F(RepairTest, EdgeToDeletedSourceStopsBeforeAnyWrite) {
  uint64_t a = node(), b = node(), c = node();
  edge(b, c);
  uint64_t e2 = edge(a, b);
  commit_and_close();
  poke_node(a, 60, kFlagDeleted, 1);
  poke_node(b, 40, 9, 4);  // damage that a repair would otherwise fix
  const std::string bytes = slurp(path_);
  open();
  auto r = repair_adjacency(*pager_);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(r.error().detail(),
            "Database integrity failure: live edge " + std::to_string(e2) +
                " points to missing or deleted source node " +
                std::to_string(a) +
                ". Adjacency repair stopped before making changes. Treat "
                "this database as damaged, take a backup, and restore from a "
                "known-good copy or salvage readable records into a new "
                "database.");
  EXPECT_EQ(pager_->dirty_count(), 0u);
  pager_.reset();
  EXPECT_EQ(slurp(path_), bytes);
}

TEST_F(RepairTest, EdgeToMissingTargetStopsBeforeAnyWrite) {
  uint64_t a = node(), b = node();
  uint64_t e1 = edge(a, b);
  commit_and_close();
  poke_edge(e1, 16, 12345, 8);  // target beyond every node id
  const std::string bytes = slurp(path_);
  open();
  auto r = repair_adjacency(*pager_);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().detail(),
            "Database integrity failure: live edge " + std::to_string(e1) +
                " points to missing or deleted target node 12345. Adjacency "
                "repair stopped before making changes. Treat this database "
                "as damaged, take a backup, and restore from a known-good "
                "copy or salvage readable records into a new database.");
  pager_.reset();
  EXPECT_EQ(slurp(path_), bytes);
}

TEST_F(RepairTest, CommitsPendingChangesToo) {
  uint64_t a = node(), b = node();
  ASSERT_TRUE(pager_->commit());
  uint64_t e = edge(a, b);  // pending
  repair_ok();
  ASSERT_TRUE(pager_->rollback());
  EXPECT_EQ(out_ids(a), std::vector<uint64_t>{e});
}

TEST_F(RepairTest, LargeDatabaseWithLittleDamageFitsOneCommit) {
  // More node slot pages than one write-ahead log can carry: only the
  // slots that really change may be rewritten.
  constexpr uint64_t kNodes = 70000;
  for (uint64_t i = 0; i < kNodes; ++i) {
    ASSERT_TRUE(add_node(*pager_, {}, {}));
    if (i % 30000 == 29999) {
      ASSERT_TRUE(pager_->commit());
    }
  }
  uint64_t e = edge(1, kNodes);
  commit_and_close();
  poke_node(1, 40, 5, 4);
  open();
  RepairCounts counts = repair_ok();
  EXPECT_EQ(counts.nodes_rewritten, kNodes);
  EXPECT_EQ(counts.edges_relinked, 1u);
  EXPECT_EQ(node_slot(1).out_degree, 1u);
  EXPECT_EQ(out_ids(1), std::vector<uint64_t>{e});
}

TEST_F(RepairTest, NextIdBeyondTheExtentsIsCorruption) {
  node();
  ASSERT_TRUE(pager_->commit());
  pager_->header().next_node_id = kNodesPerExtent + 5;
  auto r = repair_adjacency(*pager_);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
}

}  // namespace
}  // namespace orvi

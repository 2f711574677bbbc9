#include "graph/traverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "graph/edge.h"
#include "graph/node.h"

namespace orvi {
namespace {

using Walk = std::vector<std::pair<uint64_t, uint64_t>>;  // (id, depth)

class TraverseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = Pager::open(":memory:");
    ASSERT_TRUE(p);
    pager_ = std::move(*p);
  }

  uint64_t node() {
    auto n = add_node(*pager_, {"N"}, {});
    EXPECT_TRUE(n);
    return n->id;
  }
  uint64_t edge(uint64_t from, uint64_t to, std::string label = "E") {
    auto e = add_edge(*pager_, from, std::move(label), to, {});
    EXPECT_TRUE(e) << (e ? "" : e.error().message());
    return e ? e->id : 0;
  }

  static Walk ids(const Result<std::vector<std::pair<Node, uint64_t>>>& r) {
    EXPECT_TRUE(r) << (r ? "" : r.error().message());
    Walk out;
    if (r) {
      for (const auto& [n, d] : *r) out.emplace_back(n.id, d);
    }
    return out;
  }
  Walk bfs_ids(uint64_t start, uint64_t depth) {
    return ids(bfs(*pager_, start, depth));
  }
  Walk dfs_ids(uint64_t start, uint64_t depth) {
    return ids(dfs(*pager_, start, depth));
  }
  // The path as ids; {0} marks "no path".
  std::vector<uint64_t> path(uint64_t a, uint64_t b,
                             std::optional<std::string_view> label = {}) {
    auto r = shortest_path(*pager_, a, b, label);
    EXPECT_TRUE(r) << (r ? "" : r.error().message());
    if (!r || !r->has_value()) return {0};
    std::vector<uint64_t> out;
    for (const Node& n : **r) out.push_back(n.id);
    return out;
  }

  std::unique_ptr<Pager> pager_;
};

TEST_F(TraverseTest, ChainReportsDepthsAndNeverTheStart) {
  uint64_t a = node(), b = node(), c = node();
  edge(a, b);
  edge(b, c);
  EXPECT_EQ(bfs_ids(a, 1), (Walk{{b, 1}}));
  EXPECT_EQ(bfs_ids(a, 5), (Walk{{b, 1}, {c, 2}}));
  EXPECT_EQ(dfs_ids(a, 1), (Walk{{b, 1}}));
  EXPECT_EQ(dfs_ids(a, 5), (Walk{{b, 1}, {c, 2}}));
  EXPECT_EQ(bfs_ids(c, 5), Walk{});
}

TEST_F(TraverseTest, SelfLoopAddsNothing) {
  uint64_t a = node(), b = node();
  edge(a, a);
  EXPECT_EQ(bfs_ids(a, 3), Walk{});
  EXPECT_EQ(dfs_ids(a, 3), Walk{});
  edge(a, b);
  EXPECT_EQ(bfs_ids(a, 3), (Walk{{b, 1}}));
}

TEST_F(TraverseTest, DiamondReportsJoinOnceAtDepthTwo) {
  uint64_t a = node(), b = node(), c = node(), d = node();
  edge(a, b);
  edge(a, c);  // out_edges(a) = [a->c, a->b]
  edge(b, d);
  edge(c, d);
  EXPECT_EQ(bfs_ids(a, 5), (Walk{{c, 1}, {b, 1}, {d, 2}}));
  // The stack pops b (pushed last) first and discovers d from it.
  EXPECT_EQ(dfs_ids(a, 5), (Walk{{b, 1}, {d, 2}, {c, 1}}));
}

TEST_F(TraverseTest, DfsProcessesTheLastEdgeInListOrderFirst) {
  uint64_t a = node(), b = node(), c = node(), c2 = node();
  edge(a, c);
  edge(a, b);  // out_edges(a) = [a->b, a->c]
  edge(c, c2);
  EXPECT_EQ(dfs_ids(a, 5), (Walk{{c, 1}, {c2, 2}, {b, 1}}));
}

TEST_F(TraverseTest, DfsKeepsTheDepthOfFirstDiscovery) {
  uint64_t a = node(), b = node(), c = node();
  edge(a, c);
  edge(a, b);  // b and c are both pushed from a; c is processed first
  edge(c, b);
  // A recursive search would reach b through c at depth 2; here b was
  // discovered from a and is not pushed again.
  EXPECT_EQ(dfs_ids(a, 5), (Walk{{c, 1}, {b, 1}}));
}

TEST_F(TraverseTest, WalksFollowEdgeDirectionOnly) {
  uint64_t a = node(), b = node();
  edge(b, a);
  EXPECT_EQ(bfs_ids(a, 3), Walk{});
  EXPECT_EQ(dfs_ids(a, 3), Walk{});
  EXPECT_EQ(path(a, b), std::vector<uint64_t>{0});
  EXPECT_EQ(path(b, a), (std::vector<uint64_t>{b, a}));
}

TEST_F(TraverseTest, ZeroDepthNeverTouchesTheGraph) {
  EXPECT_EQ(bfs_ids(999, 0), Walk{});
  EXPECT_EQ(dfs_ids(0, 0), Walk{});
}

TEST_F(TraverseTest, MissingStartFailsOnceOutEdgesAreNeeded) {
  uint64_t a = node();
  for (auto* fn : {&bfs, &dfs}) {
    auto r = fn(*pager_, 999, 1);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::kNodeNotFound);
    EXPECT_EQ(r.error().number(), 999u);
  }
  auto r = shortest_path(*pager_, 0, a, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(r.error().number(), 0u);
}

TEST_F(TraverseTest, ShortestPathToItself) {
  uint64_t a = node();
  EXPECT_EQ(path(a, a), std::vector<uint64_t>{a});
  EXPECT_EQ(path(999, 999), std::vector<uint64_t>{0});
  EXPECT_EQ(path(0, 0), std::vector<uint64_t>{0});
}

TEST_F(TraverseTest, ShortestPathFollowsOnlyTheGivenLabel) {
  uint64_t a = node(), b = node(), c = node();
  edge(a, b, "x");
  edge(b, c, "x");
  edge(a, c, "y");
  EXPECT_EQ(path(a, c), (std::vector<uint64_t>{a, c}));
  EXPECT_EQ(path(a, c, "x"), (std::vector<uint64_t>{a, b, c}));
  EXPECT_EQ(path(a, c, "y"), (std::vector<uint64_t>{a, c}));
  EXPECT_EQ(path(a, c, "X"), std::vector<uint64_t>{0});
}

TEST_F(TraverseTest, ShortestPathParentIsTheFirstDiscoverer) {
  uint64_t a = node(), b = node(), c = node(), d = node();
  edge(a, b);
  edge(a, c);  // c is queued before b
  edge(b, d);
  edge(c, d);
  EXPECT_EQ(path(a, d), (std::vector<uint64_t>{a, c, d}));
}

TEST_F(TraverseTest, UnreachableOrMissingGoalGivesNoPath) {
  uint64_t a = node(), b = node(), c = node();
  edge(a, b);
  EXPECT_EQ(path(a, c), std::vector<uint64_t>{0});
  EXPECT_EQ(path(a, 999), std::vector<uint64_t>{0});
}

TEST_F(TraverseTest, DiscoveredNodeThatIsGoneIsSkippedButNotExpanded) {
  uint64_t a = node(), b = node();
  edge(a, b);
  // Damage: b's slot is marked deleted while a's edge to it stays.
  auto slot = pager_->read_node_slot(b);
  ASSERT_TRUE(slot);
  slot->flags |= kFlagDeleted;
  ASSERT_TRUE(pager_->write_node_slot(*slot));

  EXPECT_EQ(bfs_ids(a, 1), Walk{});
  auto r = bfs(*pager_, a, 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(r.error().number(), b);
}

TEST_F(TraverseTest, DamagedListEndsTheWalk) {
  uint64_t a = node(), b = node(), c = node();
  uint64_t e1 = edge(a, b);
  edge(a, c);
  auto slot = pager_->read_edge_slot(e1);
  ASSERT_TRUE(slot);
  slot->next_out = slot->id;  // the oldest edge points back at itself
  ASSERT_TRUE(pager_->write_edge_slot(*slot));
  auto r = bfs(*pager_, a, 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_NE(r.error().detail().find("cycle"), std::string::npos);
  EXPECT_FALSE(shortest_path(*pager_, a, 999, std::nullopt));
}

// Reference walks over an adjacency map built from all_edges, with the
// standard containers; out_edges order is descending edge id.
struct Reference {
  std::map<uint64_t, std::vector<uint64_t>> out;  // node -> targets

  explicit Reference(Pager& pager) {
    auto edges = all_edges(pager);
    EXPECT_TRUE(edges);
    for (auto it = edges->rbegin(); it != edges->rend(); ++it) {
      out[it->from_node].push_back(it->to_node);
    }
  }

  Walk walk(uint64_t start, uint64_t max_depth, bool lifo) {
    Walk result;
    if (max_depth == 0) return result;
    std::set<uint64_t> seen{start};
    std::deque<std::pair<uint64_t, uint64_t>> pending{{start, 0}};
    while (!pending.empty()) {
      auto [id, d] = lifo ? pending.back() : pending.front();
      lifo ? pending.pop_back() : pending.pop_front();
      if (d != 0) result.emplace_back(id, d);
      if (d >= max_depth) continue;
      for (uint64_t t : out[id]) {
        if (seen.insert(t).second) pending.emplace_back(t, d + 1);
      }
    }
    return result;
  }
};

TEST_F(TraverseTest, RandomGraphsMatchAReferenceWalk) {
  std::mt19937 rng(7);
  constexpr int kNodes = 400;
  for (int i = 0; i < kNodes; ++i) node();
  for (int i = 0; i < 1600; ++i) {
    edge(1 + rng() % kNodes, 1 + rng() % kNodes);
  }
  Reference ref(*pager_);
  for (uint64_t start : {1, 17, 200, 399}) {
    for (uint64_t depth : {1, 2, 3, 100}) {
      EXPECT_EQ(bfs_ids(start, depth), ref.walk(start, depth, false));
      EXPECT_EQ(dfs_ids(start, depth), ref.walk(start, depth, true));
    }
    // A shortest path is as long as the goal's breadth-first depth, and
    // each step follows an edge.
    const Walk reachable = ref.walk(start, 1000, false);
    for (size_t g = 0; g < reachable.size(); g += 9) {
      const auto [goal, depth] = reachable[g];
      std::vector<uint64_t> p = path(start, goal);
      ASSERT_EQ(p.size(), depth + 1);
      for (size_t i = 0; i + 1 < p.size(); ++i) {
        const auto& targets = ref.out[p[i]];
        EXPECT_NE(std::find(targets.begin(), targets.end(), p[i + 1]),
                  targets.end());
      }
    }
  }
}

}  // namespace
}  // namespace orvi

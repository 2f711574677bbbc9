#include "graph/traverse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <set>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

using Walk = std::vector<std::pair<uint64_t, uint64_t>>;  // (id, depth)

class TraverseTest : public orvi::testing::MemoryPagerTest {
 protected:
  uint64_t node() {
    auto n = add_node(*pager_, {"N"}, {});
    EXPECT_TRUE(n);
    return n->id;
  }
  uint64_t edge(uint64_t from, uint64_t to, std::string label = "E") {
    auto e = add_edge(*pager_, from, std::move(label), to, {});
    EXPECT_OK(e);
    return e ? e->id : 0;
  }

  static Walk ids(const Result<std::vector<std::pair<Node, uint64_t>>>& r) {
    EXPECT_OK(r);
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
    EXPECT_OK(r);
    if (!r || !r->has_value()) return {0};
    std::vector<uint64_t> out;
    for (const Node& n : **r) out.push_back(n.id);
    return out;
  }

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
  EXPECT_FALSE(shortest_path(*pager_, a, c, std::nullopt));
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

// shortest_path exactly as the one-way search defines it, over out_edges
// and get_node: the ids of the path, "none", or the error message.
std::string one_way_path(Pager& g, uint64_t start, uint64_t goal,
                         std::optional<std::string_view> label) {
  std::vector<uint64_t> ids;
  if (start == goal) {
    ids.push_back(start);
  } else {
    std::map<uint64_t, uint64_t> parent{{start, 0}};
    std::deque<uint64_t> queue{start};
    while (!queue.empty() && !parent.count(goal)) {
      const uint64_t c = queue.front();
      queue.pop_front();
      auto edges = out_edges(g, c, label);
      if (!edges) return edges.error().message();
      for (const Edge& e : *edges) {
        if (!parent.emplace(e.to_node, c).second) continue;
        if (e.to_node == goal) break;
        queue.push_back(e.to_node);
      }
    }
    if (!parent.count(goal)) return "none";
    for (uint64_t id = goal; id != 0; id = parent[id]) ids.push_back(id);
    std::reverse(ids.begin(), ids.end());
  }
  std::string out;
  for (uint64_t id : ids) {
    auto n = get_node(g, id);
    if (!n) return n.error().message();
    if (n->has_value()) out += std::to_string(id) + " ";
  }
  return start == goal && out.empty() ? "none" : out;
}

std::string path_ids(Pager& g, uint64_t start, uint64_t goal,
                     std::optional<std::string_view> label) {
  auto r = shortest_path(g, start, goal, label);
  if (!r) return r.error().message();
  if (!r->has_value()) return "none";
  std::string out;
  for (const Node& n : **r) out += std::to_string(n.id) + " ";
  return out;
}

// Random multigraphs (parallel edges, self-loops, three labels, deleted
// edges and nodes), sparse enough for long paths: every pair of ids, the
// missing and deleted ones included, gets the one-way search's answer.
TEST(ShortestPathTest, SameAnswerAsTheOneWaySearch) {
  std::mt19937 rng(15);
  const char* kLabels[] = {"A", "B", ""};
  size_t long_paths = 0, no_paths = 0, compared = 0;
  for (int round = 0; round < 60; ++round) {
    auto db = GraphDB::open(":memory:");
    ASSERT_TRUE(db);
    Pager& g = pager_of(**db);
    const uint64_t n = 2 + rng() % 30;
    for (uint64_t i = 0; i < n; ++i) ASSERT_TRUE(add_node(g, {"N"}, {}));
    const uint64_t m = n * (2 + rng() % 6) / 3;
    for (uint64_t i = 0; i < m; ++i) {
      const uint64_t a = 1 + rng() % n;
      const uint64_t b = rng() % 8 == 0 ? a : 1 + rng() % n;
      const int copies = rng() % 6 == 0 ? 2 : 1;
      for (int k = 0; k < copies; ++k) {
        ASSERT_TRUE(add_edge(g, a, kLabels[rng() % 3], b, {}));
      }
    }
    for (uint64_t e = 1; e < g.header().next_edge_id; ++e) {
      if (rng() % 10 == 0) {
        ASSERT_TRUE(delete_edge(g, e));
      }
    }
    for (uint64_t i = 1; i <= n; ++i) {
      if (rng() % 20 == 0) {
        ASSERT_TRUE((*db)->delete_node(i));
      }
    }
    for (uint64_t s = 0; s <= n + 1; ++s) {
      for (uint64_t t = 0; t <= n + 1; ++t) {
        for (std::optional<std::string_view> label :
             {std::optional<std::string_view>(), std::optional<std::string_view>("A"),
              std::optional<std::string_view>("")}) {
          if (label && rng() % 4 != 0) continue;
          const std::string want = one_way_path(g, s, t, label);
          ASSERT_EQ(path_ids(g, s, t, label), want)
              << "round " << round << ", " << s << " -> " << t;
          ++compared;
          if (want == "none") ++no_paths;
          if (std::count(want.begin(), want.end(), ' ') >= 5) ++long_paths;
        }
      }
    }
  }
  // The graphs must have produced long paths and unreachable goals.
  EXPECT_GT(long_paths, compared / 20);
  EXPECT_GT(no_paths, compared / 20);
}

// The walks follow edges through out_targets, which checks blobs without
// decoding them. On a file with damaged blobs and blob references they must
// still fail exactly where a walk built on out_edges fails, with the same
// error, and otherwise give the same result.
class DamagedTraverseTest : public TraverseTest {
 protected:
  // bfs as defined over out_edges and get_node: "OK ..." or the error.
  std::string reference_bfs(uint64_t start, uint64_t max_depth) {
    std::string out = "OK";
    if (max_depth == 0) return out;
    std::set<uint64_t> seen{start};
    std::deque<std::pair<uint64_t, uint64_t>> queue{{start, 0}};
    while (!queue.empty()) {
      auto [id, d] = queue.front();
      queue.pop_front();
      if (d != 0) {
        auto n = get_node(*pager_, id);
        if (!n) return n.error().message();
        if (n->has_value()) out += " " + std::to_string(id) + "@" + std::to_string(d);
      }
      if (d >= max_depth) continue;
      auto edges = out_edges(*pager_, id, std::nullopt);
      if (!edges) return edges.error().message();
      for (const Edge& e : *edges) {
        if (seen.insert(e.to_node).second) queue.emplace_back(e.to_node, d + 1);
      }
    }
    return out;
  }
  std::string actual_bfs(uint64_t start, uint64_t max_depth) {
    auto r = bfs(*pager_, start, max_depth);
    if (!r) return r.error().message();
    std::string out = "OK";
    for (const auto& [n, d] : *r) {
      out += " " + std::to_string(n.id) + "@" + std::to_string(d);
    }
    return out;
  }
  // out_edges / in_edges reduced to what out_targets / in_sources report.
  std::string reference_ends(uint64_t node, bool out,
                             std::optional<std::string_view> label) {
    auto edges = out ? out_edges(*pager_, node, label)
                     : in_edges(*pager_, node, label);
    if (!edges) return edges.error().message();
    std::string out_text = "OK";
    for (const Edge& e : *edges) {
      out_text += " " + std::to_string(out ? e.to_node : e.from_node);
    }
    return out_text;
  }
  std::string actual_ends(uint64_t node, bool out,
                          std::optional<std::string_view> label) {
    std::vector<uint64_t> targets{12345};
    Status s = out ? out_targets(*pager_, node, label, targets)
                   : in_sources(*pager_, node, label, targets);
    if (!s) return s.error().message();
    std::string text = "OK";
    for (uint64_t t : targets) text += " " + std::to_string(t);
    return text;
  }

  // Records as text: the error, or the fields with the properties decoded.
  static std::string props_text(const PropMap& props) {
    std::map<std::string, std::string> sorted;
    for (const auto& [k, v] : props) {
      Bytes b;
      encode_into(v, b);
      sorted[k] = b;
    }
    std::string out;
    for (const auto& [k, v] : sorted) out += "|" + k + "=" + v;
    return out;
  }
  static std::string props_text(const Bytes& blob) {
    auto props = decode_props(blob);
    EXPECT_TRUE(props);
    return props ? props_text(*props) : "undecodable";
  }
  static std::string text(const Node& n) {
    std::string out = std::to_string(n.id);
    for (const auto& l : n.labels()) out += "," + l;
    return out + props_text(n.properties());
  }
  static std::string text(const Edge& e) {
    return std::to_string(e.id) + ":" + e.label + ":" +
           std::to_string(e.from_node) + ">" + std::to_string(e.to_node) +
           props_text(e.properties());
  }
  template <typename T>
  static std::string optional_text(const Result<std::optional<T>>& r) {
    if (!r) return r.error().message();
    return r->has_value() ? text(**r) : "absent";
  }
  template <typename T>
  static std::string list_text(const Result<std::vector<T>>& r) {
    if (!r) return r.error().message();
    std::string out = "OK";
    for (const auto& x : *r) out += " " + text(x);
    return out;
  }
  template <typename T>
  static std::string walk_text(
      const Result<std::vector<std::pair<T, uint64_t>>>& r) {
    if (!r) return r.error().message();
    std::string out = "OK";
    for (const auto& [n, d] : *r) out += " " + text(n) + "@" + std::to_string(d);
    return out;
  }
  template <typename T>
  static std::string path_text(const Result<std::optional<std::vector<T>>>& r) {
    if (!r) return r.error().message();
    if (!r->has_value()) return "no path";
    std::string out = "OK";
    for (const auto& n : **r) out += " " + text(n);
    return out;
  }
  void poke(uint64_t offset, uint8_t byte) {
    ASSERT_TRUE(pager_->modify_page(offset / kPageSize * kPageSize, [&](Page& p) {
      p[offset % kPageSize] = byte;
    }));
  }
};

TEST_F(DamagedTraverseTest, DamagedBlobsFailAsOutEdgesDoes) {
  std::mt19937 rng(11);
  constexpr uint64_t kNodes = 60;
  const char* kLabels[] = {"", "E", "F", "\xC3\xA9t\xC3\xA9"};
  for (uint64_t i = 0; i < kNodes; ++i) node();
  for (int i = 0; i < 240; ++i) {
    PropMap props;
    if (rng() % 3) props["w"] = PropValue::from_float(rng() % 100 / 7.0);
    if (rng() % 4 == 0) {
      props["tags"] = PropValue::from_list({PropValue::from_string("x"),
                                            PropValue::from_int(i)});
    }
    auto e = add_edge(*pager_, 1 + rng() % kNodes, kLabels[rng() % 4],
                      1 + rng() % kNodes, std::move(props));
    ASSERT_TRUE(e);
  }
  ASSERT_TRUE(pager_->commit());
  const uint64_t prop_base = pager_->chain(ExtentKind::kProp).extents[0];
  const uint64_t prop_end = pager_->header().prop_tail;

  int failures = 0;
  for (int round = 0; round < 150; ++round) {
    ASSERT_TRUE(pager_->rollback());
    for (uint64_t k = 1 + rng() % 3; k > 0; --k) {
      if (rng() % 4 != 0) {
        // A byte of some blob.
        poke(prop_base + rng() % (prop_end - prop_base),
             static_cast<uint8_t>(rng() % 3 ? rng() % 8 : rng()));
      } else {
        // A byte of an edge slot's blob references (offsets, lengths).
        const uint64_t i = rng() % 240;  // edge id i + 1
        const uint64_t slot =
            pager_->chain(ExtentKind::kEdge).extents[0] +
            kPageSize * (i / kEdgesPerPage) + 8 + kEdgeSlotSize * (i % kEdgesPerPage);
        poke(slot + 40 + rng() % 28, static_cast<uint8_t>(rng()));
      }
    }
    for (uint64_t n = 1; n <= kNodes; n += 1 + rng() % 5) {
      for (std::optional<std::string_view> label :
           {std::optional<std::string_view>(), std::optional<std::string_view>("E"),
            std::optional<std::string_view>("")}) {
        for (bool out : {true, false}) {
          const std::string want = reference_ends(n, out, label);
          ASSERT_EQ(actual_ends(n, out, label), want) << "node " << n;
          if (out && want.rfind("OK", 0) != 0) ++failures;
        }
      }
    }
    const uint64_t start = 1 + rng() % kNodes;
    const uint64_t depth = 1 + rng() % 4;
    ASSERT_EQ(actual_bfs(start, depth), reference_bfs(start, depth));
  }
  // The damage must actually have hit the walks.
  EXPECT_GT(failures, 20);
}

}  // namespace
}  // namespace orvi

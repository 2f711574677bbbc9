#include "query/algorithms.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "graph/edge.h"
#include "graph/node.h"
#include "test_util.h"

namespace orvi {
namespace {

// The parts the Python tests cannot reach on demand: a stop asked for in
// the middle of a read, and the cycle reported by a failed order.
class AlgorithmsTest : public orvi::testing::MemoryPagerTest {
 protected:
  // A chain 1 -> 2 -> ... -> n.
  void chain(uint64_t n) {
    for (uint64_t i = 1; i <= n; ++i) ASSERT_TRUE(add_node(*pager_, {}, {}));
    for (uint64_t i = 1; i < n; ++i) {
      ASSERT_TRUE(add_edge(*pager_, i, "E", i + 1, {}));
    }
  }
};

TEST_F(AlgorithmsTest, StopEndsReadsWithoutAnAnswer) {
  chain(10000);
  int asked = 0;
  int stop_at = 2;
  const StopCheck stop = [&] { return ++asked == stop_at; };
  // Asked twice while the nodes are read, then while the edges are.
  for (stop_at = 2; stop_at <= 3; ++stop_at) {
    asked = 0;
    auto adj = read_adjacency(*pager_, std::nullopt, stop);
    ASSERT_FALSE(adj);
    EXPECT_NE(adj.error().message().find("stopped"), std::string::npos);
  }
  stop_at = 2;
  asked = 0;
  auto walk =
      walk_ids(*pager_, 1, UINT64_MAX, Direction::kOut, std::nullopt, stop);
  ASSERT_FALSE(walk);
  asked = 0;
  auto path = path_ids(*pager_, 1, 10000, Direction::kBoth, std::nullopt, stop);
  ASSERT_FALSE(path);
  auto whole =
      walk_ids(*pager_, 1, UINT64_MAX, Direction::kOut, std::nullopt, {});
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->size(), 9999u);
  EXPECT_EQ(whole->back(), std::make_pair(uint64_t{10000}, uint64_t{9999}));
}

TEST_F(AlgorithmsTest, CycleBehindATailIsTheOneReported) {
  // 1 -> 2 -> 3 -> 4 -> 5 -> 3, and 6 -> 1: only 3, 4, 5 form a cycle.
  chain(5);
  ASSERT_TRUE(add_node(*pager_, {}, {}));
  ASSERT_TRUE(add_edge(*pager_, 5, "E", 3, {}));
  ASSERT_TRUE(add_edge(*pager_, 6, "E", 1, {}));
  auto adj = read_adjacency(*pager_, std::nullopt, {});
  ASSERT_TRUE(adj);
  auto sorted = topological_order(*adj, nullptr);
  ASSERT_TRUE(sorted);
  EXPECT_TRUE(sorted->order.empty());
  std::vector<uint32_t> cycle = sorted->cycle;
  std::rotate(cycle.begin(), std::min_element(cycle.begin(), cycle.end()),
              cycle.end());
  EXPECT_EQ(cycle, (std::vector<uint32_t>{3, 4, 5}));
}

}  // namespace
}  // namespace orvi

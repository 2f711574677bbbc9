#include "graph/edge_stats.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph/node.h"
#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

// The summaries and all_edges must agree on every store, damaged ones
// included: both answer from the same records, or both fail with the same
// error. The expected answers are derived here from all_edges.
class EdgeStatsTest : public orvi::testing::MemoryPagerTest {
 protected:
  // 40 nodes and 300 edges (parallel edges and self-loops among them), a
  // few edges deleted.
  void build() {
    std::mt19937 rng(7);
    for (int i = 0; i < 40; ++i) ASSERT_OK(add_node(*pager_, {}, {}));
    for (int i = 0; i < 300; ++i) {
      PropMap props;
      if (i % 3 == 0) props["w"] = PropValue::from_int(i);
      ASSERT_OK(add_edge(*pager_, 1 + rng() % 40, "E" + std::to_string(i % 4),
                         1 + rng() % 40, std::move(props)));
    }
    for (uint64_t id : {5, 77, 150}) ASSERT_OK(delete_edge(*pager_, id));
  }

  void expect_agreement(const std::unordered_set<uint64_t>& members) {
    auto edges = all_edges(*pager_);
    auto degrees = degree_stats(*pager_);
    auto between = edges_between(*pager_, members);
    if (!edges) {
      ASSERT_FALSE(degrees);
      ASSERT_FALSE(between);
      EXPECT_EQ(degrees.error().message(), edges.error().message());
      EXPECT_EQ(between.error().message(), edges.error().message());
      return;
    }
    ASSERT_OK(degrees);
    ASSERT_OK(between);
    std::vector<NodeDegrees> want_degrees;
    std::unordered_map<uint64_t, size_t> at;
    auto entry = [&](uint64_t id) -> NodeDegrees& {
      auto [it, fresh] = at.try_emplace(id, want_degrees.size());
      if (fresh) want_degrees.push_back({id, 0, 0});
      return want_degrees[it->second];
    };
    std::vector<Edge> want_between;
    for (const Edge& e : *edges) {
      ++entry(e.from_node).out;
      ++entry(e.to_node).in;
      if (members.count(e.from_node) && members.count(e.to_node)) {
        want_between.push_back(e);
      }
    }
    EXPECT_TRUE(*degrees == want_degrees);
    ASSERT_EQ(between->size(), want_between.size());
    for (size_t i = 0; i < want_between.size(); ++i) {
      const Edge& got = (*between)[i];
      const Edge& want = want_between[i];
      EXPECT_EQ(got.id, want.id);
      EXPECT_EQ(got.label, want.label);
      EXPECT_EQ(got.from_node, want.from_node);
      EXPECT_EQ(got.to_node, want.to_node);
      EXPECT_TRUE(props_equal(got.properties(), want.properties()));
    }
  }

  void expect_agreement() {
    expect_agreement({1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12});
    expect_agreement({});
  }

  EdgeSlot eslot(uint64_t id) { return *pager_->read_edge_slot(id); }
  NodeSlot nslot(uint64_t id) { return *pager_->read_node_slot(id); }
};

TEST_F(EdgeStatsTest, CountsTheLiveEdgeRecordsInFirstAppearanceOrder) {
  build();
  expect_agreement();
  auto degrees = degree_stats(*pager_);
  ASSERT_OK(degrees);
  uint64_t out = 0, in = 0;
  for (const NodeDegrees& d : *degrees) {
    out += d.out;
    in += d.in;
  }
  EXPECT_EQ(out, pager_->header().edge_count);
  EXPECT_EQ(in, pager_->header().edge_count);
}

TEST_F(EdgeStatsTest, DamagedListsAndCountersDoNotChangeTheAnswers) {
  build();
  for (uint64_t id : {1, 2, 3}) {
    NodeSlot s = nslot(id);
    s.out_degree = std::numeric_limits<uint32_t>::max();
    s.in_degree = 0;
    s.first_out = 999999;
    ASSERT_TRUE(pager_->write_node_slot(s));
  }
  EdgeSlot e = eslot(10);
  e.next_out = 10;  // a cycle in its list
  ASSERT_TRUE(pager_->write_edge_slot(e));
  expect_agreement();
}

TEST_F(EdgeStatsTest, EndpointsNoNodeSlotHolds) {
  build();
  NodeSlot gone = nslot(9);
  gone.flags |= kFlagDeleted;
  ASSERT_TRUE(pager_->write_node_slot(gone));
  for (auto [id, from, to] :
       {std::tuple<uint64_t, uint64_t, uint64_t>{20, uint64_t{1} << 40, 2},
        {21, 3, std::numeric_limits<uint64_t>::max()},
        {22, 0, 0},
        {23, 9, 9}}) {
    EdgeSlot s = eslot(id);
    s.from = from;
    s.to = to;
    ASSERT_TRUE(pager_->write_edge_slot(s));
  }
  expect_agreement({0, 2, 3, uint64_t{1} << 40, 9});
  // A damaged next_node_id must not size anything by itself.
  pager_->header().next_node_id = std::numeric_limits<uint64_t>::max();
  expect_agreement();
}

TEST_F(EdgeStatsTest, DamagedRecordsFailAsAllEdgesFails) {
  build();
  // A label blob that holds a map.
  auto holder = add_node(*pager_, {}, {{"k", PropValue::from_int(1)}});
  ASSERT_OK(holder);
  EdgeSlot s = eslot(200);
  s.label_offset = nslot(holder->id).prop_offset;
  s.label_len = nslot(holder->id).prop_len;
  ASSERT_TRUE(pager_->write_edge_slot(s));
  ASSERT_FALSE(all_edges(*pager_));
  expect_agreement();
  ASSERT_OK(pager_->rollback());

  // A property blob cut short.
  build();
  s = eslot(34);
  ASSERT_NE(s.prop_len, 0u);
  s.prop_len -= 1;
  ASSERT_TRUE(pager_->write_edge_slot(s));
  ASSERT_FALSE(all_edges(*pager_));
  expect_agreement();

  // An edge counter beyond every edge extent.
  pager_->header().next_edge_id = 5 * kEdgesPerExtent;
  ASSERT_FALSE(all_edges(*pager_));
  expect_agreement();
}

}  // namespace
}  // namespace orvi

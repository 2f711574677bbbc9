#include "graph/check.h"

#include <gtest/gtest.h>

#include "graph/edge.h"
#include "graph/node.h"
#include "graph/repair.h"
#include "test_util.h"

namespace orvi {
namespace {

// A small graph in memory: nodes 1..3, edges 1 (1->2), 2 (1->3), 3 (2->2).
class CheckTest : public orvi::testing::MemoryPagerTest {
 protected:
  void SetUp() override {
    MemoryPagerTest::SetUp();
    for (int i = 0; i < 3; ++i) {
      PropMap props;
      props["i"] = PropValue::from_int(i);
      ASSERT_OK(add_node(*pager_, {"N"}, props));
    }
    ASSERT_OK(add_edge(*pager_, 1, "E", 2, PropMap()));
    ASSERT_OK(add_edge(*pager_, 1, "E", 3, PropMap()));
    ASSERT_OK(add_edge(*pager_, 2, "E", 2, PropMap()));
  }

  // Checks the committed state, as a file opened read-only holds it.
  CheckReport check() {
    EXPECT_OK(pager_->commit());
    auto report = check_integrity(*pager_);
    EXPECT_OK(report);
    return report ? std::move(*report) : CheckReport{};
  }
};

TEST_F(CheckTest, AHealthyGraphHasNoProblems) {
  CheckReport r = check();
  EXPECT_TRUE(r.problems.empty());
  EXPECT_EQ(r.live_nodes, 3u);
  EXPECT_EQ(r.live_edges, 3u);
  EXPECT_EQ(r.blobs_decoded, 3u * 2 + 3);  // labels and props; edge labels
  EXPECT_EQ(r.lists_walked, 6u);
}

TEST_F(CheckTest, ListDamageIsRepairableAndRepairClearsIt) {
  // Edge 2 heads node 1's out-list; pointing edge 1 back at it loops.
  auto slot = pager_->read_edge_slot(1);
  ASSERT_OK(slot);
  slot->next_out = 2;
  ASSERT_OK(pager_->write_edge_slot(*slot));
  // Node 4, whose in-list names edge 1 as well: a target mismatch.
  ASSERT_OK(add_node(*pager_, {}, PropMap()));
  auto extra = pager_->read_node_slot(4);
  ASSERT_OK(extra);
  extra->first_in = 1;
  extra->in_degree = 1;
  ASSERT_OK(pager_->write_node_slot(*extra));
  CheckReport r = check();
  ASSERT_EQ(r.problems.size(), 3u);
  EXPECT_EQ(r.problems[0].where, "node 1");
  EXPECT_EQ(r.problems[0].message, "out-list has a cycle (edge 2 is revisited)");
  EXPECT_EQ(r.problems[1].where, "node 4");
  EXPECT_EQ(r.problems[1].message, "in-list holds edge 1, whose target is node 2");
  EXPECT_EQ(r.problems[2].message, "in_degree is 1 but its in-list holds 0 edges");
  for (const auto& p : r.problems) EXPECT_TRUE(p.repairable) << p.message;
  ASSERT_OK(repair_adjacency(*pager_));
  EXPECT_TRUE(check().problems.empty());
}

TEST_F(CheckTest, RecordDamageIsNotRepairable) {
  // Node 2's labels pointed at its property blob (a Map), and a node past
  // the live count.
  auto node = pager_->read_node_slot(2);
  ASSERT_OK(node);
  node->label_offset = node->prop_offset;
  node->label_len = node->prop_len;
  node->flags = 0x04;
  ASSERT_OK(pager_->write_node_slot(*node));
  pager_->header().node_count = 4;
  CheckReport r = check();
  ASSERT_EQ(r.problems.size(), 3u);
  EXPECT_EQ(r.problems[0].message, "unknown flag bits 0x04");
  EXPECT_EQ(r.problems[1].message,
            "labels blob does not decode: labels: expected List");
  EXPECT_EQ(r.problems[2].where, "header");
  EXPECT_EQ(r.problems[2].message, "node count is 4 but 3 nodes are live");
  for (const auto& p : r.problems) EXPECT_FALSE(p.repairable) << p.message;
}

TEST_F(CheckTest, AnUncoveredIdRangeStopsBeforeTheSlots) {
  pager_->header().next_edge_id = kEdgesPerExtent + 2;
  CheckReport r = check();
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0].where, "edge extents");
  EXPECT_EQ(r.problems[0].message, "ids up to 13057 need 2 extents but the "
                                   "index lists 1");
  EXPECT_EQ(r.live_nodes, 0u);
}

}  // namespace
}  // namespace orvi

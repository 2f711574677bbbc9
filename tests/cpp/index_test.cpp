#include "graph/index.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "graph/node.h"
#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using Ids = std::vector<uint64_t>;
using Labels = std::vector<std::string>;

class LabelIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = Pager::open(":memory:");
    ASSERT_TRUE(p) << p.error().message();
    pager_ = std::move(*p);
  }
  uint64_t add(Labels labels) {
    auto n = add_node(*pager_, std::move(labels), {});
    EXPECT_TRUE(n) << n.error().message();
    return n ? n->id : 0;
  }
  LabelIndex build() {
    auto idx = LabelIndex::build(*pager_);
    EXPECT_TRUE(idx) << idx.error().message();
    return idx ? std::move(*idx) : LabelIndex();
  }

  std::unique_ptr<Pager> pager_;
};

TEST_F(LabelIndexTest, LookupIsTheUnionOfTheListedLabels) {
  add({"A", "B"});
  add({"B"});
  add({"C"});
  LabelIndex idx = build();
  EXPECT_EQ(idx.ids_for_labels({"A", "B"}), (Ids{1, 2}));
  EXPECT_EQ(idx.ids_for_labels({"B", "A"}), (Ids{1, 2}));
  EXPECT_EQ(idx.ids_for_labels({"C", "Z"}), (Ids{3}));
  EXPECT_EQ(idx.ids_for_labels({"Z"}), Ids{});
  EXPECT_EQ(idx.ids_for_labels({}), Ids{});
  EXPECT_EQ(idx.ids_for_labels({"B", "B"}), (Ids{1, 2}));
  EXPECT_EQ(idx.label_count(), 3u);
}

TEST_F(LabelIndexTest, RemoveEmptiesSetsButKeepsKeys) {
  LabelIndex idx;
  idx.remove(1, {"A"});  // empty index: nothing happens, no key appears
  EXPECT_EQ(idx.label_count(), 0u);
  EXPECT_EQ(idx.ids_for_labels({"A"}), Ids{});

  idx.insert(1, {"A", "B"});
  idx.insert(2, {"B"});
  idx.remove(2, {"B", "Unknown"});
  EXPECT_EQ(idx.ids_for_labels({"B"}), (Ids{1}));
  EXPECT_FALSE(idx.has_label("Unknown"));
  idx.remove(1, {"A", "B"});
  EXPECT_EQ(idx.ids_for_labels({"B"}), Ids{});
  EXPECT_EQ(idx.ids_for_labels({"A", "B"}), Ids{});
  EXPECT_TRUE(idx.has_label("A"));
  EXPECT_TRUE(idx.has_label("B"));
  EXPECT_EQ(idx.label_count(), 2u);
  idx.insert(3, {"B"});
  EXPECT_EQ(idx.ids_for_labels({"B"}), (Ids{3}));
}

TEST_F(LabelIndexTest, RepeatedLabelsAndCaseAndEmptyLabel) {
  uint64_t id = add({"A", "A"});
  add({"a"});
  add({""});
  LabelIndex idx = build();
  EXPECT_EQ(idx.ids_for_labels({"A"}), (Ids{id}));
  EXPECT_EQ(idx.ids_for_labels({"a"}), (Ids{2}));
  EXPECT_EQ(idx.ids_for_labels({""}), (Ids{3}));
  EXPECT_EQ(idx.label_count(), 3u);
  idx.insert(id, {"A", "A"});
  EXPECT_EQ(idx.ids_for_labels({"A", "a"}), (Ids{1, 2}));
}

TEST_F(LabelIndexTest, BuildSkipsDeletedNodesAndReportsDamage) {
  add({"A"});
  add({"A"});
  auto slot = pager_->read_node_slot(1);
  ASSERT_TRUE(slot);
  slot->flags |= kFlagDeleted;
  ASSERT_TRUE(pager_->write_node_slot(*slot));
  LabelIndex idx = build();
  EXPECT_EQ(idx.ids_for_labels({"A"}), (Ids{2}));

  slot = pager_->read_node_slot(2);
  slot->label_len = 2;
  ASSERT_TRUE(pager_->write_node_slot(*slot));
  auto broken = LabelIndex::build(*pager_);
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().kind(), ErrorKind::kCorruptedFile);
}

TEST_F(LabelIndexTest, RebuildAfterRollbackForgetsTheNode) {
  add({"Keep"});
  ASSERT_TRUE(pager_->commit());
  uint64_t id = add({"Gone", "Keep"});
  LabelIndex before = build();
  EXPECT_EQ(before.ids_for_labels({"Keep"}), (Ids{1, id}));
  ASSERT_TRUE(pager_->rollback());
  LabelIndex after = build();
  EXPECT_EQ(after.ids_for_labels({"Gone", "Keep"}), (Ids{1}));
  EXPECT_FALSE(after.has_label("Gone"));
}

}  // namespace
}  // namespace orvi

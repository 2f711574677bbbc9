#include "graph/index.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "graph/node.h"
#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using Ids = std::vector<uint64_t>;
using Labels = std::vector<std::string>;

// A node record carrying `labels`, as the index receives it.
Node rec(uint64_t id, const Labels& labels) {
  return Node::of(id, labels.empty() ? Bytes() : encode_labels(labels), {});
}

class LabelIndexTest : public orvi::testing::MemoryPagerTest {
 protected:
  uint64_t add(Labels labels) {
    auto n = add_node(*pager_, std::move(labels), {});
    EXPECT_OK(n);
    return n ? n->id : 0;
  }
  LabelIndex build() {
    auto idx = LabelIndex::build(*pager_);
    EXPECT_OK(idx);
    return idx ? std::move(*idx) : LabelIndex();
  }

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
  idx.remove(rec(1, {"A"}));  // empty index: nothing happens, no key appears
  EXPECT_EQ(idx.label_count(), 0u);
  EXPECT_EQ(idx.ids_for_labels({"A"}), Ids{});

  idx.insert(rec(1, {"A", "B"}));
  idx.insert(rec(2, {"B"}));
  idx.remove(rec(2, {"B", "Unknown"}));
  EXPECT_EQ(idx.ids_for_labels({"B"}), (Ids{1}));
  EXPECT_FALSE(idx.has_label("Unknown"));
  idx.remove(rec(1, {"A", "B"}));
  EXPECT_EQ(idx.ids_for_labels({"B"}), Ids{});
  EXPECT_EQ(idx.ids_for_labels({"A", "B"}), Ids{});
  EXPECT_TRUE(idx.has_label("A"));
  EXPECT_TRUE(idx.has_label("B"));
  EXPECT_EQ(idx.label_count(), 2u);
  idx.insert(rec(3, {"B"}));
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
  idx.insert(rec(id, {"A", "A"}));
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

// The build decodes only labels and validates properties; on damaged blobs
// it must fail exactly where reading every node with get_node fails, and
// otherwise index exactly the labels get_node reports.
TEST_F(LabelIndexTest, BuildFailsWhereGetNodeFails) {
  std::mt19937 rng(5);
  const Labels kPool[] = {{}, {"A"}, {"A", "B"}, {"\xC3\xA9"}, {"", "C", "C"}};
  for (int i = 0; i < 80; ++i) {
    PropMap props;
    if (rng() % 2) props["n"] = PropValue::from_int(i);
    if (rng() % 3 == 0) props["s"] = PropValue::from_string(std::string(rng() % 9, 'x'));
    ASSERT_TRUE(add_node(*pager_, kPool[rng() % 5], std::move(props)));
  }
  ASSERT_TRUE(pager_->commit());
  const uint64_t base = pager_->chain(ExtentKind::kProp).extents[0];
  const uint64_t end = pager_->header().prop_tail;
  const uint64_t slots = pager_->chain(ExtentKind::kNode).extents[0];

  int failures = 0;
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(pager_->rollback());
    for (uint64_t k = 1 + rng() % 2; k > 0; --k) {
      uint64_t at;
      if (rng() % 4 != 0) {
        at = base + rng() % (end - base);
      } else {
        // A blob reference of a node slot (prop and label offset/length).
        const uint64_t i = rng() % 80;
        const uint64_t slot = slots + kPageSize * (i / kNodesPerPage) + 8 +
                              kNodeSlotSize * (i % kNodesPerPage);
        at = slot + 24 + rng() % 36;
      }
      const uint8_t byte = static_cast<uint8_t>(rng() % 3 ? rng() % 8 : rng());
      ASSERT_TRUE(pager_->modify_page(at / kPageSize * kPageSize,
                                      [&](Page& p) { p[at % kPageSize] = byte; }));
    }
    // What reading every node in id order gives.
    std::string want = "OK";
    std::map<std::string, Ids> by_label;
    for (uint64_t id = 1; id < pager_->header().next_node_id; ++id) {
      auto n = get_node(*pager_, id);
      if (!n) {
        want = n.error().message();
        break;
      }
      if (!n->has_value()) continue;
      for (const std::string& l : (*n)->labels()) {
        Ids& ids = by_label[l];
        if (ids.empty() || ids.back() != id) ids.push_back(id);
      }
    }
    auto idx = LabelIndex::build(*pager_);
    ASSERT_EQ(idx ? std::string("OK") : idx.error().message(), want);
    if (!idx) {
      ++failures;
      continue;
    }
    for (const auto& [label, ids] : by_label) {
      EXPECT_EQ(idx->ids_for_labels({label}), ids) << label;
    }
    EXPECT_EQ(idx->label_count(), by_label.size());
  }
  EXPECT_GT(failures, 20);
}

// Large dense sets (the lookup reads them back through a bitmap), one
// overlapping another, with holes, and id 0 should it ever be indexed.
TEST(LabelIndexSets, DenseUnionsAreSortedWithoutRepeats) {
  LabelIndex idx;
  std::set<uint64_t> x, y;
  for (uint64_t id = 0; id <= 500; ++id) {
    idx.insert(rec(id, {"X"}));
    x.insert(id);
  }
  for (uint64_t id = 250; id <= 5000; id += 3) {
    idx.insert(rec(id, {"Y", "Y"}));
    y.insert(id);
  }
  for (uint64_t id = 10; id <= 4000; id += 7) {
    idx.remove(rec(id, {"X", "Y"}));
    x.erase(id);
    y.erase(id);
  }
  std::set<uint64_t> both = x;
  both.insert(y.begin(), y.end());
  EXPECT_EQ(idx.ids_for_labels({"X"}), Ids(x.begin(), x.end()));
  EXPECT_EQ(idx.ids_for_labels({"Y"}), Ids(y.begin(), y.end()));
  EXPECT_EQ(idx.ids_for_labels({"Y", "X", "Y"}), Ids(both.begin(), both.end()));
  // A far-away id makes the range sparse: still sorted and unique.
  idx.insert(rec(1ULL << 60, {"X"}));
  both.insert(1ULL << 60);
  EXPECT_EQ(idx.ids_for_labels({"X", "Y"}), Ids(both.begin(), both.end()));
}

// Inserts and removes in random order (dense and sparse ids, repeats,
// removal of absent ids, sets growing and emptying) must leave exactly the
// ids a plain set would hold.
TEST(LabelIndexSets, RandomInsertsAndRemovesMatchAPlainSet) {
  std::mt19937_64 rng(3);
  LabelIndex idx;
  std::map<std::string, std::set<uint64_t>> want;
  // Large sets of mostly dense ids under A, B, C; many small sets of
  // scattered ids (where probe runs collide and wrap around the end of the
  // table) under s0 .. s39.
  std::vector<Labels> pool = {{"A"}, {"B"}, {"A", "B"}, {"C", "A", "C"}};
  for (int k = 0; k < 40; ++k) pool.push_back({"s" + std::to_string(k)});
  std::vector<uint64_t> scattered(24);
  for (uint64_t& id : scattered) id = rng();
  for (int round = 0; round < 60000; ++round) {
    const bool big = rng() % 2;
    const Labels& labels = big ? pool[rng() % 4] : pool[4 + rng() % 40];
    // Few enough distinct ids that removals hit.
    const uint64_t id = !big ? scattered[rng() % scattered.size()]
                        : rng() % 8 ? rng() % 3000 : rng();
    if (rng() % 3) {
      idx.insert(rec(id, labels));
      for (const auto& l : labels) want[l].insert(id);
    } else {
      idx.remove(rec(id, labels));
      for (const auto& l : labels) {
        if (want.count(l)) want[l].erase(id);
      }
    }
    if (round % 997 == 0 || round == 59999) {
      for (const auto& [label, ids] : want) {
        ASSERT_EQ(idx.ids_for_labels({label}), Ids(ids.begin(), ids.end()))
            << label << " after " << round;
      }
      std::set<uint64_t> all;
      for (const auto& [label, ids] : want) all.insert(ids.begin(), ids.end());
      Labels every;
      for (const auto& [label, ids] : want) every.push_back(label);
      ASSERT_EQ(idx.ids_for_labels(every), Ids(all.begin(), all.end()));
    }
  }
}

}  // namespace
}  // namespace orvi

#include "graph/node.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;

PropValue I(int64_t v) { return PropValue::from_int(v); }

class NodeTest : public orvi::testing::MemoryPagerTest {
 protected:
  uint64_t add(std::vector<std::string> labels = {}, PropMap props = {}) {
    auto n = add_node(*pager_, std::move(labels), std::move(props));
    EXPECT_OK(n);
    return n ? n->id : 0;
  }
  std::optional<Node> get(uint64_t id) {
    auto n = get_node(*pager_, id);
    EXPECT_OK(n);
    return n ? std::move(*n) : std::nullopt;
  }
  NodeSlot slot(uint64_t id) {
    auto s = pager_->read_node_slot(id);
    EXPECT_OK(s);
    return s ? *s : NodeSlot{};
  }
  // What the handle's node delete does to the slot.
  void mark_deleted(uint64_t id) {
    NodeSlot s = slot(id);
    s.flags |= kFlagDeleted;
    ASSERT_TRUE(pager_->write_node_slot(s));
    pager_->header().node_count -= 1;
  }
  std::vector<uint64_t> all_ids() {
    std::vector<uint64_t> ids;
    auto all = all_nodes(*pager_);
    EXPECT_OK(all);
    if (all) {
      for (const Node& n : *all) ids.push_back(n.id);
    }
    return ids;
  }
  // Raw 8-byte field of a node slot in the first slot page.
  void poke_slot_u64(uint64_t id, size_t field, uint64_t value) {
    ASSERT_LE(id, kNodesPerPage);
    uint64_t off = pager_->chain(ExtentKind::kNode).extents[0] + 8 +
                   kNodeSlotSize * (id - 1) + field;
    ASSERT_TRUE(pager_->modify_page(off / kPageSize * kPageSize, [&](Page& p) {
      put_u64(p.data() + off % kPageSize, value);
    }));
  }

};

TEST_F(NodeTest, IdsStartAtOneAndOutOfRangeIdsAreAbsent) {
  EXPECT_EQ(add(), 1u);
  EXPECT_EQ(add(), 2u);
  EXPECT_EQ(pager_->header().next_node_id, 3u);
  EXPECT_EQ(pager_->header().node_count, 2u);
  EXPECT_FALSE(get(0));
  EXPECT_FALSE(get(3));
  EXPECT_FALSE(get(std::numeric_limits<uint64_t>::max()));
  EXPECT_TRUE(*node_exists(*pager_, 2));
  EXPECT_FALSE(*node_exists(*pager_, 0));
  EXPECT_FALSE(*node_exists(*pager_, 3));
}

TEST_F(NodeTest, BloblessNodeAppendsNothing) {
  add();
  EXPECT_EQ(pager_->header().prop_tail, 0u);
  EXPECT_TRUE(pager_->chain(ExtentKind::kProp).extents.empty());
  NodeSlot s = slot(1);
  EXPECT_EQ(s.id, 1u);
  EXPECT_EQ(s.label_offset, 0u);
  EXPECT_EQ(s.label_len, 0u);
  EXPECT_EQ(s.prop_offset, 0u);
  EXPECT_EQ(s.prop_len, 0u);
  auto n = get(1);
  ASSERT_TRUE(n);
  EXPECT_TRUE(n->labels().empty());
  EXPECT_TRUE(n->properties().empty());
}

TEST_F(NodeTest, BlobsCrossingAPageBoundaryReadBack) {
  // The first blob fills most of the first page of the prop extent, so
  // the second one straddles into the next page.
  add({}, {{"pad", PropValue::from_string(std::string(4000, 'p'))}});
  const std::string big(300, 'k');
  uint64_t id = add({"B", "A", "B"}, {{"k", PropValue::from_string(big)}});
  NodeSlot s = slot(id);
  EXPECT_NE(s.prop_offset / kPageSize,
            (s.prop_offset + s.prop_len - 1) / kPageSize);
  auto n = get(id);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->properties().at("k").as_string(), big);
  EXPECT_EQ(n->labels(), (std::vector<std::string>{"B", "A", "B"}));
}

TEST_F(NodeTest, NodeAfterFirstExtentAllocatesSecondExtent) {
  for (uint64_t i = 0; i < kNodesPerExtent; ++i) add();
  EXPECT_EQ(pager_->chain(ExtentKind::kNode).extents.size(), 1u);
  EXPECT_EQ(add({"last"}), kNodesPerExtent + 1);
  EXPECT_EQ(pager_->chain(ExtentKind::kNode).extents.size(), 2u);
  auto n = get(kNodesPerExtent + 1);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->labels(), std::vector<std::string>{"last"});
  EXPECT_TRUE(get(kNodesPerExtent));
}

TEST_F(NodeTest, DeletedNodeIsAbsentAndItsIdIsNotReused) {
  add();
  add();
  add();
  mark_deleted(2);
  EXPECT_FALSE(get(2));
  EXPECT_FALSE(*node_exists(*pager_, 2));
  EXPECT_EQ(all_ids(), (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(add(), 4u);

  Status st = update_node(*pager_, 2, {{"a", I(1)}});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(st.error().number(), 2u);
  st = update_node(*pager_, 0, {});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(st.error().message(),
            "No node with id 0. Use a positive integer id returned from "
            "add_node() or an existing Node.id; id 0 is never valid.");
  st = update_node(*pager_, 5, {});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().number(), 5u);
}

TEST_F(NodeTest, UpdateMergesKeysAndStoresNull) {
  uint64_t id = add({"L"}, {{"a", I(0)}, {"b", I(2)}});
  ASSERT_TRUE(update_node(*pager_, id, {{"a", I(1)}}));
  auto n = get(id);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->properties().size(), 2u);
  EXPECT_EQ(n->properties().at("a"), I(1));
  EXPECT_EQ(n->properties().at("b"), I(2));
  EXPECT_EQ(n->labels(), std::vector<std::string>{"L"});

  ASSERT_TRUE(update_node(*pager_, id, {{"b", PropValue::null()}}));
  n = get(id);
  ASSERT_TRUE(n);
  ASSERT_EQ(n->properties().count("b"), 1u);
  EXPECT_TRUE(n->properties().at("b").is_null());
  EXPECT_EQ(n->properties().at("a"), I(1));
}

TEST_F(NodeTest, UpdateAppendsFreshBlobEvenForEmptyMap) {
  uint64_t id = add({}, {{"a", I(1)}});
  NodeSlot before = slot(id);
  uint64_t tail = pager_->header().prop_tail;
  ASSERT_TRUE(update_node(*pager_, id, {}));
  NodeSlot after = slot(id);
  EXPECT_EQ(after.prop_offset, tail);
  EXPECT_EQ(after.prop_len, before.prop_len);
  EXPECT_EQ(pager_->header().prop_tail, tail + before.prop_len);
  EXPECT_EQ(get(id)->properties().at("a"), I(1));

  // A node without properties stays blob-less.
  uint64_t bare = add();
  tail = pager_->header().prop_tail;
  ASSERT_TRUE(update_node(*pager_, bare, {}));
  EXPECT_EQ(slot(bare).prop_len, 0u);
  EXPECT_EQ(pager_->header().prop_tail, tail);
}

TEST_F(NodeTest, NextIdsBeyondAddressableSlotsAreCapacityErrors) {
  const std::string msg =
      "node capacity exceeded: the current file layout can address at most " +
      std::to_string(kMaxExtentsPerKind * kNodesPerExtent) + " nodes";
  for (uint64_t next : {kMaxExtentsPerKind * kNodesPerExtent + 1,
                        std::numeric_limits<uint64_t>::max(), uint64_t{0}}) {
    pager_->header().next_node_id = next;
    auto n = add_node(*pager_, {"L"}, {});
    ASSERT_FALSE(n) << next;
    EXPECT_EQ(n.error().kind(), ErrorKind::kCapacityExceeded);
    EXPECT_EQ(n.error().message(), msg);
    EXPECT_EQ(pager_->header().next_node_id, next);
    EXPECT_TRUE(pager_->chain(ExtentKind::kNode).extents.empty());
    EXPECT_EQ(pager_->header().prop_tail, 0u);
  }
}

TEST_F(NodeTest, DamagedHeaderCountersAreRefusedWithoutWriting) {
  // A next id several extents past the allocated ones: the header and the
  // extent index disagree; nothing is allocated.
  pager_->header().next_node_id = 3 * kNodesPerExtent + 1;
  auto n = add_node(*pager_, {}, {});
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_TRUE(pager_->chain(ExtentKind::kNode).extents.empty());
  // Reads below such a next id find no extent: damage, not capacity.
  auto g = get_node(*pager_, 5);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), ErrorKind::kCorruptedFile);

  // A next id that went backwards would overwrite node 1.
  pager_->header().next_node_id = 1;
  add({"keep"});
  add();
  pager_->header().next_node_id = 1;
  n = add_node(*pager_, {"new"}, {});
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(pager_->header().next_node_id, 1u);
  pager_->header().next_node_id = 3;
  EXPECT_EQ(get(1)->labels(), std::vector<std::string>{"keep"});
}

TEST_F(NodeTest, DamagedStoredIdCannotRedirectAWrite) {
  add({}, {{"a", I(1)}});
  add({}, {{"a", I(2)}});
  poke_slot_u64(2, 0, 1);  // slot 2 claims to be node 1
  ASSERT_TRUE(update_node(*pager_, 2, {{"a", I(3)}}));
  EXPECT_EQ(get(1)->properties().at("a"), I(1));
  EXPECT_EQ(get(2)->properties().at("a"), I(3));
}

TEST_F(NodeTest, DamagedBlobsAreCorruptedFileErrors) {
  add({"L"}, {{"a", I(1)}});
  add({"M"});
  NodeSlot s = slot(1);
  s.label_len = 3;  // cuts the label list short
  ASSERT_TRUE(pager_->write_node_slot(s));
  auto g = get_node(*pager_, 1);
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error().kind(), ErrorKind::kCorruptedFile);
  auto all = all_nodes(*pager_);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().kind(), ErrorKind::kCorruptedFile);

  s.label_len = 0;
  s.prop_offset = 17;  // not in the data region
  ASSERT_TRUE(pager_->write_node_slot(s));
  Status st = update_node(*pager_, 1, {{"b", I(1)}});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(slot(1).prop_offset, 17u);
}

// Each read checks its own blobs: a label blob damaged in place fails even
// right after an intact one of the same length was accepted, and so does a
// property blob stored right behind its label blob.
TEST_F(NodeTest, EveryReadChecksItsOwnBlobs) {
  add({"L"}, {{"a", I(1)}});
  add({"L"}, {{"a", I(2)}});
  auto poke = [&](uint64_t off, uint8_t value) {
    uint8_t old = 0;
    EXPECT_TRUE(pager_->modify_page(off / kPageSize * kPageSize, [&](Page& p) {
      old = std::exchange(p[off % kPageSize], value);
    }));
    return old;
  };
  const NodeSlot s = slot(2);
  ASSERT_EQ(s.prop_offset, s.label_offset + s.label_len);
  ASSERT_TRUE(get(1));
  // One record reused across the reads, as the binding reuses one: a failed
  // read leaves nothing of the damaged blobs behind for the next.
  Node record;
  for (uint64_t off : {s.label_offset, s.prop_offset}) {
    const uint8_t tag = poke(off, 0x7F);
    ASSERT_TRUE(*read_node(*pager_, 1, record));
    auto g = read_node(*pager_, 2, record);
    ASSERT_FALSE(g) << off;
    EXPECT_EQ(g.error().kind(), ErrorKind::kCorruptedFile);
    poke(off, tag);
    ASSERT_TRUE(*read_node(*pager_, 2, record));
    EXPECT_EQ(record.properties().at("a"), I(2));
  }
  auto n = get(2);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->labels(), std::vector<std::string>{"L"});
  EXPECT_EQ(n->properties().at("a"), I(2));
}

TEST(NodeFileTest, NodesSurviveReopenAndRollbackReissuesIds) {
  TempDir dir;
  const std::string path = dir.file("g.db");
  {
    auto p = Pager::open(path);
    ASSERT_TRUE(p);
    ASSERT_TRUE(add_node(**p, {"A"}, {{"x", I(1)}}));
    ASSERT_TRUE((*p)->commit());
    ASSERT_EQ(add_node(**p, {"B"}, {})->id, 2u);
    ASSERT_TRUE((*p)->rollback());
    EXPECT_FALSE(*get_node(**p, 2));
    ASSERT_EQ(add_node(**p, {"C"}, {})->id, 2u);
    ASSERT_TRUE((*p)->commit());
  }
  auto p = Pager::open(path);
  ASSERT_TRUE(p);
  auto all = all_nodes(**p);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0].properties().at("x"), I(1));
  EXPECT_EQ((*all)[1].labels(), std::vector<std::string>{"C"});
}

}  // namespace
}  // namespace orvi

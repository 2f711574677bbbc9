#include "graph/edge.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "graph/node.h"
#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using Ids = std::vector<uint64_t>;

PropValue I(int64_t v) { return PropValue::from_int(v); }

std::string cycle_text(uint64_t node, const char* word, uint64_t edge) {
  return "Database integrity failure: detected a cycle while traversing "
         "node " +
         std::to_string(node) + "'s " + word +
         " adjacency list (revisited edge " + std::to_string(edge) +
         "). The adjacency metadata is damaged and reads cannot continue "
         "safely. Stop writing to this database, take a backup, and run "
         "`repair_adjacency()` if your application exposes it. If repair is "
         "unavailable or fails, restore from a known-good backup.";
}

std::string unlink_text(uint64_t node, const char* word, uint64_t edge) {
  return "Database integrity failure: node " + std::to_string(node) + "'s " +
         word + " adjacency list does not contain edge " +
         std::to_string(edge) +
         " during unlink. This means the database metadata is inconsistent "
         "and the file should be treated as damaged. Stop writing to this "
         "database, take a backup, and if your application exposes a repair "
         "function run `repair_adjacency()` before retrying. If no repair "
         "function is available, restore from a known-good backup.";
}

class EdgeTest : public orvi::testing::MemoryPagerTest {
 protected:
  uint64_t node() {
    auto n = add_node(*pager_, {}, {});
    EXPECT_OK(n);
    return n ? n->id : 0;
  }
  uint64_t edge(uint64_t from, uint64_t to, std::string label = "E",
                PropMap props = {}) {
    auto e = add_edge(*pager_, from, std::move(label), to, std::move(props));
    EXPECT_OK(e);
    return e ? e->id : 0;
  }
  Ids out(uint64_t n,
                            std::optional<std::string_view> label = {}) {
    return ids(out_edges(*pager_, n, label));
  }
  Ids in(uint64_t n,
                           std::optional<std::string_view> label = {}) {
    return ids(in_edges(*pager_, n, label));
  }
  static Ids ids(const Result<std::vector<Edge>>& r) {
    EXPECT_OK(r);
    Ids v;
    if (r) {
      for (const Edge& e : *r) v.push_back(e.id);
    }
    return v;
  }
  Ids nbrs(uint64_t n, Direction d) {
    auto r = neighbors(*pager_, n, d, std::nullopt);
    EXPECT_OK(r);
    return r ? *r : Ids{};
  }
  NodeSlot nslot(uint64_t id) { return *pager_->read_node_slot(id); }
  EdgeSlot eslot(uint64_t id) { return *pager_->read_edge_slot(id); }
  void set_next_out(uint64_t id, uint64_t next) {
    EdgeSlot s = eslot(id);
    s.next_out = next;
    ASSERT_TRUE(pager_->write_edge_slot(s));
  }
  void set_next_in(uint64_t id, uint64_t next) {
    EdgeSlot s = eslot(id);
    s.next_in = next;
    ASSERT_TRUE(pager_->write_edge_slot(s));
  }
  void mark_node_deleted(uint64_t id) {
    NodeSlot s = nslot(id);
    s.flags |= kFlagDeleted;
    ASSERT_TRUE(pager_->write_node_slot(s));
  }
  static void expect_corrupted(const Status& st, const std::string& detail) {
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), ErrorKind::kCorruptedFile);
    EXPECT_EQ(st.error().detail(), detail);
  }
  template <typename T>
  static void expect_corrupted(const Result<T>& r, const std::string& detail) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
    EXPECT_EQ(r.error().detail(), detail);
  }

};

TEST_F(EdgeTest, ListsRunNewestFirstAndFilterByExactLabel) {
  uint64_t a = node(), b = node(), c = node();
  EXPECT_EQ(edge(a, b, "x"), 1u);
  EXPECT_EQ(edge(a, c, "y"), 2u);
  EXPECT_EQ(edge(a, b, "x", {{"w", I(5)}}), 3u);
  EXPECT_EQ(out(a), (Ids{3, 2, 1}));
  EXPECT_EQ(out(a, "x"), (Ids{3, 1}));
  EXPECT_TRUE(out(a, "X").empty());
  EXPECT_TRUE(out(a, "").empty());
  EXPECT_EQ(in(b), (Ids{3, 1}));
  EXPECT_TRUE(out(b).empty());
  EXPECT_EQ(nslot(a).out_degree, 3u);
  EXPECT_EQ(nslot(b).in_degree, 2u);
  auto e = get_edge(*pager_, 3);
  ASSERT_TRUE(e && *e);
  EXPECT_EQ((*e)->to_node, b);
  EXPECT_EQ((*e)->properties().at("w"), I(5));
  EXPECT_FALSE(*get_edge(*pager_, 0));
  EXPECT_FALSE(*get_edge(*pager_, 4));

  uint64_t empty = edge(c, c, "");
  EXPECT_EQ(get_edge(*pager_, empty)->value().label, "");
  EXPECT_EQ(out(c, ""), Ids{empty});

  auto missing = out_edges(*pager_, 99, std::nullopt);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(missing.error().number(), 99u);
}

TEST_F(EdgeTest, SelfLoopIsInBothListsAndCountsOnce) {
  uint64_t a = node();
  uint64_t loop = edge(a, a);
  EXPECT_EQ(out(a), Ids{loop});
  EXPECT_EQ(in(a), Ids{loop});
  EXPECT_EQ(nslot(a).out_degree, 1u);
  EXPECT_EQ(nslot(a).in_degree, 1u);
  EXPECT_EQ(nbrs(a, Direction::kBoth), Ids{a});
  EXPECT_EQ(nbrs(a, Direction::kOut), Ids{a});

  ASSERT_TRUE(delete_edge(*pager_, loop));
  EXPECT_TRUE(out(a).empty());
  EXPECT_TRUE(in(a).empty());
  NodeSlot s = nslot(a);
  EXPECT_EQ(s.first_out, 0u);
  EXPECT_EQ(s.first_in, 0u);
  EXPECT_EQ(s.out_degree, 0u);
  EXPECT_EQ(s.in_degree, 0u);
  EXPECT_EQ(pager_->header().edge_count, 0u);
}

TEST_F(EdgeTest, SelfLoopBehindOtherEdgesUnlinksFromBothLists) {
  uint64_t a = node(), b = node();
  uint64_t loop = edge(a, a);
  uint64_t ab = edge(a, b);
  uint64_t ba = edge(b, a);
  ASSERT_TRUE(delete_edge(*pager_, loop));
  EXPECT_EQ(out(a), Ids{ab});
  EXPECT_EQ(in(a), Ids{ba});
  EXPECT_EQ(nslot(a).out_degree, 1u);
  EXPECT_EQ(nslot(a).in_degree, 1u);

  // Damaged counters stop at 0 instead of wrapping.
  NodeSlot s = nslot(b);
  s.out_degree = 0;
  ASSERT_TRUE(pager_->write_node_slot(s));
  pager_->header().edge_count = 0;
  ASSERT_TRUE(delete_edge(*pager_, ba));
  EXPECT_EQ(nslot(b).out_degree, 0u);
  EXPECT_EQ(nslot(a).in_degree, 0u);
  EXPECT_EQ(pager_->header().edge_count, 0u);
}

TEST_F(EdgeTest, DeleteRelinksMiddleAndHead) {
  uint64_t a = node(), b = node();
  edge(a, b);
  edge(a, b);
  edge(a, b);
  ASSERT_TRUE(delete_edge(*pager_, 2));
  EXPECT_EQ(out(a), (Ids{3, 1}));
  EXPECT_EQ(in(b), (Ids{3, 1}));
  EXPECT_EQ(eslot(3).next_out, 1u);
  EXPECT_EQ(eslot(3).next_in, 1u);
  EXPECT_FALSE(*get_edge(*pager_, 2));
  // The deleted slot keeps its links.
  EXPECT_EQ(eslot(2).next_out, 1u);
  EXPECT_EQ(eslot(2).flags & kFlagDeleted, kFlagDeleted);

  ASSERT_TRUE(delete_edge(*pager_, 3));
  EXPECT_EQ(nslot(a).first_out, 1u);
  EXPECT_EQ(nslot(b).first_in, 1u);
  EXPECT_EQ(nslot(a).out_degree, 1u);
  EXPECT_EQ(nslot(b).in_degree, 1u);
  EXPECT_EQ(out(a), Ids{1});
  EXPECT_EQ(pager_->header().edge_count, 1u);

  auto all = all_edges(*pager_);
  ASSERT_TRUE(all);
  EXPECT_EQ(ids(all), Ids{1});

  Status again = delete_edge(*pager_, 3);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().kind(), ErrorKind::kEdgeNotFound);
  EXPECT_EQ(again.error().number(), 3u);
}

TEST_F(EdgeTest, DeletedEdgeLeftInAListIsSkippedButFollowed) {
  uint64_t a = node(), b = node();
  edge(a, b);
  edge(a, b);
  edge(a, b);
  EdgeSlot s = eslot(2);
  s.flags |= kFlagDeleted;  // deleted without unlinking
  ASSERT_TRUE(pager_->write_edge_slot(s));
  EXPECT_EQ(out(a), (Ids{3, 1}));
  // Unlinking the oldest edge walks through the deleted one.
  ASSERT_TRUE(delete_edge(*pager_, 1));
  EXPECT_EQ(eslot(2).next_out, 0u);
  EXPECT_EQ(out(a), Ids{3});
}

TEST_F(EdgeTest, MissingEndpointsAndTheSpentIdRule) {
  uint64_t a = node(), b = node(), c = node();
  auto r = add_edge(*pager_, 0, "E", b, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(r.error().number(), 0u);
  r = add_edge(*pager_, 9, "E", 0, {});  // the source is tested first
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().number(), 9u);
  r = add_edge(*pager_, a, "E", 4, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().number(), 4u);
  EXPECT_EQ(pager_->header().next_edge_id, 1u);
  EXPECT_EQ(pager_->header().prop_tail, 0u);

  mark_node_deleted(c);
  r = add_edge(*pager_, a, "E", c, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(r.error().number(), c);
  EXPECT_EQ(pager_->header().next_edge_id, 2u);
  EXPECT_EQ(pager_->header().edge_count, 0u);
  EXPECT_EQ(nslot(a).first_out, 0u);
  EXPECT_EQ(nslot(a).out_degree, 0u);
  EXPECT_FALSE(*get_edge(*pager_, 1));
  EXPECT_EQ(edge(a, b), 2u);

  r = add_edge(*pager_, c, "E", a, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().number(), c);
}

TEST_F(EdgeTest, MergeReusesAnEqualEdgeAndOtherwiseAddsAParallelOne) {
  uint64_t a = node(), b = node();
  auto first = merge_edge(*pager_, a, "R", b, {{"k", I(1)}});
  ASSERT_TRUE(first);
  uint64_t tail = pager_->header().prop_tail;
  auto same = merge_edge(*pager_, a, "R", b, {{"k", I(1)}});
  ASSERT_TRUE(same);
  EXPECT_EQ(same->id, first->id);
  EXPECT_EQ(pager_->header().prop_tail, tail);
  EXPECT_EQ(pager_->header().next_edge_id, 2u);

  auto other = merge_edge(*pager_, a, "R", b, {{"k", I(2)}});
  ASSERT_TRUE(other);
  EXPECT_EQ(other->id, 2u);
  // Int 1 and Float 1.0 are different values.
  auto fl = merge_edge(*pager_, a, "R", b, {{"k", PropValue::from_float(1)}});
  ASSERT_TRUE(fl);
  EXPECT_EQ(fl->id, 3u);
  auto lbl = merge_edge(*pager_, a, "S", b, {{"k", I(1)}});
  ASSERT_TRUE(lbl);
  EXPECT_EQ(lbl->id, 4u);
  EXPECT_EQ(nbrs(a, Direction::kOut), (Ids{b, b, b, b}));

  auto missing = merge_edge(*pager_, 7, "R", b, {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), ErrorKind::kNodeNotFound);
  EXPECT_EQ(missing.error().number(), 7u);
}

TEST_F(EdgeTest, NeighborsKeepRepeatsPerDirectionAndDedupeBoth) {
  uint64_t a = node(), b = node(), c = node(), d = node();
  edge(a, b);
  edge(a, c);
  edge(b, a);
  edge(c, a);
  edge(d, a, "other");
  edge(a, b);
  EXPECT_EQ(nbrs(a, Direction::kOut), (Ids{b, c, b}));
  EXPECT_EQ(nbrs(a, Direction::kIn), (Ids{d, c, b}));
  EXPECT_EQ(nbrs(a, Direction::kBoth), (Ids{b, c, d}));
  auto filtered = neighbors(*pager_, a, Direction::kBoth, "other");
  ASSERT_TRUE(filtered);
  EXPECT_EQ(*filtered, Ids{d});

  // Long lists take the hashed path.
  uint64_t hub = node();
  Ids expect;
  for (int i = 0; i < 20; ++i) {
    uint64_t n = node();
    edge(hub, n);
    edge(n, hub);
    expect.insert(expect.begin(), n);
  }
  EXPECT_EQ(nbrs(hub, Direction::kBoth), expect);
}

TEST_F(EdgeTest, UpdateMergesLikeNodesAndMissingEdgeFails) {
  uint64_t a = node(), b = node();
  uint64_t id = edge(a, b, "R", {{"a", I(0)}, {"b", I(2)}});
  EdgeSlot before = eslot(id);
  ASSERT_TRUE(
      update_edge(*pager_, id, {{"a", I(1)}, {"c", PropValue::null()}}));
  auto e = get_edge(*pager_, id);
  ASSERT_TRUE(e && *e);
  EXPECT_EQ((*e)->properties().size(), 3u);
  EXPECT_EQ((*e)->properties().at("a"), I(1));
  EXPECT_EQ((*e)->properties().at("b"), I(2));
  EXPECT_TRUE((*e)->properties().at("c").is_null());
  EXPECT_EQ((*e)->label, "R");
  EXPECT_EQ(eslot(id).label_offset, before.label_offset);

  uint64_t tail = pager_->header().prop_tail;
  ASSERT_TRUE(update_edge(*pager_, id, {}));
  EXPECT_EQ(eslot(id).prop_offset, tail);

  for (uint64_t bad : {uint64_t{0}, uint64_t{2}}) {
    Status st = update_edge(*pager_, bad, {});
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().kind(), ErrorKind::kEdgeNotFound);
    EXPECT_EQ(st.error().number(), bad);
  }
}

TEST_F(EdgeTest, CycleInAListIsReportedWithNodeListAndEdge) {
  uint64_t a = node(), b = node();
  edge(a, b);
  edge(a, b);
  edge(a, b);
  set_next_out(1, 3);  // 3 -> 2 -> 1 -> 3
  expect_corrupted(out_edges(*pager_, a, std::nullopt),
                   cycle_text(a, "out-edge", 3));
  expect_corrupted(neighbors(*pager_, a, Direction::kBoth, std::nullopt),
                   cycle_text(a, "out-edge", 3));
  expect_corrupted(merge_edge(*pager_, a, "E", b, {{"new", I(1)}}),
                   cycle_text(a, "out-edge", 3));
  EXPECT_EQ(in(b), (Ids{3, 2, 1}));

  set_next_in(2, 2);  // 3 -> 2 -> 2
  expect_corrupted(in_edges(*pager_, b, std::nullopt),
                   cycle_text(b, "in-edge", 2));
}

TEST_F(EdgeTest, CycleThatClimbsBackIsCaughtAfterAscendingStep) {
  // 5 -> 4 -> 2 -> 3 -> 4: the visited check must still see 4 after the
  // list stops descending.
  uint64_t a = node(), b = node();
  for (int i = 0; i < 5; ++i) edge(a, b);
  set_next_out(4, 2);
  set_next_out(2, 3);
  set_next_out(3, 4);
  expect_corrupted(out_edges(*pager_, a, std::nullopt),
                   cycle_text(a, "out-edge", 4));
  // An ascending step without a repeat is fine: 5 -> 1 -> 3 -> 0.
  set_next_out(5, 1);
  set_next_out(1, 3);
  set_next_out(3, 0);
  EXPECT_EQ(out(a), (Ids{5, 1, 3}));
}

TEST_F(EdgeTest, LongListsCatchACycleBackToAnyEarlierEdge) {
  // 100 -> 99 -> ... -> 1, then 1 links back to an edge seen early in the
  // walk or deep into it: both must be recognised as revisits.
  uint64_t a = node(), b = node();
  for (int i = 0; i < 100; ++i) edge(a, b);
  for (uint64_t back : {uint64_t{95}, uint64_t{40}, uint64_t{2}}) {
    set_next_out(1, back);
    expect_corrupted(out_edges(*pager_, a, std::nullopt),
                     cycle_text(a, "out-edge", back));
    std::vector<uint64_t> targets;
    expect_corrupted(out_targets(*pager_, a, std::nullopt, targets),
                     cycle_text(a, "out-edge", back));
  }
  set_next_out(1, 0);
  EXPECT_EQ(out(a).size(), 100u);
}

// A link into another node's list: every walk stops at the first slot that
// does not name the walked node, deleted or not, instead of answering with
// the other node's edges.
TEST_F(EdgeTest, ListReachingAnotherNodesEdgeIsDamageForEveryWalk) {
  uint64_t a = node(), b = node(), c = node(), d = node();
  uint64_t ab1 = edge(a, b);
  uint64_t ab2 = edge(a, b);
  uint64_t cd = edge(c, d);
  auto foreign = [](uint64_t node, const char* list, uint64_t edge,
                    const char* end, uint64_t owner) {
    return "Database integrity failure: node " + std::to_string(node) +
           "'s " + list + " adjacency list reaches edge " +
           std::to_string(edge) + ", whose " + end + " is node " +
           std::to_string(owner) +
           ". The adjacency metadata is damaged and reads cannot continue "
           "safely. Stop writing to this database, take a backup, and run "
           "`repair_adjacency()` if your application exposes it. If repair "
           "is unavailable or fails, restore from a known-good backup.";
  };
  set_next_out(ab2, cd);  // a: ab2 -> cd (c's) -> 0, ab1 lost
  const std::string out_text = foreign(a, "out-edge", cd, "source", c);
  std::vector<uint64_t> targets;
  expect_corrupted(out_targets(*pager_, a, std::nullopt, targets), out_text);
  // The unlink walk of ab1 meets cd before it could find ab1.
  expect_corrupted(delete_edge(*pager_, ab1), out_text);
  EXPECT_TRUE(*get_edge(*pager_, ab1));
  // A deleted edge of another node is no better.
  EdgeSlot gone = eslot(cd);
  gone.flags |= kFlagDeleted;
  ASSERT_TRUE(pager_->write_edge_slot(gone));
  expect_corrupted(out_edges(*pager_, a, "E"), out_text);
  set_next_out(ab2, ab1);
  EXPECT_EQ(out(a), (Ids{ab2, ab1}));

  set_next_in(ab2, cd);  // b: ab2 -> cd (d's, deleted) -> 0, ab1 lost
  const std::string in_text = foreign(b, "in-edge", cd, "target", d);
  expect_corrupted(in_edges(*pager_, b, std::nullopt), in_text);
  expect_corrupted(delete_edge(*pager_, ab1), in_text);
}

TEST_F(EdgeTest, UnlinkOfAnEdgeMissingFromItsList) {
  uint64_t a = node(), b = node();
  uint64_t e1 = edge(a, b);
  uint64_t e2 = edge(a, b);
  set_next_out(e2, 0);  // e1 falls off a's outgoing list
  expect_corrupted(delete_edge(*pager_, e1), unlink_text(a, "out-edge", e1));
  EXPECT_TRUE(*get_edge(*pager_, e1));

  set_next_out(e2, e1);
  set_next_in(e2, 0);  // now it falls off b's incoming list
  expect_corrupted(delete_edge(*pager_, e1), unlink_text(b, "in-edge", e1));
}

TEST_F(EdgeTest, UnlinkWalkOverALoopThatMissesTheEdgeEnds) {
  uint64_t a = node(), b = node();
  edge(a, b);
  edge(a, b);
  uint64_t victim = edge(a, b);
  NodeSlot s = nslot(a);
  s.first_out = 2;  // 2 -> 1 -> 2, without 3
  ASSERT_TRUE(pager_->write_node_slot(s));
  set_next_out(1, 2);
  expect_corrupted(delete_edge(*pager_, victim), cycle_text(a, "out-edge", 2));
  EXPECT_TRUE(*get_edge(*pager_, victim));
}

TEST_F(EdgeTest, LinksToEdgesNeverCreatedAreDamage) {
  uint64_t a = node(), b = node();
  uint64_t id = edge(a, b);
  set_next_out(id, 1000);
  auto r = out_edges(*pager_, a, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_NE(r.error().detail().find("links to edge 1000"), std::string::npos);

  // Beyond every edge extent as well: still damage, not a capacity error.
  set_next_out(id, 5 * kEdgesPerExtent);
  r = out_edges(*pager_, a, std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
}

TEST_F(EdgeTest, EdgeWithABadEndpointIsNotUnlinkedOrWrittenBack) {
  uint64_t a = node(), b = node();
  uint64_t id = edge(a, b);
  EdgeSlot s = eslot(id);
  s.from = 0;
  ASSERT_TRUE(pager_->write_edge_slot(s));
  Status st = delete_edge(*pager_, id);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::kCorruptedFile);

  // A source id inside the range whose slot was never written: the slot
  // must not be written back, which would create a node.
  pager_->header().next_node_id = 10;
  s.from = 5;
  ASSERT_TRUE(pager_->write_edge_slot(s));
  st = delete_edge(*pager_, id);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(nslot(5).id, 0u);
}

TEST_F(EdgeTest, LabelBlobThatIsNotAStringIsCorrupted) {
  auto holder = add_node(*pager_, {}, {{"k", I(1)}});
  ASSERT_TRUE(holder);
  uint64_t a = node();
  uint64_t id = edge(a, a);
  EdgeSlot s = eslot(id);
  NodeSlot map_blob = nslot(holder->id);
  s.label_offset = map_blob.prop_offset;
  s.label_len = map_blob.prop_len;
  ASSERT_TRUE(pager_->write_edge_slot(s));
  expect_corrupted(get_edge(*pager_, id), "edge label is not a string");
  expect_corrupted(out_edges(*pager_, a, "E"), "edge label is not a string");
  expect_corrupted(all_edges(*pager_), "edge label is not a string");
}

TEST_F(EdgeTest, NextIdsBeyondAddressableSlotsAreCapacityErrors) {
  uint64_t a = node();
  const std::string msg =
      "edge capacity exceeded: the current file layout can address at most " +
      std::to_string(kMaxExtentsPerKind * kEdgesPerExtent) + " edges";
  for (uint64_t next : {kMaxExtentsPerKind * kEdgesPerExtent + 1,
                        std::numeric_limits<uint64_t>::max(), uint64_t{0}}) {
    pager_->header().next_edge_id = next;
    auto r = add_edge(*pager_, a, "E", a, {});
    ASSERT_FALSE(r) << next;
    EXPECT_EQ(r.error().kind(), ErrorKind::kCapacityExceeded);
    EXPECT_EQ(r.error().message(), msg);
    EXPECT_EQ(pager_->header().next_edge_id, next);
    EXPECT_TRUE(pager_->chain(ExtentKind::kEdge).extents.empty());
  }
  pager_->header().next_edge_id = 4 * kEdgesPerExtent;
  auto r = add_edge(*pager_, a, "E", a, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_TRUE(pager_->chain(ExtentKind::kEdge).extents.empty());
}

TEST_F(EdgeTest, DegreeAtItsMaximumIsNotWrapped) {
  uint64_t a = node(), b = node();
  NodeSlot s = nslot(a);
  s.out_degree = std::numeric_limits<uint32_t>::max();
  ASSERT_TRUE(pager_->write_node_slot(s));
  auto r = add_edge(*pager_, a, "E", b, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(nslot(a).out_degree, std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(nslot(a).first_out, 0u);
  EXPECT_EQ(nslot(b).first_in, 0u);
  EXPECT_EQ(pager_->header().edge_count, 0u);
}

TEST_F(EdgeTest, RollbackRestoresListsAndCounters) {
  uint64_t a = node(), b = node();
  edge(a, b);
  edge(a, b);
  ASSERT_TRUE(pager_->commit());
  ASSERT_TRUE(delete_edge(*pager_, 2));
  edge(b, a);
  ASSERT_TRUE(pager_->rollback());
  EXPECT_EQ(pager_->header().next_edge_id, 3u);
  EXPECT_EQ(pager_->header().edge_count, 2u);
  EXPECT_EQ(out(a), (Ids{2, 1}));
  EXPECT_TRUE(in(a).empty());
  EXPECT_EQ(edge(b, a), 3u);
}

}  // namespace
}  // namespace orvi

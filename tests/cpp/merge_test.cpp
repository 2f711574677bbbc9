#include "graph/merge.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>

#include "db/graphdb.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

PropValue I(int64_t v) { return PropValue::from_int(v); }
PropValue F(double v) { return PropValue::from_float(v); }
PropValue S(const char* v) { return PropValue::from_string(v); }
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<GraphDB> memory_db() {
  auto db = GraphDB::open(":memory:");
  EXPECT_TRUE(db);
  return std::move(*db);
}

MergePolicy by_key(std::vector<std::string> names,
                   NodeConflict conflict = NodeConflict::kKeepDst,
                   EdgeStrategy edges = EdgeStrategy::kAppend) {
  MergePolicy p;
  p.node_key = std::move(names);
  p.node_conflict = conflict;
  p.edge_strategy = edges;
  return p;
}

// Byte-exact picture of a graph: canonical encodings of labels and
// properties (NaN and -0.0 compare by their bits), ids, endpoints.
std::string dump(GraphDB& db) {
  std::string out;
  auto nodes = all_nodes(pager_of(db));
  EXPECT_TRUE(nodes);
  for (const Node& n : *nodes) {
    out += "N" + std::to_string(n.id) + ":" + encode_labels(n.labels()) + ":" +
           encode_props(n.properties()) + "\n";
  }
  auto edges = all_edges(pager_of(db));
  EXPECT_TRUE(edges);
  for (const Edge& e : *edges) {
    out += "E" + std::to_string(e.id) + ":" + std::to_string(e.from_node) +
           ">" + std::to_string(e.to_node) + ":" + e.label + ":" +
           encode_props(e.properties()) + "\n";
  }
  out += "next " + std::to_string(pager_of(db).header().next_node_id) + " " +
         std::to_string(pager_of(db).header().next_edge_id);
  return out;
}

class MergeTest : public ::testing::Test {
 protected:
  uint64_t src_node(std::vector<std::string> labels, PropMap props) {
    auto n = src_->add_node(std::move(labels), std::move(props));
    EXPECT_TRUE(n);
    return n->id;
  }
  uint64_t dst_node(std::vector<std::string> labels, PropMap props) {
    auto n = dst_->add_node(std::move(labels), std::move(props));
    EXPECT_TRUE(n);
    return n->id;
  }
  uint64_t src_edge(uint64_t a, uint64_t b, const char* label = "E",
                    PropMap props = {}) {
    auto e = add_edge(pager_of(*src_), a, label, b, std::move(props));
    EXPECT_TRUE(e);
    return e->id;
  }
  Result<MergeReport> merge(const MergePolicy& policy) {
    auto nodes = all_nodes(pager_of(*src_));
    auto edges = all_edges(pager_of(*src_));
    EXPECT_TRUE(nodes && edges);
    return dst_->merge_from(*nodes, *edges, policy);
  }
  MergeReport merge_ok(const MergePolicy& policy) {
    auto r = merge(policy);
    EXPECT_OK(r);
    return r ? std::move(*r) : MergeReport();
  }
  PropMap dst_props(uint64_t id) {
    auto n = get_node(pager_of(*dst_), id);
    EXPECT_TRUE(n && n->has_value());
    return (n && n->has_value()) ? (*n)->properties() : PropMap();
  }

  std::unique_ptr<GraphDB> src_ = memory_db();
  std::unique_ptr<GraphDB> dst_ = memory_db();
};

TEST_F(MergeTest, EmptySourceGivesAnEmptyReport) {
  dst_node({"A"}, {{"k", I(1)}});
  MergeReport r = merge_ok(by_key({"k"}));
  EXPECT_EQ(r.nodes_created + r.nodes_reused + r.edges_created +
                r.edges_reused,
            0u);
  EXPECT_TRUE(r.node_id_map.empty());
  EXPECT_TRUE(r.edge_id_map.empty());
}

TEST_F(MergeTest, AlwaysNewCopiesEverythingIntoTheDestinationSequence) {
  dst_node({"Old"}, {});
  dst_node({"Old"}, {});
  uint64_t a = src_node({"P"}, {{"name", S("a")}});
  uint64_t b = src_node({"P", "Q"}, {{"name", S("b")}});
  uint64_t c = src_node({}, {});
  uint64_t e1 = src_edge(a, b, "knows", {{"w", I(3)}});
  uint64_t e2 = src_edge(c, c, "self");

  MergeReport r = merge_ok(MergePolicy{});
  EXPECT_EQ(r.nodes_created, 3u);
  EXPECT_EQ(r.nodes_reused, 0u);
  EXPECT_EQ(r.edges_created, 2u);
  EXPECT_EQ(r.edges_reused, 0u);
  EXPECT_EQ(r.node_id_map,
            (std::unordered_map<uint64_t, uint64_t>{{a, 3}, {b, 4}, {c, 5}}));
  EXPECT_EQ(r.edge_id_map,
            (std::unordered_map<uint64_t, uint64_t>{{e1, 1}, {e2, 2}}));
  auto edge = get_edge(pager_of(*dst_), 1);
  ASSERT_TRUE(edge && edge->has_value());
  EXPECT_EQ((*edge)->from_node, 3u);
  EXPECT_EQ((*edge)->to_node, 4u);
  EXPECT_EQ((*edge)->label, "knows");
  EXPECT_TRUE(props_equal((*edge)->properties(), {{"w", I(3)}}));
  // Created nodes are in the label index.
  EXPECT_EQ(label_index_of(*dst_).ids_for_labels({"Q"}),
            std::vector<uint64_t>{4});
  EXPECT_EQ(label_index_of(*dst_).ids_for_labels({"P"}),
            (std::vector<uint64_t>{3, 4}));
}

TEST_F(MergeTest, SourceNodesSharingAKeyCollapse) {
  uint64_t a = src_node({"A"}, {{"k", I(7)}});
  uint64_t b = src_node({"B"}, {{"k", I(7)}, {"x", I(1)}});
  MergeReport r = merge_ok(by_key({"k"}));
  EXPECT_EQ(r.nodes_created, 1u);
  EXPECT_EQ(r.nodes_reused, 1u);
  EXPECT_EQ(r.node_id_map.at(a), r.node_id_map.at(b));
  // The first one's labels stay; the second adds nothing under KeepDst.
  auto n = get_node(pager_of(*dst_), r.node_id_map.at(a));
  ASSERT_TRUE(n && n->has_value());
  EXPECT_EQ((*n)->labels(), std::vector<std::string>{"A"});
  EXPECT_EQ((*n)->properties().size(), 1u);
}

TEST_F(MergeTest, KeyEqualityFollowsValueEquality) {
  uint64_t d_float = dst_node({}, {{"k", F(1.0)}});
  uint64_t d_zero = dst_node({}, {{"k", F(0.0)}});
  uint64_t d_nan = dst_node({}, {{"k", F(kNaN)}});
  dst_node({}, {});  // no properties: never matches
  uint64_t d_list = dst_node({}, {{"k", PropValue::from_list({I(1), F(-0.0)})}});
  uint64_t d_map = dst_node(
      {}, {{"k", PropValue::from_map({{"x", I(1)}, {"y", S("s")}})}});

  uint64_t s_int = src_node({}, {{"k", I(1)}});
  uint64_t s_negzero = src_node({}, {{"k", F(-0.0)}});
  uint64_t s_nan = src_node({}, {{"k", F(kNaN)}});
  uint64_t s_list = src_node({}, {{"k", PropValue::from_list({I(1), F(0.0)})}});
  uint64_t s_map = src_node(
      {}, {{"k", PropValue::from_map({{"y", S("s")}, {"x", I(1)}})}});
  uint64_t s_nan2 = src_node({}, {{"k", F(kNaN)}});

  MergeReport r = merge_ok(by_key({"k"}));
  EXPECT_NE(r.node_id_map.at(s_int), d_float);  // Int 1 != Float 1.0
  EXPECT_EQ(r.node_id_map.at(s_negzero), d_zero);
  EXPECT_NE(r.node_id_map.at(s_nan), d_nan);
  EXPECT_NE(r.node_id_map.at(s_nan2), r.node_id_map.at(s_nan));
  EXPECT_EQ(r.node_id_map.at(s_list), d_list);
  EXPECT_EQ(r.node_id_map.at(s_map), d_map);
  EXPECT_EQ(r.nodes_created, 3u);
  EXPECT_EQ(r.nodes_reused, 3u);
}

TEST_F(MergeTest, LowestMatchingDestinationIdWinsOnEveryKeyName) {
  dst_node({}, {{"a", I(1)}});                 // lacks b
  uint64_t two = dst_node({}, {{"a", I(1)}, {"b", I(2)}, {"z", I(0)}});
  dst_node({}, {{"a", I(1)}, {"b", I(2)}});
  uint64_t s = src_node({}, {{"b", I(2)}, {"a", I(1)}});
  MergeReport r = merge_ok(by_key({"a", "b"}));
  EXPECT_EQ(r.node_id_map.at(s), two);
}

TEST_F(MergeTest, ConflictPolicies) {
  struct Case {
    NodeConflict conflict;
    PropMap expected;
  } cases[] = {
      {NodeConflict::kKeepDst, {{"k", S("x")}, {"a", I(1)}}},
      {NodeConflict::kOverwriteFromSrc,
       {{"k", S("x")}, {"a", I(2)}, {"b", I(3)}}},
      {NodeConflict::kMergeProps, {{"k", S("x")}, {"a", I(1)}, {"b", I(3)}}},
  };
  for (const Case& c : cases) {
    src_ = memory_db();
    dst_ = memory_db();
    uint64_t d = dst_node({"Dst"}, {{"k", S("x")}, {"a", I(1)}});
    src_node({"Src"}, {{"k", S("x")}, {"a", I(2)}, {"b", I(3)}});
    MergeReport r = merge_ok(by_key({"k"}, c.conflict));
    EXPECT_EQ(r.nodes_reused, 1u);
    EXPECT_TRUE(props_equal(dst_props(d), c.expected))
        << static_cast<int>(c.conflict);
    auto n = get_node(pager_of(*dst_), d);
    EXPECT_EQ((*n)->labels(), std::vector<std::string>{"Dst"});
    EXPECT_TRUE(label_index_of(*dst_).ids_for_labels({"Src"}).empty());
  }
}

TEST_F(MergeTest, MissingKeyPropertyNamesNodeAndProperty) {
  src_node({}, {{"email", S("a@x")}});
  uint64_t bad = src_node({}, {{"name", S("b")}});
  auto r = merge(by_key({"email"}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kMergeKeyNotFound);
  EXPECT_EQ(r.error().message(),
            "Merge key not found: source node " + std::to_string(bad) +
                " has no property 'email' required by "
                "NodeIdentity::ByProperty");
  // The node written before the failure stays pending.
  EXPECT_EQ(pager_of(*dst_).header().next_node_id, 2u);
  ASSERT_TRUE(dst_->rollback());
  EXPECT_EQ(pager_of(*dst_).header().next_node_id, 1u);
}

TEST_F(MergeTest, EdgeWithUnknownEndpointIsCorruption) {
  uint64_t a = src_node({}, {});
  Node only{a, {}, {}};
  Edge stray{9, "E", a, 42, {}};
  auto r = dst_->merge_from({only}, {stray}, MergePolicy{});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(r.error().detail(),
            "merge_from: source edge 9 references node 42 which was not "
            "present in src.all_nodes()");
  Edge stray_from{10, "E", 41, a, {}};
  auto r2 = dst_->merge_from({only}, {stray_from}, MergePolicy{});
  ASSERT_FALSE(r2);
  EXPECT_EQ(r2.error().detail(),
            "merge_from: source edge 10 references node 41 which was not "
            "present in src.all_nodes()");
}

TEST_F(MergeTest, IdempotentEdgesAreReusedOnASecondMerge) {
  uint64_t a = src_node({}, {{"k", I(1)}});
  uint64_t b = src_node({}, {{"k", I(2)}});
  src_edge(a, b, "E", {{"w", I(1)}});
  src_edge(b, a, "E");
  src_edge(a, a, "L");
  const MergePolicy policy =
      by_key({"k"}, NodeConflict::kKeepDst, EdgeStrategy::kIdempotent);
  MergeReport first = merge_ok(policy);
  EXPECT_EQ(first.edges_created, 3u);
  EXPECT_EQ(first.edges_reused, 0u);
  MergeReport second = merge_ok(policy);
  EXPECT_EQ(second.nodes_reused, 2u);
  EXPECT_EQ(second.edges_created, 0u);
  EXPECT_EQ(second.edges_reused, 3u);
  EXPECT_EQ(second.edge_id_map, first.edge_id_map);
  EXPECT_EQ(pager_of(*dst_).header().edge_count, 3u);

  // Same endpoints and label, other properties: a new edge.
  ASSERT_TRUE(update_edge(pager_of(*src_), 1, {{"w", I(2)}}));
  MergeReport third = merge_ok(policy);
  EXPECT_EQ(third.edges_created, 1u);
  EXPECT_EQ(third.edges_reused, 2u);
}

TEST_F(MergeTest, IdempotentReusesTheNewestOfParallelEdges) {
  uint64_t d1 = dst_node({}, {{"k", I(1)}});
  uint64_t d2 = dst_node({}, {{"k", I(2)}});
  ASSERT_TRUE(add_edge(pager_of(*dst_), d1, "E", d2, {{"w", F(0.0)}}));
  auto newest = add_edge(pager_of(*dst_), d1, "E", d2, {{"w", F(0.0)}});
  ASSERT_TRUE(add_edge(pager_of(*dst_), d1, "E", d2, {{"w", F(1.0)}}));
  uint64_t a = src_node({}, {{"k", I(1)}});
  uint64_t b = src_node({}, {{"k", I(2)}});
  uint64_t e = src_edge(a, b, "E", {{"w", F(-0.0)}});
  MergeReport r = merge_ok(
      by_key({"k"}, NodeConflict::kKeepDst, EdgeStrategy::kIdempotent));
  EXPECT_EQ(r.edges_reused, 1u);
  EXPECT_EQ(r.edge_id_map.at(e), newest->id);
}

TEST_F(MergeTest, AppendDuplicatesEveryEdge) {
  uint64_t a = src_node({}, {{"k", I(1)}});
  uint64_t b = src_node({}, {{"k", I(2)}});
  src_edge(a, b);
  src_edge(a, b);
  merge_ok(by_key({"k"}));
  MergeReport second = merge_ok(by_key({"k"}));
  EXPECT_EQ(second.edges_created, 2u);
  EXPECT_EQ(pager_of(*dst_).header().edge_count, 4u);
  auto out = out_edges(pager_of(*dst_), second.node_id_map.at(a), std::nullopt);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 4u);
}

TEST_F(MergeTest, RollbackUndoesTheMerge) {
  dst_node({"Keep"}, {{"k", I(1)}, {"a", I(0)}});
  ASSERT_TRUE(pager_of(*dst_).commit());
  const std::string before = dump(*dst_);
  uint64_t a = src_node({"New"}, {{"k", I(1)}, {"a", I(5)}});
  uint64_t b = src_node({"New"}, {{"k", I(2)}});
  src_edge(a, b);
  MergeReport r = merge_ok(by_key({"k"}, NodeConflict::kOverwriteFromSrc));
  EXPECT_EQ(r.nodes_created, 1u);
  ASSERT_NE(dump(*dst_), before);
  ASSERT_TRUE(dst_->rollback());
  EXPECT_EQ(dump(*dst_), before);
  EXPECT_TRUE(label_index_of(*dst_).ids_for_labels({"New"}).empty());
}

// --- the indexed matcher against the defining algorithm --------------------

// The merge as defined: for every source node reread the destination and
// take the first node whose key values all compare equal.
Result<MergeReport> naive_merge(GraphDB& dst, const std::vector<Node>& nodes,
                                const std::vector<Edge>& edges,
                                const MergePolicy& policy) {
  Pager& pager = pager_of(dst);
  MergeReport report;
  for (const Node& src : nodes) {
    const PropMap src_props = src.properties();
    std::optional<uint64_t> match;
    if (policy.node_key) {
      std::vector<const PropValue*> key;
      for (const std::string& name : *policy.node_key) {
        auto it = src_props.find(name);
        if (it == src_props.end()) {
          return OrviError::merge_key_not_found(src.id, name);
        }
        key.push_back(&it->second);
      }
      auto current = all_nodes(pager);
      if (!current) return current.error();
      for (const Node& d : *current) {
        const PropMap d_props = d.properties();
        bool all = true;
        for (size_t i = 0; i < key.size() && all; ++i) {
          auto it = d_props.find((*policy.node_key)[i]);
          all = it != d_props.end() && it->second == *key[i];
        }
        if (all) {
          match = d.id;
          break;
        }
      }
    }
    if (!match) {
      auto n = add_node(pager, src.labels(), src_props);
      if (!n) return n.error();
      label_index_of(dst).insert(*n);
      report.node_id_map[src.id] = n->id;
      report.nodes_created++;
      continue;
    }
    if (policy.node_conflict == NodeConflict::kOverwriteFromSrc) {
      ORVI_TRY(update_node(pager, *match, src_props));
    } else if (policy.node_conflict == NodeConflict::kMergeProps) {
      auto d = get_node(pager, *match);
      PropMap missing;
      for (const auto& [k, v] : src_props) {
        if (!(*d)->properties().count(k)) missing.emplace(k, v);
      }
      if (!missing.empty()) ORVI_TRY(update_node(pager, *match, missing));
    }
    report.node_id_map[src.id] = *match;
    report.nodes_reused++;
  }
  for (const Edge& e : edges) {
    uint64_t from = report.node_id_map.at(e.from_node);
    uint64_t to = report.node_id_map.at(e.to_node);
    if (policy.edge_strategy == EdgeStrategy::kAppend) {
      auto a = add_edge(pager, from, e.label, to, e.properties());
      if (!a) return a.error();
      report.edge_id_map[e.id] = a->id;
      report.edges_created++;
    } else {
      uint64_t before = pager.header().edge_count;
      auto m = merge_edge(pager, from, e.label, to, e.properties());
      if (!m) return m.error();
      report.edge_id_map[e.id] = m->id;
      (pager.header().edge_count > before ? report.edges_created
                                          : report.edges_reused)++;
    }
  }
  return report;
}

// Values from small domains, so keys collide often, across every kind and
// the equality corner cases (Int vs Float, 0.0 vs -0.0, NaN, map order).
PropValue random_value(std::mt19937& rng, int depth = 0) {
  switch (rng() % (depth < 2 ? 10 : 7)) {
    case 0:
      return I(static_cast<int64_t>(rng() % 3));
    case 1:
      return F(static_cast<double>(rng() % 2));
    case 2:
      return F(rng() % 2 ? -0.0 : 0.0);
    case 3:
      return rng() % 4 == 0 ? F(kNaN) : I(0);
    case 4:
      return S(rng() % 2 ? "a" : "b");
    case 5:
      return PropValue::from_bool(rng() % 2);
    case 6:
      return PropValue::null();
    case 7:
    case 8: {
      PropList list;
      for (unsigned i = rng() % 3; i > 0; --i) {
        list.push_back(random_value(rng, depth + 1));
      }
      return PropValue::from_list(std::move(list));
    }
    default: {
      PropMap map;
      for (const char* k : {"x", "y"}) {
        if (rng() % 2) map.emplace(k, random_value(rng, depth + 1));
      }
      return PropValue::from_map(std::move(map));
    }
  }
}

PropMap random_props(std::mt19937& rng, const std::vector<std::string>& keys,
                     bool all_keys) {
  PropMap props;
  for (const std::string& k : keys) {
    if (all_keys || rng() % 4 != 0) props.emplace(k, random_value(rng));
  }
  for (const char* extra : {"p", "q"}) {
    if (rng() % 2) props.emplace(extra, random_value(rng));
  }
  return props;
}

// Edge properties that collide often: Int vs Float, 0.0 vs -0.0, NaN.
PropMap random_edge_props(std::mt19937& rng) {
  PropMap props;
  switch (rng() % 7) {
    case 0:
      break;
    case 1:
      props.emplace("w", I(0));
      break;
    case 2:
      props.emplace("w", I(1));
      break;
    case 3:
      props.emplace("w", F(0.0));
      break;
    case 4:
      props.emplace("w", F(-0.0));
      break;
    case 5:
      props.emplace("w", PropValue::from_list({F(rng() % 4 ? 1.0 : kNaN)}));
      break;
    default:
      props.emplace("w", I(0));
      props.emplace("v", F(0.0));
      break;
  }
  return props;
}

// Fills a destination (committed) and a source snapshot from one seed.
void random_graphs(uint32_t seed, const std::vector<std::string>& keys,
                   GraphDB& dst, std::vector<Node>& nodes,
                   std::vector<Edge>& edges) {
  std::mt19937 rng(seed);
  const int dst_nodes = 20 + static_cast<int>(rng() % 20);
  for (int i = 0; i < dst_nodes; ++i) {
    ASSERT_TRUE(dst.add_node({rng() % 2 ? "A" : "B"},
                             random_props(rng, keys, false)));
  }
  for (int i = 0; i < dst_nodes * 2; ++i) {
    uint64_t from = 1 + rng() % dst_nodes;
    uint64_t to = 1 + rng() % dst_nodes;
    PropMap props = random_edge_props(rng);
    // Parallel identical edges: merge_edge must pick the newest.
    if (rng() % 4 == 0) ASSERT_TRUE(add_edge(pager_of(dst), from, "E", to, props));
    ASSERT_TRUE(add_edge(pager_of(dst), from, "E", to, std::move(props)));
  }
  ASSERT_TRUE(pager_of(dst).commit());
  const int src_nodes = 30 + static_cast<int>(rng() % 30);
  for (int i = 0; i < src_nodes; ++i) {
    const Bytes labels = encode_labels({rng() % 2 ? "A" : "C"});
    nodes.push_back(Node::of(static_cast<uint64_t>(100 + i), labels,
                             encode_props(random_props(rng, keys, true))));
  }
  for (int i = 0; i < src_nodes * 2; ++i) {
    std::string label = rng() % 3 ? "E" : "F";
    uint64_t from = 100 + rng() % src_nodes;
    uint64_t to = 100 + rng() % src_nodes;
    edges.push_back(Edge{static_cast<uint64_t>(500 + i), std::move(label),
                         from, to, encode_props(random_edge_props(rng))});
  }
}

TEST(MergeRandomTest, IndexedMatchingEqualsTheDefiningScan) {
  const std::vector<std::vector<std::string>> key_sets = {{"k1"},
                                                          {"k1", "k2"}};
  int reused_total = 0;
  int edges_reused_total = 0;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    for (const auto& keys : key_sets) {
      for (NodeConflict conflict :
           {NodeConflict::kKeepDst, NodeConflict::kOverwriteFromSrc,
            NodeConflict::kMergeProps}) {
        for (EdgeStrategy strategy :
             {EdgeStrategy::kAppend, EdgeStrategy::kIdempotent}) {
          auto fast = memory_db();
          auto slow = memory_db();
          std::vector<Node> nodes, nodes2;
          std::vector<Edge> edges, edges2;
          random_graphs(seed, keys, *fast, nodes, edges);
          random_graphs(seed, keys, *slow, nodes2, edges2);
          ASSERT_EQ(dump(*fast), dump(*slow));
          const MergePolicy policy = by_key(keys, conflict, strategy);
          SCOPED_TRACE(::testing::Message()
                       << "seed " << seed << " keys " << keys.size()
                       << " conflict " << static_cast<int>(conflict)
                       << " strategy " << static_cast<int>(strategy));
          // Merging twice also exercises matches against nodes the first
          // merge created and updated.
          for (int round = 0; round < 2; ++round) {
            auto a = fast->merge_from(nodes, edges, policy);
            auto b = naive_merge(*slow, nodes, edges, policy);
            ASSERT_TRUE(a && b);
            EXPECT_EQ(a->node_id_map, b->node_id_map);
            EXPECT_EQ(a->edge_id_map, b->edge_id_map);
            EXPECT_EQ(a->nodes_created, b->nodes_created);
            EXPECT_EQ(a->nodes_reused, b->nodes_reused);
            EXPECT_EQ(a->edges_created, b->edges_created);
            EXPECT_EQ(a->edges_reused, b->edges_reused);
            EXPECT_EQ(dump(*fast), dump(*slow));
            reused_total += static_cast<int>(a->nodes_reused);
            edges_reused_total += static_cast<int>(a->edges_reused);
          }
        }
      }
    }
  }
  // The domains are small enough that matching really happens.
  EXPECT_GT(reused_total, 300);
  EXPECT_GT(edges_reused_total, 100);
}

}  // namespace
}  // namespace orvi

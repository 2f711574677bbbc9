#include "graph/builder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "db/graphdb.h"
#include "graph/check.h"
#include "graph/edge.h"
#include "graphdb_internals.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;

struct NodeIn {
  std::vector<std::string> labels;
  PropMap props;
};
struct EdgeIn {
  uint64_t from;  // index into the nodes of the same load
  std::string label;
  uint64_t to;
  PropMap props;
};

// The stored encodings the builder takes, as the orvi module hands them.
Bytes label_blob(const std::vector<std::string>& labels) {
  return labels.empty() ? Bytes() : encode_labels(labels);
}
Bytes prop_blob(const PropMap& props) {
  return props.empty() ? Bytes() : encode_props(props);
}

// Every value kind, nested, extremes and a string longer than a page.
PropMap awkward_props(int i) {
  PropMap m;
  m["i"] = PropValue::from_int(i);
  m["min"] = PropValue::from_int(std::numeric_limits<int64_t>::min());
  m["max"] = PropValue::from_int(std::numeric_limits<int64_t>::max());
  m["nan"] = PropValue::from_float(std::nan(""));
  m["inf"] = PropValue::from_float(-INFINITY);
  m["none"] = PropValue::null();
  PropMap inner;
  inner["list"] = PropValue::from_list(
      {PropValue::from_bool(true), PropValue::from_string("é"),
       PropValue::from_list({})});
  m["map"] = PropValue::from_map(std::move(inner));
  if (i % 7 == 0) m["big"] = PropValue::from_string(std::string(9000, 'x'));
  return m;
}

// A load with self-loops, parallel edges, nodes without labels or
// properties, and enough records to cross node and edge extents.
void make_load(size_t nodes, size_t edges, std::vector<NodeIn>& ns,
               std::vector<EdgeIn>& es) {
  std::mt19937_64 rng(7);
  for (size_t i = 0; i < nodes; ++i) {
    NodeIn n;
    if (i % 3 == 0) n.labels = {"Person", "Ünïcode ✓"};
    if (i % 5 != 0) n.props = i < 50 ? awkward_props(int(i)) : PropMap{
        {"k", PropValue::from_int(int64_t(i))}};
    ns.push_back(std::move(n));
  }
  for (size_t j = 0; j < edges; ++j) {
    uint64_t a = rng() % nodes, b = j % 11 == 0 ? a : rng() % 20;
    PropMap p;
    if (j % 2 != 0) p["w"] = PropValue::from_float(j * 0.5);
    es.push_back({a, j % 4 ? "E" : "", b, j < 30 ? awkward_props(int(j)) : p});
  }
}

// A file holding records, some deleted, and a pending log finished by open.
void make_existing(const std::string& path) {
  auto db = GraphDB::open(path);
  ASSERT_OK(db);
  for (int i = 0; i < 70; ++i) {
    ASSERT_OK((*db)->add_node({"Old"}, awkward_props(i)));
  }
  for (uint64_t i = 1; i < 60; ++i) {
    ASSERT_OK((*db)->add_edge(i, "OLD", i + 1, PropMap()));
  }
  ASSERT_OK((*db)->delete_node(5));
  ASSERT_OK(delete_edge(pager_of(**db), 20));
  ASSERT_OK((*db)->commit());
}

void load_one_by_one(const std::string& path, const std::vector<NodeIn>& ns,
                     const std::vector<EdgeIn>& es) {
  auto db = GraphDB::open(path);
  ASSERT_OK(db);
  const uint64_t first = pager_of(**db).header().next_node_id;
  size_t pending = 0;
  auto maybe_commit = [&] {
    if (++pending % 200 == 0) {
      ASSERT_OK((*db)->commit());
    }
  };
  for (const NodeIn& n : ns) {
    ASSERT_OK((*db)->add_node(n.labels, n.props));
    maybe_commit();
  }
  for (const EdgeIn& e : es) {
    ASSERT_OK((*db)->add_edge(first + e.from, e.label, first + e.to, e.props));
    maybe_commit();
  }
  ASSERT_OK((*db)->commit());
}

void load_built(const std::string& path, const std::vector<NodeIn>& ns,
                const std::vector<EdgeIn>& es) {
  auto b = GraphBuilder::open(path);
  ASSERT_OK(b);
  const uint64_t first = (*b)->first_node_id();
  for (size_t i = 0; i < ns.size(); ++i) {
    auto id = (*b)->add_node(label_blob(ns[i].labels), prop_blob(ns[i].props));
    ASSERT_OK(id);
    ASSERT_EQ(*id, first + i);
  }
  for (const EdgeIn& e : es) {
    ASSERT_OK((*b)->add_edge(first + e.from, e.label, first + e.to,
                             prop_blob(e.props)));
  }
  ASSERT_OK((*b)->finish());
}

std::string blob(Pager& p, uint64_t off, uint32_t len) {
  auto bytes = p.read_prop(off, len);
  EXPECT_OK(bytes);
  return bytes ? *bytes : std::string();
}

// Everything a reader can see, slot by slot: links, degrees, flags and the
// blobs' bytes (only where the blobs lie may differ).
void expect_same_database(const std::string& a_path, const std::string& b_path) {
  auto a = Pager::open(a_path);
  auto b = Pager::open(b_path);
  ASSERT_OK(a);
  ASSERT_OK(b);
  Pager& pa = **a;
  Pager& pb = **b;
  const FileHeader& ha = pa.header();
  const FileHeader& hb = pb.header();
  ASSERT_EQ(ha.next_node_id, hb.next_node_id);
  ASSERT_EQ(ha.next_edge_id, hb.next_edge_id);
  EXPECT_EQ(ha.node_count, hb.node_count);
  EXPECT_EQ(ha.edge_count, hb.edge_count);
  for (uint64_t id = 1; id < ha.next_node_id; ++id) {
    auto x = pa.read_node_slot(id);
    auto y = pb.read_node_slot(id);
    ASSERT_OK(x);
    ASSERT_OK(y);
    ASSERT_EQ(x->id, y->id) << "node " << id;
    EXPECT_EQ(x->first_out, y->first_out) << "node " << id;
    EXPECT_EQ(x->first_in, y->first_in) << "node " << id;
    EXPECT_EQ(x->out_degree, y->out_degree) << "node " << id;
    EXPECT_EQ(x->in_degree, y->in_degree) << "node " << id;
    EXPECT_EQ(x->flags, y->flags) << "node " << id;
    EXPECT_EQ(blob(pa, x->label_offset, x->label_len),
              blob(pb, y->label_offset, y->label_len));
    EXPECT_EQ(blob(pa, x->prop_offset, x->prop_len),
              blob(pb, y->prop_offset, y->prop_len));
  }
  for (uint64_t id = 1; id < ha.next_edge_id; ++id) {
    auto x = pa.read_edge_slot(id);
    auto y = pb.read_edge_slot(id);
    ASSERT_OK(x);
    ASSERT_OK(y);
    ASSERT_EQ(x->id, y->id) << "edge " << id;
    EXPECT_EQ(x->from, y->from) << "edge " << id;
    EXPECT_EQ(x->to, y->to) << "edge " << id;
    EXPECT_EQ(x->next_out, y->next_out) << "edge " << id;
    EXPECT_EQ(x->next_in, y->next_in) << "edge " << id;
    EXPECT_EQ(x->flags, y->flags) << "edge " << id;
    EXPECT_EQ(blob(pa, x->label_offset, x->label_len),
              blob(pb, y->label_offset, y->label_len));
    EXPECT_EQ(blob(pa, x->prop_offset, x->prop_len),
              blob(pb, y->prop_offset, y->prop_len));
  }
  auto report = check_integrity(pb);
  ASSERT_OK(report);
  EXPECT_TRUE(report->problems.empty());
}

TEST(BuilderTest, NewFileMatchesOneByOneAcrossExtents) {
  TempDir dir;
  std::vector<NodeIn> ns;
  std::vector<EdgeIn> es;
  make_load(kNodesPerExtent + 300, kEdgesPerExtent + 400, ns, es);
  load_one_by_one(dir.file("ref"), ns, es);
  load_built(dir.file("built"), ns, es);
  expect_same_database(dir.file("ref"), dir.file("built"));
}

TEST(BuilderTest, ExistingFileWithDeletedRecordsMatchesOneByOne) {
  TempDir dir;
  make_existing(dir.file("ref"));
  std::filesystem::copy_file(dir.file("ref"), dir.file("built"));
  std::vector<NodeIn> ns;
  std::vector<EdgeIn> es;
  make_load(500, 2000, ns, es);
  load_one_by_one(dir.file("ref"), ns, es);
  load_built(dir.file("built"), ns, es);
  expect_same_database(dir.file("ref"), dir.file("built"));
  // A second load on top of the first continues the ids again.
  load_one_by_one(dir.file("ref"), ns, es);
  load_built(dir.file("built"), ns, es);
  expect_same_database(dir.file("ref"), dir.file("built"));
}

TEST(BuilderTest, RefusesEdgesToOlderNodesAndWorkAfterAFailure) {
  TempDir dir;
  make_existing(dir.file("db"));
  auto b = GraphBuilder::open(dir.file("db"));
  ASSERT_OK(b);
  auto id = (*b)->add_node("", "");
  ASSERT_OK(id);
  auto old = (*b)->add_edge(1, "E", *id, "");
  ASSERT_FALSE(old);
  EXPECT_EQ(old.error().kind(), ErrorKind::kInvalidArgument);
  EXPECT_FALSE((*b)->add_node("", ""));
  EXPECT_FALSE((*b)->finish());
}

TEST(BuilderTest, OversizedBlobIsRefusedWithThePagerMessage) {
  TempDir dir;
  auto b = GraphBuilder::open(dir.file("db"));
  ASSERT_OK(b);
  PropMap p;
  p["s"] = PropValue::from_string(std::string(kMaxBlobLen, 'x'));
  auto id = (*b)->add_node("", prop_blob(p));
  ASSERT_FALSE(id);
  EXPECT_NE(id.error().detail().find("exceeds the per-extent limit"),
            std::string::npos);
}

}  // namespace
}  // namespace orvi

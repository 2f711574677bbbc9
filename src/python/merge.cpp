// GraphDB.merge_from() and GraphDB.merge_edge().
//
// merge_from() works in two phases so that it never holds two handle locks
// at once: the source's live nodes and edges are copied under the source's
// lock, that lock is released, and only then is the destination locked for
// merge_from_snapshot(). Two threads merging A into B and B into A can
// therefore not deadlock; the price is that the source may change between
// the snapshot and the write, and the merge uses the snapshot as it was.
//
// Every argument is converted and checked before any lock is taken, in
// this order: `other` must be a GraphDB, node_key None or a sequence of str
// (a str itself is refused), edge_strategy and on_node_conflict str; then
// an empty node_key, an unknown edge strategy, an unknown conflict policy
// and a merge of a database into itself raise ValueError. Nothing is
// committed: the merge's writes are pending changes of the destination.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "graph/merge.h"
#include "graph/node.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

struct Snapshot {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
};

bool edge_strategy_from_text(const std::string& text, EdgeStrategy& out) {
  if (text == "append") {
    out = EdgeStrategy::kAppend;
  } else if (text == "idempotent") {
    out = EdgeStrategy::kIdempotent;
  } else {
    return false;
  }
  return true;
}

bool node_conflict_from_text(const std::string& text, NodeConflict& out) {
  if (text == "keep_dst") {
    out = NodeConflict::kKeepDst;
  } else if (text == "overwrite_from_src") {
    out = NodeConflict::kOverwriteFromSrc;
  } else if (text == "merge_props") {
    out = NodeConflict::kMergeProps;
  } else {
    return false;
  }
  return true;
}

}  // namespace

PyObject* graphdb_merge_edge(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kMergeEdgeDoc);
    return graphdb_write_edge(self, sig, args, nargs, kwnames, &GraphDB::merge_edge);
  });
}

PyObject* graphdb_merge_from(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kMergeFromDoc);
    BoundArgs b;
    if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;

    // Every argument's type is checked, in parameter order, before any
    // value is.
    PyObject* other = b[0];
    if (!PyObject_TypeCheck(other, graphdb_type())) {
      bad_argument(sig.fname(), "other", "GraphDB", other);
      return nullptr;
    }
    MergePolicy policy;
    if (b[1] != nullptr && b[1] != Py_None) {
      std::vector<std::string> names;
      if (!labels_from_py(b[1], sig, "node_key", names)) return nullptr;
      policy.node_key = std::move(names);
    }
    std::string strategy_text = "append";
    if (b[2] != nullptr && !str_from_py(b[2], sig, "edge_strategy",
                                        strategy_text)) {
      return nullptr;
    }
    std::string conflict_text = "keep_dst";
    if (b[3] != nullptr && !str_from_py(b[3], sig, "on_node_conflict",
                                        conflict_text)) {
      return nullptr;
    }

    // Then the values; still no lock taken.
    if (policy.node_key && policy.node_key->empty()) {
      PyErr_SetString(PyExc_ValueError,
                      "merge_from: node_key must contain at least one "
                      "property name (or be None)");
      return nullptr;
    }
    if (!edge_strategy_from_text(strategy_text, policy.edge_strategy)) {
      PyErr_Format(PyExc_ValueError,
                   "merge_from: invalid edge_strategy '%U': expected "
                   "'append' or 'idempotent'",
                   b[2]);
      return nullptr;
    }
    if (!node_conflict_from_text(conflict_text, policy.node_conflict)) {
      PyErr_Format(PyExc_ValueError,
                   "merge_from: invalid on_node_conflict '%U': expected "
                   "'keep_dst', 'overwrite_from_src', or 'merge_props'",
                   b[3]);
      return nullptr;
    }
    const HandleRef& dst_handle = object_handle(self);
    const HandleRef& src_handle = object_handle(other);
    if (dst_handle == src_handle) {
      PyErr_SetString(PyExc_ValueError,
                      "merge_from: source and destination must be different "
                      "GraphDB instances");
      return nullptr;
    }

    // Snapshot under the source's lock only. The source handle is kept
    // alive by `other`, which the caller's argument vector holds.
    auto snapshot = run_core(*src_handle, [](GraphDB& src) -> Result<Snapshot> {
      auto nodes = src.all_nodes();
      if (!nodes) return nodes.error();
      auto edges = src.all_edges();
      if (!edges) return edges.error();
      return Snapshot{std::move(*nodes), std::move(*edges)};
    });
    if (!snapshot) return nullptr;
    if (!*snapshot) return orvi_error_to_pyerr(snapshot->error());
    Snapshot taken = std::move(**snapshot);

    // Write under the destination's lock only.
    return call_core(
        *dst_handle,
        [&](GraphDB& dst) {
          return dst.merge_from(taken.nodes, taken.edges, policy);
        },
        [](MergeReport report) {
          return new_py_merge_report(std::move(report));
        });
  });
}

}  // namespace orvi::py

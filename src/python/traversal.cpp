// GraphDB.bfs(), GraphDB.dfs() and GraphDB.shortest_path().
//
// Thin frames around the core walks of graph/traverse.h: arguments are
// converted before the lock (max_depth then start for the walks; edge_label,
// start, goal for the path; the first failure is the one raised), the walk
// runs under the handle's lock, and its detached result becomes Python
// objects after the lock is released: a list of (Node, depth) tuples, or a
// list of Node objects from start to goal, or None.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "graph/node.h"
#include "graph/traverse.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

// The walks report nodes with their properties still encoded; the Node
// objects convert them when asked.
using Walk = Result<std::vector<std::pair<Node, uint64_t>>> (
    GraphDB::*)(uint64_t, uint64_t);

PyObject* depth_list_to_py(std::vector<std::pair<Node, uint64_t>> found) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found.size(); ++i) {
    PyRef node(new_py_node(std::move(found[i].first)));
    if (!node) return nullptr;
    PyRef depth(u64_to_py(found[i].second));
    if (!depth) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyTuple_SET_ITEM(pair, 0, node.release());
    PyTuple_SET_ITEM(pair, 1, depth.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

PyObject* walk(PyObject* self, const Signature& sig, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, Walk core_walk) {
  uint64_t start = 0;
  uint64_t max_depth = 0;
  if (!walk_args_from_py(sig, args, nargs, kwnames, node_id_from_py, start,
                         max_depth)) {
    return nullptr;
  }
  return call_core(
      handle_of(self),
      [&](GraphDB& db) { return (db.*core_walk)(start, max_depth); },
      depth_list_to_py);
}

}  // namespace

PyObject* graphdb_bfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig(kBfsDoc);
    return walk(self, sig, args, nargs, kwnames, &GraphDB::bfs);
  });
}

PyObject* graphdb_dfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig(kDfsDoc);
    return walk(self, sig, args, nargs, kwnames, &GraphDB::dfs);
  });
}

PyObject* graphdb_shortest_path(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kShortestPathDoc);
    BoundArgs b;
    std::optional<std::string> label;
    uint64_t start = 0;
    uint64_t goal = 0;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !optional_str_from_py(b[2], sig, "edge_label", label) ||
        !node_id_from_py(b[0], start) || !node_id_from_py(b[1], goal)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) {
          std::optional<std::string_view> view;
          if (label) view = *label;
          return db.shortest_path(start, goal, view);
        },
        [](std::optional<std::vector<Node>> path) -> PyObject* {
          if (!path) return new_none();
          return node_list_to_py(std::move(*path));
        });
  });
}

}  // namespace orvi::py

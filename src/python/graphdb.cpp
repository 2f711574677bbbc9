// orvi.GraphDB and orvi.open().
//
// A GraphDB object holds one counted reference to the shared handle of the
// database it was opened on; it has no other state (the explicit-
// transaction flag lives in the core GraphDB). Every method below follows
// the frame of frame.h: bind and convert the arguments, lock, one core
// step, unlock, raise or build the result. The exceptions are begin(),
// transaction(), __enter__ (no lock, no closed check) and close()/__exit__
// (the close variant of handle.h).
//
// Changes made here stay pending in the pager until commit() or a clean
// transaction block; clear() is the one method here that writes the file
// by itself.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "graph/index.h"
#include "graph/node.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

PyTypeObject* g_graphdb_type = nullptr;

std::optional<std::string_view> as_view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

// --- records --------------------------------------------------------------

constexpr const char kAddNodeDoc[] =
    "add_node($self, labels, **kwargs)\n--\n\n";

PyObject* graphdb_add_node(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kAddNodeDoc);
    BoundArgs b;
    std::vector<std::string> labels;
    PropMap props;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !labels_from_py(b[0], sig, "labels", labels) ||
        !kwargs_to_props(b, props)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) {
          return db.add_node(std::move(labels), std::move(props));
        },
        [](Node node) { return new_py_node(std::move(node)); });
  });
}

constexpr const char kAddEdgeDoc[] =
    "add_edge($self, from_node, label, to_node, **kwargs)\n--\n\n";

PyObject* graphdb_add_edge(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kAddEdgeDoc);
    return graphdb_write_edge(self, sig, args, nargs, kwnames, &GraphDB::add_edge);
  });
}

constexpr const char kGetNodeDoc[] = "get_node($self, node_id)\n--\n\n";

PyObject* graphdb_get_node(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kGetNodeDoc);
    // One record buffer serves every call, so a lookup allocates only the
    // object: the interpreter lock is held from the read to the copy into
    // the object, and no Python code can run in between.
    static Node scratch;
    uint64_t id = 0;
    if (!id_arg_from_py(sig, args, nargs, kwnames, "node_id", id)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) { return db.read_node(id, scratch); },
        [](bool found) { return found ? new_py_node(scratch) : new_none(); });
  });
}

constexpr const char kGetEdgeDoc[] = "get_edge($self, edge_id)\n--\n\n";

PyObject* graphdb_get_edge(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kGetEdgeDoc);
    uint64_t id = 0;
    if (!id_arg_from_py(sig, args, nargs, kwnames, "edge_id", id)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) { return db.get_edge(id); },
        [](std::optional<Edge> e) {
          return e ? new_py_edge(std::move(*e)) : new_none();
        });
  });
}

constexpr const char kUpdateNodeDoc[] =
    "update_node($self, node, **kwargs)\n--\n\n";

PyObject* graphdb_update_node(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kUpdateNodeDoc);
    BoundArgs b;
    uint64_t id = 0;
    PropMap props;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !node_id_from_py(b[0], id) || !kwargs_to_props(b, props)) {
      return nullptr;
    }
    return call_core_none(handle_of(self), [&](GraphDB& db) {
      return db.update_node(id, std::move(props));
    });
  });
}

constexpr const char kUpdateEdgeDoc[] =
    "update_edge($self, edge_id, **kwargs)\n--\n\n";

PyObject* graphdb_update_edge(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kUpdateEdgeDoc);
    BoundArgs b;
    uint64_t id = 0;
    PropMap props;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !plain_id_from_py(b[0], sig, "edge_id", id) ||
        !kwargs_to_props(b, props)) {
      return nullptr;
    }
    return call_core_none(handle_of(self), [&](GraphDB& db) {
      return db.update_edge(id, std::move(props));
    });
  });
}

constexpr const char kDeleteNodeDoc[] = "delete_node($self, node_arg)\n--\n\n";

PyObject* graphdb_delete_node(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kDeleteNodeDoc);
    BoundArgs b;
    uint64_t id = 0;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !node_id_from_py(b[0], id)) {
      return nullptr;
    }
    return call_core_none(handle_of(self),
                          [&](GraphDB& db) { return db.delete_node(id); });
  });
}

constexpr const char kDeleteEdgeDoc[] = "delete_edge($self, edge_arg)\n--\n\n";

PyObject* graphdb_delete_edge(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kDeleteEdgeDoc);
    BoundArgs b;
    uint64_t id = 0;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !edge_id_from_py(b[0], id)) {
      return nullptr;
    }
    return call_core_none(handle_of(self), [&](GraphDB& db) {
      return db.delete_edge(id);
    });
  });
}

// --- adjacency ------------------------------------------------------------

constexpr const char kOutEdgesDoc[] =
    "out_edges($self, node_arg, label=None)\n--\n\n";
constexpr const char kInEdgesDoc[] =
    "in_edges($self, node_arg, label=None)\n--\n\n";

template <typename List>
PyObject* adjacent_edges(PyObject* self, const Signature& sig,
                         PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, List list) {
  BoundArgs b;
  uint64_t id = 0;
  std::optional<std::string> label;
  if (!bind_args(sig, args, nargs, kwnames, b) || !node_id_from_py(b[0], id) ||
      !optional_str_from_py(b[1], sig, "label", label)) {
    return nullptr;
  }
  return call_core(
      handle_of(self),
      [&](GraphDB& db) { return (db.*list)(id, as_view(label)); },
      [](auto edges) { return edge_list_to_py(std::move(edges)); });
}

PyObject* graphdb_out_edges(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig(kOutEdgesDoc);
    return adjacent_edges(self, sig, args, nargs, kwnames, &GraphDB::out_edges);
  });
}

PyObject* graphdb_in_edges(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static const Signature sig(kInEdgesDoc);
    return adjacent_edges(self, sig, args, nargs, kwnames, &GraphDB::in_edges);
  });
}

constexpr const char kNeighborsDoc[] =
    "neighbors($self, node_arg, edge_label=None, direction=\"out\")\n--\n\n";

PyObject* graphdb_neighbors(PyObject* self, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kNeighborsDoc);
    BoundArgs b;
    uint64_t id = 0;
    std::optional<std::string> label;
    Direction direction = Direction::kOut;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !node_id_from_py(b[0], id) ||
        !optional_str_from_py(b[1], sig, "edge_label", label) ||
        !direction_from_py(b[2], sig, direction)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) {
          return db.neighbors(id, as_view(label), direction);
        },
        [](std::vector<Node> nodes) { return node_list_to_py(std::move(nodes)); });
  });
}

// --- whole-graph reads ----------------------------------------------------

Result<uint64_t> as_result(uint64_t v) { return v; }
template <typename T>
Result<T> as_result(Result<T> r) {
  return r;
}

// The methods without arguments that read once and convert the result:
// all_nodes(), all_edges(), their _as_records forms and the counts.
template <auto kRead, auto kConvert>
PyObject* graphdb_read(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        handle_of(self), [](GraphDB& db) { return as_result((db.*kRead)()); },
        kConvert);
  });
}

struct InfoFigures {
  uint64_t node_count;
  uint64_t edge_count;
  uint64_t file_size;
};

PyObject* graphdb_info(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        handle_of(self),
        [](GraphDB& db) -> Result<InfoFigures> {
          return InfoFigures{db.node_count(), db.edge_count(),
                             db.file_size()};
        },
        [](InfoFigures f) -> PyObject* {
          return Py_BuildValue("{s:s,s:K,s:K,s:K}", "version", "1.0",
                               "node_count",
                               static_cast<unsigned long long>(f.node_count),
                               "edge_count",
                               static_cast<unsigned long long>(f.edge_count),
                               "file_size",
                               static_cast<unsigned long long>(f.file_size));
        });
  });
}

// --- maintenance and transactions -----------------------------------------

PyObject* graphdb_clear(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core_none(handle_of(self),
                          [](GraphDB& db) { return db.clear(); });
  });
}

PyObject* graphdb_begin(PyObject*, PyObject*) { return new_none(); }

PyObject* graphdb_commit(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core_none(handle_of(self), [](GraphDB& db) {
      Status status = db.commit();
      db.set_in_transaction(false);
      return status;
    });
  });
}

PyObject* graphdb_rollback(PyObject* self, PyObject*) {
  return guarded([&] {
    // The core rollback clears the explicit-transaction flag in every
    // outcome and keeps the old label index when the rebuild fails.
    return call_core_none(handle_of(self),
                          [](GraphDB& db) { return db.rollback(); });
  });
}

PyObject* graphdb_transaction(PyObject* self, PyObject*) {
  return guarded([&] {
    return new_py_transaction(object_handle(self));
  });
}

PyObject* graphdb_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!close_handle(handle_of(self))) return nullptr;
    return new_none();
  });
}

PyObject* graphdb_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

constexpr const char kExitDoc[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"
    "Leaving the with block drops the inner database, so the in-process "
    "single-writer guard frees its slot for the file and a later "
    "orvi.open(same_path) works without deleting the variable first. "
    "Returns False, so an exception raised in the block propagates.";

PyObject* graphdb_exit(PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kExitDoc);
    BoundArgs b;
    if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;
    if (!close_handle(handle_of(self))) return nullptr;
    return new_bool(false);
  });
}

constexpr const char kCloseDoc[] =
    "close($self)\n--\n\n"
    "Releases the database and its writer-guard slot. Afterwards every "
    "method that uses the database raises ValueError, so this object may "
    "outlive the resource without holding the file open. Calling close() "
    "more than once is allowed; later calls do nothing. "
    "`with orvi.open(path) as db: ...` calls it through __exit__, which "
    "frees the in-process single-writer slot at the end of the block; "
    "relying on garbage collection for that would be unreliable on other "
    "Python implementations.";

// The table follows the order of the class's documented interface. Methods
// implemented in other files (queries, traversals, statistics, merge,
// vacuum, repair) are declared in types.h and take their places here.
PyMethodDef graphdb_methods[] = {
    {"add_node", fastcall_cast(graphdb_add_node), METH_FASTCALL | METH_KEYWORDS,
     kAddNodeDoc},
    {"add_edge", fastcall_cast(graphdb_add_edge), METH_FASTCALL | METH_KEYWORDS,
     kAddEdgeDoc},
    {"get_node", fastcall_cast(graphdb_get_node), METH_FASTCALL | METH_KEYWORDS,
     kGetNodeDoc},
    {"get_edge", fastcall_cast(graphdb_get_edge), METH_FASTCALL | METH_KEYWORDS,
     kGetEdgeDoc},
    {"update_node", fastcall_cast(graphdb_update_node),
     METH_FASTCALL | METH_KEYWORDS, kUpdateNodeDoc},
    {"update_edge", fastcall_cast(graphdb_update_edge),
     METH_FASTCALL | METH_KEYWORDS, kUpdateEdgeDoc},
    {"delete_node", fastcall_cast(graphdb_delete_node),
     METH_FASTCALL | METH_KEYWORDS, kDeleteNodeDoc},
    {"delete_edge", fastcall_cast(graphdb_delete_edge),
     METH_FASTCALL | METH_KEYWORDS, kDeleteEdgeDoc},
    {"out_edges", fastcall_cast(graphdb_out_edges),
     METH_FASTCALL | METH_KEYWORDS, kOutEdgesDoc},
    {"in_edges", fastcall_cast(graphdb_in_edges), METH_FASTCALL | METH_KEYWORDS,
     kInEdgesDoc},
    {"neighbors", fastcall_cast(graphdb_neighbors),
     METH_FASTCALL | METH_KEYWORDS, kNeighborsDoc},
    {"all_nodes", graphdb_read<&GraphDB::all_nodes, node_list_to_py>, METH_NOARGS, "all_nodes($self)\n--\n\n"},
    {"all_edges", graphdb_read<&GraphDB::all_edges, edge_list_to_py>, METH_NOARGS, "all_edges($self)\n--\n\n"},
    {"all_nodes_as_records",
     graphdb_read<&GraphDB::all_nodes, node_records_to_py>, METH_NOARGS,
     "all_nodes_as_records($self)\n--\n\n"},
    {"all_edges_as_records",
     graphdb_read<&GraphDB::all_edges, edge_records_to_py>, METH_NOARGS,
     "all_edges_as_records($self)\n--\n\n"},
    {"node_count", graphdb_read<&GraphDB::node_count, u64_to_py>, METH_NOARGS,
     "node_count($self)\n--\n\n"},
    {"edge_count", graphdb_read<&GraphDB::edge_count, u64_to_py>, METH_NOARGS,
     "edge_count($self)\n--\n\n"},
    {"info", graphdb_info, METH_NOARGS, "info($self)\n--\n\n"},
    {"nodes", graphdb_nodes, METH_NOARGS, kNodesDoc},
    {"edges", graphdb_edges, METH_NOARGS, kEdgesDoc},
    {"clear", graphdb_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"begin", graphdb_begin, METH_NOARGS, "begin($self)\n--\n\n"},
    {"commit", graphdb_commit, METH_NOARGS, "commit($self)\n--\n\n"},
    {"rollback", graphdb_rollback, METH_NOARGS, "rollback($self)\n--\n\n"},
    {"transaction", graphdb_transaction, METH_NOARGS,
     "transaction($self)\n--\n\n"},
    {"close", graphdb_close, METH_NOARGS, kCloseDoc},
    {"__enter__", graphdb_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall_cast(graphdb_exit), METH_FASTCALL | METH_KEYWORDS,
     kExitDoc},
    {"bfs", fastcall_cast(graphdb_bfs), METH_FASTCALL | METH_KEYWORDS,
     kBfsDoc},
    {"dfs", fastcall_cast(graphdb_dfs), METH_FASTCALL | METH_KEYWORDS,
     kDfsDoc},
    {"shortest_path", fastcall_cast(graphdb_shortest_path),
     METH_FASTCALL | METH_KEYWORDS, kShortestPathDoc},
    {"degree_stats", graphdb_degree_stats, METH_NOARGS, kDegreeStatsDoc},
    {"edges_between", fastcall_cast(graphdb_edges_between),
     METH_FASTCALL | METH_KEYWORDS, kEdgesBetweenDoc},
    {"merge_edge", fastcall_cast(graphdb_merge_edge),
     METH_FASTCALL | METH_KEYWORDS, kMergeEdgeDoc},
    {"merge_from", fastcall_cast(graphdb_merge_from),
     METH_FASTCALL | METH_KEYWORDS, kMergeFromDoc},
    {"vacuum", graphdb_vacuum, METH_NOARGS, kVacuumDoc},
    {"repair_adjacency", graphdb_repair_adjacency, METH_NOARGS,
     kRepairAdjacencyDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kGraphDBDoc[] =
    "An open orvi database, returned by orvi.open(path).\n\n"
    "Changes stay pending until commit() or the clean end of a "
    "`with db.transaction():` block; rollback() and close() discard them. "
    "The user-facing docstring and method contracts live in the module's "
    "type stub (entry `GraphDB`, in python/orvi).";

PyType_Slot graphdb_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_object_dealloc)},
    {Py_tp_methods, graphdb_methods},
    {Py_tp_doc, const_cast<char*>(kGraphDBDoc)},
    {0, nullptr},
};

PyType_Spec graphdb_spec = {"orvi.GraphDB", sizeof(PyHandleObject), 0, kTypeFlags,
                            graphdb_slots};

}  // namespace

PyObject* graphdb_write_edge(PyObject* self, const Signature& sig,
                             PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, EdgeWrite write) {
  BoundArgs b;
  std::string label;
  uint64_t from = 0;
  uint64_t to = 0;
  PropMap props;
  if (!bind_args(sig, args, nargs, kwnames, b) ||
      !str_from_py(b[1], sig, "label", label) ||
      !node_id_from_py(b[0], from) || !node_id_from_py(b[2], to) ||
      !kwargs_to_props(b, props)) {
    return nullptr;
  }
  return call_core(
      handle_of(self),
      [&](GraphDB& db) {
        return (db.*write)(from, std::move(label), to, std::move(props));
      },
      [](Edge edge) { return new_py_edge(std::move(edge)); });
}

PyTypeObject* graphdb_type() { return g_graphdb_type; }

PyObject* new_py_graphdb(HandleRef handle) {
  return new_handle_object(g_graphdb_type, std::move(handle));
}

PyObject* module_open(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kOpenDoc);
    BoundArgs b;
    std::string path;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !str_from_py(b[0], sig, "path", path)) {
      return nullptr;
    }
    // The operating system would cut the path at a NUL byte and open a
    // different file than the one named.
    if (path.find('\0') != std::string::npos) {
      PyErr_SetString(PyExc_ValueError,
                      "open() argument 'path' must not contain a null "
                      "character");
      return nullptr;
    }
    auto db = GraphDB::open(path);
    if (!db) return orvi_error_to_pyerr(db.error());
    return new_py_graphdb(std::make_shared<SharedHandle>(std::move(*db)));
  });
}

int register_graphdb(PyObject* module) {
  if (g_graphdb_type == nullptr) {
    g_graphdb_type = create_type(&graphdb_spec);
    if (g_graphdb_type == nullptr) return -1;
  }
  return add_type(module, "GraphDB", g_graphdb_type);
}

}  // namespace orvi::py

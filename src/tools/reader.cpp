// orvi_tools._engine.Reader: read-only access to a database file beside
// a writer (db/reader.h), with the read methods of orvi.GraphDB.
//
// Each method binds its arguments exactly as the GraphDB method of the
// same name (the same signature text and converters, so the same errors),
// begins a read, runs the same core function on the read's pager, ends the
// read and builds orvi.Node / orvi.Edge objects through the orvi module's
// C interface. Inside `with reader.snapshot():` every call uses the one
// state the snapshot holds. Everything runs with the interpreter lock held.
#include "python/pyref.h"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/reader.h"
#include "graph/edge.h"
#include "graph/edge_stats.h"
#include "graph/index.h"
#include "graph/node.h"
#include "graph/query.h"
#include "graph/traverse.h"
#include "python/args.h"
#include "python/capi.h"
#include "python/query_eval.h"
#include "python/types.h"
#include "tools/engine.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::BoundArgs;
using py::PyRef;
using py::QueryFields;
using py::Refine;
using py::Signature;
using py::Want;

constexpr unsigned kCApiNeeded = 3;

struct PyReader {
  PyObject_HEAD
  std::unique_ptr<FileReader> reader;  // null once closed
};

struct PySnapshot {
  PyObject_HEAD
  PyObject* reader;  // owned
};

PyTypeObject* g_reader_type = nullptr;
PyTypeObject* g_snapshot_type = nullptr;

FileReader* reader_of(PyObject* self) {
  FileReader* r = reinterpret_cast<PyReader*>(self)->reader.get();
  if (r == nullptr) PyErr_SetString(PyExc_ValueError, "the reader is closed");
  return r;
}

const OrviCApi* api() { return orvi_import_capi(kCApiNeeded); }

OrviNodeRecord record_of(const Node& node) {
  const std::string_view labels = node.label_blob();
  const std::string_view props = node.prop_blob();
  return {node.id, labels.data(), labels.size(), props.data(), props.size()};
}

OrviEdgeRecord record_of(const Edge& edge) {
  return {edge.id,           edge.from_node,    edge.to_node,
          edge.label.data(), edge.label.size(), edge.prop_blob.data(),
          edge.prop_blob.size()};
}

// orvi.Node / orvi.Edge objects, and the dicts of all_*_as_records().
PyObject* node_to_py(const Node& node) {
  const OrviNodeRecord record = record_of(node);
  return api()->new_node(&record);
}

PyObject* edge_to_py(const Edge& edge) {
  const OrviEdgeRecord record = record_of(edge);
  return api()->new_edge(&record);
}

PyObject* node_dict(const Node& node) {
  const OrviNodeRecord record = record_of(node);
  return api()->node_record(&record);
}

PyObject* edge_dict(const Edge& edge) {
  const OrviEdgeRecord record = record_of(edge);
  return api()->edge_record(&record);
}

template <typename Record, typename Convert>
PyObject* list_to_py(const std::vector<Record>& records, Convert convert) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* item = convert(records[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* nodes_to_py(const std::vector<Node>& nodes) {
  return list_to_py(nodes, node_to_py);
}

PyObject* edges_to_py(const std::vector<Edge>& edges) {
  return list_to_py(edges, edge_to_py);
}

PyObject* walk_to_py(const std::vector<std::pair<Node, uint64_t>>& found) {
  return list_to_py(found, [](const std::pair<Node, uint64_t>& item) {
    PyRef node(node_to_py(item.first));
    if (!node) return static_cast<PyObject*>(nullptr);
    return Py_BuildValue("(OK)", node.get(),
                         static_cast<unsigned long long>(item.second));
  });
}

// The frame of every read: begin, core(Pager&, FileReader&) -> Result<T>,
// end, then convert(T) once the lock is dropped. A read that the file
// changed under is run once more, under the lock from the start. No C++
// exception leaves.
template <typename Core, typename Convert>
PyObject* read_call(PyObject* self, Core&& core, Convert&& convert) {
  FileReader* reader = reader_of(self);
  if (reader == nullptr) return nullptr;
  try {
    auto pager = reader->begin();
    if (!pager) return raise_orvi_error(pager.error());
    auto result = core(**pager, *reader);
    if (reader->end()) {
      pager = reader->begin();
      if (!pager) return raise_orvi_error(pager.error());
      result = core(**pager, *reader);
      (void)reader->end();
    }
    // The conversion may run Python code (a query's predicate), which may
    // close the reader.
    reader = nullptr;
    if (!result) return raise_orvi_error(result.error());
    return convert(std::move(*result));
  } catch (const std::bad_alloc&) {
    if (reader != nullptr) (void)reader->end();
    return PyErr_NoMemory();
  } catch (...) {
    if (reader != nullptr) (void)reader->end();
    PyErr_SetString(PyExc_RuntimeError, "internal error in the reader");
    return nullptr;
  }
}

std::optional<std::string_view> as_view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

bool node_arg(PyObject* value, uint64_t& out) {
  return api()->node_id_of(value, &out) == 0;
}

// --- reads ----------------------------------------------------------------

constexpr const char kGetNodeDoc[] =
    "get_node($self, node_id)\n--\n\n"
    "The node with this id, or None.";
constexpr const char kGetEdgeDoc[] =
    "get_edge($self, edge_id)\n--\n\n"
    "The edge with this id, or None.";

// get_node / get_edge: a plain id, the record or None.
template <typename Record, typename Read, typename Convert>
PyObject* record_by_id(PyObject* self, const Signature& sig,
                       PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, const char* argname, Read read,
                       Convert convert) {
  uint64_t id = 0;
  if (!py::id_arg_from_py(sig, args, nargs, kwnames, argname, id)) {
    return nullptr;
  }
  return read_call(
      self, [&](Pager& p, FileReader&) { return read(p, id); },
      [&](std::optional<Record> r) {
        return r ? convert(*r) : py::new_none();
      });
}

PyObject* reader_get_node(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kGetNodeDoc);
  return record_by_id<Node>(self, sig, args, nargs, kwnames, "node_id",
                            &get_node, node_to_py);
}

PyObject* reader_get_edge(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kGetEdgeDoc);
  return record_by_id<Edge>(self, sig, args, nargs, kwnames, "edge_id",
                            &get_edge, edge_to_py);
}

constexpr const char kOutEdgesDoc[] =
    "out_edges($self, node_arg, label=None)\n--\n\n"
    "The node's outgoing edges, newest first, optionally of one label.";
constexpr const char kInEdgesDoc[] =
    "in_edges($self, node_arg, label=None)\n--\n\n"
    "The node's incoming edges, newest first, optionally of one label.";

using EdgeList = Result<std::vector<Edge>> (*)(Pager&, uint64_t,
                                               std::optional<std::string_view>);

PyObject* adjacent(PyObject* self, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, EdgeList list) {
  BoundArgs b;
  uint64_t id = 0;
  std::optional<std::string> label;
  if (!bind_args(sig, args, nargs, kwnames, b) || !node_arg(b[0], id) ||
      !py::optional_str_from_py(b[1], sig, "label", label)) {
    return nullptr;
  }
  return read_call(
      self, [&](Pager& p, FileReader&) { return list(p, id, as_view(label)); },
      [](std::vector<Edge> edges) { return edges_to_py(edges); });
}

PyObject* reader_out_edges(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kOutEdgesDoc);
  return adjacent(self, sig, args, nargs, kwnames, &out_edges);
}

PyObject* reader_in_edges(PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kInEdgesDoc);
  return adjacent(self, sig, args, nargs, kwnames, &in_edges);
}

constexpr const char kNeighborsDoc[] =
    "neighbors($self, node_arg, edge_label=None, direction=\"out\")\n--\n\n"
    "The nodes at the other end of the node's edges ('out', 'in' or "
    "'both').";

PyObject* reader_neighbors(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(kNeighborsDoc);
  BoundArgs b;
  uint64_t id = 0;
  std::optional<std::string> label;
  Direction direction = Direction::kOut;
  if (!bind_args(sig, args, nargs, kwnames, b) || !node_arg(b[0], id) ||
      !py::optional_str_from_py(b[1], sig, "edge_label", label) ||
      !py::direction_from_py(b[2], sig, direction)) {
    return nullptr;
  }
  return read_call(
      self,
      [&](Pager& p, FileReader&) {
        return neighbor_nodes(p, id, direction, as_view(label));
      },
      [](std::vector<Node> nodes) { return nodes_to_py(nodes); });
}

PyObject* reader_all_nodes(PyObject* self, PyObject*) {
  return read_call(
      self, [](Pager& p, FileReader&) { return all_nodes(p); },
      [](std::vector<Node> nodes) { return nodes_to_py(nodes); });
}

PyObject* reader_all_edges(PyObject* self, PyObject*) {
  return read_call(
      self, [](Pager& p, FileReader&) { return all_edges(p); },
      [](std::vector<Edge> edges) { return edges_to_py(edges); });
}

PyObject* reader_all_nodes_as_records(PyObject* self, PyObject*) {
  return read_call(
      self, [](Pager& p, FileReader&) { return all_nodes(p); },
      [](std::vector<Node> nodes) { return list_to_py(nodes, node_dict); });
}

PyObject* reader_all_edges_as_records(PyObject* self, PyObject*) {
  return read_call(
      self, [](Pager& p, FileReader&) { return all_edges(p); },
      [](std::vector<Edge> edges) { return list_to_py(edges, edge_dict); });
}

PyObject* reader_degree_stats(PyObject* self, PyObject*) {
  return read_call(
      self, [](Pager& p, FileReader&) { return degree_stats(p); },
      [](std::vector<NodeDegrees> table) { return py::degrees_to_py(table); });
}

PyObject* reader_edges_between(PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(py::kEdgesBetweenDoc);
  std::unordered_set<uint64_t> members;
  if (!py::node_id_set_from_py(sig, args, nargs, kwnames, members)) {
    return nullptr;
  }
  return read_call(
      self, [&](Pager& p, FileReader&) { return edges_between(p, members); },
      [](std::vector<Edge> edges) { return list_to_py(edges, edge_dict); });
}

PyObject* reader_node_count(PyObject* self, PyObject*) {
  return read_call(
      self,
      [](Pager& p, FileReader&) -> Result<uint64_t> {
        return p.header().node_count;
      },
      PyLong_FromUnsignedLongLong);
}

PyObject* reader_edge_count(PyObject* self, PyObject*) {
  return read_call(
      self,
      [](Pager& p, FileReader&) -> Result<uint64_t> {
        return p.header().edge_count;
      },
      PyLong_FromUnsignedLongLong);
}

struct InfoFigures {
  uint64_t node_count;
  uint64_t edge_count;
  uint64_t file_size;
};

PyObject* reader_info(PyObject* self, PyObject*) {
  return read_call(
      self,
      [](Pager& p, FileReader& r) -> Result<InfoFigures> {
        return InfoFigures{p.header().node_count, p.header().edge_count,
                           r.length()};
      },
      [](InfoFigures f) -> PyObject* {
        return Py_BuildValue(
            "{s:s,s:K,s:K,s:K}", "version", "1.0", "node_count",
            static_cast<unsigned long long>(f.node_count), "edge_count",
            static_cast<unsigned long long>(f.edge_count), "file_size",
            static_cast<unsigned long long>(f.file_size));
      });
}

using Walk = Result<std::vector<std::pair<Node, uint64_t>>> (*)(Pager&,
                                                                uint64_t,
                                                                uint64_t);

PyObject* walk(PyObject* self, const Signature& sig, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, Walk core_walk) {
  uint64_t start = 0;
  uint64_t max_depth = 0;
  if (!py::walk_args_from_py(sig, args, nargs, kwnames, node_arg, start,
                             max_depth)) {
    return nullptr;
  }
  return read_call(
      self,
      [&](Pager& p, FileReader&) { return core_walk(p, start, max_depth); },
      [](std::vector<std::pair<Node, uint64_t>> found) {
        return walk_to_py(found);
      });
}

PyObject* reader_bfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const Signature sig(py::kBfsDoc);
  return walk(self, sig, args, nargs, kwnames, &bfs);
}

PyObject* reader_dfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const Signature sig(py::kDfsDoc);
  return walk(self, sig, args, nargs, kwnames, &dfs);
}

PyObject* reader_shortest_path(PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig(py::kShortestPathDoc);
  BoundArgs b;
  std::optional<std::string> label;
  uint64_t start = 0;
  uint64_t goal = 0;
  if (!bind_args(sig, args, nargs, kwnames, b) ||
      !py::optional_str_from_py(b[2], sig, "edge_label", label) ||
      !node_arg(b[0], start) || !node_arg(b[1], goal)) {
    return nullptr;
  }
  return read_call(
      self,
      [&](Pager& p, FileReader&) {
        return shortest_path(p, start, goal, as_view(label));
      },
      [](std::optional<std::vector<Node>> path) -> PyObject* {
        return path ? nodes_to_py(*path) : py::new_none();
      });
}

PyObject* reader_backup(PyObject* self, PyObject* arg) {
  FileReader* reader = reader_of(self);
  std::string dest;
  if (reader == nullptr || !path_of(arg, dest)) return nullptr;
  Status done = reader->backup(dest);
  if (!done) return raise_orvi_error(done.error());
  return py::new_none();
}

// --- queries --------------------------------------------------------------

// reader.nodes() / reader.edges(): query values refined and run exactly as
// GraphDB's (python/query_eval.h). Each run is one read: the candidates
// come from one committed state (the snapshot's inside a snapshot), and the
// predicate runs after the read ended, so it may call the reader itself.
template <typename Record>
struct PyReaderQuery {
  PyObject_HEAD
  PyObject* reader;  // owned
  QueryFields fields;
};

PyTypeObject* g_node_query_type = nullptr;
PyTypeObject* g_edge_query_type = nullptr;

template <typename Record>
PyReaderQuery<Record>* reader_query_of(PyObject* self) {
  return reinterpret_cast<PyReaderQuery<Record>*>(self);
}

template <typename Record>
PyObject* new_reader_query(PyObject* reader, QueryFields fields) {
  PyTypeObject* type = std::is_same_v<Record, Node> ? g_node_query_type
                                                    : g_edge_query_type;
  auto* self = PyObject_GC_New(PyReaderQuery<Record>, type);
  if (self == nullptr) return nullptr;
  Py_INCREF(reader);
  self->reader = reader;
  new (&self->fields) QueryFields(std::move(fields));
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// The predicate may refer back to the query, and the reader holds nothing,
// so only the predicate takes part in cycle collection.
template <typename Record>
int reader_query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reader_query_of<Record>(self)->fields.predicate.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

template <typename Record>
int reader_query_clear(PyObject* self) {
  reader_query_of<Record>(self)->fields.predicate = PyRef();
  return 0;
}

template <typename Record>
void reader_query_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  auto* q = reader_query_of<Record>(self);
  q->fields.~QueryFields();
  Py_DECREF(q->reader);
  PyObject_GC_Del(self);
  Py_DECREF(type);
}

template <typename Record, Refine kind>
PyObject* reader_query_refine(PyObject* self, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  const auto* q = reader_query_of<Record>(self);
  try {
    auto fields = py::refine_query<kind>(q->fields, args, nargs, kwnames);
    if (!fields) return nullptr;
    return new_reader_query<Record>(q->reader, std::move(*fields));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// The nodes carrying any of `labels`, through the reader's label index.
Result<std::vector<Node>> query_read(Pager& pager, FileReader& reader,
                                     const std::vector<std::string>& labels,
                                     std::optional<QueryWindow> window,
                                     Node*) {
  if (labels.empty()) return query_nodes(pager, LabelIndex(), labels, window);
  auto index = reader.label_index(pager);
  if (!index) return index.error();
  return query_nodes(pager, **index, labels, window);
}

Result<std::vector<Edge>> query_read(Pager& pager, FileReader&,
                                     const std::vector<std::string>& labels,
                                     std::optional<QueryWindow> window,
                                     Edge*) {
  return query_edges(pager, labels, window);
}

template <typename Record>
PyObject* run_reader_query(PyObject* self, std::optional<uint64_t> limit,
                           Want want) {
  const auto* q = reader_query_of<Record>(self);
  const QueryFields& f = q->fields;
  // Held for the whole evaluation, however the predicate behaves.
  PyRef predicate = PyRef::borrow(f.predicate.get());
  const std::optional<QueryWindow> window =
      py::query_window(static_cast<bool>(predicate), f.skip, limit);
  return read_call(
      q->reader,
      [&](Pager& p, FileReader& r) {
        return query_read(p, r, f.labels, window,
                          static_cast<Record*>(nullptr));
      },
      [&](std::vector<Record> items) {
        return py::finish_query(items, window, predicate.get(), f.skip, limit,
                                want, [](Record r) {
                                  if constexpr (std::is_same_v<Record, Node>) {
                                    return node_to_py(r);
                                  } else {
                                    return edge_to_py(r);
                                  }
                                });
      });
}

template <typename Record>
PyObject* reader_query_fetch(PyObject* self, PyObject*) {
  return run_reader_query<Record>(self, reader_query_of<Record>(self)->fields.limit,
                                  Want::kList);
}

template <typename Record>
PyObject* reader_query_count(PyObject* self, PyObject*) {
  return run_reader_query<Record>(self, reader_query_of<Record>(self)->fields.limit,
                                  Want::kCount);
}

template <typename Record>
PyObject* reader_query_exists(PyObject* self, PyObject*) {
  return run_reader_query<Record>(
      self, py::exists_limit(reader_query_of<Record>(self)->fields.limit),
      Want::kExists);
}

template <typename Record>
PyObject* reader_make_query(PyObject* self, PyObject*) {
  // As GraphDB's: a closed reader is noticed when the query runs.
  try {
    return new_reader_query<Record>(self, QueryFields());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// --- snapshot, close ------------------------------------------------------

PyObject* reader_snapshot(PyObject* self, PyObject*) {
  if (reader_of(self) == nullptr) return nullptr;
  auto* snap = PyObject_New(PySnapshot, g_snapshot_type);
  if (snap == nullptr) return nullptr;
  Py_INCREF(self);
  snap->reader = self;
  return reinterpret_cast<PyObject*>(snap);
}

PyObject* reader_close(PyObject* self, PyObject*) {
  reinterpret_cast<PyReader*>(self)->reader.reset();
  return py::new_none();
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  if (reader_of(self) == nullptr) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* reader_exit(PyObject* self, PyObject*) {
  return reader_close(self, nullptr);
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyReader*>(self)->reader.~unique_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* snapshot_enter(PyObject* self, PyObject*) {
  PyObject* owner = reinterpret_cast<PySnapshot*>(self)->reader;
  FileReader* reader = reader_of(owner);
  if (reader == nullptr) return nullptr;
  Status begun = reader->begin_snapshot();
  if (!begun) return raise_orvi_error(begun.error());
  Py_INCREF(owner);
  return owner;
}

PyObject* snapshot_exit(PyObject* self, PyObject*) {
  PyObject* owner = reinterpret_cast<PySnapshot*>(self)->reader;
  FileReader* reader = reinterpret_cast<PyReader*>(owner)->reader.get();
  if (reader != nullptr) reader->end_snapshot();
  return py::new_bool(false);
}

void snapshot_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<PySnapshot*>(self)->reader);
  PyObject_Free(self);
  Py_DECREF(type);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

#define ORVI_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef reader_methods[] = {
    {"get_node", ORVI_FAST(reader_get_node), kFast, kGetNodeDoc},
    {"get_edge", ORVI_FAST(reader_get_edge), kFast, kGetEdgeDoc},
    {"out_edges", ORVI_FAST(reader_out_edges), kFast, kOutEdgesDoc},
    {"in_edges", ORVI_FAST(reader_in_edges), kFast, kInEdgesDoc},
    {"neighbors", ORVI_FAST(reader_neighbors), kFast, kNeighborsDoc},
    {"all_nodes", reader_all_nodes, METH_NOARGS,
     "all_nodes($self)\n--\n\nEvery live node in ascending id order."},
    {"all_edges", reader_all_edges, METH_NOARGS,
     "all_edges($self)\n--\n\nEvery live edge in ascending id order."},
    {"all_nodes_as_records", reader_all_nodes_as_records, METH_NOARGS,
     "all_nodes_as_records($self)\n--\n\nEvery live node as a dict: "
     "\"id\", \"labels\", then the properties."},
    {"all_edges_as_records", reader_all_edges_as_records, METH_NOARGS,
     "all_edges_as_records($self)\n--\n\nEvery live edge as a dict: "
     "\"id\", \"label\", \"from_node\", \"to_node\", then the "
     "properties."},
    {"nodes", reader_make_query<Node>, METH_NOARGS,
     "nodes($self)\n--\n\nA query over all nodes, refined and run as "
     "GraphDB.nodes(); each run reads one committed state."},
    {"edges", reader_make_query<Edge>, METH_NOARGS,
     "edges($self)\n--\n\nA query over all edges, refined and run as "
     "GraphDB.edges(); each run reads one committed state."},
    {"degree_stats", reader_degree_stats, METH_NOARGS,
     "degree_stats($self)\n--\n\n{node id: (out-degree, in-degree)} for "
     "every node that takes part in an edge."},
    {"edges_between", ORVI_FAST(reader_edges_between), kFast,
     "edges_between($self, node_ids)\n--\n\nThe live edges whose both "
     "ends lie in `node_ids`, by ascending id, as records."},
    {"node_count", reader_node_count, METH_NOARGS,
     "node_count($self)\n--\n\nThe number of live nodes."},
    {"edge_count", reader_edge_count, METH_NOARGS,
     "edge_count($self)\n--\n\nThe number of live edges."},
    {"info", reader_info, METH_NOARGS,
     "info($self)\n--\n\nThe format version, the counts and the file's "
     "size, as GraphDB.info() gives them."},
    {"bfs", ORVI_FAST(reader_bfs), kFast,
     "bfs($self, start, max_depth)\n--\n\n(Node, depth) pairs in "
     "breadth-first order along out-edges."},
    {"dfs", ORVI_FAST(reader_dfs), kFast,
     "dfs($self, start, max_depth)\n--\n\n(Node, depth) pairs in "
     "depth-first order along out-edges."},
    {"shortest_path", ORVI_FAST(reader_shortest_path), kFast,
     "shortest_path($self, start, goal, edge_label=None)\n--\n\nThe nodes "
     "of a shortest path along out-edges, or None."},
    {"snapshot", reader_snapshot, METH_NOARGS,
     "snapshot($self)\n--\n\n"
     "A context manager: every call inside `with reader.snapshot():` sees "
     "one committed state. While it is open a commit of this file by\n"
     "another process waits until the block ends (two processes each in a "
     "snapshot of the file the other commits wait for ever); a commit by\n"
     "this process does not wait but invalidates the snapshot, whose next "
     "call raises orvi.TransactionError."},
    {"backup", reader_backup, METH_O,
     "backup($self, dest)\n--\n\n"
     "Writes the last committed state to `dest` (replaced in one step once "
     "the copy is whole and durable). The copy opens without recovery. A\n"
     "commit by the writer waits while the copy is made; the writer's "
     "transaction goes on. Inside a snapshot, the snapshot's state."},
    {"close", reader_close, METH_NOARGS,
     "close($self)\n--\n\nCloses the reader; later calls raise ValueError."},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

template <typename Record>
PyMethodDef reader_query_methods[] = {
    {"label", ORVI_FAST((reader_query_refine<Record, Refine::kLabel>)), kFast,
     py::kQueryLabelDoc},
    {"where_", ORVI_FAST((reader_query_refine<Record, Refine::kWhere>)), kFast,
     py::kQueryWhereDoc},
    {"skip", ORVI_FAST((reader_query_refine<Record, Refine::kSkip>)), kFast,
     py::kQuerySkipDoc},
    {"limit", ORVI_FAST((reader_query_refine<Record, Refine::kLimit>)), kFast,
     py::kQueryLimitDoc},
    {"fetch", reader_query_fetch<Record>, METH_NOARGS, "fetch($self)\n--\n\n"},
    {"count", reader_query_count<Record>, METH_NOARGS, "count($self)\n--\n\n"},
    {"exists", reader_query_exists<Record>, METH_NOARGS,
     "exists($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef snapshot_methods[] = {
    {"__enter__", snapshot_enter, METH_NOARGS, nullptr},
    {"__exit__", snapshot_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Slot reader_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>(
                    "Read-only access to a database file beside its writer; "
                    "made by orvi_tools.open_reader(path).")},
    {0, nullptr}};

PyType_Spec reader_spec = {"orvi_tools._engine.Reader", sizeof(PyReader), 0,
                           kFlags, reader_slots};

PyType_Slot snapshot_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(snapshot_dealloc)},
    {Py_tp_methods, snapshot_methods},
    {0, nullptr}};

PyType_Spec snapshot_spec = {"orvi_tools._engine.Snapshot", sizeof(PySnapshot),
                             0, kFlags, snapshot_slots};

template <typename Record>
PyType_Slot reader_query_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_query_dealloc<Record>)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_query_traverse<Record>)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_query_clear<Record>)},
    {Py_tp_methods, reader_query_methods<Record>},
    {Py_tp_doc, const_cast<char*>(
                    "A query over a Reader, made by Reader.nodes() or "
                    "Reader.edges(); refined and run as GraphDB's.")},
    {0, nullptr}};

PyType_Spec node_query_spec = {"orvi_tools._engine.NodeQuery",
                               sizeof(PyReaderQuery<Node>), 0,
                               kFlags | Py_TPFLAGS_HAVE_GC,
                               reader_query_slots<Node>};
PyType_Spec edge_query_spec = {"orvi_tools._engine.EdgeQuery",
                               sizeof(PyReaderQuery<Edge>), 0,
                               kFlags | Py_TPFLAGS_HAVE_GC,
                               reader_query_slots<Edge>};

// Snapshots register in the orvi module's registry, which its writers
// break; this module's own copy of the registry is never used.
uint64_t hooked_register(uint64_t dev, uint64_t ino, SnapshotBreaker breaker,
                         void* context) {
  return api()->register_snapshot(dev, ino, breaker, context);
}

void hooked_unregister(uint64_t token) { api()->unregister_snapshot(token); }

}  // namespace

PyObject* engine_open_reader(PyObject*, PyObject* arg) {
  if (api() == nullptr) return nullptr;
  std::string path;
  if (!path_of(arg, path)) return nullptr;
  auto opened = FileReader::open(path);
  if (!opened) return raise_orvi_error(opened.error());
  PyObject* obj = g_reader_type->tp_alloc(g_reader_type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<PyReader*>(obj)->reader)
      std::unique_ptr<FileReader>(std::move(*opened));
  return obj;
}

int register_reader(PyObject* module) {
  const OrviCApi* capi = api();
  if (capi == nullptr) return -1;
  set_snapshot_registry_hooks({hooked_register, hooked_unregister});
  if (g_reader_type == nullptr) {
    g_reader_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&reader_spec));
    if (g_reader_type == nullptr) return -1;
    g_snapshot_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&snapshot_spec));
    if (g_snapshot_type == nullptr) return -1;
    g_node_query_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&node_query_spec));
    if (g_node_query_type == nullptr) return -1;
    g_edge_query_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&edge_query_spec));
    if (g_edge_query_type == nullptr) return -1;
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    g_reader_type->tp_new = nullptr;
    g_snapshot_type->tp_new = nullptr;
    g_node_query_type->tp_new = nullptr;
    g_edge_query_type->tp_new = nullptr;
#endif
  }
  const std::pair<const char*, PyTypeObject*> types[] = {
      {"Reader", g_reader_type},
      {"NodeQuery", g_node_query_type},
      {"EdgeQuery", g_edge_query_type}};
  for (const auto& [name, type] : types) {
    if (py::add_to_module(module, name,
                          PyRef::borrow(reinterpret_cast<PyObject*>(type))) <
        0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace orvi::tools

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
#include <utility>
#include <vector>

#include "db/reader.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "graph/traverse.h"
#include "python/args.h"
#include "python/capi.h"
#include "python/types.h"
#include "tools/engine.h"
#include "tools/tools.h"

namespace orvi::tools {

namespace {

using py::BoundArgs;
using py::PyRef;
using py::Signature;

constexpr unsigned kCApiNeeded = 2;

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

PyObject* node_to_py(const Node& node) {
  const std::string_view labels = node.label_blob();
  const std::string_view props = node.prop_blob();
  const OrviNodeRecord record{node.id, labels.data(), labels.size(),
                              props.data(), props.size()};
  return api()->new_node(&record);
}

PyObject* edge_to_py(const Edge& edge) {
  const OrviEdgeRecord record{
      edge.id,           edge.from_node,         edge.to_node,
      edge.label.data(), edge.label.size(),      edge.prop_blob.data(),
      edge.prop_blob.size()};
  return api()->new_edge(&record);
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
// end, then convert(T) once the lock is dropped. No C++ exception leaves.
template <typename Core, typename Convert>
PyObject* read_call(PyObject* self, Core&& core, Convert&& convert) {
  FileReader* reader = reader_of(self);
  if (reader == nullptr) return nullptr;
  try {
    auto pager = reader->begin();
    if (!pager) return raise_orvi_error(pager.error());
    auto result = core(**pager, *reader);
    reader->end();
    if (!result) return raise_orvi_error(result.error());
    return convert(std::move(*result));
  } catch (const std::bad_alloc&) {
    reader->end();
    return PyErr_NoMemory();
  } catch (...) {
    reader->end();
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
  BoundArgs b;
  uint64_t id = 0;
  if (!bind_args(sig, args, nargs, kwnames, b) ||
      !py::plain_id_from_py(b[0], sig, argname, id)) {
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
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
    g_reader_type->tp_new = nullptr;
    g_snapshot_type->tp_new = nullptr;
#endif
  }
  return py::add_to_module(
      module, "Reader",
      PyRef::borrow(reinterpret_cast<PyObject*>(g_reader_type)));
}

}  // namespace orvi::tools

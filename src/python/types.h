// The Python classes of the module and their object layouts.
//
// Every class is a heap type created once per process by its register_*()
// function (the first module execution creates it, later ones reuse it)
// and never freed. Users cannot instantiate any of them: objects are made
// only by the binding (orvi.open, reads, transaction(), ...).
//
// Object layouts hold C++ members constructed in place when the object is
// made and destroyed in its tp_dealloc:
//   PyHandleObject (GraphDB, Transaction): a HandleRef to the shared handle;
//   PyNode: the record's id and encoded blobs, inline;
//   PyEdge: the core record, detached from the file;
//   PyMergeReport (merge_report.cpp): a detached MergeReport.
#ifndef ORVI_PYTHON_TYPES_H_
#define ORVI_PYTHON_TYPES_H_

#include "python/pyref.h"

#include <string>
#include <string_view>
#include <vector>

#include "graph/edge.h"
#include "graph/merge.h"
#include "graph/node.h"
#include "python/args.h"
#include "python/handle.h"

namespace orvi::py {

struct PyHandleObject {
  PyObject_HEAD
  HandleRef handle;
};

// A Node or Edge object holds the record as read or written: its labels
// and properties stay encoded until they are asked for. A Node keeps its
// two blobs inline (ob_size bytes, the label blob first), so making one
// is a single allocation.
struct PyNode {
  PyObject_VAR_HEAD
  uint64_t id;
  uint32_t label_len;
  char blobs[1];

  std::string_view label_blob() const { return {blobs, label_len}; }
  std::string_view prop_blob() const {
    return {blobs + label_len, static_cast<size_t>(ob_base.ob_size) - label_len};
  }
};

struct PyEdge {
  PyObject_HEAD
  Edge edge;
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned long kTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned long kTypeFlags = Py_TPFLAGS_DEFAULT;
#endif

// A METH_FASTCALL | METH_KEYWORDS function as a PyMethodDef entry.
using FastcallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                 PyObject*);
inline PyCFunction fastcall_cast(FastcallKw f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The type objects; nullptr until registered.
PyTypeObject* graphdb_type();
PyTypeObject* node_type();
PyTypeObject* edge_type();

// New Python objects (new references), or nullptr with an error set.
PyObject* new_py_graphdb(HandleRef handle);
PyObject* new_py_transaction(HandleRef handle);
PyObject* new_py_node(uint64_t id, std::string_view label_blob,
                      std::string_view prop_blob);
inline PyObject* new_py_node(const Node& node) {
  return new_py_node(node.id, node.label_blob(), node.prop_blob());
}
PyObject* new_py_edge(Edge edge);
PyObject* new_py_merge_report(MergeReport report);

inline bool is_py_node(PyObject* o) {
  return node_type() != nullptr && PyObject_TypeCheck(o, node_type());
}
inline bool is_py_edge(PyObject* o) {
  return edge_type() != nullptr && PyObject_TypeCheck(o, edge_type());
}

// Creates a heap type from `spec` that Python code cannot instantiate
// ("cannot create 'orvi.X' instances"). nullptr with an error set on
// failure.
PyTypeObject* create_type(PyType_Spec* spec);

// Adds `type` to the module under `name` (a new reference is taken).
int add_type(PyObject* module, const char* name, PyTypeObject* type);

// Frees an object of a heap type after its C++ members were destroyed,
// dropping the reference the object held on its type.
void free_heap_object(PyObject* self);

// The shared handle of a GraphDB or Transaction object; queries and
// transactions made from a GraphDB take another reference.
inline const HandleRef& object_handle(PyObject* self) {
  return reinterpret_cast<PyHandleObject*>(self)->handle;
}
inline SharedHandle& handle_of(PyObject* self) { return *object_handle(self); }
// A new GraphDB or Transaction object (of `type`) holding `handle`, and the
// tp_dealloc of both.
PyObject* new_handle_object(PyTypeObject* type, HandleRef handle);
void handle_object_dealloc(PyObject* self);

// orvi.open(path).
inline constexpr const char kOpenDoc[] = "open(path)\n--\n\n";
PyObject* module_open(PyObject* module, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames);

// GraphDB methods implemented beside the classes or algorithms they serve
// (METH_NOARGS or METH_FASTCALL | METH_KEYWORDS; docstrings with their text
// signatures). query.cpp: nodes(), edges(). traversal.cpp: bfs(), dfs(),
// shortest_path(). stats.cpp: degree_stats(), edges_between(). merge.cpp:
// merge_edge(), merge_from(). maintenance.cpp: vacuum(),
// repair_adjacency().
inline constexpr const char kNodesDoc[] = "nodes($self)\n--\n\n";
inline constexpr const char kEdgesDoc[] = "edges($self)\n--\n\n";
inline constexpr const char kBfsDoc[] = "bfs($self, start, max_depth)\n--\n\n";
inline constexpr const char kDfsDoc[] = "dfs($self, start, max_depth)\n--\n\n";
inline constexpr const char kShortestPathDoc[] =
    "shortest_path($self, start, goal, edge_label=None)\n--\n\n";
inline constexpr const char kDegreeStatsDoc[] = "degree_stats($self)\n--\n\n";
inline constexpr const char kEdgesBetweenDoc[] =
    "edges_between($self, node_ids)\n--\n\n";
PyObject* graphdb_nodes(PyObject* self, PyObject* unused);
PyObject* graphdb_edges(PyObject* self, PyObject* unused);
PyObject* graphdb_bfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* graphdb_dfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);
PyObject* graphdb_shortest_path(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames);
PyObject* graphdb_degree_stats(PyObject* self, PyObject* unused);
PyObject* graphdb_edges_between(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char kMergeEdgeDoc[] =
    "merge_edge($self, from_node, label, to_node, **kwargs)\n--\n\n";
inline constexpr const char kMergeFromDoc[] =
    "merge_from($self, other, *, node_key=None, edge_strategy=\"append\", "
    "on_node_conflict=\"keep_dst\")\n--\n\n"
    "Merge every live node and edge from `other` into `self`.\n\n"
    "Two-phase locking: snapshot the source under `other`'s lock, then\n"
    "release it and acquire `self`'s lock to write.  The locks are never\n"
    "held simultaneously, so merging two databases from two Python threads\n"
    "cannot deadlock regardless of which side is locked first.";
inline constexpr const char kVacuumDoc[] = "vacuum($self)\n--\n\n";
inline constexpr const char kRepairAdjacencyDoc[] =
    "repair_adjacency($self)\n--\n\n";
PyObject* graphdb_merge_edge(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
// The body of add_edge and merge_edge, called inside their guarded():
// the same arguments (from_node, label, to_node, **kwargs), checked label
// first, then the endpoints, then the properties; then one core write that
// makes or finds the edge.
using EdgeWrite = Result<Edge> (GraphDB::*)(uint64_t, std::string, uint64_t,
                                            const PropMap&);
PyObject* graphdb_write_edge(PyObject* self, const Signature& sig,
                             PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, EdgeWrite write);
PyObject* graphdb_merge_from(PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
PyObject* graphdb_vacuum(PyObject* self, PyObject* unused);
PyObject* graphdb_repair_adjacency(PyObject* self, PyObject* unused);

// Each class file ends with its registration: creates the type once per
// process and adds it to the module.
int register_graphdb(PyObject* module);
int register_node(PyObject* module);
int register_edge(PyObject* module);
// NodeQuery, then EdgeQuery.
int register_query(PyObject* module);
int register_transaction(PyObject* module);
int register_merge_report(PyObject* module);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_TYPES_H_

// orvi.NodeQuery and orvi.EdgeQuery: label-and-predicate queries.
//
// A query is an immutable value: the label filter, an optional predicate,
// skip and limit, plus another counted reference to the shared handle of
// the GraphDB that made it. Every refining method (label, where_, skip,
// limit) copies the fields into a new object, so a query can be refined
// and reused freely. Making a query takes no lock and does not look at
// the handle; a closed handle is noticed when the query runs.
//
// Running a query (fetch, count, exists) has two stages:
//   1. Core stage, under the handle's lock: the label-filtered candidates
//      in ascending id order (GraphDB::query_nodes / query_edges, which
//      apply skip and limit themselves when there is no predicate). The
//      lock is released before any Python code runs.
//   2. Python stage (python/query_eval.h), on that private snapshot: the predicate, then skip,
//      then limit, always in this order whatever order the refining methods
//      were called in. Each candidate becomes one Node/Edge object, which
//      is passed to the predicate and, if kept, is the result object.
//      Because the lock is free, a predicate may read or even write the
//      same database; its writes do not change the candidates.
// Without a predicate and with a limit, skip and limit are applied while
// the candidates are read (stage 1 stops early); the result is the same
// list, read with less work.
//
// The predicate must return a bool (a NumPy bool is accepted through its
// truth value); anything else raises TypeError. Its exceptions propagate
// unchanged and end the evaluation. A limit of 0 yields nothing.
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/query_eval.h"
#include "python/types.h"

namespace orvi::py {

namespace {

// The object layout of both classes (PyNodeQuery, PyEdgeQuery).
template <typename Record>
struct PyQuery {
  PyObject_HEAD
  HandleRef handle;
  QueryFields fields;
};

using PyNodeQuery = PyQuery<Node>;
using PyEdgeQuery = PyQuery<Edge>;

PyTypeObject* g_node_query_type = nullptr;
PyTypeObject* g_edge_query_type = nullptr;

template <typename Record>
PyTypeObject* query_type();
template <>
PyTypeObject* query_type<Node>() {
  return g_node_query_type;
}
template <>
PyTypeObject* query_type<Edge>() {
  return g_edge_query_type;
}

template <typename Record>
PyQuery<Record>* query_of(PyObject* self) {
  return reinterpret_cast<PyQuery<Record>*>(self);
}

// A new query object with the given fields (the handle reference and the
// fields are taken over).
template <typename Record>
PyObject* new_query(HandleRef handle, QueryFields fields) {
  auto* self = PyObject_GC_New(PyQuery<Record>, query_type<Record>());
  if (self == nullptr) return nullptr;
  new (&self->handle) HandleRef(std::move(handle));
  new (&self->fields) QueryFields(std::move(fields));
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// The predicate may refer back to the query (a closure over it), so the
// classes take part in cycle collection through the predicate.
template <typename Record>
int query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(query_of<Record>(self)->fields.predicate.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

template <typename Record>
int query_clear(PyObject* self) {
  query_of<Record>(self)->fields.predicate = PyRef();
  return 0;
}

template <typename Record>
void query_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* q = query_of<Record>(self);
  q->fields.~QueryFields();
  // May drop the GraphDB when this was the last object holding the handle.
  q->handle.~HandleRef();
  free_heap_object(self);
}

// label(), where_(), skip(), limit(): a refined copy.
template <typename Record, Refine kind>
PyObject* query_refine(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    const auto* q = query_of<Record>(self);
    auto fields = refine_query<kind>(q->fields, args, nargs, kwnames);
    if (!fields) return nullptr;
    return new_query<Record>(q->handle, std::move(*fields));
  });
}

// --- evaluation -----------------------------------------------------------

PyObject* new_py_record(Node node) { return new_py_node(std::move(node)); }
PyObject* new_py_record(Edge edge) { return new_py_edge(std::move(edge)); }

// Runs the query with the given limit (query_eval.h), as a new reference.
template <typename Record>
PyObject* run_query(PyObject* self, std::optional<uint64_t> limit, Want want) {
  const auto* q = query_of<Record>(self);
  const QueryFields& f = q->fields;
  // Held for the whole evaluation: the query itself cannot change, but a
  // reference of our own keeps the callable alive however it behaves.
  PyRef predicate = PyRef::borrow(f.predicate.get());
  const std::optional<QueryWindow> window =
      query_window(static_cast<bool>(predicate), f.skip, limit);

  auto candidates = run_core(*q->handle, [&](GraphDB& db) {
    if constexpr (std::is_same_v<Record, Node>) {
      return db.query_nodes(f.labels, window);
    } else {
      return db.query_edges(f.labels, window);
    }
  });
  if (!candidates) return nullptr;
  if (!*candidates) return orvi_error_to_pyerr(candidates->error());
  return finish_query(**candidates, window, predicate.get(), f.skip, limit,
                      want, [](Record r) { return new_py_record(std::move(r)); });
}

template <typename Record>
PyObject* query_fetch(PyObject* self, PyObject*) {
  return guarded([&] {
    return run_query<Record>(self, query_of<Record>(self)->fields.limit, Want::kList);
  });
}

template <typename Record>
PyObject* query_count(PyObject* self, PyObject*) {
  return guarded([&] {
    return run_query<Record>(self, query_of<Record>(self)->fields.limit,
                             Want::kCount);
  });
}

// Stops at the first result whatever the query's own limit, except that a
// query limited to 0 results has none.
template <typename Record>
PyObject* query_exists(PyObject* self, PyObject*) {
  return guarded([&] {
    return run_query<Record>(self, exists_limit(query_of<Record>(self)->fields.limit),
                             Want::kExists);
  });
}

template <typename Record>
PyMethodDef query_methods[] = {
    {"label", fastcall_cast(query_refine<Record, Refine::kLabel>),
     METH_FASTCALL | METH_KEYWORDS, kQueryLabelDoc},
    {"where_", fastcall_cast(query_refine<Record, Refine::kWhere>),
     METH_FASTCALL | METH_KEYWORDS, kQueryWhereDoc},
    {"skip", fastcall_cast(query_refine<Record, Refine::kSkip>),
     METH_FASTCALL | METH_KEYWORDS, kQuerySkipDoc},
    {"limit", fastcall_cast(query_refine<Record, Refine::kLimit>),
     METH_FASTCALL | METH_KEYWORDS, kQueryLimitDoc},
    {"fetch", query_fetch<Record>, METH_NOARGS, "fetch($self)\n--\n\n"},
    {"count", query_count<Record>, METH_NOARGS, "count($self)\n--\n\n"},
    {"exists", query_exists<Record>, METH_NOARGS, "exists($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kNodeQueryDoc[] =
    "A query over the nodes of a database, returned by GraphDB.nodes().\n\n"
    "label(), where_(), skip() and limit() return refined copies; fetch(), "
    "count() and exists() run the query. The user-facing docstring and "
    "method contracts live in the module's type stub (entry `NodeQuery`, in "
    "python/orvi).";

constexpr const char kEdgeQueryDoc[] =
    "A query over the edges of a database, returned by GraphDB.edges().\n\n"
    "label(), where_(), skip() and limit() return refined copies; fetch(), "
    "count() and exists() run the query. The user-facing docstring and "
    "method contracts live in the module's type stub (entry `EdgeQuery`, in "
    "python/orvi).";

template <typename Record>
PyType_Slot query_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc<Record>)},
    {Py_tp_traverse, reinterpret_cast<void*>(query_traverse<Record>)},
    {Py_tp_clear, reinterpret_cast<void*>(query_clear<Record>)},
    {Py_tp_methods, query_methods<Record>},
    {Py_tp_doc, const_cast<char*>(std::is_same_v<Record, Node>
                                      ? kNodeQueryDoc
                                      : kEdgeQueryDoc)},
    {0, nullptr},
};

PyType_Spec node_query_spec = {"orvi.NodeQuery", sizeof(PyNodeQuery), 0,
                               kTypeFlags | Py_TPFLAGS_HAVE_GC,
                               query_slots<Node>};
PyType_Spec edge_query_spec = {"orvi.EdgeQuery", sizeof(PyEdgeQuery), 0,
                               kTypeFlags | Py_TPFLAGS_HAVE_GC,
                               query_slots<Edge>};

template <typename Record>
PyObject* new_empty_query(PyObject* graphdb) {
  return guarded([&] {
    return new_query<Record>(object_handle(graphdb), QueryFields());
  });
}

}  // namespace

// No lock and no closed check: the query notices a closed handle when it
// runs.
PyObject* graphdb_nodes(PyObject* self, PyObject*) {
  return new_empty_query<Node>(self);
}

PyObject* graphdb_edges(PyObject* self, PyObject*) {
  return new_empty_query<Edge>(self);
}

int register_query(PyObject* module) {
  if (g_node_query_type == nullptr) {
    g_node_query_type = create_type(&node_query_spec);
    if (g_node_query_type == nullptr) return -1;
  }
  if (add_type(module, "NodeQuery", g_node_query_type) < 0) return -1;
  if (g_edge_query_type == nullptr) {
    g_edge_query_type = create_type(&edge_query_spec);
    if (g_edge_query_type == nullptr) return -1;
  }
  return add_type(module, "EdgeQuery", g_edge_query_type);
}

}  // namespace orvi::py

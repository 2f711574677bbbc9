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
//   2. Python stage, on that private snapshot: the predicate, then skip,
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
#include <cstring>
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
#include "python/types.h"

namespace orvi::py {

namespace {

// The object layout of both classes (PyNodeQuery, PyEdgeQuery).
template <typename Record>
struct PyQuery {
  PyObject_HEAD
  HandleRef handle;
  std::optional<uint64_t> limit;
  std::vector<std::string> labels;
  PyRef predicate;  // nullptr: no predicate
  uint64_t skip;
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
// predicate reference are taken over).
template <typename Record>
PyObject* new_query(HandleRef handle, std::optional<uint64_t> limit,
                    std::vector<std::string> labels, PyRef predicate,
                    uint64_t skip) {
  auto* self = PyObject_GC_New(PyQuery<Record>, query_type<Record>());
  if (self == nullptr) return nullptr;
  new (&self->handle) HandleRef(std::move(handle));
  new (&self->limit) std::optional<uint64_t>(limit);
  new (&self->labels) std::vector<std::string>(std::move(labels));
  new (&self->predicate) PyRef(std::move(predicate));
  self->skip = skip;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

// A copy of `q` that the caller changes in one field before returning it.
template <typename Record>
PyObject* copy_query(const PyQuery<Record>* q) {
  return new_query<Record>(q->handle, q->limit, q->labels,
                           PyRef::borrow(q->predicate.get()), q->skip);
}

// The predicate may refer back to the query (a closure over it), so the
// classes take part in cycle collection through the predicate.
template <typename Record>
int query_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(query_of<Record>(self)->predicate.get());
  Py_VISIT(Py_TYPE(self));
  return 0;
}

template <typename Record>
int query_clear(PyObject* self) {
  query_of<Record>(self)->predicate = PyRef();
  return 0;
}

template <typename Record>
void query_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* q = query_of<Record>(self);
  q->predicate.~PyRef();
  q->labels.~vector();
  q->limit.~optional();
  // May drop the GraphDB when this was the last object holding the handle.
  q->handle.~HandleRef();
  free_heap_object(self);
}

// --- refining methods -----------------------------------------------------

constexpr const char kLabelDoc[] = "label($self, label)\n--\n\n";
constexpr const char kWhereDoc[] = "where_($self, predicate)\n--\n\n";
constexpr const char kSkipDoc[] = "skip($self, n)\n--\n\n";
constexpr const char kLimitDoc[] = "limit($self, n)\n--\n\n";

template <typename Record>
PyObject* query_label(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kLabelDoc);
    BoundArgs b;
    std::string label;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !str_from_py(b[0], sig, "label", label)) {
      return nullptr;
    }
    const auto* q = query_of<Record>(self);
    std::vector<std::string> labels = q->labels;
    labels.push_back(std::move(label));
    return new_query<Record>(q->handle, q->limit, std::move(labels),
                             PyRef::borrow(q->predicate.get()), q->skip);
  });
}

template <typename Record>
PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kWhereDoc);
    BoundArgs b;
    if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;
    // Any object is accepted here; it is called only when the query runs.
    const auto* q = query_of<Record>(self);
    return new_query<Record>(q->handle, q->limit, q->labels,
                             PyRef::borrow(b[0]), q->skip);
  });
}

// skip(n) and limit(n): a copy of the query with `field` set to `n`, a
// non-negative int.
template <typename Record, const char* kDoc, auto field>
PyObject* query_with_count(PyObject* self, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kDoc);
    BoundArgs b;
    uint64_t n = 0;
    if (!bind_args(sig, args, nargs, kwnames, b) ||
        !plain_id_from_py(b[0], sig, "n", n)) {
      return nullptr;
    }
    PyRef copy(copy_query(query_of<Record>(self)));
    if (copy) query_of<Record>(copy.get())->*field = n;
    return copy.release();
  });
}

// --- evaluation -----------------------------------------------------------

using Window = GraphDB::Window;

PyObject* new_py_record(Node node) { return new_py_node(std::move(node)); }
PyObject* new_py_record(Edge edge) { return new_py_edge(std::move(edge)); }

// NumPy's boolean scalar (numpy.bool, formerly numpy.bool_), recognised by
// its type name so that numpy is never imported here.
bool is_numpy_bool(PyObject* v) {
  const char* name = Py_TYPE(v)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 ||
         std::strcmp(name, "numpy.bool_") == 0;
}

// The predicate's verdict: 1 keep, 0 drop, -1 error set.
int verdict(PyObject* result) {
  if (result == Py_True) return 1;
  if (result == Py_False) return 0;
  if (is_numpy_bool(result)) return PyObject_IsTrue(result);
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
               type_short_name(result), "bool");
  return -1;
}

enum class Want { kList, kCount, kExists };

// Runs the query with the given limit and returns a list of result
// objects (kList), their number (kCount) or whether there is one
// (kExists), as a new reference.
template <typename Record>
PyObject* run_query(PyObject* self, std::optional<uint64_t> limit, Want want) {
  const auto* q = query_of<Record>(self);
  // Held for the whole evaluation: the query itself cannot change, but a
  // reference of our own keeps the callable alive however it behaves.
  PyRef predicate = PyRef::borrow(q->predicate.get());
  std::optional<Window> window;
  if (!predicate && limit) window = Window{q->skip, *limit};

  auto candidates = run_core(*q->handle, [&](GraphDB& db) {
    if constexpr (std::is_same_v<Record, Node>) {
      return db.query_nodes(q->labels, window);
    } else {
      return db.query_edges(q->labels, window);
    }
  });
  if (!candidates) return nullptr;
  if (!*candidates) return orvi_error_to_pyerr(candidates->error());
  auto& items = **candidates;

  if (!predicate) {
    // Either stage 1 already cut the window, or there is no limit.
    size_t first = 0;
    if (!window) first = q->skip < items.size() ? q->skip : items.size();
    const size_t take = items.size() - first;
    if (want == Want::kCount) return PyLong_FromSize_t(take);
    if (want == Want::kExists) return new_bool(take > 0);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(take)));
    if (!list) return nullptr;
    for (size_t i = 0; i < take; ++i) {
      PyObject* item = new_py_record(std::move(items[first + i]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }

  PyRef list;
  if (want == Want::kList) {
    list = PyRef(PyList_New(0));
    if (!list) return nullptr;
  }
  uint64_t found = 0;
  uint64_t matched = 0;
  if (!limit || *limit > 0) {
    for (auto& candidate : items) {
      PyRef object(new_py_record(std::move(candidate)));
      if (!object) return nullptr;
      PyRef result(PyObject_CallOneArg(predicate.get(), object.get()));
      if (!result) return nullptr;
      const int keep = verdict(result.get());
      if (keep < 0) return nullptr;
      if (keep == 0) continue;
      if (matched < q->skip) {
        ++matched;
        continue;
      }
      if (list && PyList_Append(list.get(), object.get()) < 0) return nullptr;
      ++found;
      if (limit && found >= *limit) break;
    }
  }
  if (want == Want::kCount) return PyLong_FromUnsignedLongLong(found);
  if (want == Want::kExists) return new_bool(found > 0);
  return list.release();
}

template <typename Record>
PyObject* query_fetch(PyObject* self, PyObject*) {
  return guarded([&] {
    return run_query<Record>(self, query_of<Record>(self)->limit, Want::kList);
  });
}

template <typename Record>
PyObject* query_count(PyObject* self, PyObject*) {
  return guarded([&] {
    return run_query<Record>(self, query_of<Record>(self)->limit,
                             Want::kCount);
  });
}

// Stops at the first result whatever the query's own limit, except that a
// query limited to 0 results has none.
template <typename Record>
PyObject* query_exists(PyObject* self, PyObject*) {
  return guarded([&] {
    const std::optional<uint64_t>& own = query_of<Record>(self)->limit;
    const uint64_t limit = own && *own == 0 ? 0 : 1;
    return run_query<Record>(self, limit, Want::kExists);
  });
}

template <typename Record>
PyMethodDef query_methods[] = {
    {"label", fastcall_cast(query_label<Record>), METH_FASTCALL | METH_KEYWORDS,
     kLabelDoc},
    {"where_", fastcall_cast(query_where<Record>),
     METH_FASTCALL | METH_KEYWORDS, kWhereDoc},
    {"skip",
     fastcall_cast(
         query_with_count<Record, kSkipDoc, &PyQuery<Record>::skip>),
     METH_FASTCALL | METH_KEYWORDS, kSkipDoc},
    {"limit",
     fastcall_cast(
         query_with_count<Record, kLimitDoc, &PyQuery<Record>::limit>),
     METH_FASTCALL | METH_KEYWORDS, kLimitDoc},
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
    return new_query<Record>(graphdb_handle(graphdb), std::nullopt, {},
                             PyRef(), 0);
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

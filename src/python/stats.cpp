// GraphDB.degree_stats() and GraphDB.edges_between(): edge summaries.
//
// Both are computed by the core from the edge records under the handle's
// lock (graph/edge_stats.h) and converted after the lock is released.
// edges_between() converts its whole argument before taking the lock: only
// plain non-negative integers are accepted (a Node object is refused with
// the interpreter's own conversion error).
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

PyObject* degrees_to_py(const std::vector<NodeDegrees>& table) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const NodeDegrees& d : table) {
    PyRef key(u64_to_py(d.id));
    if (!key) return nullptr;
    PyRef value(Py_BuildValue("(KK)", static_cast<unsigned long long>(d.out),
                              static_cast<unsigned long long>(d.in)));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

// An element of node_ids through the integer protocol, with the
// interpreter's own TypeError / OverflowError.
bool element_id(PyObject* item, uint64_t& out) {
  PyRef index(PyNumber_Index(item));
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  out = v;
  return true;
}

}  // namespace

PyObject* graphdb_degree_stats(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        *graphdb_handle(self), [](GraphDB& db) { return db.degree_stats(); },
        [](const std::vector<NodeDegrees>& table) {
          return degrees_to_py(table);
        });
  });
}

PyObject* graphdb_edges_between(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kEdgesBetweenDoc);
    BoundArgs b;
    if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;
    std::unordered_set<uint64_t> members;
    {
      PyRef iter(PyObject_GetIter(b[0]));
      if (!iter) return nullptr;
      while (PyObject* raw = PyIter_Next(iter.get())) {
        PyRef item(raw);
        uint64_t id = 0;
        if (!element_id(item.get(), id)) return nullptr;
        members.insert(id);
      }
      if (PyErr_Occurred()) return nullptr;
    }
    return call_core(
        *graphdb_handle(self),
        [&](GraphDB& db) { return db.edges_between(members); },
        [](const std::vector<Edge>& edges) {
          return edge_records_to_py(edges);
        });
  });
}

}  // namespace orvi::py

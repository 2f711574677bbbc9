// GraphDB.degree_stats() and GraphDB.edges_between(): edge summaries.
//
// Both read every live edge with one all_edges() call under the handle's
// lock and compute their result after the lock is released. The degrees
// are counted from the live edge records themselves, never from the degree
// counters kept in node slots, so they stay right when those counters are
// damaged. edges_between() converts its whole argument before taking the
// lock: only plain non-negative integers are accepted (a Node object is
// refused with the interpreter's own conversion error).
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "graph/edge.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

struct Degrees {
  uint64_t id;
  uint64_t out;
  uint64_t in;
};

// One entry per node that takes part in an edge, in the order the nodes
// first appear in the edge list (the dict's order is otherwise free; this
// one is at least repeatable).
std::vector<Degrees> count_degrees(const std::vector<Edge>& edges) {
  std::vector<Degrees> table;
  std::unordered_map<uint64_t, size_t> slot;
  auto entry = [&](uint64_t id) -> Degrees& {
    auto [it, inserted] = slot.try_emplace(id, table.size());
    if (inserted) table.push_back({id, 0, 0});
    return table[it->second];
  };
  for (const Edge& e : edges) {
    ++entry(e.from_node).out;
    ++entry(e.to_node).in;
  }
  return table;
}

PyObject* degrees_to_py(const std::vector<Degrees>& table) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Degrees& d : table) {
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
        *graphdb_handle(self),
        [](GraphDB& db) { return db.all_edges(); },
        [](std::vector<Edge> edges) {
          return degrees_to_py(count_degrees(edges));
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
        [](GraphDB& db) { return db.all_edges(); },
        [&](std::vector<Edge> edges) -> PyObject* {
          PyRef list(PyList_New(0));
          if (!list) return nullptr;
          for (const Edge& e : edges) {
            if (!members.count(e.from_node) || !members.count(e.to_node)) {
              continue;
            }
            PyRef record(edge_record(e));
            if (!record || PyList_Append(list.get(), record.get()) < 0) {
              return nullptr;
            }
          }
          return list.release();
        });
  });
}

}  // namespace orvi::py

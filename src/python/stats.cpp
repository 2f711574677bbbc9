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

PyObject* graphdb_degree_stats(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        handle_of(self), [](GraphDB& db) { return db.degree_stats(); },
        [](const std::vector<NodeDegrees>& table) {
          return degrees_to_py(table);
        });
  });
}

PyObject* graphdb_edges_between(PyObject* self, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig(kEdgesBetweenDoc);
    std::unordered_set<uint64_t> members;
    if (!node_id_set_from_py(sig, args, nargs, kwnames, members)) {
      return nullptr;
    }
    return call_core(
        handle_of(self),
        [&](GraphDB& db) { return db.edges_between(members); },
        [](const std::vector<Edge>& edges) {
          return edge_records_to_py(edges);
        });
  });
}

}  // namespace orvi::py

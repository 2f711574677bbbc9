// GraphDB.vacuum() and GraphDB.repair_adjacency(): the maintenance methods
// that write to the file by themselves.
//
// Both are plain frames around one core step under the handle's lock.
// vacuum() commits what is pending, rebuilds the file through a temporary
// copy and reopens it (graph/vacuum.h); inside an explicit transaction the
// core refuses it. repair_adjacency() rebuilds every adjacency list and
// degree counter from the live edge slots and commits (graph/repair.h).
//
// A vacuum whose reopen failed after the file had been replaced leaves the
// core GraphDB detached; the frame (acquire_graph_lock) then refuses every
// later call on the handle, so no work lands on the empty placeholder.
#include <cstdint>

#include "db/graphdb.h"
#include "graph/repair.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

PyObject* graphdb_vacuum(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core_none(handle_of(self),
                          [](GraphDB& db) { return db.vacuum(); });
  });
}

PyObject* graphdb_repair_adjacency(PyObject* self, PyObject*) {
  return guarded([&] {
    return call_core(
        handle_of(self),
        [](GraphDB& db) { return db.repair_adjacency(); },
        [](RepairCounts counts) -> PyObject* {
          return Py_BuildValue(
              "{s:K,s:K}", "nodes_rewritten",
              static_cast<unsigned long long>(counts.nodes_rewritten),
              "edges_relinked",
              static_cast<unsigned long long>(counts.edges_relinked));
        });
  });
}

}  // namespace orvi::py

// orvi.MergeReport: the result of GraphDB.merge_from().
//
// The object owns the core MergeReport (four counters and the two id maps)
// and, like Node and Edge, never refers back to a database: it holds no
// handle reference and stays usable after either database is closed. The
// counters are read-only ints; node_id_map and edge_id_map build a new
// dict on every access, so a caller that changes one cannot change the
// report. Objects are made only by merge_from().
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "graph/merge.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/types.h"

namespace orvi::py {

namespace {

struct PyMergeReport {
  PyObject_HEAD
  MergeReport report;
};

PyTypeObject* g_merge_report_type = nullptr;

const MergeReport& report_of(PyObject* self) {
  return reinterpret_cast<PyMergeReport*>(self)->report;
}

void merge_report_dealloc(PyObject* self) {
  reinterpret_cast<PyMergeReport*>(self)->report.~MergeReport();
  free_heap_object(self);
}

PyObject* merge_report_repr(PyObject* self) {
  return guarded([&] {
    const MergeReport& r = report_of(self);
    std::string out = "MergeReport(nodes_created=" +
                      std::to_string(r.nodes_created) +
                      ", nodes_reused=" + std::to_string(r.nodes_reused) +
                      ", edges_created=" + std::to_string(r.edges_created) +
                      ", edges_reused=" + std::to_string(r.edges_reused) + ")";
    return str_to_py(out);
  });
}

PyObject* id_map_to_py(const std::unordered_map<uint64_t, uint64_t>& map) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [from, to] : map) {
    PyRef key(u64_to_py(from));
    if (!key) return nullptr;
    PyRef value(u64_to_py(to));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

PyObject* get_nodes_created(PyObject* self, void*) {
  return u64_to_py(report_of(self).nodes_created);
}
PyObject* get_nodes_reused(PyObject* self, void*) {
  return u64_to_py(report_of(self).nodes_reused);
}
PyObject* get_edges_created(PyObject* self, void*) {
  return u64_to_py(report_of(self).edges_created);
}
PyObject* get_edges_reused(PyObject* self, void*) {
  return u64_to_py(report_of(self).edges_reused);
}
PyObject* get_node_id_map(PyObject* self, void*) {
  return guarded([&] { return id_map_to_py(report_of(self).node_id_map); });
}
PyObject* get_edge_id_map(PyObject* self, void*) {
  return guarded([&] { return id_map_to_py(report_of(self).edge_id_map); });
}

PyGetSetDef merge_report_getset[] = {
    {"nodes_created", get_nodes_created, nullptr,
     "Source nodes that became new destination nodes.", nullptr},
    {"nodes_reused", get_nodes_reused, nullptr,
     "Source nodes matched to an existing destination node.", nullptr},
    {"edges_created", get_edges_created, nullptr,
     "Source edges that became new destination edges.", nullptr},
    {"edges_reused", get_edges_reused, nullptr,
     "Source edges that found an identical existing edge.", nullptr},
    {"node_id_map", get_node_id_map, nullptr,
     "Source node id -> destination node id (a new dict on every access).",
     nullptr},
    {"edge_id_map", get_edge_id_map, nullptr,
     "Source edge id -> destination edge id (a new dict on every access).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kMergeReportDoc[] =
    "Summary of a `GraphDB.merge_from(...)` call, exposed to Python as\n"
    "`orvi.MergeReport`.  All fields are plain Python `dict`s / `int`s so "
    "the\n"
    "object can be passed freely through user code without needing further\n"
    "conversion helpers.";

PyType_Slot merge_report_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(merge_report_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(merge_report_repr)},
    {Py_tp_getset, merge_report_getset},
    {Py_tp_doc, const_cast<char*>(kMergeReportDoc)},
    {0, nullptr},
};

PyType_Spec merge_report_spec = {"orvi.MergeReport", sizeof(PyMergeReport),
                                 0, kTypeFlags, merge_report_slots};

}  // namespace

PyObject* new_py_merge_report(MergeReport report) {
  PyMergeReport* self = PyObject_New(PyMergeReport, g_merge_report_type);
  if (self == nullptr) return nullptr;
  new (&self->report) MergeReport(std::move(report));
  return reinterpret_cast<PyObject*>(self);
}

int register_merge_report(PyObject* module) {
  if (g_merge_report_type == nullptr) {
    g_merge_report_type = create_type(&merge_report_spec);
    if (g_merge_report_type == nullptr) return -1;
  }
  return add_type(module, "MergeReport", g_merge_report_type);
}

}  // namespace orvi::py

// orvi.Edge: a detached, read-only snapshot of one edge.
//
// Like orvi.Node: the object owns a copy of the edge (id, label, endpoints,
// properties, the latter possibly still encoded), never refers back to the
// database, builds a new dict on every `properties` access, and compares
// and hashes by identity.
#include <new>
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/record_view.h"
#include "python/types.h"

namespace orvi::py {

namespace {

PyTypeObject* g_edge_type = nullptr;

const Edge& edge_of(PyObject* self) {
  return reinterpret_cast<PyEdge*>(self)->edge;
}

void edge_dealloc(PyObject* self) {
  reinterpret_cast<PyEdge*>(self)->edge.~Edge();
  free_heap_object(self);
}

// The label is shown as stored, without escaping.
PyObject* edge_repr(PyObject* self) {
  return guarded([&] {
    const Edge& e = edge_of(self);
    std::string out = "Edge(id=" + std::to_string(e.id) + ", label='" +
                      e.label + "', from=" + std::to_string(e.from_node) +
                      ", to=" + std::to_string(e.to_node) + ")";
    return str_to_py(out);
  });
}

PyObject* edge_get_id(PyObject* self, void*) {
  return u64_to_py(edge_of(self).id);
}

PyObject* edge_get_label(PyObject* self, void*) {
  return guarded([&] { return cached_str_to_py(edge_of(self).label); });
}

PyObject* edge_get_from(PyObject* self, void*) {
  return u64_to_py(edge_of(self).from_node);
}

PyObject* edge_get_to(PyObject* self, void*) {
  return u64_to_py(edge_of(self).to_node);
}

std::string_view edge_props(PyObject* self) { return edge_of(self).prop_blob; }
constexpr char kEdgeWord[] = "edge";
using Mapping = RecordMapping<edge_props, kEdgeWord>;

constexpr const char kGetDoc[] =
    "get($self, key)\n--\n\n"
    "The property's value, or None when the edge has no property of that "
    "name.";

PyGetSetDef edge_getset[] = {
    {"id", edge_get_id, nullptr, "The edge id.", nullptr},
    {"label", edge_get_label, nullptr, "The edge label.", nullptr},
    {"from_node", edge_get_from, nullptr, "The source node id.", nullptr},
    {"to_node", edge_get_to, nullptr, "The target node id.", nullptr},
    {"properties", Mapping::properties, nullptr,
     "The properties (a new dict on every access).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef edge_methods[] = {
    {"get", fastcall_cast(Mapping::get), METH_FASTCALL | METH_KEYWORDS,
     kGetDoc},
    {"keys", Mapping::keys, METH_NOARGS,
     "keys($self)\n--\n\nThe property names (a new list)."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kEdgeDoc[] =
    "An immutable snapshot of one edge: its id, label, endpoints and "
    "properties as they were when the edge was fetched.\n\n"
    "Changes go through the GraphDB object and need a new fetch to be "
    "seen. The user-facing docstring and method contracts live in the "
    "module's type stub (entry `Edge`, in python/orvi).";

PyType_Slot edge_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(edge_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(edge_repr)},
    {Py_tp_getset, edge_getset},
    {Py_tp_methods, edge_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(Mapping::subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(Mapping::contains)},
    {Py_tp_doc, const_cast<char*>(kEdgeDoc)},
    {0, nullptr},
};

PyType_Spec edge_spec = {"orvi.Edge", sizeof(PyEdge), 0, kTypeFlags,
                         edge_slots};

}  // namespace

PyTypeObject* edge_type() { return g_edge_type; }

PyObject* new_py_edge(Edge edge) {
  PyEdge* self = PyObject_New(PyEdge, g_edge_type);
  if (self == nullptr) return nullptr;
  new (&self->edge) Edge(std::move(edge));
  return reinterpret_cast<PyObject*>(self);
}

int register_edge(PyObject* module) {
  if (g_edge_type == nullptr) {
    g_edge_type = create_type(&edge_spec);
    if (g_edge_type == nullptr) return -1;
  }
  return add_type(module, "Edge", g_edge_type);
}

}  // namespace orvi::py

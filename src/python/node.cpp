// orvi.Node: a detached, read-only snapshot of one node.
//
// The object owns a copy of the node (id, labels, properties) taken when it
// was read and never refers back to the database, so it stays usable after
// the handle is closed. Labels and properties stay in their encoded form
// until they are asked for. Every access to `labels` or
// `properties` builds a new list or dict. Equality and hashing are by
// identity.
#include <cstddef>
#include <cstring>
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/frame.h"
#include "python/record_view.h"
#include "python/types.h"

namespace orvi::py {

namespace {

PyTypeObject* g_node_type = nullptr;

const PyNode& node_of(PyObject* self) {
  return *reinterpret_cast<PyNode*>(self);
}

PyObject* node_repr(PyObject* self) {
  return guarded([&] {
    const PyNode& node = node_of(self);
    std::vector<std::string_view> labels;
    (void)decode_label_views(node.label_blob(), labels);
    std::string out = "Node(id=" + std::to_string(node.id) + ", labels=[";
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) out += ", ";
      out += '"' + escape_label(labels[i]) + '"';
    }
    out += "])";
    return str_to_py(out);
  });
}

PyObject* node_get_id(PyObject* self, void*) {
  return u64_to_py(node_of(self).id);
}

PyObject* node_get_labels(PyObject* self, void*) {
  return guarded([&] { return encoded_labels_to_py(node_of(self).label_blob()); });
}

std::string_view node_props(PyObject* self) {
  return node_of(self).prop_blob();
}
constexpr char kNodeWord[] = "node";
using Mapping = RecordMapping<node_props, kNodeWord>;

constexpr const char kGetDoc[] =
    "get($self, key)\n--\n\n"
    "The property's value, or None when the node has no property of that "
    "name.";

PyGetSetDef node_getset[] = {
    {"id", node_get_id, nullptr, "The node id.", nullptr},
    {"labels", node_get_labels, nullptr,
     "The labels in stored order (a new list on every access).", nullptr},
    {"properties", Mapping::properties, nullptr,
     "The properties (a new dict on every access).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef node_methods[] = {
    {"get", fastcall_cast(Mapping::get), METH_FASTCALL | METH_KEYWORDS,
     kGetDoc},
    {"keys", Mapping::keys, METH_NOARGS,
     "keys($self)\n--\n\nThe property names (a new list)."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kNodeDoc[] =
    "An immutable snapshot of one node: its id, labels and properties as "
    "they were when the node was fetched.\n\n"
    "Changes go through the GraphDB object and need a new fetch to be "
    "seen. The user-facing docstring and method contracts live in the "
    "module's type stub (entry `Node`, in python/orvi).";

PyType_Slot node_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_heap_object)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(Mapping::subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(Mapping::contains)},
    {Py_tp_doc, const_cast<char*>(kNodeDoc)},
    {0, nullptr},
};

PyType_Spec node_spec = {"orvi.Node", offsetof(PyNode, blobs), 1, kTypeFlags,
                         node_slots};

}  // namespace

PyTypeObject* node_type() { return g_node_type; }

PyObject* new_py_node(uint64_t id, std::string_view label_blob,
                      std::string_view prop_blob) {
  const size_t size = label_blob.size() + prop_blob.size();
  PyNode* self = PyObject_NewVar(PyNode, g_node_type,
                                 static_cast<Py_ssize_t>(size));
  if (self == nullptr) return nullptr;
  self->id = id;
  self->label_len = static_cast<uint32_t>(label_blob.size());
  if (!label_blob.empty()) {
    std::memcpy(self->blobs, label_blob.data(), label_blob.size());
  }
  if (!prop_blob.empty()) {
    std::memcpy(self->blobs + label_blob.size(), prop_blob.data(),
                prop_blob.size());
  }
  return reinterpret_cast<PyObject*>(self);
}

int register_node(PyObject* module) {
  if (g_node_type == nullptr) {
    g_node_type = create_type(&node_spec);
    if (g_node_type == nullptr) return -1;
  }
  return add_type(module, "Node", g_node_type);
}

}  // namespace orvi::py

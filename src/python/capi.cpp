// orvi._C_API: the table of capi.h, filled from the binding's own functions.
#include "python/capi.h"

#include <string>
#include <string_view>
#include <vector>

#include "python/convert.h"
#include "python/errors.h"
#include "python/prop_from_py.h"
#include "python/types.h"
#include "storage/reader_lock.h"

namespace orvi::py {

namespace {

int capi_is_graphdb(PyObject* obj) {
  return graphdb_type() != nullptr && PyObject_TypeCheck(obj, graphdb_type());
}

// The shared handle of an orvi.GraphDB; TypeError for anything else.
SharedHandle* handle_or_raise(PyObject* db) {
  if (!capi_is_graphdb(db)) {
    PyErr_Format(PyExc_TypeError, "expected an orvi.GraphDB, not %.100s",
                 Py_TYPE(db)->tp_name);
    return nullptr;
  }
  return object_handle(db).get();
}

void* capi_acquire_graphdb(PyObject* db) {
  SharedHandle* handle = handle_or_raise(db);
  return handle ? lock_graph(*handle) : nullptr;
}

void capi_release_graphdb(PyObject* db) {
  if (capi_is_graphdb(db)) unlock_graph(*object_handle(db));
}

Node node_of(const OrviNodeRecord* r) {
  return Node::of(r->id, std::string_view(r->label_blob, r->label_len),
                  std::string_view(r->prop_blob, r->prop_len));
}

Edge edge_of(const OrviEdgeRecord* r) {
  return Edge{r->id, std::string(r->label, r->label_len), r->from_node,
              r->to_node, Bytes(r->prop_blob, r->prop_len)};
}

// The record, made into a core record and converted by `convert`; the
// record's bytes are copied, so memory can run out.
template <typename Raw, typename Make, typename Convert>
PyObject* converted(const Raw* r, Make make, Convert convert) {
  try {
    return convert(make(r));
  } catch (...) {
    return PyErr_NoMemory();
  }
}

PyObject* capi_new_node(const OrviNodeRecord* r) {
  return new_py_node(r->id, std::string_view(r->label_blob, r->label_len),
                     std::string_view(r->prop_blob, r->prop_len));
}

PyObject* capi_new_edge(const OrviEdgeRecord* r) {
  return converted(r, edge_of, [](Edge e) { return new_py_edge(std::move(e)); });
}

PyObject* capi_node_record(const OrviNodeRecord* r) {
  return converted(r, node_of, [](const Node& n) { return node_record(n); });
}

PyObject* capi_edge_record(const OrviEdgeRecord* r) {
  return converted(r, edge_of, [](const Edge& e) { return edge_record(e); });
}

int capi_node_id_of(PyObject* value, uint64_t* out) {
  return node_id_from_py(value, *out) ? 0 : -1;
}

uint64_t capi_register_snapshot(uint64_t dev, uint64_t ino,
                                void (*breaker)(void*), void* context) {
  return register_snapshot(
      FileId{static_cast<dev_t>(dev), static_cast<ino_t>(ino)}, breaker,
      context);
}

PyObject* capi_raise_error(int kind, const char* message, size_t len) {
  return raise_error_kind(static_cast<ErrorKind>(kind),
                          std::string_view(message, len));
}

// A new bytes object holding what `encode(Bytes&)` produces; nullptr with
// the conversion's error set when it returns false.
template <typename Encode>
PyObject* encoded_bytes(Encode&& encode) {
  try {
    Bytes out;
    if (!encode(out)) return nullptr;
    return PyBytes_FromStringAndSize(out.data(),
                                     static_cast<Py_ssize_t>(out.size()));
  } catch (...) {
    return PyErr_NoMemory();
  }
}

PyObject* capi_encode_props(PyObject* dict) {
  return encoded_bytes([&](Bytes& out) {
    PropMap props;
    if (!dict_to_props(dict, 0, props)) return false;
    if (!props.empty()) out = encode_props(props);
    return true;
  });
}

PyObject* capi_encode_labels(PyObject* labels) {
  return encoded_bytes([&](Bytes& out) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(labels);
    std::vector<std::string> texts(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(labels, i);
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "a label must be str, not %.50s",
                     Py_TYPE(item)->tp_name);
        return false;
      }
      if (!utf8_of(item, texts[static_cast<size_t>(i)])) return false;
    }
    if (!texts.empty()) out = encode_labels(texts);
    return true;
  });
}

PyObject* capi_encode_value(PyObject* value) {
  return encoded_bytes([&](Bytes& out) {
    PropValue converted;
    if (!py_to_prop_depth(value, 0, converted)) return false;
    encode_into(converted, out);
    return true;
  });
}

const OrviCApi kCApi = {
    kOrviCApiVersion,       sizeof(GraphDB),        capi_is_graphdb,
    capi_acquire_graphdb,   capi_release_graphdb,   capi_new_node,
    capi_new_edge,          capi_node_id_of,        capi_register_snapshot,
    unregister_snapshot,    capi_raise_error,       capi_encode_props,
    capi_encode_labels,     capi_encode_value,      capi_node_record,
    capi_edge_record,
};

}  // namespace

int register_capi(PyObject* module) {
  return add_to_module(
      module, "_C_API",
      PyRef(PyCapsule_New(const_cast<OrviCApi*>(&kCApi), kOrviCApiName,
                          nullptr)));
}

}  // namespace orvi::py

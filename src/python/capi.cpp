// orvi._C_API: the table of capi.h, filled from the binding's own functions.
#include "python/capi.h"

#include <string_view>

#include "python/convert.h"
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
  return graphdb_handle(db).get();
}

void* capi_acquire_graphdb(PyObject* db) {
  SharedHandle* handle = handle_or_raise(db);
  return handle ? lock_graph(*handle) : nullptr;
}

void capi_release_graphdb(PyObject* db) {
  if (capi_is_graphdb(db)) unlock_graph(*graphdb_handle(db));
}

PyObject* capi_new_node(const OrviNodeRecord* r) {
  try {
    return new_py_node(
        Node::of(r->id, std::string_view(r->label_blob, r->label_len),
                 std::string_view(r->prop_blob, r->prop_len)));
  } catch (...) {
    return PyErr_NoMemory();
  }
}

PyObject* capi_new_edge(const OrviEdgeRecord* r) {
  try {
    return new_py_edge(Edge{r->id, std::string(r->label, r->label_len),
                            r->from_node, r->to_node,
                            Bytes(r->prop_blob, r->prop_len)});
  } catch (...) {
    return PyErr_NoMemory();
  }
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

const OrviCApi kCApi = {
    kOrviCApiVersion,       sizeof(GraphDB),        capi_is_graphdb,
    capi_acquire_graphdb,   capi_release_graphdb,   capi_new_node,
    capi_new_edge,          capi_node_id_of,        capi_register_snapshot,
    unregister_snapshot,
};

}  // namespace

int register_capi(PyObject* module) {
  return add_to_module(
      module, "_C_API",
      PyRef(PyCapsule_New(const_cast<OrviCApi*>(&kCApi), kOrviCApiName,
                          nullptr)));
}

}  // namespace orvi::py

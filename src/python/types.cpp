#include "python/types.h"

#include <new>
#include <utility>

namespace orvi::py {

PyTypeObject* create_type(PyType_Spec* spec) {
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
  spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
#endif
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
  // Interpreters before 3.10: without tp_new, calling the class raises
  // "cannot create 'orvi.X' instances".
  reinterpret_cast<PyTypeObject*>(type)->tp_new = nullptr;
#endif
  return reinterpret_cast<PyTypeObject*>(type);
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return add_to_module(module, name,
                       PyRef::borrow(reinterpret_cast<PyObject*>(type)));
}

PyObject* new_handle_object(PyTypeObject* type, HandleRef handle) {
  PyHandleObject* self = PyObject_New(PyHandleObject, type);
  if (self == nullptr) return nullptr;
  new (&self->handle) HandleRef(std::move(handle));
  return reinterpret_cast<PyObject*>(self);
}

void handle_object_dealloc(PyObject* self) {
  // Dropping the last reference to the handle drops the core GraphDB:
  // registration and writer lock released, pending changes discarded.
  reinterpret_cast<PyHandleObject*>(self)->handle.~HandleRef();
  free_heap_object(self);
}

void free_heap_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  PyRef drop(reinterpret_cast<PyObject*>(type));
}

}  // namespace orvi::py

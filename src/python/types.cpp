#include "python/types.h"

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

void free_heap_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  PyRef drop(reinterpret_cast<PyObject*>(type));
}

}  // namespace orvi::py

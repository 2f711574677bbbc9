// PyRef: the one owning PyObject* type of the binding.
//
// A PyRef owns one strong reference: the constructor adopts a new
// reference (the result of a CPython call that returns one, possibly
// NULL), borrow() takes an extra reference to a borrowed pointer, and
// release() hands the reference back to CPython (typically as a method's
// return value). The destructor drops the reference. Nothing else in the
// binding calls Py_DECREF.
//
// Every PyRef must be destroyed with the interpreter lock held and never
// while a database handle's mutex is held: dropping a reference may run a
// finalizer, and a finalizer may call back into the same database.
#ifndef ORVI_PYTHON_PYREF_H_
#define ORVI_PYTHON_PYREF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvi::py {

class PyRef {
 public:
  explicit PyRef(PyObject* owned = nullptr) : p_(owned) {}
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_;
};

// A new reference to None / True / False, ready to be returned.
inline PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}
inline PyObject* new_bool(bool b) {
  PyObject* r = b ? Py_True : Py_False;
  Py_INCREF(r);
  return r;
}

// Adds `value` to the module under `name`. The module takes the reference
// on success; on failure the PyRef drops it. A null value (a failed
// constructor call) fails with its error already set.
inline int add_to_module(PyObject* module, const char* name, PyRef value) {
  if (!value) return -1;
  if (PyModule_AddObject(module, name, value.get()) < 0) return -1;
  value.release();
  return 0;
}

}  // namespace orvi::py

#endif  // ORVI_PYTHON_PYREF_H_

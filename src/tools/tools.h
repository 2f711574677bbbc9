// Shared by the files of orvi_tools._engine.
//
// with_graph (engine.cpp) is the one way the module reaches the core
// database of an orvi.GraphDB object; algorithms.cpp adds the graph
// algorithms to the module. Everything here runs with the interpreter lock
// held.
#ifndef ORVI_TOOLS_TOOLS_H_
#define ORVI_TOOLS_TOOLS_H_

#include "python/pyref.h"

#include <functional>

#include "db/graphdb.h"
#include "error/error.h"
#include "graph/check.h"
#include "python/capi.h"

namespace orvi::tools {

// Runs core(GraphDB&) on the database of `db`, an orvi.GraphDB, with the
// handle's lock held, as the orvi module's own methods do. False with a
// Python error set when it did not run: TypeError for another object, the
// errors of orvi's methods for a closed, poisoned or detached handle.
// `core` must not run Python code.
bool with_graph(PyObject* db, const std::function<void(GraphDB&)>& core);

// The orvi module's C interface at the version this module needs; nullptr
// with an error set when it cannot be had.
const OrviCApi* orvi_capi();

// Raises the orvi exception for a core error (the class the orvi module
// raises for its kind, with the same message) and returns nullptr.
std::nullptr_t raise_orvi_error(const OrviError& error);

// A new list of Python ints from a vector of unsigned ids; nullptr with an
// error set.
template <typename Ids>
PyObject* int_list(const Ids& ids) {
  py::PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(ids[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Adds the algorithm functions to the module; -1 with an error set.
int register_algorithms(PyObject* module);

// Adds decode_tagged (tagged_value.cpp) to the module; -1 with an error set.
int register_tagged_values(PyObject* module);

// Hands the progress of a check or an algorithm to a Python callable:
// progress(pass, total) returns a bar whose update(n) is called as the pass
// advances and whose close() ends it. Signals are checked at every step, so
// Ctrl-C stops a long run; a Python error stops it with that error (the
// core sees an Io error "stopped"; callers look at PyErr_Occurred()). Runs
// Python code, so it is never used while a handle's lock is held.
class PyProgress final : public CheckProgress {
  using PyRef = py::PyRef;


 public:
  explicit PyProgress(PyObject* callback) : callback_(callback) {}
  ~PyProgress() override { close(); }

  Status begin(const char* pass, uint64_t total) override {
    close();
    if (callback_ == Py_None) return Ok();
    bar_ = PyRef(PyObject_CallFunction(callback_, "sK", pass,
                                       static_cast<unsigned long long>(total)));
    return bar_ ? Ok() : stopped();
  }

  Status advance(uint64_t done) override {
    if (PyErr_CheckSignals() < 0) return stopped();
    if (!bar_ || done == 0) return Ok();
    PyRef r(PyObject_CallMethod(bar_.get(), "update", "K",
                                static_cast<unsigned long long>(done)));
    return r ? Ok() : stopped();
  }

 private:
  static OrviError stopped() { return OrviError::io_message("stopped"); }

  void close() {
    if (!bar_) return;
    PyRef bar = std::move(bar_);
    // A failing close() must not hide an error already set.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef r(PyObject_CallMethod(bar.get(), "close", nullptr));
    if (!r || type) PyErr_Clear();
    if (type) PyErr_Restore(type, value, tb);
  }

  PyObject* callback_;
  PyRef bar_;
};

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_TOOLS_H_

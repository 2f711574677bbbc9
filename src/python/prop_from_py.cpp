#include "python/prop_from_py.h"

#include <utility>

#include "python/args.h"

namespace orvi::py {

namespace {

constexpr const char kDepthMessage[] =
    "Property nesting depth exceeds the maximum of %u. Flatten nested "
    "structures before storing them as properties.";
constexpr const char kTypeMessage[] =
    "Property values must be None, bool, int, float, str, list, or dict "
    "(nested values follow the same rules). Got type `%s`.";

// The outcome of one conversion protocol: it applied, it does not apply
// (try the next one), or it failed with a Python error set.
enum class Tried { kDone, kNo, kError };

Tried try_int(PyObject* v, PropValue& out) {
  if (!is_integer_like(v)) return Tried::kNo;
  PyRef index(PyNumber_Index(v));
  if (index) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow == 0 && !(x == -1 && PyErr_Occurred())) {
      out = PropValue::from_int(x);
      return Tried::kDone;
    }
  }
  if (PyErr_Occurred() && !discard_error()) return Tried::kError;
  return Tried::kNo;
}

Tried try_float(PyObject* v, PropValue& out) {
  if (!has_float_protocol(v)) return Tried::kNo;
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) {
    return discard_error() ? Tried::kNo : Tried::kError;
  }
  out = PropValue::from_float(d);
  return Tried::kDone;
}

bool list_to_prop(PyObject* v, unsigned depth, PropValue& out) {
  // The slice owns references to the items as they are now.
  PyRef items(PyList_GetSlice(v, 0, PY_SSIZE_T_MAX));
  if (!items) return false;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  PropList list;
  list.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PropValue element;
    if (!py_to_prop_depth(PyList_GET_ITEM(items.get(), i), depth + 1,
                          element)) {
      return false;
    }
    list.push_back(std::move(element));
  }
  out = PropValue::from_list(std::move(list));
  return true;
}

bool dict_to_prop(PyObject* v, unsigned depth, PropValue& out) {
  PropMap map;
  if (!dict_to_props(v, depth + 1, map)) return false;
  out = PropValue::from_map(std::move(map));
  return true;
}

}  // namespace

bool dict_to_props(PyObject* dict, unsigned depth, PropMap& out) {
  // A list of (key, value) tuples owning references to both.
  PyRef items(PyDict_Items(dict));
  if (!items) return false;
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  out.clear();
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "property map keys must be str, not %.50s",
                   Py_TYPE(key)->tp_name);
      return false;
    }
    std::string name;
    if (!utf8_of(key, name)) return false;
    PropValue value;
    if (!py_to_prop_depth(PyTuple_GET_ITEM(pair, 1), depth, value)) {
      return false;
    }
    out.insert_or_assign(std::move(name), std::move(value));
  }
  return true;
}

// A failed protocol test is dropped before the next test is tried, except
// for errors that must not be swallowed (KeyboardInterrupt, SystemExit,
// MemoryError). Returns true when the error was cleared.
bool discard_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) ||
      PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

bool has_float_protocol(PyObject* v) {
  PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
  return PyFloat_Check(v) || PyLong_Check(v) ||
         (nb != nullptr &&
          (nb->nb_float != nullptr || nb->nb_index != nullptr));
}

bool is_integer_like(PyObject* v) {
  return PyLong_Check(v) || PyIndex_Check(v);
}

// The value through the integer protocol as an unsigned 64-bit number.
// false with the protocol's own error set (TypeError, OverflowError, or
// whatever __index__ raised).
bool index_as_u64(PyObject* v, uint64_t& out) {
  // An exact int is its own index: the common call skips the protocol.
  PyRef index(PyLong_CheckExact(v) ? PyRef::borrow(v).release()
                                   : PyNumber_Index(v));
  if (!index) return false;
  unsigned long long x = PyLong_AsUnsignedLongLong(index.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return false;
  }
  out = x;
  return true;
}

bool py_to_prop_depth(PyObject* v, unsigned depth, PropValue& out) {
  if (depth > kMaxPropDepth) {
    PyErr_Format(PyExc_ValueError, kDepthMessage, kMaxPropDepth);
    return false;
  }
  if (v == Py_None) {
    out = PropValue::null();
    return true;
  }
  if (PyBool_Check(v)) {
    out = PropValue::from_bool(v == Py_True);
    return true;
  }
  for (auto attempt : {try_int, try_float}) {
    switch (attempt(v, out)) {
      case Tried::kDone:
        return true;
      case Tried::kError:
        return false;
      case Tried::kNo:
        break;
    }
  }
  if (PyUnicode_Check(v)) {
    std::string s;
    if (!utf8_of(v, s)) return false;
    out = PropValue::from_string(std::move(s));
    return true;
  }
  if (PyList_Check(v)) return list_to_prop(v, depth, out);
  if (PyDict_Check(v)) return dict_to_prop(v, depth, out);
  PyErr_Format(PyExc_ValueError, kTypeMessage, type_short_name(v));
  return false;
}

bool utf8_of(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace orvi::py

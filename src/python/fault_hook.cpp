// Private storage fault-injection functions of the reliability build.
//
// Compiled only when the module is built with ORVI_FAULT_INJECTION; the
// normal module has none of these names. They drive the process-wide hook
// of storage/fault.h, which every file store of the process (the database
// file and the vacuum's temporary file) consults before each page write,
// flush, truncate and rename:
//   _fault_arm(nth, errno=5, ops="write,flush,truncate,rename", sticky=False)
//       count the storage calls of the kinds named in `ops` from now on;
//       the nth (1-based) fails with OSError(errno), and every later one
//       too when `sticky`; nth 0 only counts
//   _fault_disarm()   stop counting and failing
//   _fault_calls()    the matching calls counted since the last arm
// The counter is not tied to a handle: tests arm it right before the
// operation they want to break and disarm it right after.
#ifdef ORVI_FAULT_INJECTION

#include "python/pyref.h"

#include <climits>
#include <string>
#include <string_view>

#include "python/args.h"
#include "python/convert.h"
#include "python/prop_from_py.h"
#include "python/types.h"
#include "storage/fault.h"

namespace orvi::py {

namespace {

constexpr const char kArmDoc[] =
    "_fault_arm(nth, errno=5, ops=\"write,flush,truncate,rename\", "
    "sticky=False)\n--\n\n";
constexpr const char kDisarmDoc[] = "_fault_disarm()\n--\n\n";
constexpr const char kCallsDoc[] = "_fault_calls()\n--\n\n";

// Parses "write,flush,truncate,rename" (any subset, any order) into a mask.
bool parse_ops(const std::string& text, unsigned& mask) {
  mask = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string_view word(text.data() + start, comma - start);
    if (word == "write") {
      mask |= fault::kWrite;
    } else if (word == "flush") {
      mask |= fault::kFlush;
    } else if (word == "truncate") {
      mask |= fault::kTruncate;
    } else if (word == "rename") {
      mask |= fault::kRename;
    } else {
      PyErr_Format(PyExc_ValueError,
                   "unknown storage operation '%s' (use write, flush, "
                   "truncate, rename)",
                   std::string(word).c_str());
      return false;
    }
    start = comma + 1;
  }
  return mask != 0;
}

PyObject* fault_arm(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  static const Signature sig(kArmDoc);
  BoundArgs b;
  if (!bind_args(sig, args, nargs, kwnames, b)) return nullptr;
  uint64_t nth = 0;
  if (!index_as_u64(b[0], nth)) return nullptr;
  int err = 5;  // EIO
  if (b[1]) {
    PyRef err_index(PyNumber_Index(b[1]));
    if (!err_index) return nullptr;
    long value = PyLong_AsLong(err_index.get());
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value <= 0 || value > INT_MAX) {
      PyErr_SetString(PyExc_ValueError, "errno must be a positive OS error");
      return nullptr;
    }
    err = static_cast<int>(value);
  }
  unsigned mask = fault::kAll;
  if (b[2]) {
    std::string text;
    if (!str_from_py(b[2], sig, "ops", text)) return nullptr;
    if (!parse_ops(text, mask)) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ValueError, "ops names no storage operation");
      }
      return nullptr;
    }
  }
  bool sticky = false;
  if (b[3]) {
    int truth = PyObject_IsTrue(b[3]);
    if (truth < 0) return nullptr;
    sticky = truth != 0;
  }
  fault::arm(nth, err, mask, sticky);
  return new_none();
}

PyObject* fault_disarm(PyObject*, PyObject*) {
  fault::disarm();
  return new_none();
}

PyObject* fault_calls(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(fault::calls());
}

PyMethodDef fault_methods[] = {
    {"_fault_arm", fastcall_cast(fault_arm), METH_FASTCALL | METH_KEYWORDS,
     kArmDoc},
    {"_fault_disarm", fault_disarm, METH_NOARGS, kDisarmDoc},
    {"_fault_calls", fault_calls, METH_NOARGS, kCallsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_fault_hook(PyObject* module) {
  return PyModule_AddFunctions(module, fault_methods);
}

}  // namespace orvi::py

#endif  // ORVI_FAULT_INJECTION

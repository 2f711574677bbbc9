// The orvi extension module: initialisation.
//
// PyInit_orvi only hands CPython the module definition (multi-phase
// initialisation); the single Py_mod_exec step adds the attributes, the
// classes and then the exception classes, base class first. The module
// keeps no per-module state: type objects and exception classes are made
// once per process.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

#ifdef ORVI_FAULT_INJECTION
constexpr bool kFaultInjection = true;
#else
constexpr bool kFaultInjection = false;
#endif

int orvi_exec(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", "0.8.0") < 0) return -1;
  PyObject* flag = kFaultInjection ? Py_True : Py_False;
  Py_INCREF(flag);
  if (PyModule_AddObject(module, "_BUILT_WITH_FAULT_INJECTION", flag) < 0) {
    Py_DECREF(flag);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot orvi_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(orvi_exec)},
    {0, nullptr},
};

PyModuleDef orvi_module = {
    PyModuleDef_HEAD_INIT,
    "orvi",
    "orvi: an embedded property-graph database.",
    0,
    nullptr,
    orvi_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_orvi(void) { return PyModuleDef_Init(&orvi_module); }

// The orvi extension module: initialisation.
//
// PyInit_orvi only hands CPython the module definition (multi-phase
// initialisation); the single Py_mod_exec step adds the attributes, the
// free function, the classes and then the exception classes, base class
// first, in a fixed order. The first failing step fails the import. The
// module keeps no per-module state: type objects and exception classes
// are made once per process (the first execution creates them, a later
// execution of a re-imported module reuses them).
#include "python/pyref.h"

#include "python/errors.h"
#include "python/types.h"

namespace orvi::py {

#ifdef ORVI_FAULT_INJECTION
int register_fault_hook(PyObject* module);  // fault_hook.cpp
#endif
int register_capi(PyObject* module);  // capi.cpp

namespace {

#ifdef ORVI_FAULT_INJECTION
constexpr bool kFaultInjection = true;
#else
constexpr bool kFaultInjection = false;
#endif

PyMethodDef module_methods[] = {
    {"open", fastcall_cast(module_open), METH_FASTCALL | METH_KEYWORDS,
     kOpenDoc},
    {nullptr, nullptr, 0, nullptr},
};

int orvi_exec(PyObject* module) {
  // The plain attributes come first in the module's namespace.
  if (PyModule_AddStringConstant(module, "__version__", ORVI_VERSION) < 0) {
    return -1;
  }
  if (add_to_module(module, "_BUILT_WITH_FAULT_INJECTION",
                    PyRef(new_bool(kFaultInjection))) < 0) {
    return -1;
  }
  // Then the free function,
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  if (add_to_module(module, "open",
                    PyRef(PyCFunction_NewEx(&module_methods[0], nullptr,
                                            name.get()))) < 0) {
    return -1;
  }
  // the classes,
  if (register_graphdb(module) < 0) return -1;
  if (register_node(module) < 0) return -1;
  if (register_edge(module) < 0) return -1;
  if (register_query(module) < 0) return -1;
  if (register_transaction(module) < 0) return -1;
  if (register_merge_report(module) < 0) return -1;
#ifdef ORVI_FAULT_INJECTION
  if (register_fault_hook(module) < 0) return -1;
#endif
  // then the exception classes, GraphDBError before those deriving from
  // it, and last the private C interface for the project's other modules.
  if (register_exceptions(module) < 0) return -1;
  return register_capi(module);
}

constexpr const char kModuleDoc[] =
    "orvi: an embedded property-graph database.\n"
    "\n"
    "This module is the entry point that runs on `import orvi`. It registers "
    "the classes, the free function `open` and the exception types; "
    "`GraphDBError` is registered before the exceptions that derive from "
    "it.\n"
    "\n"
    "| Name | Kind |\n"
    "|---|---|\n"
    "| `orvi.open` | function |\n"
    "| `orvi.GraphDB` | class |\n"
    "| `orvi.Node` | class |\n"
    "| `orvi.Edge` | class |\n"
    "| `orvi.NodeQuery` | class |\n"
    "| `orvi.EdgeQuery` | class |\n"
    "| `orvi.Transaction` | class |\n"
    "| `orvi.GraphDBError` | exception |\n"
    "| `orvi.NodeNotFoundError` | exception |\n"
    "| `orvi.EdgeNotFoundError` | exception |\n"
    "| `orvi.CorruptedFileError` | exception |\n"
    "| `orvi.TransactionError` | exception |\n"
    "| `orvi.CapacityExceededError` | exception |\n"
    "| `orvi.MergeError` | exception |\n"
    "| `orvi.AlreadyOpenError` | exception |\n";

PyModuleDef_Slot orvi_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(orvi_exec)},
    {0, nullptr},
};

PyModuleDef orvi_module = {
    PyModuleDef_HEAD_INIT,
    "orvi",
    kModuleDoc,
    0,
    nullptr,
    orvi_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace orvi::py

PyMODINIT_FUNC PyInit_orvi(void) {
  return PyModuleDef_Init(&orvi::py::orvi_module);
}

// What the parts of orvi_tools._engine share (engine.cpp holds the module).
#ifndef ORVI_TOOLS_ENGINE_H_
#define ORVI_TOOLS_ENGINE_H_

#include "python/pyref.h"

#include <cstddef>
#include <string>

#include "error/error.h"

namespace orvi::tools {

// Sets the Python error for a core error: OSError for Io (naming `path`),
// FormatError for everything else. Returns nullptr.
std::nullptr_t raise(const OrviError& error, const std::string& path);
// A str or path-like argument as file-system bytes; false with an error set.
bool path_of(PyObject* arg, std::string& out);

// open_reader(path) and the Reader type: see reader.cpp.
PyObject* engine_open_reader(PyObject* module, PyObject* arg);
int register_reader(PyObject* module);

// builder(path): see builder.cpp.
PyObject* engine_builder(PyObject* module, PyObject* arg);

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_ENGINE_H_

// The module's exception classes and the one mapping from OrviError.
//
// The eight classes (GraphDBError and its seven subclasses) are created
// once per process, on first use, with qualified names "orvi.<Name>" (so
// __module__ is "orvi"), no docstring and no extra attributes; they live
// until the process ends. Core errors become exceptions only in
// orvi_error_to_pyerr(), with the error's full message as the single
// argument: Io -> OSError, InvalidArgument -> ValueError, the other kinds
// -> their orvi class.
#ifndef ORVI_PYTHON_ERRORS_H_
#define ORVI_PYTHON_ERRORS_H_

#include "python/pyref.h"

#include <string_view>

#include "error/error.h"

namespace orvi::py {

enum class OrviException {
  kGraphDBError,
  kNodeNotFoundError,
  kEdgeNotFoundError,
  kCorruptedFileError,
  kTransactionError,
  kCapacityExceededError,
  kMergeError,
  kAlreadyOpenError,
};
inline constexpr int kExceptionCount = 8;

// The class (borrowed; lives for the process), created on first use.
// nullptr with an error set when it cannot be created.
PyObject* exception_class(OrviException which);

// Raises the exception for `error` and returns nullptr.
PyObject* orvi_error_to_pyerr(const OrviError& error);
// The same for an error given by its kind and full text.
PyObject* raise_error_kind(ErrorKind kind, std::string_view message);

// Adds the eight classes to the module, base class first.
int register_exceptions(PyObject* module);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_ERRORS_H_

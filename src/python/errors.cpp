#include "python/errors.h"

#include <string>

namespace orvi::py {

namespace {

struct ExceptionInfo {
  const char* qualified_name;
  const char* name;
};

constexpr ExceptionInfo kExceptions[kExceptionCount] = {
    {"orvi.GraphDBError", "GraphDBError"},
    {"orvi.NodeNotFoundError", "NodeNotFoundError"},
    {"orvi.EdgeNotFoundError", "EdgeNotFoundError"},
    {"orvi.CorruptedFileError", "CorruptedFileError"},
    {"orvi.TransactionError", "TransactionError"},
    {"orvi.CapacityExceededError", "CapacityExceededError"},
    {"orvi.MergeError", "MergeError"},
    {"orvi.AlreadyOpenError", "AlreadyOpenError"},
};

// Process-lifetime classes: created once, never released.
PyObject* g_classes[kExceptionCount] = {};

}  // namespace

PyObject* exception_class(OrviException which) {
  int i = static_cast<int>(which);
  if (g_classes[i] != nullptr) return g_classes[i];
  PyObject* base = PyExc_Exception;
  if (which != OrviException::kGraphDBError) {
    base = exception_class(OrviException::kGraphDBError);
    if (base == nullptr) return nullptr;
  }
  g_classes[i] = PyErr_NewException(kExceptions[i].qualified_name, base,
                                     nullptr);
  return g_classes[i];
}

PyObject* orvi_error_to_pyerr(const OrviError& error) {
  return raise_error_kind(error.kind(), error.message());
}

PyObject* raise_error_kind(ErrorKind kind, std::string_view message) {
  PyObject* cls = nullptr;
  switch (kind) {
    case ErrorKind::kIo:
      cls = PyExc_OSError;
      break;
    case ErrorKind::kNodeNotFound:
      cls = exception_class(OrviException::kNodeNotFoundError);
      break;
    case ErrorKind::kEdgeNotFound:
      cls = exception_class(OrviException::kEdgeNotFoundError);
      break;
    case ErrorKind::kCorruptedFile:
      cls = exception_class(OrviException::kCorruptedFileError);
      break;
    case ErrorKind::kInvalidArgument:
      cls = PyExc_ValueError;
      break;
    case ErrorKind::kTransactionFailed:
    case ErrorKind::kWalOverflow:
      cls = exception_class(OrviException::kTransactionError);
      break;
    case ErrorKind::kCapacityExceeded:
      cls = exception_class(OrviException::kCapacityExceededError);
      break;
    case ErrorKind::kMergeKeyNotFound:
      cls = exception_class(OrviException::kMergeError);
      break;
    case ErrorKind::kAlreadyOpen:
      cls = exception_class(OrviException::kAlreadyOpenError);
      break;
  }
  if (cls == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "orvi: unknown error kind");
    }
    return nullptr;
  }
  // Stored texts may hold bytes that are not UTF-8 (a damaged file);
  // replacement characters keep the rest of the message readable.
  PyRef text(PyUnicode_DecodeUTF8(message.data(),
                                  static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(cls, text.get());
  return nullptr;
}

int register_exceptions(PyObject* module) {
  for (int i = 0; i < kExceptionCount; ++i) {
    PyObject* cls = exception_class(static_cast<OrviException>(i));
    if (cls == nullptr) return -1;
    if (add_to_module(module, kExceptions[i].name, PyRef::borrow(cls)) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace orvi::py

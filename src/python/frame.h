// The method frame shared by every method that touches the database.
//
//   1. bind and convert the arguments (no lock held; Python code may run);
//   2. acquire_graph_lock (closed -> ValueError, poisoned -> RuntimeError);
//   3. call one core step on the GraphDB;
//   4. release the lock;
//   5. raise the mapped exception if the core step failed;
//   6. build the Python result from the detached core result.
//
// A method body is wrapped in guarded(), which turns every C++ exception
// into a Python one (std::bad_alloc -> MemoryError, anything else ->
// RuntimeError) so that none unwinds into CPython. run_core() marks the
// handle poisoned when an exception leaves the core step while the lock is
// held; the guard then releases the lock during unwinding and guarded()
// raises.
//
// Typical method:
//
//   return guarded([&]() -> PyObject* {
//     ... bind and convert ...
//     return call_core(handle,
//         [&](GraphDB& db) { return db.get_edge(id); },
//         [](std::optional<Edge> e) {
//           return e ? new_py_edge(std::move(*e)) : new_none();
//         });
//   });
#ifndef ORVI_PYTHON_FRAME_H_
#define ORVI_PYTHON_FRAME_H_

#include "python/pyref.h"

#include <exception>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "error/result.h"
#include "python/errors.h"
#include "python/handle.h"

namespace orvi::py {

// Sets the Python error for the C++ exception being handled.
inline void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "orvi: internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "orvi: internal error");
  }
}

// Runs a method body (returning a new reference, or nullptr with an error
// set; for slots that return an int, -1 on error) and converts escaping C++
// exceptions.
template <typename Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    if constexpr (std::is_same_v<decltype(body()), int>) {
      return -1;
    } else {
      return nullptr;
    }
  }
}

// Steps 2 to 4: the core step's Result, or nullopt with a Python error set
// when the lock could not be taken.
template <typename Core>
auto run_core(SharedHandle& handle, Core&& core)
    -> std::optional<std::invoke_result_t<Core&, GraphDB&>> {
  std::optional<GraphGuard> guard = acquire_graph_lock(handle);
  if (!guard) return std::nullopt;
  try {
    return core(guard->db());
  } catch (...) {
    guard->poison();
    throw;
  }
}

// Steps 2 to 6. `convert` receives the core result's value (nothing for a
// Status) and returns a new reference.
template <typename Core, typename Convert>
PyObject* call_core(SharedHandle& handle, Core&& core, Convert&& convert) {
  auto result = run_core(handle, core);
  if (!result) return nullptr;
  if (!*result) return orvi_error_to_pyerr(result->error());
  using R = std::invoke_result_t<Core&, GraphDB&>;
  if constexpr (std::is_same_v<R, Status>) {
    return convert();
  } else {
    return convert(std::move(**result));
  }
}

// A core step that returns a Status and a method that returns None.
template <typename Core>
PyObject* call_core_none(SharedHandle& handle, Core&& core) {
  return call_core(handle, core, [] { return new_none(); });
}

}  // namespace orvi::py

#endif  // ORVI_PYTHON_FRAME_H_

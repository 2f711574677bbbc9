// The shared handle: one open database as seen from Python.
//
// orvi.open() wraps the new core GraphDB in one SharedHandle: a mutex, a
// poisoned mark and the GraphDB itself (absent once closed). Every Python
// object that works on the database holds a counted reference to the same
// handle (HandleRef): the GraphDB object, each Transaction and each query
// made from it. Node, Edge and MergeReport objects are detached snapshots
// and hold none. The GraphDB is dropped when close() takes it out or when
// the last reference goes; dropping it releases the in-process
// registration and the writer lock and discards pending changes.
//
// Locking rules (the interpreter lock is held throughout every call):
//  - The mutex guards the GraphDB for one core step. acquire_graph_lock()
//    returns a GraphGuard, or raises (closed: ValueError, poisoned:
//    RuntimeError).
//  - No Python code runs while the mutex is held: arguments are converted
//    before locking, results are built after unlocking, and nothing is
//    allocated or released on the Python heap in between. A finalizer
//    that called back into the same database would otherwise deadlock on
//    the (non-recursive) mutex. As a safety net a call from the thread that
//    already holds the mutex raises RuntimeError instead of waiting.
//  - A C++ exception escaping a core step while the mutex is held poisons
//    the handle for good: the GraphDB may be half-updated.
#ifndef ORVI_PYTHON_HANDLE_H_
#define ORVI_PYTHON_HANDLE_H_

#include "python/pyref.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "db/graphdb.h"

namespace orvi::py {

inline constexpr const char kClosedMessage[] =
    "orvi: database handle is closed; reopen with orvi.open(path) before "
    "issuing further operations.";
inline constexpr const char kPoisonedMessage[] =
    "orvi: database lock was poisoned (another thread panicked while holding "
    "the lock). Open a new GraphDB connection.";
inline constexpr const char kPoisonedCloseMessage[] =
    "orvi: database lock was poisoned during close(); the handle may still "
    "be open. Open a new GraphDB connection.";
inline constexpr const char kReentrantMessage[] =
    "orvi: re-entrant call on a database whose lock this thread already "
    "holds (a callback ran during a database operation). Call the database "
    "only after the running operation has returned.";

class GraphGuard;
class SharedHandle;
std::optional<GraphGuard> acquire_graph_lock(SharedHandle& handle);
bool close_handle(SharedHandle& handle);
GraphDB* lock_graph(SharedHandle& handle);
void unlock_graph(SharedHandle& handle);

class SharedHandle {
 public:
  explicit SharedHandle(std::unique_ptr<GraphDB> db) : db_(std::move(db)) {}
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;

 private:
  friend class GraphGuard;
  friend std::optional<GraphGuard> acquire_graph_lock(SharedHandle& handle);
  friend bool close_handle(SharedHandle& handle);
  friend GraphDB* lock_graph(SharedHandle& handle);
  friend void unlock_graph(SharedHandle& handle);

  // Locks the mutex unless this thread already holds it (returns false
  // with RuntimeError set then).
  bool lock_checked();
  void unlock();

  std::mutex mu_;
  std::atomic<std::thread::id> owner_{};
  bool poisoned_ = false;
  std::unique_ptr<GraphDB> db_;
};

using HandleRef = std::shared_ptr<SharedHandle>;

// The held mutex of a handle whose GraphDB is present. Move-only; the
// destructor unlocks.
class GraphGuard {
 public:
  GraphGuard(GraphGuard&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  GraphGuard& operator=(GraphGuard&&) = delete;
  GraphGuard(const GraphGuard&) = delete;
  ~GraphGuard() {
    if (h_) h_->unlock();
  }

  GraphDB& db() { return *h_->db_; }
  // Marks the handle poisoned; called when a core step ends abnormally.
  void poison() { h_->poisoned_ = true; }

 private:
  friend std::optional<GraphGuard> acquire_graph_lock(SharedHandle& handle);
  friend GraphDB* lock_graph(SharedHandle& handle);
  explicit GraphGuard(SharedHandle* h) : h_(h) {}
  SharedHandle* h_;
};

// Locks the handle. On failure the mutex is released again and a Python
// error is set: RuntimeError (poisoned, or re-entered from this thread),
// ValueError (closed), or the exception of the GraphDB's detach reason
// (a vacuum replaced the file but could not reopen it; the message tells
// the user to close the handle and reopen the database). close() still
// works on a detached handle and frees the file.
std::optional<GraphGuard> acquire_graph_lock(SharedHandle& handle);

// acquire_graph_lock for the C interface, whose user cannot hold a
// GraphGuard: the GraphDB with the mutex left locked, or nullptr with the
// same errors. unlock_graph releases it; it does nothing unless this thread
// holds the mutex.
GraphDB* lock_graph(SharedHandle& handle);
void unlock_graph(SharedHandle& handle);

// close(): takes the GraphDB out under the mutex and drops it after
// unlocking. A closed handle stays as it is. Returns false with
// RuntimeError set when the handle is poisoned or re-entered.
bool close_handle(SharedHandle& handle);

}  // namespace orvi::py

#endif  // ORVI_PYTHON_HANDLE_H_

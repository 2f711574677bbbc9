#include "python/handle.h"

#include "python/errors.h"

namespace orvi::py {

bool SharedHandle::lock_checked() {
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    PyErr_SetString(PyExc_RuntimeError, kReentrantMessage);
    return false;
  }
  mu_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  return true;
}

void SharedHandle::unlock() {
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  mu_.unlock();
}

std::optional<GraphGuard> acquire_graph_lock(SharedHandle& handle) {
  if (!handle.lock_checked()) return std::nullopt;
  if (handle.poisoned_) {
    handle.unlock();
    PyErr_SetString(PyExc_RuntimeError, kPoisonedMessage);
    return std::nullopt;
  }
  if (!handle.db_) {
    handle.unlock();
    PyErr_SetString(PyExc_ValueError, kClosedMessage);
    return std::nullopt;
  }
  if (handle.db_->detached()) {
    // The GraphDB holds only the empty placeholder a failed vacuum reopen
    // left behind: work done there would be lost while reporting success.
    // The error is copied under the mutex; the exception is made after
    // unlocking, since building it runs Python code.
    OrviError reason = *handle.db_->detach_reason();
    handle.unlock();
    orvi_error_to_pyerr(reason);
    return std::nullopt;
  }
  return GraphGuard(&handle);
}

GraphDB* lock_graph(SharedHandle& handle) {
  std::optional<GraphGuard> guard = acquire_graph_lock(handle);
  if (!guard) return nullptr;
  guard->h_ = nullptr;  // the mutex stays locked until unlock_graph
  return handle.db_.get();
}

void unlock_graph(SharedHandle& handle) {
  if (handle.owner_.load(std::memory_order_relaxed) ==
      std::this_thread::get_id()) {
    handle.unlock();
  }
}

bool close_handle(SharedHandle& handle) {
  if (!handle.lock_checked()) return false;
  if (handle.poisoned_) {
    handle.unlock();
    PyErr_SetString(PyExc_RuntimeError, kPoisonedCloseMessage);
    return false;
  }
  std::unique_ptr<GraphDB> db = std::move(handle.db_);
  handle.unlock();
  // Dropped here, outside the mutex: unregisters the path, removes the
  // writer lock and discards pending changes.
  db.reset();
  return true;
}

}  // namespace orvi::py

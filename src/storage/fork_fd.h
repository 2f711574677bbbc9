// ForkClosedFd: a descriptor that a forked child does not keep.
//
// The file guard, the writer's reader gate and every reader hold locks that
// belong to an open file description (flock, F_OFD_SETLK). A child made by
// fork() shares its parent's descriptions: closing the child's copy never
// drops the parent's locks, but a child that kept its copy would keep the
// locks alive after the parent let them go, for as long as the child lives.
// So a fork handler closes every ForkClosedFd in the child at once; the
// child's objects then hold -1 and their owners see that they were
// inherited. Nothing here ever unlocks on close: closing the last
// descriptor of a description is what releases its locks.
//
// Thread rules: each object is owned by one holder; the list of live
// descriptors that the fork handler reads is kept under a mutex of its own,
// which the handler takes across fork(). The descriptor lives in a cell of
// its own, so moving the object does not move what the handler sees.
#ifndef ORVI_STORAGE_FORK_FD_H_
#define ORVI_STORAGE_FORK_FD_H_

#include <memory>

namespace orvi {

class ForkClosedFd {
 public:
  ForkClosedFd() = default;
  // Takes ownership of `fd` (which should be close-on-exec).
  explicit ForkClosedFd(int fd);
  ForkClosedFd(ForkClosedFd&&) noexcept;
  ForkClosedFd& operator=(ForkClosedFd&& other) noexcept;
  ForkClosedFd(const ForkClosedFd&) = delete;
  ForkClosedFd& operator=(const ForkClosedFd&) = delete;
  ~ForkClosedFd();

  // -1 once closed, and in a child forked while it was open.
  int get() const;
  // True when the object held a descriptor that a fork closed.
  bool inherited() const;
  void close();

  struct Cell;

 private:
  std::unique_ptr<Cell> cell_;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_FORK_FD_H_

#include "storage/fork_fd.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace orvi {

struct ForkClosedFd::Cell {
  int fd = -1;
  bool inherited = false;
};

namespace {

// Every open cell, for the fork handler. Created on first use and never
// destroyed (holders may be dropped during interpreter shutdown).
struct CellList {
  std::mutex mutex;
  std::vector<ForkClosedFd::Cell*> cells;
};

CellList& cell_list() {
  static CellList* list = new CellList();
  return *list;
}

// The list is locked across fork() so that the child sees it whole.
void before_fork() { cell_list().mutex.lock(); }
void after_fork_in_parent() { cell_list().mutex.unlock(); }
void after_fork_in_child() {
  CellList& list = cell_list();
  for (ForkClosedFd::Cell* cell : list.cells) {
    if (cell->fd >= 0) ::close(cell->fd);
    cell->fd = -1;
    cell->inherited = true;
  }
  list.cells.clear();
  list.mutex.unlock();
}

void ensure_fork_handler() {
  static const bool installed = [] {
    return ::pthread_atfork(before_fork, after_fork_in_parent,
                            after_fork_in_child) == 0;
  }();
  (void)installed;
}

}  // namespace

ForkClosedFd::ForkClosedFd(int fd) : cell_(std::make_unique<Cell>()) {
  ensure_fork_handler();
  cell_->fd = fd;
  CellList& list = cell_list();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.cells.push_back(cell_.get());
}

ForkClosedFd& ForkClosedFd::operator=(ForkClosedFd&& other) noexcept {
  if (this != &other) {
    close();
    cell_ = std::move(other.cell_);
  }
  return *this;
}

ForkClosedFd::ForkClosedFd(ForkClosedFd&&) noexcept = default;

ForkClosedFd::~ForkClosedFd() { close(); }

int ForkClosedFd::get() const { return cell_ ? cell_->fd : -1; }

bool ForkClosedFd::inherited() const { return cell_ && cell_->inherited; }

void ForkClosedFd::close() {
  if (!cell_) return;
  CellList& list = cell_list();
  std::lock_guard<std::mutex> guard(list.mutex);
  auto it = std::find(list.cells.begin(), list.cells.end(), cell_.get());
  if (it != list.cells.end()) list.cells.erase(it);
  // In a forked child the handler has closed the descriptor already and
  // its number may belong to another file by now.
  if (cell_->fd >= 0) ::close(cell_->fd);
  cell_->fd = -1;
  cell_.reset();
}

}  // namespace orvi

#include "storage/file_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace orvi {

struct FileGuard::Cell {
  int fd = -1;
};

namespace {

// Every live guard's cell, for the fork handler. Created on first use and
// never destroyed (guards may be dropped during interpreter shutdown).
struct GuardList {
  std::mutex mutex;
  std::vector<FileGuard::Cell*> cells;
};

GuardList& guard_list() {
  static GuardList* list = new GuardList();
  return *list;
}

// The list is locked across fork() so that the child sees it whole.
void before_fork() { guard_list().mutex.lock(); }
void after_fork_in_parent() { guard_list().mutex.unlock(); }
void after_fork_in_child() {
  GuardList& list = guard_list();
  for (FileGuard::Cell* cell : list.cells) {
    if (cell->fd >= 0) ::close(cell->fd);
    cell->fd = -1;
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

FileGuard::FileGuard(std::unique_ptr<Cell> cell, FileId id)
    : cell_(std::move(cell)), id_(id) {}

Result<FileGuard> FileGuard::open(const std::string& path) {
  ensure_fork_handler();
  // O_NONBLOCK: the path is not trusted to name a regular file, and opening
  // a FIFO must not hang.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OrviError::io_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return OrviError::io_errno(err);
  }
  auto cell = std::make_unique<Cell>();
  cell->fd = fd;
  {
    GuardList& list = guard_list();
    std::lock_guard<std::mutex> guard(list.mutex);
    list.cells.push_back(cell.get());
  }
  return FileGuard(std::move(cell), FileId{st.st_dev, st.st_ino});
}

FileGuard::FileGuard(FileGuard&& other) noexcept
    : cell_(std::move(other.cell_)), id_(other.id_) {}

FileGuard& FileGuard::operator=(FileGuard&& other) noexcept {
  if (this != &other) {
    close();
    cell_ = std::move(other.cell_);
    id_ = other.id_;
  }
  return *this;
}

FileGuard::~FileGuard() { close(); }

void FileGuard::close() {
  if (!cell_) return;
  {
    GuardList& list = guard_list();
    std::lock_guard<std::mutex> guard(list.mutex);
    auto it = std::find(list.cells.begin(), list.cells.end(), cell_.get());
    if (it != list.cells.end()) list.cells.erase(it);
    // In a forked child the handler has closed the descriptor already and
    // its number may belong to another file by now.
    if (cell_->fd >= 0) ::close(cell_->fd);
    cell_->fd = -1;
  }
  cell_.reset();
}

Result<bool> FileGuard::try_lock() {
  if (!cell_ || cell_->fd < 0) return OrviError::io_errno(EBADF);
  for (;;) {
    if (::flock(cell_->fd, LOCK_EX | LOCK_NB) == 0) return true;
    switch (errno) {
      case EINTR:
        continue;
      case EWOULDBLOCK:
        return false;
      case ENOLCK:
      case EOPNOTSUPP:
      case EINVAL:
      case ENOSYS:
        return true;
      default:
        return OrviError::io_errno(errno);
    }
  }
}

}  // namespace orvi

// FileGuard: the single-writer guard tied to the database file itself.
//
// The writer lock (lock.h) and the registry of open files are named after
// a path, and a file can have several: a hard link, a second mount or bind
// mount of its directory. A FileGuard holds an exclusive flock(2) on the
// database file for the life of a file handle, through a descriptor of its
// own (read-only, close-on-exec). flock belongs to the open file
// description, so a second guard on the same file conflicts whether it is
// taken in this process or in another, and through whatever name; a
// process that dies drops its guards with its descriptors. The guard also
// tells the file's identity (device and inode), which the registry of open
// files keeps beside the path.
//
// fork(). The descriptor is a ForkClosedFd (fork_fd.h): a forked child
// closes it at once, so a child never keeps the file locked after its
// parent closed it; the child's FileGuard objects are then empty and
// releasing them does nothing. Nothing ever calls flock(LOCK_UN): on a
// shared description it would release the parent's lock as well.
//
// A file system that does not support flock leaves the file guarded by the
// writer lock and the registry alone, as a path.
//
// Thread rules: a FileGuard is a plain value owned by one database handle.
#ifndef ORVI_STORAGE_FILE_GUARD_H_
#define ORVI_STORAGE_FILE_GUARD_H_

#include <sys/types.h>

#include <compare>
#include <string>

#include "error/result.h"
#include "storage/fork_fd.h"

namespace orvi {

// A file's identity, whatever name it was reached by.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  auto operator<=>(const FileId&) const = default;
};

class FileGuard {
 public:
  // Opens the existing file at `path`, not yet locked. Io when it cannot be
  // opened (ENOENT for a file that does not exist yet).
  static Result<FileGuard> open(const std::string& path);

  FileGuard(FileGuard&&) noexcept = default;
  FileGuard& operator=(FileGuard&&) noexcept = default;
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  // Destroying the guard closes the descriptor, which releases the lock.

  // Takes the exclusive lock without waiting: false when another open of
  // the file holds it, in this process or another. A file system that
  // cannot lock files counts as taken (see above). Io for other failures.
  Result<bool> try_lock();

  const FileId& id() const { return id_; }

 private:
  FileGuard(ForkClosedFd fd, FileId id) : fd_(std::move(fd)), id_(id) {}

  ForkClosedFd fd_;
  FileId id_;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_FILE_GUARD_H_

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
// fork(). A child shares its parent's open file descriptions. Closing the
// child's copy never releases the parent's lock, but a child that kept it
// would keep the file locked after the parent closed it, for as long as the
// child lives. So a fork handler closes every guard descriptor in the child
// at once; the child's FileGuard objects are then empty and releasing them
// does nothing. Nothing ever calls flock(LOCK_UN): on a shared description
// it would release the parent's lock as well; closing the last descriptor
// is what releases it.
//
// A file system that does not support flock leaves the file guarded by the
// writer lock and the registry alone, as a path.
//
// Thread rules: a FileGuard is a plain value owned by one database handle;
// the list of guard descriptors that the fork handler reads is kept under a
// mutex of its own, which the handler takes across fork().
#ifndef ORVI_STORAGE_FILE_GUARD_H_
#define ORVI_STORAGE_FILE_GUARD_H_

#include <sys/types.h>

#include <compare>
#include <memory>
#include <string>

#include "error/result.h"

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

  FileGuard(FileGuard&&) noexcept;
  FileGuard& operator=(FileGuard&&) noexcept;
  FileGuard(const FileGuard&) = delete;
  FileGuard& operator=(const FileGuard&) = delete;
  // Closes the descriptor, which releases the lock.
  ~FileGuard();

  // Takes the exclusive lock without waiting: false when another open of
  // the file holds it, in this process or another. A file system that
  // cannot lock files counts as taken (see above). Io for other failures.
  Result<bool> try_lock();

  const FileId& id() const { return id_; }

  // Holds the descriptor (defined in file_guard.cpp).
  struct Cell;

 private:
  FileGuard(std::unique_ptr<Cell> cell, FileId id);
  void close();

  // The descriptor lives in a cell of its own, listed for the fork handler,
  // so that moving a guard does not move what the handler sees.
  std::unique_ptr<Cell> cell_;
  FileId id_;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_FILE_GUARD_H_

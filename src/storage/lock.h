// WriterLock: the cross-process guard that lets one process at a time hold
// a database file open.
//
// The lock is a directory beside the database file, named by appending
// ".lock" to the database path, created with mkdir (mode 0777 before the
// umask, never recursively). Of several processes calling mkdir at once
// exactly one succeeds; that process owns the file until the directory is
// removed. The owner describes itself in `owner.json` inside the directory:
//
//   {
//     "pid": <owner process id, decimal>,
//     "created_at_unix_ms": <creation time, ms since the Unix epoch>,
//     "path": "<database path as an escaped JSON string>"
//   }
//
// followed by a line feed. Only the pid is ever read back. A directory whose
// owner.json is missing, empty, not UTF-8 or has no parsable pid is treated
// as held (its writer may be between mkdir and writing the file) and is
// never reclaimed automatically.
//
// Stale locks. A lock whose owner died is reclaimed: the reclaimer renames
// the directory to a name of its own (the lock directory plus
// ".reap.<pid>.<ms>"), removes it, and tries mkdir again; at most four
// attempts are made and none waits.
//
// Reclaim safety. Judging a lock stale by its pid alone is not enough when
// several processes reclaim at once: a slow reclaimer could rename the
// fresh directory of the process that won the race, and two writers would
// hold one file. So every owner of this implementation also holds an
// exclusive flock(2) on its owner.json from before it writes the text until
// after its directory is gone, and a reclaimer
//   1. judges the lock stale only when the pid says so AND it can take that
//      same flock without waiting (failing that, the owner is live: the
//      lock is refused as held);
//   2. while holding the flock, checks that <lock dir>/owner.json is still
//      the very file it locked (device and inode) before renaming: a file
//      it locked after another reclaimer removed its directory no longer
//      sits at the lock name, and the attempt is counted and retried;
//   3. after renaming, checks the renamed directory's owner.json the same
//      way and only then removes it; on a mismatch (possible only when a
//      process outside this implementation renames lock directories) it
//      puts the directory back without replacing anything that took the
//      name meanwhile (RENAME_NOREPLACE).
// Invariant: while a flock on the owner.json at the lock name is held, only
// its holder moves or removes the lock directory. A live owner holds it for
// its whole life, so no process of ours can displace a live lock. The
// on-disk layout, names and texts are unchanged, so processes that follow
// the plain mkdir/rename protocol still interoperate.
//
// Thread rules: a WriterLock is a plain value owned by one database handle.
// Opens within one process are serialised by the caller (the registry of
// open files); acquire itself keeps no shared state.
#ifndef ORVI_STORAGE_LOCK_H_
#define ORVI_STORAGE_LOCK_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "error/result.h"
#include "storage/file.h"

namespace orvi {

class WriterLock {
 public:
  // Takes the lock for the database at `db_path` (the canonical absolute
  // path, so one file has one lock name). Fails with AlreadyOpen when a
  // live process (this one included) holds it or when four attempts did not
  // get it, and with Io for file-system failures (a missing parent
  // directory, for one).
  static Result<WriterLock> acquire(const std::string& db_path);

  WriterLock(WriterLock&& other) noexcept;
  WriterLock& operator=(WriterLock&& other) noexcept;
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  // Releases the lock (see release()).
  ~WriterLock();

  // Removes the lock directory with its contents, then drops the flock.
  // Never fails: a removal failure is reported as one warning line on
  // standard error. Does nothing on a released or moved-from lock. In a
  // child made by fork() the copy of the lock only closes its descriptor:
  // the directory belongs to the process that acquired it, which still
  // holds it.
  void release();

  // The lock directory; empty once released or moved from.
  const std::string& dir() const { return dir_; }

 private:
  WriterLock(std::string dir, UniqueFd owner_fd, pid_t owner_pid)
      : dir_(std::move(dir)),
        owner_fd_(std::move(owner_fd)),
        owner_pid_(owner_pid) {}

  std::string dir_;
  // owner.json, flocked exclusively for the life of the lock.
  UniqueFd owner_fd_;
  // The process that acquired the lock.
  pid_t owner_pid_ = 0;
};

// The lock of a database as seen from outside, judged as acquire() judges
// it but without taking, reclaiming or changing anything.
struct WriterLockState {
  std::string dir;               // the lock directory
  bool present = false;          // the directory exists
  std::optional<uint32_t> pid;   // the owner named by owner.json
  std::optional<bool> alive;     // whether that owner runs; unknown without pid
};
WriterLockState inspect_writer_lock(const std::string& db_path);

// Removes `path`, which must be a directory (not a symbolic link to one),
// with everything below it. Entries that vanish meanwhile are not an error;
// a missing `path` is (Io, ENOENT). Symbolic links inside are removed, never
// followed.
Status remove_dir_all(const std::string& path);

// The owner.json text for the given pid, creation time and database path
// (path bytes that are not valid UTF-8 become U+FFFD).
std::string writer_lock_owner_text(uint32_t pid, uint64_t created_at_unix_ms,
                                   const std::string& db_path);

// The reclaim step, exposed so tests can stage the interleavings of racing
// reclaimers deterministically. `judged_fd` is an open descriptor of the
// owner.json that was judged stale and on which the caller holds an
// exclusive flock; `reap_dir` is the caller's reap name.
enum class ReclaimOutcome {
  // The judged directory was renamed to `reap_dir` and removed.
  kRemoved,
  // The lock name no longer holds the judged directory; nothing was moved.
  kNotJudgedLock,
  // The rename caught a different directory. It was put back under the lock
  // name, or, if the name was taken meanwhile, left at `reap_dir` untouched.
  kPutBack,
};
Result<ReclaimOutcome> reclaim_judged_lock(const std::string& lock_dir,
                                           int judged_fd,
                                           const std::string& reap_dir);

}  // namespace orvi

#endif  // ORVI_STORAGE_LOCK_H_

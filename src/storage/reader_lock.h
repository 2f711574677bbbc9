// Readers beside the writer: the byte-range lock protocol that lets any
// number of read-only handles, in any processes, read a database file while
// one handle writes it.
//
// The coordination lives entirely outside the file's bytes. Locks are
// open-file-description locks (fcntl F_OFD_SETLK/F_OFD_SETLKW): they belong
// to the open file description, so two handles in one process conflict as
// two processes do, closing some other descriptor of the file drops nothing,
// and a process that dies drops its locks with its descriptors. They are
// taken on three bytes far beyond anything the file will ever hold (the
// format caps offsets long before 2^62); nothing reads or writes there, and
// the file keeps its format.
//
//   kMarkByte     a writer of this build holds a shared lock here for the
//                 life of its handle (from before it creates the lock
//                 directory until after it removed it).
//   kPendingByte  a writer takes it exclusively first when it wants to
//                 write; a reader takes it shared only on its way in.
//   kSharedByte   a reader holds it shared while it reads; a writer holds
//                 it exclusively while it writes.
//
// Reader, per call (or per snapshot block):
//   R1. Lock [kPendingByte, kSharedByte] shared, waiting (one call), then
//       unlock kPendingByte (one call). A writer that holds or waits for
//       the pending byte keeps new readers out, so a steady stream of
//       readers cannot starve a commit: the writer only waits for the
//       readers already in.
//   R2. stat() the path: a different device/inode than the reader's
//       descriptor means the file was replaced (vacuum, an import): leave,
//       reopen the path, start again. The old inode is never written again,
//       so whatever was read from it was a committed state.
//   R3. Ask whether the writer mark is held (F_OFD_GETLK, one call). If it
//       is not, and the lock directory exists with a live owner, the file
//       is held by a writer that takes no reader locks (an older build):
//       leave and refuse.
//   R4. Read the header, then pages, never at or past the length that R2
//       reported: that length cannot shrink while the shared lock is held
//       (every cut happens under the writer's exclusive lock), and a
//       mapping touched past a truncated end is SIGBUS. A non-zero log
//       length in the header means a writer died or failed inside its
//       window: the log is judged exactly as an open judges it and applied
//       in the reader's memory only.
//   R5. Unlock kSharedByte (one call).
// A call therefore costs five system calls (six when no writer holds the
// file: R3 also looks for the lock directory), plus an mmap when the file
// grew past the reader's mapping.
//
// Writer, for every write to page 0 or to home pages and every change of
// the file's length (the header that names the log through the header that
// clears it, a header-only commit, finishing a logged commit at open or
// rollback, clear's cut, the cut before an extent is handed out):
//   W1. Lock kPendingByte exclusively, waiting.
//   W2. Break the snapshots of this file held in this process (below).
//   W3. Lock kSharedByte exclusively, waiting for the readers already in.
//   W4. Write, flush.
//   W5. Unlock both bytes.
// The log itself is written before W1: readers ignore the log area unless
// the header under their lock names it, and a header names a log only
// inside a window (or after a writer died in one). So a reader waits for at
// most one window (three flushes), never for a whole transaction. Vacuum's
// replace needs no window: the rename changes no byte of the old inode, and
// the rebuilt file is marked before it takes the name.
//
// Staleness. A reader keeps no page view across calls: every call reads
// the header and the extent chains again under its lock (from the shared
// mapping, no system call) and builds its page view anew. So a commit,
// clear() (ids restart, and a refill may reach the same counters), a repair
// (slots change, the header does not) can never leave it with a stale page,
// and a replaced file is caught by R2's identity check (the reader then
// forgets everything it kept of the old file). A snapshot keeps its view,
// and it holds the shared lock throughout, so nothing it holds can change.
//
// The label epoch. What a reader does keep is its label index (label to
// node ids), extended on each call by the ids from the last indexed
// next_node_id up. That is sound as long as no id below it changed its
// labels: commits only add nodes at higher ids, delete nodes (a stale id is
// read again and dropped) and change properties; vacuum keeps ids and
// labels and repair rewrites adjacency only. clear() alone lets ids start
// again. So clear() gives the file a new epoch, a random non-zero 64-bit
// value in the extended attribute kEpochAttribute, set inside its window
// before anything is written, and a clear() whose attribute cannot be set
// fails before it writes. A file never cleared has no attribute (epoch 0).
// The reader reads the epoch under its shared lock, with the header it
// indexes against (one fgetxattr, only for a query by label), and rebuilds
// its index when the epoch differs from the one it indexed under or when
// the file system keeps no user attributes (tmpfs before Linux 6.6, some
// overlays: every labelled query then builds the index anew). A writer
// that dies after setting the epoch costs a rebuild, nothing else. This
// rests on every change of the file coming from a writer of this build;
// a writer of an older build is refused above, and a file rewritten in
// place by other programs is outside the protocol altogether.
//
// Same process. Locks of two descriptions conflict in one process too, so
// a commit would wait for ever on a snapshot open in its own process (the
// interpreter lock is held through every call; the snapshot's owner cannot
// run until the commit returns). Instead W2 breaks them: every snapshot
// registers itself here, keyed by the file's identity, with a breaker that
// unlocks its shared byte and marks it broken; its next call fails. The
// registry used is the writer module's: a reader in another extension
// module registers through the interface the writer module exports.
// Snapshots in other processes are waited for; two processes each inside a
// snapshot of the file that the other commits wait for ever.
//
// Who is not trusted. Network file systems emulate flock with byte-range
// locks or lose them across server restarts: readers are allowed on local
// file systems only (refused with a clear message elsewhere), and a file
// system that refuses OFD locks refuses readers as well.
//
// fork(). Every descriptor here is a ForkClosedFd: a child does not keep
// its parent's locks, its readers fail as inherited, and an inherited gate
// takes no locks (the child's commits are the parent's handle misused).
//
// Thread rules: a WriterGate belongs to one database handle and a ReadLock
// to one reader, each used under its owner's lock; the snapshot registry
// has a mutex of its own.
#ifndef ORVI_STORAGE_READER_LOCK_H_
#define ORVI_STORAGE_READER_LOCK_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "error/result.h"
#include "storage/file_guard.h"
#include "storage/fork_fd.h"

namespace orvi {

inline constexpr off_t kLockBase = off_t{1} << 62;
inline constexpr off_t kMarkByte = kLockBase;
inline constexpr off_t kPendingByte = kLockBase + 1;
inline constexpr off_t kSharedByte = kLockBase + 2;
inline constexpr char kEpochAttribute[] = "user.orvi.epoch";

// The writer's side, shared by the database handle and its pager.
class WriterGate {
 public:
  // Opens the existing file at `path` read-write and takes the writer mark.
  // Io when the file cannot be opened; a file system without OFD locks
  // gives a gate that takes no locks (no reader can open such a file).
  static Result<std::shared_ptr<WriterGate>> open(const std::string& path);

  WriterGate(const WriterGate&) = delete;
  WriterGate& operator=(const WriterGate&) = delete;

  // W1-W3. Windows nest: only the outermost enter() locks and only its
  // leave() unlocks. Io when a lock fails; nothing is held then.
  Status enter();
  void leave();
  // Gives the file a new label epoch; call inside a window. Ok also when
  // there is no reader to tell (no locks) or the file system keeps no user
  // attributes (its readers then keep no index); Io when it could not be
  // set.
  Status renew_epoch();

  const FileId& id() const { return id_; }

 private:
  WriterGate(ForkClosedFd fd, FileId id, bool locks)
      : fd_(std::move(fd)), id_(id), locks_(locks) {}

  ForkClosedFd fd_;
  FileId id_;
  bool locks_;
  int depth_ = 0;
};

// A window held for a scope; `gate` may be null (memory stores, files
// without readers' locks).
class GateWindow {
 public:
  explicit GateWindow(WriterGate* gate) : gate_(gate) {}
  GateWindow(const GateWindow&) = delete;
  GateWindow& operator=(const GateWindow&) = delete;
  ~GateWindow() {
    if (entered_) gate_->leave();
  }
  Status enter() {
    if (gate_ == nullptr || entered_) return Ok();
    ORVI_TRY(gate_->enter());
    entered_ = true;
    return Ok();
  }

 private:
  WriterGate* gate_;
  bool entered_ = false;
};

// The reader's side: one descriptor of the file, read-only.
class ReadLock {
 public:
  // Opens the existing regular file at `path` read-only (never creating
  // it). Refuses, with Io and a message that says why, a file on a network
  // file system and a file system that gives no OFD locks.
  static Result<ReadLock> open(const std::string& path);

  ReadLock(ReadLock&&) noexcept = default;
  ReadLock& operator=(ReadLock&&) noexcept = default;

  // R1, waiting for a writer's window.
  Status lock_shared();
  // R5; does nothing when nothing is held.
  void unlock_shared();
  // R3's first half: whether a writer of this build holds the mark.
  Result<bool> writer_marked() const;
  // The file's label epoch (0 when it has none); nullopt when it cannot be
  // known (no user attributes here, or a value this build did not write).
  std::optional<uint64_t> epoch() const;

  int fd() const { return fd_.get(); }
  bool inherited() const { return fd_.inherited(); }
  const FileId& id() const { return id_; }
  // The file's length, as fstat reports it now.
  Result<uint64_t> length() const;

 private:
  ReadLock(ForkClosedFd fd, FileId id) : fd_(std::move(fd)), id_(id) {}

  ForkClosedFd fd_;
  FileId id_;
};

// An Io error for `path` that names it and says what errno means.
OrviError path_error(int err, const std::string& path);

// The in-process registry of open snapshots (see "Same process" above).
using SnapshotBreaker = void (*)(void* context);
// Returns a token for unregister_snapshot (never 0).
uint64_t register_snapshot(const FileId& id, SnapshotBreaker breaker,
                           void* context);
void unregister_snapshot(uint64_t token);
// Calls the breaker of every snapshot of `id` and forgets them.
void break_snapshots(const FileId& id);

// Hooks through which a module that does not own the registry (a second
// extension module linked with its own copy of this code) reaches the
// owner's registry instead of its own. Unset, the local registry serves.
struct SnapshotRegistryHooks {
  uint64_t (*register_snapshot)(uint64_t dev, uint64_t ino,
                                SnapshotBreaker breaker, void* context);
  void (*unregister_snapshot)(uint64_t token);
};
void set_snapshot_registry_hooks(const SnapshotRegistryHooks& hooks);

}  // namespace orvi

#endif  // ORVI_STORAGE_READER_LOCK_H_

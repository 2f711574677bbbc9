// Readers beside the writer: the byte-range lock protocol that lets any
// number of read-only handles, in any processes, read a database file while
// one handle writes it.
//
// The coordination lives entirely outside the file's bytes. Locks are
// open-file-description locks (fcntl F_OFD_SETLK/F_OFD_SETLKW): they belong
// to the open file description, so two handles in one process conflict as
// two processes do, closing some other descriptor of the file drops nothing,
// and a process that dies drops its locks with its descriptors. They are
// taken on four bytes far beyond anything the file will ever hold (the
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
//   kCountsByte   a writer that bumps the change counter (below) holds a
//                 shared lock here for as long as it does.
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
// A slow call therefore costs five system calls (six when no writer holds
// the file, as R3 also looks for the lock directory; six as well when the
// writer holds it, as R3 then asks for kCountsByte), plus an mmap when the
// file grew past the reader's mapping and one stat of FILE-readers once
// per kTrustNanos. A fast call (below) costs none.
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
// The change counter. FILE-readers, beside the database file (not in it,
// not in the lock directory), holds a 64-bit generation, mapped shared by
// the writer and read-only by readers. A writer of this build creates it
// at open when it can (under its writer lock, so never two at once; it is
// left in place at close, for the next writer and the readers mapping
// it). The writer bumps it once in every window, after W3 and before it
// writes anything; once after another file took the name (vacuum right
// after its rename, an import once its writer closed); once when it takes
// the counter at open; and once when its handle closes, after the mark is
// dropped. So while the counter holds one value, no window began and the
// name kept its file since. Within a window it cannot move while a reader
// holds the shared byte; the other bumps may come at any time, and cost
// readers no more than one slow call.
//
// The fast path. A reader keeps the page view of its last read (the
// pager with its header and chains, and any commit replayed from a log)
// and PRIVATE copies of the pages it read, up to 64 MiB (dropped whole
// when full), tagged with the generation it loaded under its lock. A
// call first loads the generation (acquire; no system call):
//   F1. Equal to the tag, and the tag younger than kTrustNanos
//       (CLOCK_MONOTONIC, read without a system call): the call is served
//       from the copies with no lock at all. Nothing began since the copies
//       were taken, so they are the newest committed state: a commit that
//       returned before the call began bumped the counter before it
//       wrote, and the load sees that (its bump came first).
//   F2. A page not among the copies: the reader takes the shared lock
//       (R1) for the rest of the call and loads the generation again.
//       Equal: no window began, none can begin now, the file's pages are
//       still the tagged state and its length at least the one seen, so
//       the page is copied from the mapping. Moved: the call is dropped
//       and run again on the slow path below.
//   F3. Anything else: the slow path, R1 to R5, with two more steps. The
//       generation is loaded in R1, before R2's stat(): a rename's bump
//       follows the rename, so a reader that loads the bumped value also
//       sees the new file, and one that loads the old value sees the
//       bump at its next call. R3 also asks whether the marked writer holds
//       kCountsByte; a writer that does not bump (it could not open the
//       counter) leaves the reader on the slow path for every call. When
//       the trust limit alone sent the call here, and the counter, the
//       file's length and its modification time are what the view was
//       tagged with, the view and its copies are kept and trusted anew;
//       otherwise they start afresh, taken from the mapping under the
//       lock.
// The shared mapping of the database file is never read without the lock:
// a torn page, or SIGBUS past a cut end.
//
// Who the counter cannot speak for. A writer of an older build neither
// bumps nor marks; R3 refuses the file while its lock directory lives,
// and the trust limit bounds the rest: a reader serves from copies for at
// most kTrustNanos (5 ms) after its last locked look, which keeps them
// only if the file's modification time and length did not move (every
// write moves the time, to the kernel's clock tick: a write landing in
// the very tick of the previous one could pass unseen). So such a writer
// can see this reader answer from a state up to 5 ms old, or, in that
// one corner, older; nothing is written, and the file is no worse off
// than beside a slow-path reader (which that writer does not heed
// either). The same bound covers FILE-readers deleted and made anew while
// mapped: once per kTrustNanos the reader checks that the name still
// gives the file it mapped (one stat), else drops its view and maps the
// new one. With no counter (missing, foreign, on a read-only directory)
// every call is a slow call, and the reader looks for the counter again
// once per kTrustNanos. The counter file is only ever written by atomic
// increments; cutting it short while mapped (SIGBUS) is outside the
// protocol, as writing the database file by other programs is.
//
// Staleness. A view outlives its read only under a tag of the counter. A
// commit, clear() (ids restart, and a refill may reach the same counters)
// or a repair (slots change, the header does not) is a window, which moves
// the counter, so the next call builds its view anew from the header and
// the extent chains read under its lock and never keeps a stale page. A replaced file
// is caught by R2's identity check (the reader then forgets everything it
// kept of the old file). A snapshot holds the shared lock throughout, so
// nothing it holds can change.
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
// overlays: the first labelled query under each new tag of the counter
// then builds the index anew). An index
// brought up to date under the current tag of the counter needs neither
// the attribute nor a look at new ids, so the fast path's labelled
// queries read no attribute; otherwise the attribute is read with the lock
// held (taken as for a page miss, the counter checked). A writer
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
inline constexpr off_t kCountsByte = kLockBase + 3;
inline constexpr char kEpochAttribute[] = "user.orvi.epoch";
inline constexpr char kCounterSuffix[] = "-readers";
// How long a reader serves from its copies without a locked look at the
// file (see "The fast path").
inline constexpr int64_t kTrustNanos = 5'000'000;

// The change counter of a database file: FILE-readers beside it, mapped
// shared. Layout (one page, native byte order, as it is only ever read
// on the machine that wrote it):
//    0  u64 generation, changed only by atomic increments
//    8  "orvi-readers" + 4 zero bytes
//   24  zeros up to 4096
class ChangeCounter {
 public:
  // The writer's: opens FILE-readers, creating it when missing (under the
  // writer lock, so no two writers make it at once). Null when it cannot
  // be opened, made or mapped, or holds something else: the writer then
  // works without it, and says so to readers through kCountsByte.
  static std::shared_ptr<ChangeCounter> open_for_writer(
      const std::string& db_path);
  // A reader's: the existing counter mapped read-only; null when it is
  // missing, not yet whole, foreign or cannot be mapped.
  static std::unique_ptr<ChangeCounter> open_for_reader(
      const std::string& db_path);
  // Bumps the counter of `db_path` if it has one, for a writer that put
  // another file at that name: readers then look at the name again.
  static void note_replaced(const std::string& db_path);

  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;
  ~ChangeCounter();

  uint64_t load() const { return __atomic_load_n(word_, __ATOMIC_ACQUIRE); }
  void bump() {
    if (writable_) __atomic_fetch_add(word_, 1, __ATOMIC_SEQ_CST);
  }
  // Whether FILE-readers still names the file mapped here (one stat).
  bool still_named(const std::string& db_path) const;

 private:
  static std::unique_ptr<ChangeCounter> open_mapped(const std::string& db_path,
                                                    bool writable, bool create);
  ChangeCounter(void* map, FileId id, bool writable)
      : word_(static_cast<uint64_t*>(map)), id_(id), writable_(writable) {}

  uint64_t* word_;
  FileId id_;
  bool writable_;
};

// The writer's side, shared by the database handle and its pager.
class WriterGate {
 public:
  // Opens the existing file at `path` read-write and takes the writer mark.
  // Io when the file cannot be opened; a file system without OFD locks
  // gives a gate that takes no locks (no reader can open such a file).
  static Result<std::shared_ptr<WriterGate>> open(const std::string& path);

  WriterGate(const WriterGate&) = delete;
  WriterGate& operator=(const WriterGate&) = delete;

  // Bumps the counter (when it has one) once the mark is gone, so that
  // readers look again at who may write the file.
  ~WriterGate();

  // Gives the gate the file's change counter, bumped in every window, and
  // tells readers so (kCountsByte). Null leaves it without one.
  void set_counter(std::shared_ptr<ChangeCounter> counter);
  const std::shared_ptr<ChangeCounter>& counter() const { return counter_; }
  // Bumps the counter after another file took the database's name.
  void note_replaced() {
    if (counter_) counter_->bump();
  }

  // W1-W3, and the counter's bump. Windows nest: only the outermost enter()
  // locks and only its leave() unlocks. Io when a lock fails; nothing is
  // held then.
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
  std::shared_ptr<ChangeCounter> counter_;
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
  // Whether the writer that holds the mark bumps the change counter.
  Result<bool> writer_counts() const;
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

// FileReader: a read-only handle on a database file that a writer (of
// this build, in this process or another) may hold at the same time.
//
// It follows the reader's side of storage/reader_lock.h. A slow begin()
// takes the shared lock, checks the file's identity and the writer mark,
// and builds a page view of the committed state (a commit left pending by
// a writer that died is replayed into memory only). When the file has a
// change counter that the writer (if any) bumps, the view is kept after
// end(), over private copies of the pages it read, tagged with the
// counter's value; a later begin() that finds the counter unmoved (and the
// tag young) serves from it without any system call, and takes the lock
// only for a page it has no copy of. A read that finds the counter moved
// on such a page is dropped (end() says so) and run again on the slow
// path. The label index is kept across reads, extended by the nodes added
// since and rebuilt when the file's label epoch changed or the file was
// replaced, so no commit, clear, repair or replace can leave it stale.
// It never writes the file, never creates or touches the lock directory,
// and is not in the registry of open writers.
//
// A snapshot keeps one begin() across several reads, with the lock held.
// It is registered in the process's snapshot registry, so a writer of the
// same file in this process breaks it (releases its lock) instead of
// waiting for it; reads in a broken snapshot fail until it ends.
//
// Not thread-safe: the Python Reader calls it under the interpreter lock.
#ifndef ORVI_DB_READER_H_
#define ORVI_DB_READER_H_

#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "error/result.h"
#include "graph/index.h"
#include "storage/file.h"
#include "storage/pager.h"
#include "storage/reader_lock.h"

namespace orvi {

class PageCopies;

class FileReader {
 public:
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader();

  // Opens an existing database file: Io when it is missing, not a regular
  // file or on a file system that cannot take part; the file is read
  // once under the lock, so a file that is no database fails here as the
  // first read would (CorruptedFile). `trust_nanos`: how long the fast
  // path serves from a view without a locked look at the file (tests
  // lengthen it, so that only the change counter can end a view).
  static Result<std::unique_ptr<FileReader>> open(
      const std::string& path, int64_t trust_nanos = kTrustNanos);

  // Begins a read and returns the pager of the committed state, valid
  // until end(). Inside a snapshot it returns the snapshot's pager, or the
  // snapshot's error once it was broken.
  Result<Pager*> begin();
  // Ends a read begun by begin() (inside a snapshot: nothing). True when
  // the file changed under the read: whatever it gave (a result or an
  // error) is to be dropped and the read run again; the next begin() holds
  // the lock from the start, so that one cannot be dropped.
  bool end();

  // A snapshot: one state for every read until end_snapshot(). Refused
  // while one is open.
  Status begin_snapshot();
  void end_snapshot();
  bool in_snapshot() const { return snapshot_token_ != 0 || broken_; }

  // Writes the committed state to a new file at `dest` (replacing it in
  // one step once whole and durable), page by page under one read: a
  // writer's commits wait for the copy, its transactions do not. A commit
  // left pending by a writer that died is applied in the copy, so the copy
  // opens without recovery.
  Status backup(const std::string& dest);

  // The label index of the current read's state, valid until the next
  // call; `pager` is the one begin() returned.
  Result<const LabelIndex*> label_index(Pager& pager);

  // The file's length seen by the current read.
  uint64_t length() const { return length_; }
  const std::string& path() const { return path_; }

 private:
  FileReader(std::string path, std::string canonical, int64_t trust_nanos);

  class ViewStorage;

  // Opens (again) the file at path_: its lock descriptor and its storage,
  // which must be the same file.
  Status reopen();
  // The slow path: a new view under the lock, kept past the read when
  // `keep` and the counter can vouch for it.
  Status enter(bool keep);
  // Drops the lock (inside a snapshot too) and, unless it may be kept, the
  // view.
  void leave();
  void drop_view();
  // begin() for a read that holds the lock throughout and keeps nothing.
  Result<Pager*> begin_locked();
  // Maps the change counter, or checks that its name still gives the
  // mapped file; at most once per trust_nanos_.
  void refresh_counter(int64_t now);
  // The page at `offset` of the view: a copy, or (lock held) the file's
  // mapping, copied when the view is kept. Null when the counter moved
  // (stale_), or when the file has no mapping here.
  const Page* view_page(uint64_t offset);
  Status read_view_page(uint64_t offset, Page& out);
  // Makes sure the lock is held for a page the copies lack; false (and
  // stale_) when the counter moved since the view was tagged.
  bool hold_lock();
  OrviError inherited_error() const;
  static void break_snapshot(void* context);

  std::string path_;
  std::string canonical_;  // names the lock directory and the counter
  int64_t trust_nanos_;
  std::optional<ReadLock> lock_;
  std::unique_ptr<FileStorage> file_;
  std::unique_ptr<ChangeCounter> counter_;  // null: every read is slow
  int64_t counter_checked_ = INT64_MIN / 2;  // CLOCK_MONOTONIC ns
  // The view: during a read, and between reads while kept_.
  std::unique_ptr<Pager> pager_;
  std::unique_ptr<PageCopies> copies_;
  bool kept_ = false;
  uint64_t view_gen_ = 0;
  int64_t view_until_ = 0;  // the fast path trusts the view until then
  bool locked_ = false;     // the shared lock is held
  bool stale_ = false;      // the counter moved under the read
  uint64_t length_ = 0;
  struct timespec view_mtime_ = {};
  // The label index, the next_node_id it covers up to and the label epoch
  // it was built under (nullopt: none to trust).
  LabelIndex labels_;
  uint64_t labels_next_ = 0;
  std::optional<uint64_t> labels_epoch_;
  // The view generation the index was last brought up to date under.
  std::optional<uint64_t> labels_gen_;
  uint64_t snapshot_token_ = 0;
  bool broken_ = false;
};

}  // namespace orvi

#endif  // ORVI_DB_READER_H_

// FileReader: a read-only handle on a database file that a writer (of
// this build, in this process or another) may hold at the same time.
//
// It follows the reader's side of storage/reader_lock.h: begin() takes the
// shared lock, checks the file's identity and the writer mark, and builds
// a pager over the committed state (a commit left pending by a writer that
// died is replayed into memory only); end() drops that pager and the lock.
// Nothing is kept from one begin() to the next except the descriptors, the
// mapping and the label index, which is extended by the nodes added since
// and rebuilt when the file's label epoch changed or the file was replaced
// (storage/reader_lock.h), so no commit, clear, repair or replace can leave
// it stale.
// It never writes the file, never creates or touches the lock directory,
// and is not in the registry of open writers.
//
// A snapshot keeps one begin() across several reads. It is registered in
// the process's snapshot registry, so a writer of the same file in this
// process breaks it (releases its lock) instead of waiting for it; reads
// in a broken snapshot fail until it ends.
//
// Not thread-safe: the Python Reader calls it under the interpreter lock.
#ifndef ORVI_DB_READER_H_
#define ORVI_DB_READER_H_

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

class FileReader {
 public:
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader();

  // Opens an existing database file: Io when it is missing, not a regular
  // file or on a file system that cannot take part; the file is read
  // once under the lock, so a file that is no database fails here as the
  // first read would (CorruptedFile).
  static Result<std::unique_ptr<FileReader>> open(const std::string& path);

  // Begins a read and returns the pager of the committed state, valid
  // until end(). Inside a snapshot it returns the snapshot's pager, or the
  // snapshot's error once it was broken.
  Result<Pager*> begin();
  // Ends a read begun by begin() (inside a snapshot: nothing).
  void end();

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
  FileReader(std::string path, std::string canonical)
      : path_(std::move(path)), canonical_(std::move(canonical)) {}

  // Opens (again) the file at path_: its lock descriptor and its storage,
  // which must be the same file.
  Status reopen();
  Status enter();
  void leave();
  OrviError inherited_error() const;
  static void break_snapshot(void* context);

  std::string path_;
  std::string canonical_;  // names the lock directory
  std::optional<ReadLock> lock_;
  std::unique_ptr<FileStorage> file_;
  std::unique_ptr<Pager> pager_;  // while a read is in progress
  uint64_t length_ = 0;
  // The label index, the next_node_id it covers up to and the label epoch
  // it was built under (nullopt: none to trust).
  LabelIndex labels_;
  uint64_t labels_next_ = 0;
  std::optional<uint64_t> labels_epoch_;
  uint64_t snapshot_token_ = 0;
  bool broken_ = false;
};

}  // namespace orvi

#endif  // ORVI_DB_READER_H_

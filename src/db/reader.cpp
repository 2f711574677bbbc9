#include "db/reader.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "storage/atomic_rename.h"
#include "storage/lock.h"

namespace orvi {

namespace {

// The reader's long-lived file seen by one read's pager, which owns its
// storage: reads go through, writes are refused (the overlay above it
// keeps a replayed log in memory).
class BorrowedStorage final : public Storage {
 public:
  explicit BorrowedStorage(FileStorage& file) : file_(file) {}
  Status read_page(uint64_t offset, Page& out) override {
    return file_.read_page(offset, out);
  }
  // From the mapping when the header page is whole: no system call.
  Status read_head(uint8_t* out, size_t len) override {
    if (const Page* page = file_.map_page(0)) {
      std::memcpy(out, page->data(), std::min<size_t>(len, kPageSize));
      return Ok();
    }
    return file_.read_head(out, len);
  }
  Status write_page(uint64_t, const Page&) override {
    return OrviError::io_errno(EROFS);
  }
  Status flush() override { return Ok(); }
  uint64_t file_size() const override { return file_.file_size(); }
  Status set_len(uint64_t) override { return OrviError::io_errno(EROFS); }
  bool is_memory() const override { return false; }
  const Page* map_page(uint64_t offset) override {
    return file_.map_page(offset);
  }

 private:
  FileStorage& file_;
};

// A read attempt that found the path naming another file retries at most
// this often (each retry follows a replace that happened meanwhile).
constexpr int kReplaceRetries = 16;

}  // namespace

FileReader::~FileReader() {
  if (snapshot_token_ != 0) unregister_snapshot(snapshot_token_);
  leave();
}

Result<std::unique_ptr<FileReader>> FileReader::open(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) {
    return path_error(errno, path);
  }
  std::unique_ptr<FileReader> reader(new FileReader(path, real));
  ORVI_TRY(reader->reopen());
  // One read now, so that a file that is no database is refused here.
  auto first = reader->begin();
  if (!first) return first.error();
  reader->end();
  return reader;
}

Status FileReader::reopen() {
  auto lock = ReadLock::open(path_);
  if (!lock) return lock.error();
  // The pages are read through a description of their own, which holds no
  // lock: a child that inherits it keeps no reader's lock alive.
  int fd;
  do {
    fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return path_error(errno, path_);
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return path_error(errno, path_);
  // The name may have been given to another file between the two opens;
  // the next read then finds the lock's file replaced and reopens.
  if (FileId{st.st_dev, st.st_ino} != lock->id()) {
    return OrviError::io_message(path_ + ": the file was replaced while it "
                                          "was being opened; try again");
  }
  lock_.emplace(std::move(*lock));
  labels_epoch_.reset();  // another file: its index starts afresh
  file_ = std::make_unique<FileStorage>(std::move(owned),
                                        static_cast<uint64_t>(st.st_size));
  return Ok();
}

Result<const LabelIndex*> FileReader::label_index(Pager& pager) {
  const std::optional<uint64_t> epoch = lock_->epoch();
  const uint64_t next = pager.header().next_node_id;
  if (!epoch || epoch != labels_epoch_ || next < labels_next_) {
    labels_epoch_.reset();
    auto built = LabelIndex::build(pager);
    if (!built) return built.error();
    labels_ = std::move(*built);
  } else {
    // Only new nodes since: ids below labels_next_ kept their labels.
    Node node;
    for (uint64_t id = labels_next_; id < next; ++id) {
      auto found = read_node(pager, id, node);
      if (!found) {
        labels_epoch_.reset();  // half extended: rebuilt next time
        return found.error();
      }
      if (*found) labels_.insert(node);
    }
  }
  labels_next_ = next;
  labels_epoch_ = epoch;
  return &labels_;
}

OrviError FileReader::inherited_error() const {
  return OrviError::io_message(path_ +
                               ": this reader was opened by the parent "
                               "process before fork(); open a new reader in "
                               "this process");
}

Status FileReader::enter() {
  if (lock_ && lock_->inherited()) return inherited_error();
  for (int attempt = 0; attempt < kReplaceRetries; ++attempt) {
    ORVI_TRY(lock_->lock_shared());
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
      const int err = errno;
      lock_->unlock_shared();
      return path_error(err, path_);
    }
    if (FileId{st.st_dev, st.st_ino} != lock_->id()) {
      lock_->unlock_shared();
      ORVI_TRY(reopen());
      continue;
    }
    auto marked = lock_->writer_marked();
    if (!marked) {
      lock_->unlock_shared();
      return marked.error();
    }
    if (!*marked) {
      const WriterLockState state = inspect_writer_lock(canonical_);
      if (state.present && state.alive != false) {
        lock_->unlock_shared();
        std::string owner =
            state.pid ? "process " + std::to_string(*state.pid) : "a process";
        return OrviError::io_message(
            path_ + ": " + owner +
            " holds this file open for writing without letting readers in "
            "(an older build of orvi); readers can open it once that writer "
            "closes (lock directory: " + state.dir + ")");
      }
    }
    length_ = static_cast<uint64_t>(st.st_size);
    // The storage's own length and mapping must not stand for a file that
    // may have been cut since: only the length seen now is read.
    file_->observe_len(length_);
    auto opened =
        Pager::open_read_only(std::make_unique<BorrowedStorage>(*file_), true);
    if (!opened || opened->log_error) {
      lock_->unlock_shared();
      if (!opened) return opened.error();
      return *opened->log_error;
    }
    pager_ = std::move(opened->pager);
    return Ok();
  }
  return OrviError::io_message(path_ + ": the file keeps being replaced");
}

void FileReader::leave() {
  if (!pager_) return;
  pager_.reset();
  lock_->unlock_shared();
}

Result<Pager*> FileReader::begin() {
  if (lock_ && lock_->inherited()) return inherited_error();
  if (broken_) {
    return OrviError::transaction_failed(
        "the snapshot was invalidated: this process changed the database "
        "file while the snapshot was open; leave the snapshot block and "
        "start a new one");
  }
  if (snapshot_token_ != 0) return pager_.get();
  ORVI_TRY(enter());
  return pager_.get();
}

void FileReader::end() {
  if (snapshot_token_ == 0 && !broken_) leave();
}

Status FileReader::begin_snapshot() {
  if (in_snapshot()) {
    return OrviError::transaction_failed(
        "a snapshot is already open on this reader");
  }
  ORVI_TRY(enter());
  snapshot_token_ = register_snapshot(lock_->id(), &FileReader::break_snapshot,
                                      this);
  return Ok();
}

void FileReader::end_snapshot() {
  if (snapshot_token_ != 0) unregister_snapshot(snapshot_token_);
  snapshot_token_ = 0;
  broken_ = false;
  leave();
}

void FileReader::break_snapshot(void* context) {
  auto* self = static_cast<FileReader*>(context);
  self->snapshot_token_ = 0;
  self->broken_ = true;
  self->leave();
}

Status FileReader::backup(const std::string& dest) {
  auto pager = begin();
  if (!pager) return pager.error();
  struct Done {
    FileReader* reader;
    ~Done() { reader->end(); }
  } done{this};
  const std::string tmp = dest + ".tmp";
  int fd;
  do {
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return path_error(errno, tmp);
  UniqueFd out(fd);
  Status copied = [&]() -> Status {
    Storage& store = (*pager)->storage();
    const uint64_t len = store.file_size() / kPageSize * kPageSize;
    Page page;
    for (uint64_t off = 0; off < len; off += kPageSize) {
      const Page* image = store.map_page(off);
      if (image == nullptr) {
        ORVI_TRY(store.read_page(off, page));
        image = &page;
      }
      ORVI_TRY(pwrite_exact(fd, image->data(), kPageSize, off));
    }
    if (::fdatasync(fd) != 0) return path_error(errno, tmp);
    return out.close();
  }();
  if (copied) copied = atomic_replace(tmp, dest);
  if (!copied) ::unlink(tmp.c_str());
  return copied;
}

}  // namespace orvi

#include "db/reader.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "storage/atomic_rename.h"
#include "storage/lock.h"

namespace orvi {

// Private copies of the pages a kept view read, found by page number
// through a two-level table (every page access of a read looks here).
// Copies never move until clear(), so the pointers handed out stay valid
// for the view's life.
class PageCopies {
 public:
  // Whole when this many pages are held: 64 MiB.
  static constexpr size_t kLimit = 16384;

  const Page* find(uint64_t offset) const {
    const uint64_t page = offset / kPageSize;
    const uint64_t chunk = page >> kChunkBits;
    if (chunk >= chunks_.size() || !chunks_[chunk]) return nullptr;
    return (*chunks_[chunk])[page & kChunkMask].get();
  }
  const Page* add(uint64_t offset, const Page& image) {
    const uint64_t page = offset / kPageSize;
    const uint64_t chunk = page >> kChunkBits;
    if (chunk >= chunks_.size()) chunks_.resize(chunk + 1);
    if (!chunks_[chunk]) chunks_[chunk] = std::make_unique<Chunk>();
    auto& slot = (*chunks_[chunk])[page & kChunkMask];
    if (!slot) ++count_;
    slot = std::make_unique<Page>(image);
    return slot.get();
  }
  bool full() const { return count_ >= kLimit; }
  void clear() {
    chunks_.clear();
    count_ = 0;
  }

 private:
  static constexpr unsigned kChunkBits = 9;
  static constexpr uint64_t kChunkMask = (uint64_t{1} << kChunkBits) - 1;
  using Chunk = std::array<std::unique_ptr<Page>, size_t{1} << kChunkBits>;

  std::vector<std::unique_ptr<Chunk>> chunks_;
  size_t count_ = 0;
};

// The store a view's pager reads through (below the overlay that keeps a
// replayed log): the reader's copies, or its file under the lock. Writes
// are refused.
class FileReader::ViewStorage final : public Storage {
 public:
  explicit ViewStorage(FileReader& reader) : reader_(reader) {}
  Status read_page(uint64_t offset, Page& out) override {
    return reader_.read_view_page(offset, out);
  }
  Status read_head(uint8_t* out, size_t len) override {
    if (reader_.length_ >= kPageSize) {
      Page page;
      const Page* head = reader_.view_page(0);
      if (head == nullptr) {
        ORVI_TRY(read_page(0, page));
        head = &page;
      }
      std::memcpy(out, head->data(), std::min<size_t>(len, kPageSize));
      return Ok();
    }
    // A file shorter than a page is no database; it is read under the
    // lock of the slow path that opens it, never kept.
    if (!reader_.hold_lock()) return stale_error();
    return reader_.file_->read_head(out, len);
  }
  Status write_page(uint64_t, const Page&) override {
    return OrviError::io_errno(EROFS);
  }
  Status flush() override { return Ok(); }
  uint64_t file_size() const override { return reader_.length_; }
  Status set_len(uint64_t) override { return OrviError::io_errno(EROFS); }
  bool is_memory() const override { return false; }
  const Page* map_page(uint64_t offset) override {
    return reader_.view_page(offset);
  }

  // What a read gets for a page once the file changed under it; the read
  // is run again, so this never reaches a caller.
  static OrviError stale_error() {
    return OrviError::io_message("the file changed during the read");
  }

 private:
  FileReader& reader_;
};

namespace {

// A read attempt that found the path naming another file retries at most
// this often (each retry follows a replace that happened meanwhile).
constexpr int kReplaceRetries = 16;

int64_t monotonic_nanos() {
  struct timespec now = {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

FileReader::FileReader(std::string path, std::string canonical,
                       int64_t trust_nanos)
    : path_(std::move(path)),
      canonical_(std::move(canonical)),
      trust_nanos_(trust_nanos),
      copies_(std::make_unique<PageCopies>()) {}

FileReader::~FileReader() {
  if (snapshot_token_ != 0) unregister_snapshot(snapshot_token_);
  leave();
  drop_view();
}

Result<std::unique_ptr<FileReader>> FileReader::open(const std::string& path,
                                                     int64_t trust_nanos) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) {
    return path_error(errno, path);
  }
  std::unique_ptr<FileReader> reader(
      new FileReader(path, real, trust_nanos));
  ORVI_TRY(reader->reopen());
  // One read now, so that a file that is no database is refused here.
  auto first = reader->begin();
  if (!first) return first.error();
  reader->end();
  return reader;
}

Status FileReader::reopen() {
  drop_view();
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
  labels_gen_.reset();
  file_ = std::make_unique<FileStorage>(std::move(owned),
                                        static_cast<uint64_t>(st.st_size));
  return Ok();
}

Result<const LabelIndex*> FileReader::label_index(Pager& pager) {
  // Brought up to date under this very generation: nothing changed since.
  if (kept_ && labels_gen_ == view_gen_) return &labels_;
  labels_gen_.reset();
  // The epoch belongs with the pages it is judged against: read it with
  // the lock held and the generation checked, as for a page.
  if (!hold_lock()) return ViewStorage::stale_error();
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
  if (stale_) {
    // Built from pages that may be missing: rebuilt next time.
    labels_epoch_.reset();
    return ViewStorage::stale_error();
  }
  labels_next_ = next;
  labels_epoch_ = epoch;
  if (kept_) labels_gen_ = view_gen_;
  return &labels_;
}

OrviError FileReader::inherited_error() const {
  return OrviError::io_message(path_ +
                               ": this reader was opened by the parent "
                               "process before fork(); open a new reader in "
                               "this process");
}

void FileReader::refresh_counter(int64_t now) {
  if (now - counter_checked_ < trust_nanos_) return;
  counter_checked_ = now;
  if (counter_ && counter_->still_named(canonical_)) return;
  // A view tagged by another counter's value must not be compared with
  // this one's.
  drop_view();
  counter_ = ChangeCounter::open_for_reader(canonical_);
}

Status FileReader::enter(bool keep) {
  if (lock_ && lock_->inherited()) return inherited_error();
  if (!keep) drop_view();
  const int64_t now = monotonic_nanos();
  refresh_counter(now);
  for (int attempt = 0; attempt < kReplaceRetries; ++attempt) {
    ORVI_TRY(lock_->lock_shared());
    locked_ = true;
    // Before the stat: a rename's bump follows the rename.
    const uint64_t gen = counter_ ? counter_->load() : 0;
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) {
      const int err = errno;
      leave();
      return path_error(err, path_);
    }
    if (FileId{st.st_dev, st.st_ino} != lock_->id()) {
      leave();
      drop_view();
      ORVI_TRY(reopen());
      continue;
    }
    auto marked = lock_->writer_marked();
    if (!marked) {
      leave();
      return marked.error();
    }
    bool vouched = keep && counter_ != nullptr;
    if (!*marked) {
      const WriterLockState state = inspect_writer_lock(canonical_);
      if (state.present && state.alive != false) {
        leave();
        drop_view();
        std::string owner =
            state.pid ? "process " + std::to_string(*state.pid) : "a process";
        return OrviError::io_message(
            path_ + ": " + owner +
            " holds this file open for writing without letting readers in "
            "(an older build of orvi); readers can open it once that writer "
            "closes (lock directory: " + state.dir + ")");
      }
    } else if (vouched) {
      auto counts = lock_->writer_counts();
      vouched = counts && *counts;
    }
    // The kept view's trust ran out, but nothing moved: not the counter,
    // and not the file's length or modification time (which a writer that
    // does not bump changes when it writes).
    if (vouched && kept_ && pager_ && gen == view_gen_ &&
        static_cast<uint64_t>(st.st_size) == length_ &&
        st.st_mtim.tv_sec == view_mtime_.tv_sec &&
        st.st_mtim.tv_nsec == view_mtime_.tv_nsec) {
      view_until_ = now + trust_nanos_;
      return Ok();
    }
    drop_view();
    length_ = static_cast<uint64_t>(st.st_size);
    view_mtime_ = st.st_mtim;
    // The storage's own length and mapping must not stand for a file that
    // may have been cut since: only the length seen now is read.
    file_->observe_len(length_);
    kept_ = vouched;
    view_gen_ = gen;
    view_until_ = now + trust_nanos_;
    auto opened =
        Pager::open_read_only(std::make_unique<ViewStorage>(*this), true);
    if (!opened || opened->log_error) {
      leave();
      drop_view();
      if (!opened) return opened.error();
      return *opened->log_error;
    }
    pager_ = std::move(opened->pager);
    return Ok();
  }
  return OrviError::io_message(path_ + ": the file keeps being replaced");
}

void FileReader::leave() {
  if (locked_) {
    lock_->unlock_shared();
    locked_ = false;
  }
  if (!kept_ || stale_ || copies_->full()) drop_view();
}

void FileReader::drop_view() {
  pager_.reset();
  copies_->clear();
  kept_ = false;
  stale_ = false;
}

bool FileReader::hold_lock() {
  if (stale_) return false;
  if (locked_) return true;
  if (!lock_->lock_shared()) {
    // Run again on the slow path, which reports the failure.
    stale_ = true;
    return false;
  }
  locked_ = true;
  if (!counter_ || counter_->load() != view_gen_) stale_ = true;
  return !stale_;
}

const Page* FileReader::view_page(uint64_t offset) {
  if (const Page* copy = copies_->find(offset)) return copy;
  if (!hold_lock()) return nullptr;
  const Page* mapped = file_->map_page(offset);
  if (mapped == nullptr || !kept_ || copies_->full()) return mapped;
  return copies_->add(offset, *mapped);
}

Status FileReader::read_view_page(uint64_t offset, Page& out) {
  if (const Page* copy = copies_->find(offset)) {
    out = *copy;
    return Ok();
  }
  if (!hold_lock()) return ViewStorage::stale_error();
  ORVI_TRY(file_->read_page(offset, out));
  if (kept_ && !copies_->full()) copies_->add(offset, out);
  return Ok();
}

Result<Pager*> FileReader::begin_locked() {
  if (in_snapshot()) return begin();
  ORVI_TRY(enter(false));
  return pager_.get();
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
  // F1: nothing began since the view was tagged, and the tag is young.
  if (kept_ && counter_->load() == view_gen_ &&
      monotonic_nanos() < view_until_) {
    return pager_.get();
  }
  ORVI_TRY(enter(true));
  return pager_.get();
}

bool FileReader::end() {
  if (snapshot_token_ != 0 || broken_) return false;
  const bool again = stale_;
  leave();
  return again;
}

Status FileReader::begin_snapshot() {
  if (in_snapshot()) {
    return OrviError::transaction_failed(
        "a snapshot is already open on this reader");
  }
  ORVI_TRY(enter(true));
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
  self->drop_view();
}

Status FileReader::backup(const std::string& dest) {
  // Under the lock from the first page to the last, read from the mapping
  // (copies would only fill the memory with the whole file).
  Result<Pager*> pager = begin_locked();
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

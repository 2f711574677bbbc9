// Page storage backends: the only door to the database bytes.
//
// A Storage moves whole 4096-byte pages between the pager and either a file
// (FileStorage) or a growable buffer (MemoryStorage, for ":memory:"). The
// pager owns exactly one Storage through std::unique_ptr and learns which
// backend it holds only through is_memory(). Offsets are absolute byte
// positions; the pager always passes multiples of kPageSize.
//
// Errors are Io errors. A FileStorage keeps no state besides its cached
// length, so a failed write_page leaves file_size() unchanged. Reads and
// writes retry EINTR and continue after partial transfers; a read that hits
// the end of the file fails with "failed to fill whole buffer", a write that
// accepts nothing with "failed to write whole buffer".
//
// Not thread-safe: a storage belongs to one pager, used under the database
// handle's lock.
#ifndef ORVI_STORAGE_FILE_H_
#define ORVI_STORAGE_FILE_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error/result.h"

namespace orvi {

inline constexpr uint64_t kPageSize = 4096;
using Page = std::array<uint8_t, kPageSize>;

// Move-only owner of a POSIX file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now; returns the error of close(2), if any.
  Status close();

 private:
  int fd_ = -1;
};

class Storage {
 public:
  virtual ~Storage() = default;
  virtual Status read_page(uint64_t offset, Page& out) = 0;
  // Reads the first `len` bytes of the store, `len` at most kPageSize and
  // at most file_size(): the header check of a store that may be shorter
  // than one page. By default reads page 0 whole.
  virtual Status read_head(uint8_t* out, size_t len);
  virtual Status write_page(uint64_t offset, const Page& page) = 0;
  // Writes `count` pages to consecutive page positions from `offset`: the
  // same as write_page for each in turn (each counts as one page write and
  // a failure stops at that page, the pages before it written), which is
  // also what this default does. A file store moves a run in one call.
  virtual Status write_pages(uint64_t offset, const Page* const* pages,
                             size_t count) {
    for (size_t i = 0; i < count; ++i) {
      ORVI_TRY(write_page(offset + i * kPageSize, *pages[i]));
    }
    return Ok();
  }
  virtual Status flush() = 0;
  virtual uint64_t file_size() const = 0;
  virtual Status set_len(uint64_t len) = 0;
  virtual bool is_memory() const = 0;
  // The stored page at `offset` read in place, without a copy, or nullptr
  // when the backend cannot do that (the caller then uses read_page). Only
  // pages wholly below file_size() are served. The view follows later
  // writes of the page and stays readable until the storage is destroyed,
  // but callers keep it only as long as a read_page copy would be current.
  virtual const Page* map_page(uint64_t offset) {
    (void)offset;
    return nullptr;
  }
  // map_page() without the virtual call, for the pages a backend has
  // already mapped: the page at `offset` when it lies wholly below
  // view_end_, else nullptr, and the caller asks map_page().
  const Page* mapped_view(uint64_t offset) const {
    if (offset >= view_end_ || view_end_ - offset < kPageSize) return nullptr;
    return reinterpret_cast<const Page*>(view_base_ + offset);
  }
  // Drops the pages that map_page() brought into this process's resident
  // set. Views stay valid: the next read of one maps its page again, with
  // the same bytes. Scans call this for the pages they have passed, so
  // that reading a whole file does not make the process as large as the
  // file; random reads never do, since they revisit their pages.
  virtual void release_mapped() {}

 protected:
  // Set by a backend whose map_page() serves every page below view_end_
  // from view_base_ + offset; 0 for the others.
  const uint8_t* view_base_ = nullptr;
  uint64_t view_end_ = 0;
};

class FileStorage final : public Storage {
 public:
  // Takes an open read-write descriptor whose size is `len`.
  FileStorage(UniqueFd fd, uint64_t len) : fd_(std::move(fd)), len_(len) {}
  FileStorage(const FileStorage&) = delete;
  FileStorage& operator=(const FileStorage&) = delete;
  ~FileStorage() override;

  // Opens (creating with mode 0666 if missing) a file for reading and
  // writing and sizes the storage from the open file.
  static Result<std::unique_ptr<FileStorage>> open(const std::string& path);
  // Opens an existing file for reading only (never creating it); the
  // descriptor is read-only, so any write or truncate through it fails.
  static Result<std::unique_ptr<FileStorage>> open_read_only(
      const std::string& path);

  Status read_page(uint64_t offset, Page& out) override;
  Status read_head(uint8_t* out, size_t len) override;
  Status write_page(uint64_t offset, const Page& page) override;
  Status write_pages(uint64_t offset, const Page* const* pages,
                     size_t count) override;
  // fdatasync: the bytes and the file's length reach the disk, which is
  // all a reader of the file needs; names are the directory's business.
  Status flush() override;
  uint64_t file_size() const override { return len_; }
  Status set_len(uint64_t len) override;
  // For a reader that learnt the file's length under its lock: the
  // length to serve from (no system call). Nothing at or past it is read.
  void observe_len(uint64_t len) {
    len_ = len;
    update_view();
  }
  bool is_memory() const override { return false; }
  // Served from a read-only shared mapping of the file, which sees every
  // write the moment it is made (one page cache). The mapping reaches past
  // the end of the file so that growth seldom needs a new one; only pages
  // below len_ are ever touched, so the part past the end is never read.
  // A new, larger mapping does not unmap the old ones before destruction,
  // so no view handed out goes stale. Without a mapping (mmap refused)
  // nullptr, and reads go through read_page.
  const Page* map_page(uint64_t offset) override;
  // A shared file mapping keeps its contents in the page cache when its
  // pages are dropped (madvise MADV_DONTNEED), so this costs later reads
  // a minor fault each, never a disk read.
  void release_mapped() override;

 private:
  bool remap();
  // Keeps mapped_view() to the pages that are both mapped and in the file.
  void update_view() {
    view_base_ = map_;
    view_end_ = std::min(len_, mapped_);
  }

  UniqueFd fd_;
  uint64_t len_;
  const uint8_t* map_ = nullptr;
  uint64_t mapped_ = 0;
  bool map_refused_ = false;
  std::vector<std::pair<void*, size_t>> mappings_;
};

class MemoryStorage final : public Storage {
 public:
  MemoryStorage() = default;
  MemoryStorage(const MemoryStorage&) = delete;
  MemoryStorage& operator=(const MemoryStorage&) = delete;

  Status read_page(uint64_t offset, Page& out) override;
  Status read_head(uint8_t* out, size_t len) override;
  Status write_page(uint64_t offset, const Page& page) override;
  Status flush() override { return Ok(); }
  uint64_t file_size() const override { return bytes_.size(); }
  Status set_len(uint64_t len) override;
  bool is_memory() const override { return true; }

 private:
  std::vector<uint8_t> bytes_;
};

// A store that is never written: reads come from `base`, every write is
// kept in memory and seen by later reads, so a pager on it behaves as on
// the base store (recovery replays a pending commit, for one) while the
// base store keeps its bytes. The size is the base's, grown by the pages
// written beyond it; pages between the base's end and a written page read
// as zeros, as a file's gap does. Truncating is refused.
class OverlayStorage final : public Storage {
 public:
  explicit OverlayStorage(std::unique_ptr<Storage> base)
      : base_(std::move(base)), len_(base_->file_size()) {}
  OverlayStorage(const OverlayStorage&) = delete;
  OverlayStorage& operator=(const OverlayStorage&) = delete;

  Status read_page(uint64_t offset, Page& out) override;
  Status read_head(uint8_t* out, size_t len) override;
  Status write_page(uint64_t offset, const Page& page) override;
  Status flush() override { return Ok(); }
  uint64_t file_size() const override { return len_; }
  Status set_len(uint64_t len) override;
  bool is_memory() const override { return base_->is_memory(); }
  // A written page in place, else the base's mapping of its page.
  const Page* map_page(uint64_t offset) override;

 private:
  std::unique_ptr<Storage> base_;
  std::unordered_map<uint64_t, Page> pages_;
  uint64_t len_;
};

// Reads or writes exactly `len` bytes at `offset`, retrying EINTR and
// continuing after partial transfers. Shared by every unit that moves file
// bytes (storage, lock metadata).
Status pread_exact(int fd, uint8_t* buf, size_t len, uint64_t offset);
Status pwrite_exact(int fd, const uint8_t* buf, size_t len, uint64_t offset);
// Writes `count` whole pages to consecutive positions from `offset`, in as
// few calls as the system allows, with the same retries.
Status pwrite_pages(int fd, const Page* const* pages, size_t count,
                    uint64_t offset);

}  // namespace orvi

#endif  // ORVI_STORAGE_FILE_H_

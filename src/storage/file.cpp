#include "storage/file.h"

#include "storage/fault.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace orvi {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

Status UniqueFd::close() {
  if (fd_ < 0) return Ok();
  int fd = std::exchange(fd_, -1);
  // close(2) must not be retried on EINTR on Linux: the descriptor is gone.
  if (::close(fd) != 0 && errno != EINTR) return OrviError::io_errno(errno);
  return Ok();
}

namespace {

// The loop of pread_exact and pwrite_exact: `io` moves what is left from
// its offset; EINTR is retried, a short transfer continued, and a transfer
// of nothing ends the loop with `stalled`. An end past the largest file
// offset is `too_far`.
template <typename Buf, typename Io>
Status transfer_exact(int fd, Buf* buf, size_t len, uint64_t offset,
                      int too_far, const char* stalled, Io io) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - len) {
    return OrviError::io_errno(too_far);
  }
  size_t done = 0;
  while (done < len) {
    ssize_t n = io(fd, buf + done, len - done,
                   static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return OrviError::io_errno(errno);
    }
    if (n == 0) return OrviError::io_message(stalled);
    done += static_cast<size_t>(n);
  }
  return Ok();
}

}  // namespace

Status pread_exact(int fd, uint8_t* buf, size_t len, uint64_t offset) {
  return transfer_exact(fd, buf, len, offset, EINVAL,
                        "failed to fill whole buffer", ::pread);
}

Status pwrite_exact(int fd, const uint8_t* buf, size_t len, uint64_t offset) {
  return transfer_exact(fd, buf, len, offset, EFBIG,
                        "failed to write whole buffer", ::pwrite);
}

Status pwrite_pages(int fd, const Page* const* pages, size_t count,
                    uint64_t offset) {
  if (count > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) /
                  kPageSize ||
      offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) -
                   count * kPageSize) {
    return OrviError::io_errno(EFBIG);
  }
  constexpr size_t kMaxIov = 1024;  // IOV_MAX on Linux
  iovec iov[kMaxIov];
  size_t page = 0;        // first page not completely written
  size_t page_done = 0;   // bytes of that page already written
  while (page < count) {
    const size_t n = std::min(count - page, kMaxIov);
    for (size_t i = 0; i < n; ++i) {
      iov[i].iov_base = const_cast<uint8_t*>(pages[page + i]->data());
      iov[i].iov_len = kPageSize;
    }
    iov[0].iov_base = static_cast<uint8_t*>(iov[0].iov_base) + page_done;
    iov[0].iov_len -= page_done;
    const ssize_t w = ::pwritev(
        fd, iov, static_cast<int>(n),
        static_cast<off_t>(offset + page * kPageSize + page_done));
    if (w < 0) {
      if (errno == EINTR) continue;
      return OrviError::io_errno(errno);
    }
    if (w == 0) return OrviError::io_message("failed to write whole buffer");
    const size_t done = page_done + static_cast<size_t>(w);
    page += done / kPageSize;
    page_done = done % kPageSize;
  }
  return Ok();
}

Result<std::unique_ptr<FileStorage>> FileStorage::open(
    const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OrviError::io_errno(errno);
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(owned.get(), &st) != 0) return OrviError::io_errno(errno);
  return std::make_unique<FileStorage>(std::move(owned),
                                       static_cast<uint64_t>(st.st_size));
}

Status Storage::read_head(uint8_t* out, size_t len) {
  Page page;
  ORVI_TRY(read_page(0, page));
  std::memcpy(out, page.data(), std::min<size_t>(len, kPageSize));
  return Ok();
}

FileStorage::~FileStorage() {
  for (const auto& [addr, size] : mappings_) ::munmap(addr, size);
}

const Page* FileStorage::map_page(uint64_t offset) {
  if (offset > len_ || len_ - offset < kPageSize) return nullptr;
  if (offset + kPageSize > mapped_ && !remap()) return nullptr;
  return reinterpret_cast<const Page*>(map_ + offset);
}

void FileStorage::release_mapped() {
  // Advice only: a refusal leaves the pages resident, which is harmless.
  for (const auto& [addr, size] : mappings_) {
    ::madvise(addr, size, MADV_DONTNEED);
  }
}

bool FileStorage::remap() {
  // Grows in steps of at least 64 MiB and at least doubling, so a file
  // growing to any size makes few mappings.
  constexpr uint64_t kStep = uint64_t{64} << 20;
  if (map_refused_ || sizeof(size_t) < 8) return false;
  const uint64_t want = std::max((len_ + kStep - 1) / kStep * kStep, 2 * mapped_);
  void* addr = ::mmap(nullptr, static_cast<size_t>(want), PROT_READ, MAP_SHARED,
                      fd_.get(), 0);
  if (addr == MAP_FAILED) {
    map_refused_ = true;
    return false;
  }
  mappings_.emplace_back(addr, static_cast<size_t>(want));
  map_ = static_cast<const uint8_t*>(addr);
  mapped_ = want;
  update_view();
  return true;
}

Result<std::unique_ptr<FileStorage>> FileStorage::open_read_only(
    const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OrviError::io_errno(errno);
  UniqueFd owned(fd);
  struct stat st;
  if (::fstat(owned.get(), &st) != 0) return OrviError::io_errno(errno);
  if (S_ISDIR(st.st_mode)) return OrviError::io_errno(EISDIR);
  return std::make_unique<FileStorage>(std::move(owned),
                                       static_cast<uint64_t>(st.st_size));
}

Status FileStorage::read_page(uint64_t offset, Page& out) {
  return pread_exact(fd_.get(), out.data(), kPageSize, offset);
}

Status FileStorage::read_head(uint8_t* out, size_t len) {
  return pread_exact(fd_.get(), out, std::min<size_t>(len, kPageSize), 0);
}

Status FileStorage::write_page(uint64_t offset, const Page& page) {
  if (int e = fault::check(fault::kWrite)) return OrviError::io_errno(e);
  ORVI_TRY(pwrite_exact(fd_.get(), page.data(), kPageSize, offset));
  if (offset + kPageSize > len_) len_ = offset + kPageSize;
  update_view();
  return Ok();
}

Status FileStorage::write_pages(uint64_t offset, const Page* const* pages,
                                size_t count) {
  // Every page is one counted write, as with write_page: a fault at page k
  // leaves pages before k written and k on not.
  size_t ok = count;
  int err = 0;
  for (size_t i = 0; i < count && err == 0; ++i) {
    if ((err = fault::check(fault::kWrite)) != 0) ok = i;
  }
  if (ok > 0) {
    ORVI_TRY(pwrite_pages(fd_.get(), pages, ok, offset));
    len_ = std::max(len_, offset + ok * kPageSize);
    update_view();
  }
  if (err != 0) return OrviError::io_errno(err);
  return Ok();
}

Status FileStorage::flush() {
  if (int e = fault::check(fault::kFlush)) return OrviError::io_errno(e);
  while (::fdatasync(fd_.get()) != 0) {
    if (errno != EINTR) return OrviError::io_errno(errno);
  }
  return Ok();
}

Status FileStorage::set_len(uint64_t len) {
  if (int e = fault::check(fault::kTruncate)) return OrviError::io_errno(e);
  if (len > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
    return OrviError::io_errno(EFBIG);
  }
  while (::ftruncate(fd_.get(), static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return OrviError::io_errno(errno);
  }
  len_ = len;
  update_view();
  return Ok();
}

Status MemoryStorage::read_page(uint64_t offset, Page& out) {
  if (bytes_.size() < kPageSize || offset > bytes_.size() - kPageSize) {
    return OrviError::io_message(
        "read_page: offset=" + std::to_string(offset) +
        " out of range (size=" + std::to_string(bytes_.size()) + ")");
  }
  std::memcpy(out.data(), bytes_.data() + offset, kPageSize);
  return Ok();
}

Status MemoryStorage::read_head(uint8_t* out, size_t len) {
  if (len > bytes_.size() || len > kPageSize) {
    return OrviError::io_message("failed to fill whole buffer");
  }
  if (len != 0) std::memcpy(out, bytes_.data(), len);
  return Ok();
}

Status MemoryStorage::write_page(uint64_t offset, const Page& page) {
  if (offset > std::numeric_limits<size_t>::max() - kPageSize) {
    return OrviError::io_errno(EFBIG);
  }
  if (bytes_.size() < offset + kPageSize) bytes_.resize(offset + kPageSize, 0);
  std::memcpy(bytes_.data() + offset, page.data(), kPageSize);
  return Ok();
}

Status MemoryStorage::set_len(uint64_t len) {
  bytes_.resize(len, 0);
  return Ok();
}

Status OverlayStorage::read_page(uint64_t offset, Page& out) {
  auto it = pages_.find(offset);
  if (it != pages_.end()) {
    out = it->second;
    return Ok();
  }
  const uint64_t base_len = base_->file_size();
  if (offset >= base_len && offset < len_) {
    out.fill(0);
    return Ok();
  }
  return base_->read_page(offset, out);
}

Status OverlayStorage::read_head(uint8_t* out, size_t len) {
  auto it = pages_.find(0);
  if (it == pages_.end()) return base_->read_head(out, len);
  std::memcpy(out, it->second.data(), std::min<size_t>(len, kPageSize));
  return Ok();
}

Status OverlayStorage::write_page(uint64_t offset, const Page& page) {
  if (offset > std::numeric_limits<uint64_t>::max() - kPageSize) {
    return OrviError::io_errno(EFBIG);
  }
  pages_[offset] = page;
  len_ = std::max(len_, offset + kPageSize);
  return Ok();
}

Status OverlayStorage::set_len(uint64_t) { return OrviError::io_errno(EROFS); }

const Page* OverlayStorage::map_page(uint64_t offset) {
  auto it = pages_.find(offset);
  if (it != pages_.end()) return &it->second;
  return base_->map_page(offset);
}

}  // namespace orvi

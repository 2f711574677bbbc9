#include "storage/pager.h"

#include "storage/text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>


namespace orvi {

namespace {

constexpr uint8_t kMagic[16] = {'O', 'R', 'V', 'I', 0, 0, 0, 0,
                                0,   0,   0,   0,   0, 0, 0, 0};

uint64_t header_checksum(const uint8_t* bytes) {
  uint64_t x = 0;
  for (size_t off = 16; off <= 96; off += 8) x ^= get_u64(bytes + off);
  return x ^ static_cast<uint64_t>(get_u32(bytes));
}

}  // namespace

const char* extent_kind_word(ExtentKind kind) {
  switch (kind) {
    case ExtentKind::kNode:
      return "node";
    case ExtentKind::kEdge:
      return "edge";
    case ExtentKind::kProp:
      return "prop";
  }
  return "";
}

Result<FileHeader> FileHeader::from_bytes(const uint8_t* b, size_t len) {
  // Bytes that do not begin the way every database begins say that this is
  // not a database at all, whatever its length; only a store that could be
  // a database cut short is "too small".
  if (std::memcmp(b, kMagic, std::min<size_t>(len, sizeof kMagic)) != 0) {
    return OrviError::corrupted("invalid magic bytes");
  }
  if (len < kHeaderSize) {
    return OrviError::corrupted("file too small to contain header");
  }
  uint16_t major = get_u16(b + 16);
  uint16_t minor = get_u16(b + 18);
  if (major != kFormatVersionMajor || minor != kFormatVersionMinor) {
    return OrviError::corrupted(
        "unsupported file format version: " + std::to_string(major) + "." +
        std::to_string(minor) + " (supported: " +
        std::to_string(kFormatVersionMajor) + "." + std::to_string(kFormatVersionMinor) +
        ")");
  }
  uint32_t page_size = get_u32(b + 20);
  if (page_size != kPageSize) {
    return OrviError::corrupted("unsupported page size: " +
                                std::to_string(page_size));
  }
  uint64_t computed = header_checksum(b);
  uint64_t stored = get_u64(b + 104);
  if (computed != stored) {
    return OrviError::corrupted("header checksum mismatch: expected 0x" +
                                hex(computed, 16) + ", got 0x" + hex(stored, 16));
  }
  FileHeader h;
  h.node_count = get_u64(b + 24);
  h.edge_count = get_u64(b + 32);
  h.next_node_id = get_u64(b + 40);
  h.next_edge_id = get_u64(b + 48);
  h.node_index_head = get_u64(b + 56);
  h.edge_index_head = get_u64(b + 64);
  h.prop_index_head = get_u64(b + 72);
  h.prop_tail = get_u64(b + 80);
  h.wal_offset = get_u64(b + 88);
  h.wal_length = get_u64(b + 96);
  return h;
}

void FileHeader::to_bytes(uint8_t* b) const {
  std::memset(b, 0, kHeaderSize);
  std::memcpy(b, kMagic, 16);
  put_u16(b + 16, kFormatVersionMajor);
  put_u16(b + 18, kFormatVersionMinor);
  put_u32(b + 20, static_cast<uint32_t>(kPageSize));
  put_u64(b + 24, node_count);
  put_u64(b + 32, edge_count);
  put_u64(b + 40, next_node_id);
  put_u64(b + 48, next_edge_id);
  put_u64(b + 56, node_index_head);
  put_u64(b + 64, edge_index_head);
  put_u64(b + 72, prop_index_head);
  put_u64(b + 80, prop_tail);
  put_u64(b + 88, wal_offset);
  put_u64(b + 96, wal_length);
  put_u64(b + 104, header_checksum(b));
}

Pager::Pager(std::unique_ptr<Storage> storage)
    : storage_(std::move(storage)), cache_(kCacheCapacity) {}

void Pager::reset_to_empty_state() {
  header_ = FileHeader();
  for (auto& c : chains_) c = ExtentChain();
  file_end_ = kDataStart;
}

Result<std::unique_ptr<Pager>> Pager::open(const std::string& path,
                                           std::shared_ptr<WriterGate> gate) {
  std::unique_ptr<Storage> storage;
  bool is_new;
  if (path == ":memory:") {
    storage = std::make_unique<MemoryStorage>();
    is_new = true;
  } else {
    struct stat st;
    is_new = ::stat(path.c_str(), &st) != 0;
    auto file = FileStorage::open(path);
    if (!file) return file.error();
    storage = std::move(*file);
  }
  return open_storage(std::move(storage), is_new, std::move(gate));
}

Result<std::unique_ptr<Pager>> Pager::open_storage(
    std::unique_ptr<Storage> storage, bool is_new,
    std::shared_ptr<WriterGate> gate) {
  std::unique_ptr<Pager> pager(new Pager(std::move(storage)));
  pager->gate_ = std::move(gate);
  if (is_new) {
    ORVI_TRY(pager->write_header());
    return pager;
  }
  ORVI_TRY(pager->load_header());
  ORVI_TRY(pager->recover_and_load(true));
  return pager;
}

Result<Pager::ReadOnly> Pager::open_read_only(const std::string& path) {
  auto file = FileStorage::open_read_only(path);
  if (!file) return file.error();
  return open_read_only(std::move(*file), false);
}

Result<Pager::ReadOnly> Pager::open_read_only(std::unique_ptr<Storage> base,
                                              bool require_chains) {
  ReadOnly opened;
  opened.pager.reset(new Pager(std::make_unique<OverlayStorage>(std::move(base))));
  ORVI_TRY(opened.pager->load_header());
  Status recovered = opened.pager->recover_and_load(require_chains);
  if (!recovered) opened.log_error = std::move(recovered).error();
  return opened;
}

Status Pager::recover_and_load(bool require_chains) {
  // With a commit awaiting recovery, the chains on disk may be the ones the
  // log is about to restore (a torn index page): their errors count only
  // after the replay, when they are loaded again.
  Status chains = load_extent_chains();
  if (!chains && header_.wal_length == 0 && require_chains) {
    return chains.error();
  }
  ORVI_TRY(recover_log());
  cache_.clear();
  // Chains from before the replay must not outlive a failed reload.
  for (auto& c : chains_) c = ExtentChain();
  chains = load_extent_chains();
  if (!chains && require_chains) return chains.error();
  return Ok();
}

Status Pager::recover_log() {
  recovered_log_ = RecoveredLog();
  recovered_log_.length = header_.wal_length;
  if (header_.wal_length == 0) return Ok();
  auto entries =
      Wal::read_log(*storage_, header_.wal_offset, header_.wal_length);
  if (!entries) return entries.error();
  return home_write([&]() -> Status {
    if (entries->empty()) {
      // The header was never made durable together with a complete log:
      // the home pages still hold the previous commit.
      header_.wal_length = 0;
      return store_header(header_);
    }
    ORVI_TRY(Wal::replay(*storage_, *entries));
    header_.wal_length = 0;
    // No flush needed here: until this header is durable a crash replays
    // the same log again, and the next commit flushes it before writing a
    // log.
    ORVI_TRY(store_header(header_));
    Page page0;
    ORVI_TRY(storage_->read_page(0, page0));
    auto fresh = FileHeader::from_bytes(page0.data(), kHeaderSize);
    if (!fresh) return fresh.error();
    header_ = *fresh;
    for (const WalEntry& e : *entries) {
      if (e.kind == kWalKindPage) recovered_log_.pages += 1;
    }
    recovered_log_.replayed = true;
    return Ok();
  });
}

Status Pager::load_header() {
  // Every database holds at least its whole header page, but a shorter
  // store is read as far as it goes, so that it is judged by its bytes
  // (not a database, cut short, another version) rather than failing as a
  // short read.
  const uint64_t size = storage_->file_size();
  uint8_t head[kHeaderSize];
  const size_t have = static_cast<size_t>(std::min<uint64_t>(size, kHeaderSize));
  if (have != 0) ORVI_TRY(storage_->read_head(head, have));
  auto h = FileHeader::from_bytes(head, have);
  if (!h) return h.error();
  if (size < kPageSize) {
    return OrviError::corrupted("file too small to contain header page: " +
                                std::to_string(size) + " of " +
                                std::to_string(kPageSize) + " bytes");
  }
  header_ = *h;
  return Ok();
}

Status Pager::write_header() {
  return home_write([&] { return store_header(header_); });
}

Status Pager::store_header(const FileHeader& header) {
  Page page{};
  if (storage_->file_size() >= kPageSize) {
    if (const Page* stored = storage_->map_page(0)) {
      page = *stored;
    } else {
      ORVI_TRY(storage_->read_page(0, page));
    }
  }
  header.to_bytes(page.data());
  return storage_->write_page(0, page);
}

namespace {
const Page kZeroPage{};
}  // namespace

Result<const Page*> Pager::find_page(uint64_t offset) {
  if (!dirty_.empty()) {
    auto it = dirty_.find(offset);
    if (it != dirty_.end()) return static_cast<const Page*>(it->second.get());
  }
  if (const Page* cached = cache_.get(offset)) return cached;
  uint64_t size = storage_->file_size();
  if (offset > size || size - offset < kPageSize) return &kZeroPage;
  // A clean page the storage can show in place needs neither a copy nor a
  // cache entry.
  if (const Page* mapped = storage_->map_page(offset)) return mapped;
  // Otherwise read straight into an unshared image that then becomes the cache entry:
  // no copy, and in a full cache no allocation (the evicted image returns
  // as the next spare).
  if (!spare_) spare_ = std::make_shared<Page>();
  ORVI_TRY(storage_->read_page(offset, *spare_));
  const Page* page = spare_.get();
  cache_put(offset, std::move(spare_));
  return page;
}

Result<Page> Pager::read_page(uint64_t offset) {
  auto view = view_page(offset);
  if (!view) return view.error();
  return **view;
}

void Pager::cache_put(uint64_t offset, PageRef image) {
  PageRef evicted = cache_.put_shared(offset, std::move(image));
  if (evicted && !spare_) spare_ = std::move(evicted);
}

void Pager::put_zero_page(uint64_t offset) {
  PageRef& image = dirty_[offset];
  image = std::make_shared<Page>();
  cache_put(offset, image);
}

Result<PageRef*> Pager::writable_image(uint64_t offset) {
  auto it = dirty_.find(offset);
  if (it != dirty_.end()) {
    PageRef& image = it->second;
    const PageRef* cached = cache_.peek(offset);
    const long owners = cached != nullptr && *cached == image ? 2 : 1;
    if (image.use_count() > owners) image = std::make_shared<Page>(*image);
    return &image;
  }
  auto current = view_page(offset);
  if (!current) return current.error();
  PageRef& image = dirty_[offset];
  // A cache entry held by nobody else can become the dirty image itself:
  // the change about to be made replaces the cached image anyway.
  const PageRef* cached = cache_.peek(offset);
  if (cached != nullptr && cached->get() == *current &&
      cached->use_count() == 1) {
    image = *cached;
  } else {
    image = std::make_shared<Page>(**current);
  }
  return &image;
}

Status Pager::flush_dirty_pages() {
  return home_write([&] { return store_dirty_pages(); });
}

Status Pager::store_dirty_pages() {
  auto pages = std::move(dirty_);
  dirty_.clear();
  for (auto& [offset, image] : pages) {
    ORVI_TRY(storage_->write_page(offset, *image));
  }
  return Ok();
}

LoggedPages Pager::sorted_dirty_pages() const {
  // Shared, not copied: writable_image() copies an image before changing
  // it while the log still holds it.
  LoggedPages pages(dirty_.begin(), dirty_.end());
  std::sort(pages.begin(), pages.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return pages;
}

Status Pager::finish_logged_commit() {
  return home_write([&]() -> Status {
    // Step 3. When this runs again after a failure, the failed step may
    // have been the write or the flush of this header: it is made durable
    // before any page goes home, since a crash while the pages are written
    // would otherwise leave some new pages under the old header, which
    // recovery cannot undo. The log itself was flushed before log_pending_
    // was set.
    ORVI_TRY(store_header(logged_header_));
    ORVI_TRY(storage_->flush());
    // Step 4.
    ORVI_TRY(Wal::write_home(*storage_, logged_pages_));
    ORVI_TRY(storage_->flush());
    // Step 5.
    FileHeader done = logged_header_;
    done.wal_length = 0;
    ORVI_TRY(store_header(done));
    ORVI_TRY(storage_->flush());
    header_.wal_length = 0;
    log_pending_ = false;
    logged_pages_.clear();
    return Ok();
  });
}

Status Pager::commit() {
  if (log_pending_) ORVI_TRY(finish_logged_commit());
  if (dirty_.empty()) return write_header();
  if (storage_->is_memory()) {
    return home_write([&]() -> Status {
      ORVI_TRY(store_dirty_pages());
      return store_header(header_);
    });
  }
  // Steps 1 and 2 (wal.h) write only the log area.
  LoggedPages pages = sorted_dirty_pages();
  auto length = Wal::write_log(*storage_, header_.wal_offset, pages);
  if (!length) return length.error();
  // From here the header on disk may name the log: the commit must be
  // finished, by this call or by the next commit, rollback or open.
  header_.wal_length = *length;
  logged_header_ = header_;
  logged_pages_ = std::move(pages);
  log_pending_ = true;
  ORVI_TRY(finish_logged_commit());
  dirty_.clear();
  return Ok();
}

Status Pager::rollback() {
  // A durable log belongs to a commit that is complete as far as the file
  // is concerned: finish it, so rollback returns to that state.
  if (log_pending_) ORVI_TRY(finish_logged_commit());
  dirty_.clear();
  cache_ = PageCache(kCacheCapacity);
  if (storage_->file_size() < kHeaderSize) {
    reset_to_empty_state();
    return Ok();
  }
  ORVI_TRY(load_header());
  return load_extent_chains();
}

Status Pager::clear_to_empty() {
  return home_write([&]() -> Status {
    // Ids start again: readers' label indexes must not be extended across
    // this (storage/reader_lock.h, "The label epoch").
    if (gate_) ORVI_TRY(gate_->renew_epoch());
    // The empty header is made durable before the file is cut, so a crash
    // or a failure at any step leaves either the old database or an empty
    // one: cutting first would leave the old header naming extents that
    // are gone. Until the header is durable the pager keeps its state, so
    // a failure there changes nothing a later commit or rollback relies
    // on.
    ORVI_TRY(store_header(FileHeader()));
    ORVI_TRY(storage_->flush());
    cache_.clear();
    dirty_.clear();
    reset_to_empty_state();
    // The file no longer holds any log to finish.
    log_pending_ = false;
    logged_pages_.clear();
    // The database is now empty for good; cutting the file only gives its
    // space back. A failed cut is not reported: the bytes it leaves are
    // harmless (allocate_extent() cuts them before it hands out their
    // space), and an error here would tell the caller that clear() failed
    // when the records are already gone, so it would keep their label
    // index.
    if (storage_->set_len(kDataStart)) {
      Status flushed = storage_->flush();
      (void)flushed;
    }
    return Ok();
  });
}

}  // namespace orvi

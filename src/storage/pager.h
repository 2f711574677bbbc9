// Pager: the single owner of a database store.
//
// The pager opens or creates the store, keeps the 128-byte header in
// memory, serves page reads through its dirty map and a 256-page LRU cache,
// collects every modified page in the dirty map until commit, and makes a
// transaction durable (through the write-ahead log for files, directly for
// ":memory:") or throws it away on rollback. Its second half (extent
// chains, slots, property blobs) lives in pager_extents.cpp.
//
// Header (page 0, bytes 0..128; bytes 128..4096 are carried over unchanged):
//    0  "ORVI" + 12 zero bytes       56  u64 node_index_head
//   16  u16 version major (1)        64  u64 edge_index_head
//   18  u16 version minor (0)        72  u64 prop_index_head
//   20  u32 page size (4096)         80  u64 prop_tail
//   24  u64 node_count               88  u64 wal_offset (4096)
//   32  u64 edge_count               96  u64 wal_length
//   40  u64 next_node_id            104  u64 checksum
//   48  u64 next_edge_id            112  16 zero bytes
// checksum = XOR of the eleven u64 words at 16, 24, ..., 96, XOR the magic
// read as a little-endian u32.
//
// Invariants:
//  1. Reads see the newest state: dirty map first, then the cache, then a
//     zero page for anything at or beyond the end of the store, then the
//     store itself.
//  2. Every page modification goes through modify_page(): the new image is
//     put into the cache and into the dirty map. Header writes, the log and
//     clear_to_empty() write to the storage directly (see 5). The dirty map and the
//     cache share one image of a modified page; an image is changed in
//     place only while no one but the dirty map and the cache entry of its
//     own page holds it (a commit's logged pages, for one, are copied before
//     a later change), so every holder sees exactly what it would see with
//     private copies.
//  3. After a successful commit the dirty map is empty and the store holds
//     exactly the pager's state; after a successful rollback the pager holds
//     exactly the last committed state.
//  4. Once a commit's log is durable (see wal.h) the commit is complete as
//     far as the file is concerned. If a later step of that commit fails,
//     log_pending() stays true and the next commit() or rollback() first
//     finishes writing the logged pages home, exactly as recovery at open
//     would. A commit that fails before its log is durable leaves the
//     transaction pending and untouched, so commit() can be retried.
//  5. The home-write section, home_write(), is the one place where this
//     pager changes what another handle on the same file could read: every
//     write to page 0 or to a page's home offset, and every change of the
//     store's length, runs inside one call of it. That is the window of a
//     file commit from the header that names its log to the header that
//     clears it (finish_logged_commit(), also run by the commit() or
//     rollback() after a failed one), a commit that writes only the header,
//     the replay of a pending commit at open (recover_log()), clear()'s new
//     header and cut, and the cut of stale bytes before an extent is
//     handed out. Writes of the log area (steps 1 and 2 of wal.h) stay
//     outside, as nothing reads the log while the header does not name it.
//     The writer's gate of the readers' protocol (reader_lock.h) is held
//     around steps() there and nowhere else: readers never see a write of
//     page 0, a home page or the length in progress. The import builder and vacuum
//     write whole stores no other handle has open yet.
//
// Not thread-safe: used only under the database handle's lock.
#ifndef ORVI_STORAGE_PAGER_H_
#define ORVI_STORAGE_PAGER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "error/result.h"
#include "storage/cache.h"
#include "storage/file.h"
#include "storage/layout.h"
#include "storage/reader_lock.h"
#include "storage/wal.h"

namespace orvi {

inline constexpr size_t kCacheCapacity = 256;
// The one format version this pager reads and writes.
inline constexpr uint16_t kFormatVersionMajor = 1;
inline constexpr uint16_t kFormatVersionMinor = 0;

// The header's u64 fields of the table above by name, for readers outside
// the core (the tools' engine module hands them to Python).
inline constexpr SlotField kHeaderFields[] = {
    {"node_count", 24},      {"edge_count", 32},      {"next_node_id", 40},
    {"next_edge_id", 48},    {"node_index_head", 56}, {"edge_index_head", 64},
    {"prop_index_head", 72}, {"prop_tail", 80},       {"wal_offset", 88},
    {"wal_length", 96},      {"checksum", 104}};

struct FileHeader {
  uint64_t node_count = 0;
  uint64_t edge_count = 0;
  uint64_t next_node_id = 1;
  uint64_t next_edge_id = 1;
  uint64_t node_index_head = 0;
  uint64_t edge_index_head = 0;
  uint64_t prop_index_head = 0;
  uint64_t prop_tail = 0;
  uint64_t wal_offset = kWalOffset;
  uint64_t wal_length = 0;

  // Validates and parses the first 128 bytes of page 0 (`len` bytes are
  // available at `bytes`). Checks, in order: magic (over the bytes that
  // are there), size, version, page size, checksum.
  static Result<FileHeader> from_bytes(const uint8_t* bytes, size_t len);
  // Fills the 128 header bytes, checksum included.
  void to_bytes(uint8_t* out) const;
};

enum class ExtentKind : uint8_t { kNode = 0, kEdge = 1, kProp = 2 };

// "node", "edge" or "prop".
const char* extent_kind_word(ExtentKind kind);

struct ExtentChain {
  std::vector<uint64_t> extents;  // extent number e is extents[e]
  uint64_t tail_page = 0;         // last index page; 0 while there is none
  uint32_t tail_count = 0;        // entries used in the tail page
};

class Pager {
 public:
  Pager(const Pager&) = delete;
  Pager& operator=(const Pager&) = delete;

  // Opens or creates the store. ":memory:" gives a new memory store.
  // `gate`, the writer's side of the readers' protocol on this file
  // (storage/reader_lock.h), is held around every home-write section,
  // the recovery of a pending commit included; null for none.
  static Result<std::unique_ptr<Pager>> open(
      const std::string& path, std::shared_ptr<WriterGate> gate = nullptr);
  // Opens a pager on a given storage: a new store gets an empty header,
  // an existing one is loaded and recovered. Used by open() and by tests
  // that wrap a storage.
  static Result<std::unique_ptr<Pager>> open_storage(
      std::unique_ptr<Storage> storage, bool is_new,
      std::shared_ptr<WriterGate> gate = nullptr);

  // An existing file opened for inspection, with no lock and no write to
  // the file: the file is opened read-only and the pager runs on an
  // OverlayStorage over it, so a pending commit is judged exactly as
  // open() judges it but replayed into memory only. A damaged header fails
  // the open (CorruptedFile; Io when the file cannot be opened or read). A
  // pending commit that open() would fail on leaves the pager as it was
  // before recovery, with the error in `log_error`. Extent chains are not
  // required to load: a damaged chain leaves every chain() empty and is
  // reported by walk_chain().
  struct ReadOnly {
    std::unique_ptr<Pager> pager;
    std::optional<OrviError> log_error;
  };
  static Result<ReadOnly> open_read_only(const std::string& path);
  // The same over a given store, which the pager only reads (an overlay
  // keeps its writes); with `require_chains` a damaged chain fails the
  // open as it fails open().
  static Result<ReadOnly> open_read_only(std::unique_ptr<Storage> base,
                                         bool require_chains);

  void set_gate(std::shared_ptr<WriterGate> gate) { gate_ = std::move(gate); }
  FileHeader& header() { return header_; }
  const FileHeader& header() const { return header_; }
  Storage& storage() { return *storage_; }
  PageCache& cache() { return cache_; }
  bool is_memory() const { return storage_->is_memory(); }
  uint64_t file_end() const { return file_end_; }
  const ExtentChain& chain(ExtentKind kind) const {
    return chains_[static_cast<int>(kind)];
  }
  size_t dirty_count() const { return dirty_.size(); }
  bool log_pending() const { return log_pending_; }
  // What the open found in the log (length 0: no commit was pending).
  const RecoveredLog& recovered_log() const { return recovered_log_; }

  Status load_header();
  // Writes the in-memory header into page 0, keeping bytes 128..4096 of
  // the stored page. No flush.
  Status write_header();

  // A copy of the newest image of the page at `offset`.
  Result<Page> read_page(uint64_t offset);
  // Like read_page() without the copy: the pointer stays valid until the
  // next call that reads or modifies a page. A clean page the storage
  // already shows in place is found inline: the reads of records go
  // through here.
  Result<const Page*> view_page(uint64_t offset) {
    if (dirty_.empty() && !cache_.contains(offset)) {
      if (const Page* mapped = storage_->mapped_view(offset)) return mapped;
    }
    return find_page(offset);
  }
  // The page-modification protocol: `mutate(Page&)` changes the newest
  // image of the page, which then goes into the cache and the dirty map.
  template <typename F>
  Status modify_page(uint64_t offset, F&& mutate);

  // Writes every dirty page to its home offset and empties the dirty map.
  Status flush_dirty_pages();
  Status commit();
  Status rollback();
  Status clear_to_empty();

  // --- extents, slots and property storage (pager_extents.cpp) -----------
  struct ChainWalk {
    std::vector<uint64_t> extents;
    std::vector<uint64_t> index_pages;  // in chain order
    uint64_t tail_page = 0;
    uint32_t tail_count = 0;
  };
  Result<ChainWalk> walk_chain(uint64_t head, ExtentKind kind);
  Status load_extent_chains();
  Result<uint64_t> allocate_extent(ExtentKind kind);
  // Absolute offset of a slot, or CapacityExceeded when no extent covers it.
  // Inline, so that a caller naming the kind divides by constants.
  Result<uint64_t> slot_offset(ExtentKind kind, uint64_t id) {
    const bool node = kind == ExtentKind::kNode;
    const uint64_t per_extent = node ? kNodesPerExtent : kEdgesPerExtent;
    const uint64_t per_page = node ? kNodesPerPage : kEdgesPerPage;
    const uint64_t slot_size = node ? kNodeSlotSize : kEdgeSlotSize;
    const std::vector<uint64_t>& extents =
        chains_[static_cast<int>(kind)].extents;
    const uint64_t i = id - 1;
    const uint64_t e = i / per_extent;
    if (e >= extents.size()) {
      return OrviError::capacity_exceeded(extent_kind_word(kind),
                                          extents.size() * per_extent,
                                          node ? "nodes" : "edges");
    }
    const uint64_t r = i % per_extent;
    return extents[e] + kPageSize * (r / per_page) + kSlotPageHeader +
           slot_size * (r % per_page);
  }
  // The slot of record `id` (a NodeSlot or an EdgeSlot), and its write at
  // the position its id names.
  template <typename Slot>
  Result<Slot> read_slot(uint64_t id);
  // The same into `out`, for the reads that reuse a record.
  template <typename Slot>
  Status read_slot(uint64_t id, Slot& out);
  template <typename Slot>
  Status write_slot(const Slot& slot);
  Result<NodeSlot> read_node_slot(uint64_t id) { return read_slot<NodeSlot>(id); }
  Status write_node_slot(const NodeSlot& slot) { return write_slot(slot); }
  Result<EdgeSlot> read_edge_slot(uint64_t id) { return read_slot<EdgeSlot>(id); }
  Status write_edge_slot(const EdgeSlot& slot) { return write_slot(slot); }
  Result<uint64_t> append_prop(std::string_view bytes);
  // The blob [offset, offset + len) of property storage, the one reader of
  // blob bytes. A blob within one page is a view into the page image,
  // valid only until the next pager call; a longer one is copied into
  // `scratch` and the view points there. len 0 gives an empty view without
  // I/O. Lengths beyond kMaxBlobLen and offsets outside the data region
  // are CorruptedFile. read_prop returns a copy.
  Result<std::string_view> view_prop(uint64_t offset, uint32_t len,
                                     std::string& scratch) {
    // Inline: a valid blob within one page, the common case of a record read.
    const uint64_t first_page = offset / kPageSize * kPageSize;
    if (len != 0 && len <= kMaxBlobLen && offset >= kDataStart &&
        offset < kMaxFileOffset &&
        first_page == (offset + len - 1) / kPageSize * kPageSize) {
      auto page = view_page(first_page);
      if (!page) return page.error();
      const uint8_t* at = (*page)->data() + (offset - first_page);
      return std::string_view(reinterpret_cast<const char*>(at), len);
    }
    return gather_prop(offset, len, scratch);
  }
  // The placement half of append_prop: where a blob of `n` bytes goes
  // (allocating a prop extent when it does not fit) with prop_tail moved
  // past it, the bytes left for the caller to write. 0 for n = 0.
  Result<uint64_t> place_prop(uint64_t n);
  Result<std::string> read_prop(uint64_t offset, uint32_t len);
  void reset_prop_storage();

 private:
  explicit Pager(std::unique_ptr<Storage> storage);

  // view_page() past its inline case: the dirty map, the cache, then the
  // storage (in place, or read into a cache entry).
  Result<const Page*> find_page(uint64_t offset);
  // view_prop() past its inline case: an empty blob, a bad length or
  // offset, or a blob across pages (copied into `scratch`).
  Result<std::string_view> gather_prop(uint64_t offset, uint32_t len,
                                       std::string& scratch);

  // Runs `steps`, which write page 0, home pages or the store's length;
  // see invariant 5.
  template <typename F>
  Status home_write(F&& steps) {
    GateWindow window(gate_.get());
    ORVI_TRY(window.enter());
    return steps();
  }
  // The raw writes behind write_header() and flush_dirty_pages(), for use
  // inside home_write().
  Status store_header(const FileHeader& header);
  Status store_dirty_pages();

  void reset_to_empty_state();
  // The steps of opening an existing store after its header was loaded:
  // recovery of a pending commit, then the extent chains (whose errors are
  // returned only with `require_chains`).
  Status recover_and_load(bool require_chains);
  // Makes a new all-zero image the page's newest state (dirty map and
  // cache).
  void put_zero_page(uint64_t offset);
  // The dirty map's entry for `offset`, made writable: its image is copied
  // first when someone besides the dirty map and the page's own cache entry
  // holds it. A page that is not dirty yet is read as view_page reads it
  // and its current image becomes the dirty one.
  Result<PageRef*> writable_image(uint64_t offset);
  // Stores `image` as the page's cache entry, keeping any image the cache
  // hands back for reuse by the next read.
  void cache_put(uint64_t offset, PageRef image);
  // The dirty pages in offset order, shared with the dirty map.
  LoggedPages sorted_dirty_pages() const;
  // Steps 3 to 5 of a file commit (wal.h), for the commit whose log is
  // durable: the header that names the log, the logged pages home, the
  // header that clears it. The one writer of a commit's tail; see
  // invariant 4.
  Status finish_logged_commit();
  // Replays or discards the commit the loaded header names, as wal.h says.
  Status recover_log();

  std::unique_ptr<Storage> storage_;
  // Held around home_write(): readers of the file are kept out meanwhile.
  std::shared_ptr<WriterGate> gate_;
  PageCache cache_;
  std::unordered_map<uint64_t, PageRef> dirty_;
  // An unshared image for the next page read from storage (may be null).
  PageRef spare_;
  FileHeader header_;
  ExtentChain chains_[3];
  uint64_t file_end_ = kDataStart;
  RecoveredLog recovered_log_;

  // A commit whose log reached stable storage but whose home pages or final
  // header may not have: the logged pages and the header they commit.
  bool log_pending_ = false;
  LoggedPages logged_pages_;
  FileHeader logged_header_;
};

template <typename F>
Status Pager::modify_page(uint64_t offset, F&& mutate) {
  auto image = writable_image(offset);
  if (!image) return image.error();
  mutate(***image);
  cache_put(offset, **image);
  return Ok();
}

template <typename Slot>
inline constexpr ExtentKind kSlotKind =
    std::is_same_v<Slot, NodeSlot> ? ExtentKind::kNode : ExtentKind::kEdge;

template <typename Slot>
Status Pager::read_slot(uint64_t id, Slot& out) {
  auto off = slot_offset(kSlotKind<Slot>, id);
  if (!off) return off.error();
  auto page = view_page(*off / kPageSize * kPageSize);
  if (!page) return page.error();
  out.decode((*page)->data() + *off % kPageSize);
  return Ok();
}

template <typename Slot>
Result<Slot> Pager::read_slot(uint64_t id) {
  Slot slot;
  ORVI_TRY(read_slot(id, slot));
  return slot;
}

template <typename Slot>
Status Pager::write_slot(const Slot& slot) {
  auto off = slot_offset(kSlotKind<Slot>, slot.id);
  if (!off) return off.error();
  return modify_page(*off / kPageSize * kPageSize, [&](Page& p) {
    slot.encode(p.data() + *off % kPageSize);
  });
}

}  // namespace orvi

#endif  // ORVI_STORAGE_PAGER_H_

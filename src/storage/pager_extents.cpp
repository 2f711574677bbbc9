// Extents, slots and property storage: the second half of the pager.
//
// Each kind of record (node, edge, prop) has an ordered list of 1 MiB
// extents, recorded in a chain of extent-index pages that starts at the
// kind's head field in the header. Chains are read at open and rollback
// and then live in memory; they grow only through allocate_extent(). The
// data region grows at file_end: a new extent takes the next 1 MiB, a new
// index page the 4 KiB right after it.
//
// Offsets read from the file are checked before any arithmetic on them:
// extent bases and index pages must be page-aligned positions in the data
// region, and blob ranges must lie inside it, so a damaged file yields
// CorruptedFile instead of a wrapped-around read or write.
#include <cstring>
#include <unordered_set>

#include "storage/pager.h"

#include "storage/text.h"

namespace orvi {

namespace {

bool valid_region_page(uint64_t offset) {
  return offset >= kDataStart && offset < kMaxFileOffset &&
         offset % kPageSize == 0;
}

struct KindInfo {
  uint64_t units;
  const char* unit_word;
};

KindInfo kind_info(ExtentKind kind) {
  switch (kind) {
    case ExtentKind::kNode:
      return {kNodesPerExtent, "nodes"};
    case ExtentKind::kEdge:
      return {kEdgesPerExtent, "edges"};
    case ExtentKind::kProp:
      return {kExtentSize, "bytes of prop storage"};
  }
  return {1, ""};
}

uint64_t& head_field(FileHeader& h, ExtentKind kind) {
  switch (kind) {
    case ExtentKind::kNode:
      return h.node_index_head;
    case ExtentKind::kEdge:
      return h.edge_index_head;
    case ExtentKind::kProp:
      break;
  }
  return h.prop_index_head;
}

}  // namespace

Result<Pager::ChainWalk> Pager::walk_chain(uint64_t head, ExtentKind kind) {
  ChainWalk walk;
  if (head == 0) return walk;
  const char* word = extent_kind_word(kind);
  std::unordered_set<uint64_t> visited;
  uint64_t page_off = head;
  for (;;) {
    if (!visited.insert(page_off).second) {
      return OrviError::corrupted(std::string(word) +
                                  " extent-index chain contains a cycle at 0x" +
                                  hex(page_off));
    }
    if (!valid_region_page(page_off)) {
      return OrviError::corrupted(std::string(word) +
                                  " extent-index chain points outside the "
                                  "data region at 0x" +
                                  hex(page_off));
    }
    auto page = view_page(page_off);
    if (!page) return page.error();
    const uint8_t* p = (*page)->data();
    uint64_t next = get_u64(p);
    uint32_t count = get_u32(p + 8);
    walk.index_pages.push_back(page_off);
    if (count > kIndexEntriesPerPage) {
      return OrviError::corrupted(
          std::string(word) + " extent-index page at 0x" + hex(page_off) +
          " reports count=" + std::to_string(count) + " > max " +
          std::to_string(kIndexEntriesPerPage));
    }
    for (uint32_t j = 0; j < count; ++j) {
      uint64_t base = get_u64(p + 16 + 8 * j);
      if (!valid_region_page(base)) {
        return OrviError::corrupted(std::string(word) + " extent-index page at 0x" +
                                    hex(page_off) + " lists an extent at 0x" +
                                    hex(base) + " outside the data region");
      }
      walk.extents.push_back(base);
    }
    if (walk.extents.size() > kMaxExtentsPerKind) {
      return OrviError::corrupted(std::string(word) +
                                  " extent-index chain lists more extents than "
                                  "the file layout allows");
    }
    if (next == 0) {
      walk.tail_page = page_off;
      walk.tail_count = count;
      return walk;
    }
    page_off = next;
  }
}

Status Pager::load_extent_chains() {
  const ExtentKind kinds[3] = {ExtentKind::kNode, ExtentKind::kEdge,
                               ExtentKind::kProp};
  ChainWalk walks[3];
  for (int k = 0; k < 3; ++k) {
    auto w = walk_chain(head_field(header_, kinds[k]), kinds[k]);
    if (!w) return w.error();
    walks[k] = std::move(*w);
  }
  uint64_t end = std::max<uint64_t>(storage_->file_size(), kDataStart);
  for (const auto& w : walks) {
    for (uint64_t base : w.extents) end = std::max(end, base + kExtentSize);
    if (w.tail_page != 0) end = std::max(end, w.tail_page + kPageSize);
  }
  end = (end + kPageSize - 1) / kPageSize * kPageSize;
  for (int k = 0; k < 3; ++k) {
    chains_[k].extents = std::move(walks[k].extents);
    chains_[k].tail_page = walks[k].tail_page;
    chains_[k].tail_count = walks[k].tail_count;
  }
  file_end_ = end;
  return Ok();
}

Result<uint64_t> Pager::allocate_extent(ExtentKind kind) {
  ExtentChain& chain = chains_[static_cast<int>(kind)];
  KindInfo info = kind_info(kind);
  if (chain.extents.size() >= kMaxExtentsPerKind ||
      file_end_ >= kMaxFileOffset) {
    return OrviError::capacity_exceeded(extent_kind_word(kind),
                                        kMaxExtentsPerKind * info.units,
                                        info.unit_word);
  }
  uint64_t base = file_end_;
  // Nothing durable or pending lies at or beyond file_end_, but the file
  // may still hold bytes there (a clear whose cut failed or was
  // interrupted). New extents must read as zeros: a stale slot would pass
  // for a live record. Cut those bytes before handing out the space.
  if (storage_->file_size() > base) {
    ORVI_TRY(home_write([&] { return storage_->set_len(base); }));
    cache_.clear();
  }
  file_end_ += kExtentSize;
  chain.extents.push_back(base);
  if (chain.tail_page == 0 || chain.tail_count >= kIndexEntriesPerPage) {
    uint64_t fresh = file_end_;
    file_end_ += kPageSize;
    put_zero_page(fresh);
    if (chain.tail_page != 0) {
      ORVI_TRY(modify_page(chain.tail_page,
                           [&](Page& p) { put_u64(p.data(), fresh); }));
    } else {
      head_field(header_, kind) = fresh;
    }
    chain.tail_page = fresh;
    chain.tail_count = 0;
  }
  const uint32_t slot = chain.tail_count;
  ORVI_TRY(modify_page(chain.tail_page, [&](Page& p) {
    put_u64(p.data() + 16 + 8 * slot, base);
    put_u32(p.data() + 8, slot + 1);
  }));
  chain.tail_count += 1;
  return base;
}

Result<uint64_t> Pager::place_prop(uint64_t n) {
  if (n == 0) return uint64_t{0};
  if (n > kMaxBlobLen) {
    return OrviError::invalid_argument(
        "property blob of " + std::to_string(n) +
        " bytes exceeds the per-extent limit of " +
        std::to_string(kMaxBlobLen) + " bytes");
  }
  ExtentChain& chain = chains_[static_cast<int>(ExtentKind::kProp)];
  uint64_t tail = header_.prop_tail;
  bool fits = false;
  if (!chain.extents.empty() && tail != 0) {
    uint64_t base = chain.extents.back();
    // A tail outside the last extent (only possible in a damaged header)
    // never fits, so nothing is written over other data.
    fits = tail >= base && tail <= base + kExtentSize &&
           n <= base + kExtentSize - tail;
  }
  if (!fits) {
    auto base = allocate_extent(ExtentKind::kProp);
    if (!base) return base.error();
    tail = *base;
  }
  header_.prop_tail = tail + n;
  return tail;
}

Result<uint64_t> Pager::append_prop(std::string_view bytes) {
  const uint64_t n = bytes.size();
  auto placed = place_prop(n);
  if (!placed || n == 0) return placed;
  uint64_t pos = *placed;
  size_t done = 0;
  while (done < n) {
    uint64_t page_off = pos / kPageSize * kPageSize;
    size_t in_page = static_cast<size_t>(pos - page_off);
    size_t chunk = std::min<size_t>(n - done, kPageSize - in_page);
    ORVI_TRY(modify_page(page_off, [&](Page& p) {
      std::memcpy(p.data() + in_page, bytes.data() + done, chunk);
    }));
    done += chunk;
    pos += chunk;
  }
  return placed;
}

Result<std::string_view> Pager::gather_prop(uint64_t offset, uint32_t len,
                                            std::string& scratch) {
  if (len == 0) return std::string_view();
  if (len > kMaxBlobLen) {
    return OrviError::corrupted("blob length " + std::to_string(len) +
                                " exceeds the largest blob of " +
                                std::to_string(kMaxBlobLen) + " bytes");
  }
  if (offset < kDataStart || offset >= kMaxFileOffset) {
    return OrviError::corrupted("blob at offset " + std::to_string(offset) +
                                " lies outside the data region");
  }
  scratch.assign(len, '\0');
  uint64_t pos = offset;
  size_t done = 0;
  while (done < len) {
    uint64_t page_off = pos / kPageSize * kPageSize;
    size_t in_page = static_cast<size_t>(pos - page_off);
    size_t chunk = std::min<size_t>(len - done, kPageSize - in_page);
    auto page = view_page(page_off);
    if (!page) return page.error();
    std::memcpy(scratch.data() + done, (*page)->data() + in_page, chunk);
    done += chunk;
    pos += chunk;
  }
  return std::string_view(scratch);
}

Result<std::string> Pager::read_prop(uint64_t offset, uint32_t len) {
  std::string scratch;
  auto bytes = view_prop(offset, len, scratch);
  if (!bytes) return bytes.error();
  if (bytes->data() == scratch.data()) return scratch;
  return std::string(*bytes);
}

void Pager::reset_prop_storage() {
  ExtentChain& chain = chains_[static_cast<int>(ExtentKind::kProp)];
  if (header_.prop_index_head != 0) {
    put_zero_page(header_.prop_index_head);
    chain.extents.clear();
    chain.tail_page = header_.prop_index_head;
    chain.tail_count = 0;
  } else {
    chain = ExtentChain();
  }
  header_.prop_tail = 0;
}

}  // namespace orvi

// Support for the fuzz targets: a sparse in-memory disk, the small database
// image that the file-level targets damage, and the read-everything pass.
//
// Shared by the libFuzzer entry points (tests/fuzz/fuzz_*.cpp), the seed
// generator and the GoogleTest replay of regressions (built with g++), so
// everything here is header-only and uses the core API only.
//
// SparseDisk keeps only the pages that were written; everything else reads
// as zeros, so a database image whose extents span several MiB costs a few
// dozen pages and can be copied for every fuzz input. Its storage behaves
// like FileStorage (a read past the end fails, writes grow the file) and is
// not a memory store, so commits go through the write-ahead log. Like a
// real disk it is bounded: writes past kDiskMaxSize fail with EFBIG and more
// than kDiskMaxPages distinct pages with ENOSPC, so a damaged offset costs
// an Io error instead of a huge allocation.
#ifndef ORVI_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define ORVI_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/graphdb.h"
#include "error/result.h"
#include "graph/edge.h"
#include "graph/index.h"
#include "graph/merge.h"
#include "graph/node.h"
#include "graph/traverse.h"
#include "graph/vacuum.h"
#include "storage/crc32.h"
#include "storage/file.h"
#include "storage/pager.h"
#include "storage/prop_codec.h"
#include "storage/text.h"
#include "../cpp/graphdb_internals.h"
#include "storage/layout.h"
#include "storage/wal.h"

#if __has_include("graph/repair.h")
#include "graph/repair.h"
#define ORVI_FUZZ_HAVE_REPAIR 1
#endif

namespace orvi::fuzz {

inline constexpr uint64_t kDiskMaxSize = 1ULL << 40;  // 1 TiB
inline constexpr size_t kDiskMaxPages = 16384;        // 64 MiB of pages

struct SparseDisk {
  uint64_t size = 0;
  std::map<uint64_t, Page> pages;  // page-aligned offset -> image
  // Set when the pager breaks the storage contract (an unaligned offset).
  std::string contract_violation;

  uint8_t byte_at(uint64_t off) const {
    auto it = pages.find(off / kPageSize * kPageSize);
    return it == pages.end() ? 0 : it->second[off % kPageSize];
  }
  // Sets bytes directly (the harness damaging an image); grows the size.
  void put_bytes(uint64_t off, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      uint64_t pos = off + i;
      Page& page = page_for(pos / kPageSize * kPageSize);
      page[pos % kPageSize] = p[i];
    }
    size = std::max(size, off + n);
  }
  void put_byte(uint64_t off, uint8_t v) { put_bytes(off, &v, 1); }
  std::string get_bytes(uint64_t off, size_t n) const {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(byte_at(off + i));
    return out;
  }
  Page& page_for(uint64_t page_off) {
    auto it = pages.find(page_off);
    if (it == pages.end()) it = pages.emplace(page_off, Page{}).first;
    return it->second;
  }
};

class SparseStorage final : public Storage {
 public:
  explicit SparseStorage(SparseDisk* disk) : disk_(disk) {}
  SparseStorage(const SparseStorage&) = delete;
  SparseStorage& operator=(const SparseStorage&) = delete;

  Status read_page(uint64_t offset, Page& out) override {
    if (offset % kPageSize != 0) return violation("read_page", offset);
    if (offset > disk_->size || disk_->size - offset < kPageSize) {
      return OrviError::io_message("failed to fill whole buffer");
    }
    auto it = disk_->pages.find(offset);
    if (it == disk_->pages.end()) {
      out.fill(0);
    } else {
      out = it->second;
    }
    return Ok();
  }
  Status write_page(uint64_t offset, const Page& page) override {
    if (offset % kPageSize != 0) return violation("write_page", offset);
    if (offset > kDiskMaxSize - kPageSize) return OrviError::io_errno(EFBIG);
    auto it = disk_->pages.find(offset);
    if (it == disk_->pages.end()) {
      if (disk_->pages.size() >= kDiskMaxPages) {
        return OrviError::io_errno(ENOSPC);
      }
      disk_->pages.emplace(offset, page);
    } else {
      it->second = page;
    }
    disk_->size = std::max(disk_->size, offset + kPageSize);
    return Ok();
  }
  Status flush() override { return Ok(); }
  uint64_t file_size() const override { return disk_->size; }
  Status set_len(uint64_t len) override {
    if (len > kDiskMaxSize) return OrviError::io_errno(EFBIG);
    if (len < disk_->size) {
      const uint64_t first_gone = (len + kPageSize - 1) / kPageSize * kPageSize;
      disk_->pages.erase(disk_->pages.lower_bound(first_gone),
                         disk_->pages.end());
      if (len % kPageSize != 0) {
        auto it = disk_->pages.find(len / kPageSize * kPageSize);
        if (it != disk_->pages.end()) {
          std::fill(it->second.begin() + len % kPageSize, it->second.end(), 0);
        }
      }
    }
    disk_->size = len;
    return Ok();
  }
  bool is_memory() const override { return false; }

 private:
  Status violation(const char* what, uint64_t offset) {
    disk_->contract_violation = std::string(what) + " at unaligned offset " +
                                std::to_string(offset);
    return OrviError::io_errno(EINVAL);
  }
  SparseDisk* disk_;
};

inline Result<std::unique_ptr<Pager>> open_disk(SparseDisk& disk,
                                                bool is_new = false) {
  return Pager::open_storage(std::make_unique<SparseStorage>(&disk), is_new);
}

// Rewrites the header checksum of page 0 so that damage to the other header
// fields gets past the checksum test.
inline void fix_header_checksum(uint8_t* header) {
  uint64_t x = 0;
  for (size_t off = 16; off <= 96; off += 8) x ^= get_u64(header + off);
  x ^= static_cast<uint64_t>(get_u32(header));
  put_u64(header + 104, x);
}

inline void fix_header_checksum(SparseDisk& disk) {
  Page& page = disk.page_for(0);
  fix_header_checksum(page.data());
  disk.size = std::max<uint64_t>(disk.size, kPageSize);
}

// ---------------------------------------------------------------------------
// The base image: a small committed database with labels, nested
// properties, a self-loop, a deleted edge and an updated node, built once.

struct BaseImage {
  SparseDisk disk;
  // Byte ranges [first, second) worth damaging: the header, the start of the
  // log area, the extent-index pages, the used node and edge slots (and a
  // couple of unused ones after them) and the property bytes in use.
  std::vector<std::pair<uint64_t, uint64_t>> regions;
  uint64_t region_bytes = 0;

  // Maps an index from the fuzz input onto an absolute offset in regions.
  uint64_t position(uint64_t index) const {
    index %= region_bytes;
    for (const auto& [first, second] : regions) {
      if (index < second - first) return first + index;
      index -= second - first;
    }
    return 0;
  }
  // The index that position() maps onto `offset` (which must lie in a
  // region); used by the seed generator to aim mutations.
  uint64_t index_of(uint64_t offset) const {
    uint64_t index = 0;
    for (const auto& [first, second] : regions) {
      if (offset >= first && offset < second) return index + (offset - first);
      index += second - first;
    }
    std::fprintf(stderr, "fuzz support: offset %llu is in no region\n",
                 static_cast<unsigned long long>(offset));
    std::abort();
  }
};

[[noreturn]] inline void die(const char* what, const OrviError& e) {
  std::fprintf(stderr, "fuzz support: %s failed: %s\n", what,
               e.message().c_str());
  std::abort();
}

inline PropMap props(
    std::initializer_list<std::pair<const std::string, PropValue>> items) {
  return PropMap(items);
}

inline uint64_t slot_position(const Pager& pager, ExtentKind kind,
                              uint64_t id) {
  const bool node = kind == ExtentKind::kNode;
  const uint64_t per_extent = node ? kNodesPerExtent : kEdgesPerExtent;
  const uint64_t per_page = node ? kNodesPerPage : kEdgesPerPage;
  const uint64_t size = node ? kNodeSlotSize : kEdgeSlotSize;
  const uint64_t i = id - 1;
  const uint64_t r = i % per_extent;
  return pager.chain(kind).extents.at(i / per_extent) +
         kPageSize * (r / per_page) + 8 + size * (r % per_page);
}

inline BaseImage build_base_image() {
  BaseImage img;
  auto opened = open_disk(img.disk, /*is_new=*/true);
  if (!opened) die("create", opened.error());
  Pager& p = **opened;
  using PV = PropValue;
  auto check = [](const char* what, const auto& r) {
    if (!r) die(what, r.error());
  };
  check("node 1", add_node(p, {"Person"},
                           props({{"name", PV::from_string("Ann")},
                                  {"age", PV::from_int(31)}})));
  PropMap nested = props({{"x", PV::from_float(1.5)},
                          {"y", PV::null()},
                          {"z", PV::from_bool(true)}});
  check("node 2",
        add_node(p, {"Person", "Admin"},
                 props({{"name", PV::from_string("Bob")},
                        {"tags", PV::from_list({PV::from_string("a"),
                                                PV::from_int(-7)})},
                        {"nested", PV::from_map(std::move(nested))}})));
  check("node 3", add_node(p, {}, {}));
  check("node 4", add_node(p, {"City"},
                           props({{"name", PV::from_string("Oslo")}})));
  check("edge 1", add_edge(p, 1, "KNOWS", 2,
                           props({{"since", PV::from_int(2020)}})));
  check("edge 2", add_edge(p, 2, "KNOWS", 1, {}));
  check("edge 3", add_edge(p, 1, "LIVES_IN", 4, {}));
  check("edge 4", add_edge(p, 2, "SELF", 2,
                           props({{"w", PV::from_float(-0.25)}})));
  check("edge 5", add_edge(p, 3, "", 1, {}));
  check("edge 6", add_edge(p, 4, "X", 3, props({{"k", PV::null()}})));
  check("commit 1", p.commit());
  check("delete edge 2", delete_edge(p, 2));
  check("update node 1", update_node(p, 1, props({{"age", PV::from_int(32)}})));
  check("update edge 6", update_edge(p, 6, props({{"k", PV::from_int(1)}})));
  check("commit 2", p.commit());

  // Regions worth damaging.
  img.regions.push_back({0, kHeaderSize});
  img.regions.push_back({kWalOffset, kWalOffset + 64});
  const FileHeader& h = p.header();
  for (uint64_t head :
       {h.node_index_head, h.edge_index_head, h.prop_index_head}) {
    if (head != 0) {
      const uint64_t count = get_u32(img.disk.page_for(head).data() + 8);
      // The used entries and two more, so seeds can add an extent.
      img.regions.push_back({head, head + 16 + 8 * (count + 2)});
    }
  }
  for (uint64_t id = 1; id < p.header().next_node_id + 2; ++id) {
    uint64_t at = slot_position(p, ExtentKind::kNode, id);
    img.regions.push_back({at, at + kNodeSlotSize});
  }
  for (uint64_t id = 1; id < p.header().next_edge_id + 2; ++id) {
    uint64_t at = slot_position(p, ExtentKind::kEdge, id);
    img.regions.push_back({at, at + kEdgeSlotSize});
  }
  const auto& prop_chain = p.chain(ExtentKind::kProp);
  if (!prop_chain.extents.empty()) {
    img.regions.push_back({prop_chain.extents.front(), p.header().prop_tail});
  }
  for (const auto& [first, second] : img.regions) {
    img.region_bytes += second - first;
  }
  return img;
}

inline const BaseImage& base_image() {
  static const BaseImage img = build_base_image();
  return img;
}

// ---------------------------------------------------------------------------
// Reading everything.

// A canonical text of every live node and edge (ids, labels, endpoints and
// the canonical property encoding), or the first read error.
inline Result<std::string> fingerprint(Pager& pager) {
  std::string out;
  auto nodes = all_nodes(pager);
  if (!nodes) return nodes.error();
  for (const Node& n : *nodes) {
    out += "n" + std::to_string(n.id) + ":";
    out += encode_labels(n.labels());
    out += encode_props(n.properties());
    out += "\n";
  }
  auto edges = all_edges(pager);
  if (!edges) return edges.error();
  for (const Edge& e : *edges) {
    out += "e" + std::to_string(e.id) + ":" + std::to_string(e.from_node) +
           ">" + std::to_string(e.to_node) + ":";
    PropValue label(e.label);
    encode_into(label, out);
    out += encode_props(e.properties());
    out += "\n";
  }
  return out;
}

// Ids worth asking about: everything below the next id up to a bound, and
// the boundaries around it.
inline std::vector<uint64_t> probe_ids(uint64_t next, uint64_t limit) {
  std::vector<uint64_t> ids;
  const uint64_t upto = std::min(next, limit);
  for (uint64_t id = 0; id <= upto; ++id) ids.push_back(id);
  for (uint64_t id : {next - 1, next, next + 1, ~uint64_t{0}}) {
    if (id > upto) ids.push_back(id);
  }
  return ids;
}

// Every read the graph layer offers, over every id up to the next ids. The
// results are ignored: what matters is that each call comes back.
inline void read_everything(Pager& pager) {
  (void)all_nodes(pager);
  (void)all_edges(pager);
  (void)LabelIndex::build(pager);
  const std::optional<std::string_view> any;
  const std::optional<std::string_view> knows("KNOWS");
  for (uint64_t id : probe_ids(pager.header().next_node_id, 256)) {
    (void)node_exists(pager, id);
    (void)get_node(pager, id);
    (void)out_edges(pager, id, any);
    (void)in_edges(pager, id, knows);
    (void)neighbors(pager, id, Direction::kOut, any);
    (void)neighbors(pager, id, Direction::kIn, knows);
    (void)neighbors(pager, id, Direction::kBoth, any);
  }
  for (uint64_t id : probe_ids(pager.header().next_edge_id, 256)) {
    (void)get_edge(pager, id);
  }
  const uint64_t next = pager.header().next_node_id;
  for (uint64_t id : probe_ids(next, 8)) {
    (void)bfs(pager, id, 2);
    (void)bfs(pager, id, ~uint64_t{0});
    (void)dfs(pager, id, ~uint64_t{0});
    (void)shortest_path(pager, id, next - 1, any);
    (void)shortest_path(pager, 1, id, knows);
  }
}

// ---------------------------------------------------------------------------
// Real files, for the targets that go through GraphDB.

// A private directory for database files, on tmpfs where there is one,
// removed at exit.
inline const std::string& scratch_dir() {
  static std::string dir;
  if (dir.empty()) {
    std::string tmpl =
        std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
        "/orvi-fuzz-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::perror("fuzz support: mkdtemp");
      std::abort();
    }
    dir = tmpl;
    std::atexit([] {
      const std::string cmd = "rm -rf '" + dir + "'";
      if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "fuzz support: could not remove %s\n",
                     dir.c_str());
      }
    });
  }
  return dir;
}

// Writes the disk image to `path` (replacing it) as a sparse file.
inline bool write_disk_file(const SparseDisk& disk, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, static_cast<off_t>(disk.size)) == 0;
  for (const auto& [offset, page] : disk.pages) {
    if (!ok || offset >= disk.size) break;
    const size_t n =
        static_cast<size_t>(std::min<uint64_t>(kPageSize, disk.size - offset));
    ok = pwrite_exact(fd, page.data(), n, offset).ok();
  }
  ::close(fd);
  return ok;
}

}  // namespace orvi::fuzz

#endif  // ORVI_TESTS_FUZZ_FUZZ_SUPPORT_H_

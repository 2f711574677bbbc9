#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <vector>
#include <set>
#include <random>
#include <map>
#include <algorithm>

#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;
using orvi::testing::slurp;
using orvi::testing::spit;
using orvi::testing::size_of;

class PagerFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<Pager> open_ok() {
    auto p = Pager::open(path_);
    EXPECT_OK(p);
    return p ? std::move(*p) : nullptr;
  }
  std::string open_err() {
    auto p = Pager::open(path_);
    EXPECT_FALSE(p);
    return p ? "" : p.error().detail();
  }
  // Edits the stored header, optionally fixing its checksum afterwards.
  void edit_header(size_t at, uint8_t value, bool fix_checksum) {
    std::string b = slurp(path_);
    b[at] = static_cast<char>(value);
    if (fix_checksum) {
      uint64_t x = 0;
      for (size_t off = 16; off <= 96; off += 8) x ^= get_u64(reinterpret_cast<uint8_t*>(&b[off]));
      x ^= get_u32(reinterpret_cast<uint8_t*>(&b[0]));
      put_u64(reinterpret_cast<uint8_t*>(&b[104]), x);
    }
    spit(path_, b);
  }

  TempDir dir_;
  std::string path_ = dir_.file("g.db");
};

TEST_F(PagerFileTest, NewFileHoldsOnlyTheEmptyHeader) {
  {
    auto p = open_ok();
    EXPECT_EQ(p->storage().file_size(), 4096u);
  }
  EXPECT_EQ(size_of(path_), 4096u);
  auto p = open_ok();
  EXPECT_EQ(p->header().next_node_id, 1u);
  EXPECT_EQ(p->header().next_edge_id, 1u);
  EXPECT_EQ(p->header().wal_offset, 4096u);
  EXPECT_EQ(p->file_end(), kDataStart);
}

TEST_F(PagerFileTest, HeaderChecksRunInOrderWithExactTexts) {
  std::remove(path_.c_str());
  open_ok();
  const std::string db = slurp(path_);
  const std::string magic("ORVI\0\0\0\0\0\0\0\0\0\0\0\0", 16);
  // Bytes that are not a database's, at any length, and a database's first
  // bytes cut short. None of them is ever written to.
  const std::pair<std::string, std::string> cases[] = {
      {"", "file too small to contain header"},
      {"x", "invalid magic bytes"},
      {std::string(300, 'x'), "invalid magic bytes"},
      {std::string(4095, '\0'), "invalid magic bytes"},
      {"OR", "file too small to contain header"},
      {magic + std::string(50, 'x'), "file too small to contain header"},
      {db.substr(0, 128), "file too small to contain header page: 128 of 4096 bytes"},
      {db.substr(0, 4095), "file too small to contain header page: 4095 of 4096 bytes"},
  };
  for (const auto& [bytes, text] : cases) {
    spit(path_, bytes);
    EXPECT_EQ(open_err(), text) << bytes.size() << " bytes";
    EXPECT_EQ(slurp(path_), bytes) << bytes.size() << " bytes";
  }
  // A cut-short header page still reports what its header says first.
  std::string future = db.substr(0, 1000);
  future[18] = 1;
  spit(path_, future);
  EXPECT_EQ(open_err(), "unsupported file format version: 1.1 (supported: 1.0)");
  spit(path_, db);
  edit_header(5, 1, true);
  EXPECT_EQ(open_err(), "invalid magic bytes");
  edit_header(5, 0, true);
  edit_header(18, 1, true);
  EXPECT_EQ(open_err(),
            "unsupported file format version: 1.1 (supported: 1.0)");
  edit_header(18, 0, true);
  edit_header(21, 0x20, true);  // page size 8192
  EXPECT_EQ(open_err(), "unsupported page size: 8192");
  edit_header(21, 0x10, true);
  open_ok();
}

TEST_F(PagerFileTest, ChecksumCoversBytes16To112Only) {
  open_ok();
  edit_header(30, 0x01, false);  // node_count low byte
  // The stored checksum of an empty header: words 16 (1|0<<16|4096<<32),
  // next ids 1 and 1, wal_offset 4096, XOR "ORVI".
  const uint64_t stored =
      (1ULL | (4096ULL << 32)) ^ 1 ^ 1 ^ 4096 ^ 0x4956524fULL;
  const uint64_t computed = stored ^ (1ULL << 48);
  char expect[200];
  std::snprintf(expect, sizeof expect,
                "header checksum mismatch: expected 0x%016llx, got 0x%016llx",
                static_cast<unsigned long long>(computed),
                static_cast<unsigned long long>(stored));
  EXPECT_EQ(open_err(), expect);
  edit_header(30, 0x00, false);
  edit_header(120, 0x55, false);  // reserved tail of the header
  edit_header(2000, 0x77, false);  // rest of page 0
  auto p = open_ok();
  ASSERT_TRUE(p->write_header());
  p.reset();
  std::string b = slurp(path_);
  EXPECT_EQ(static_cast<uint8_t>(b[120]), 0);     // rewritten
  EXPECT_EQ(static_cast<uint8_t>(b[2000]), 0x77);  // carried over
}

TEST_F(PagerFileTest, WorkedLayoutOfTheFirstExtents) {
  auto p = open_ok();
  auto node_base = p->allocate_extent(ExtentKind::kNode);
  ASSERT_TRUE(node_base);
  EXPECT_EQ(*node_base, 4198400u);
  EXPECT_EQ(p->header().node_index_head, 5246976u);
  EXPECT_EQ(p->file_end(), 5251072u);
  auto blob = p->append_prop("hello");
  ASSERT_TRUE(blob);
  EXPECT_EQ(*blob, 5251072u);
  EXPECT_EQ(p->header().prop_index_head, 6299648u);
  EXPECT_EQ(p->header().prop_tail, 5251077u);
  NodeSlot s;
  s.id = 1;
  s.label_offset = *blob;
  s.label_len = 5;
  ASSERT_TRUE(p->write_node_slot(s));
  ASSERT_TRUE(p->commit());
  p.reset();
  std::string b = slurp(path_);
  EXPECT_EQ(get_u64(reinterpret_cast<const uint8_t*>(&b[4198408])), 1u);
  const uint8_t* idx = reinterpret_cast<const uint8_t*>(&b[5246976]);
  EXPECT_EQ(get_u64(idx), 0u);
  EXPECT_EQ(get_u32(idx + 8), 1u);
  EXPECT_EQ(get_u64(idx + 16), 4198400u);
  EXPECT_EQ(b.substr(5251072, 5), "hello");
  p = open_ok();
  EXPECT_EQ(p->file_end(), 6299648u + 4096u);
  auto back = p->read_prop(5251072, 5);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, "hello");
}

TEST_F(PagerFileTest, SlotAddressingAtPageAndExtentBoundaries) {
  auto p = open_ok();
  ASSERT_TRUE(p->allocate_extent(ExtentKind::kNode));
  ASSERT_TRUE(p->allocate_extent(ExtentKind::kEdge));
  const uint64_t node_base = p->chain(ExtentKind::kNode).extents[0];
  const uint64_t edge_base = p->chain(ExtentKind::kEdge).extents[0];
  NodeSlot last;
  last.id = 16128;
  last.out_degree = 77;
  ASSERT_TRUE(p->write_node_slot(last));
  auto beyond = p->read_node_slot(16129);
  ASSERT_FALSE(beyond);
  EXPECT_EQ(beyond.error().message(),
            "node capacity exceeded: the current file layout can address at "
            "most 16128 nodes");
  EdgeSlot e51, e52;
  e51.id = 51;
  e52.id = 52;
  e51.from = 5;
  e52.from = 6;
  ASSERT_TRUE(p->write_edge_slot(e51));
  ASSERT_TRUE(p->write_edge_slot(e52));
  ASSERT_TRUE(p->commit());
  p.reset();
  std::string b = slurp(path_);
  auto at = [&](uint64_t off) {
    return get_u64(reinterpret_cast<const uint8_t*>(&b[off]));
  };
  EXPECT_EQ(at(node_base + 4096 * 255 + 8 + 64 * 62), 16128u);
  EXPECT_EQ(at(edge_base + 8 + 80 * 50), 51u);
  EXPECT_EQ(at(edge_base + 4096 + 8), 52u);
  p = open_ok();
  ASSERT_TRUE(p->allocate_extent(ExtentKind::kNode));
  NodeSlot first;
  first.id = 16129;
  ASSERT_TRUE(p->write_node_slot(first));
  const uint64_t second_base = p->chain(ExtentKind::kNode).extents[1];
  auto page = p->read_page(second_base);
  ASSERT_TRUE(page);
  EXPECT_EQ(get_u64(page->data() + 8), 16129u);
  auto r = p->read_node_slot(16128);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->out_degree, 77u);
}

TEST_F(PagerFileTest, ChainOf511ExtentsSpansTwoIndexPages) {
  auto p = open_ok();
  for (int i = 0; i < 511; ++i) ASSERT_TRUE(p->allocate_extent(ExtentKind::kEdge));
  ASSERT_TRUE(p->commit());
  const uint64_t head = p->header().edge_index_head;
  auto walk = p->walk_chain(head, ExtentKind::kEdge);
  ASSERT_TRUE(walk);
  EXPECT_EQ(walk->extents.size(), 511u);
  EXPECT_EQ(walk->tail_count, 1u);
  auto first = p->read_page(head);
  ASSERT_TRUE(first);
  EXPECT_EQ(get_u32(first->data() + 8), 510u);
  EXPECT_EQ(get_u64(first->data()), walk->tail_page);
  p.reset();
  p = open_ok();
  EXPECT_EQ(p->chain(ExtentKind::kEdge).extents.size(), 511u);
  EXPECT_EQ(p->chain(ExtentKind::kEdge).tail_count, 1u);
}

TEST_F(PagerFileTest, DamagedChainsFailAtOpen) {
  uint64_t head;
  {
    auto p = open_ok();
    ASSERT_TRUE(p->allocate_extent(ExtentKind::kNode));
    ASSERT_TRUE(p->commit());
    head = p->header().node_index_head;
  }
  std::string good = slurp(path_);
  std::string b = good;
  put_u64(reinterpret_cast<uint8_t*>(&b[head]), head);  // links to itself
  spit(path_, b);
  EXPECT_EQ(open_err(), "node extent-index chain contains a cycle at 0x501000");
  b = good;
  put_u32(reinterpret_cast<uint8_t*>(&b[head + 8]), 511);
  spit(path_, b);
  EXPECT_EQ(open_err(),
            "node extent-index page at 0x501000 reports count=511 > max 510");
  b = good;
  put_u64(reinterpret_cast<uint8_t*>(&b[head + 16]), ~0ULL - 4095);
  spit(path_, b);
  EXPECT_NE(open_err().find("outside the data region"), std::string::npos);
}

TEST_F(PagerFileTest, BlobPlacementAcrossExtents) {
  auto p = open_ok();
  std::string full(kMaxBlobLen, 'a');
  auto a = p->append_prop(full);
  ASSERT_TRUE(a);
  const uint64_t base0 = p->chain(ExtentKind::kProp).extents[0];
  EXPECT_EQ(*a, base0);
  auto too_big = p->append_prop(std::string(kMaxBlobLen + 1, 'b'));
  ASSERT_FALSE(too_big);
  EXPECT_EQ(too_big.error().message(),
            "Invalid request: property blob of 1048569 bytes exceeds the "
            "per-extent limit of 1048568 bytes");
  auto empty = p->append_prop("");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, 0u);
  std::string big(600000, 'c');
  auto b1 = p->append_prop(big);
  auto b2 = p->append_prop(big);
  ASSERT_TRUE(b1 && b2);
  EXPECT_EQ(*b1, p->chain(ExtentKind::kProp).extents[1]);
  EXPECT_EQ(*b2, p->chain(ExtentKind::kProp).extents[2]);
  // A blob crossing page boundaries reads back whole.
  std::string mixed;
  for (int i = 0; i < 9000; ++i) mixed.push_back(static_cast<char>(i * 7));
  auto m = p->append_prop(mixed);
  ASSERT_TRUE(m);
  auto back = p->read_prop(*m, static_cast<uint32_t>(mixed.size()));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, mixed);
  auto damaged = p->read_prop(*m, kMaxBlobLen + 1);
  ASSERT_FALSE(damaged);
  EXPECT_EQ(damaged.error().kind(), ErrorKind::kCorruptedFile);
  auto wrapped = p->read_prop(~0ULL - 10, 100);
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error().kind(), ErrorKind::kCorruptedFile);
}

TEST_F(PagerFileTest, ResetPropStorageReusesTheHeadPage) {
  auto p = open_ok();
  ASSERT_TRUE(p->append_prop("x"));
  const uint64_t head = p->header().prop_index_head;
  p->reset_prop_storage();
  EXPECT_EQ(p->header().prop_tail, 0u);
  auto again = p->append_prop("y");
  ASSERT_TRUE(again);
  EXPECT_EQ(p->header().prop_index_head, head);
  auto page = p->read_page(head);
  ASSERT_TRUE(page);
  EXPECT_EQ(get_u32(page->data() + 8), 1u);
  EXPECT_EQ(get_u64(page->data() + 16), *again);
}

TEST_F(PagerFileTest, RollbackReturnsToTheLastCommit) {
  auto p = open_ok();
  p->header().next_node_id = 5;
  ASSERT_TRUE(p->commit());  // no dirty pages: still rewrites the header
  ASSERT_TRUE(p->allocate_extent(ExtentKind::kNode));
  p->header().next_node_id = 9;
  p->header().node_count = 3;
  ASSERT_TRUE(p->rollback());
  EXPECT_EQ(p->header().next_node_id, 5u);
  EXPECT_EQ(p->header().node_count, 0u);
  EXPECT_EQ(p->chain(ExtentKind::kNode).extents.size(), 0u);
  EXPECT_EQ(p->dirty_count(), 0u);
  p.reset();
  p = open_ok();
  EXPECT_EQ(p->header().next_node_id, 5u);
}

TEST_F(PagerFileTest, ClearTruncatesToAnEmptyDatabaseAtOnce) {
  auto p = open_ok();
  ASSERT_TRUE(p->allocate_extent(ExtentKind::kNode));
  ASSERT_TRUE(p->append_prop("abc"));
  p->header().next_node_id = 7;
  ASSERT_TRUE(p->commit());
  p->header().next_node_id = 8;
  ASSERT_TRUE(p->clear_to_empty());
  EXPECT_EQ(size_of(path_), 4198400u);
  ASSERT_TRUE(p->rollback());
  EXPECT_EQ(p->header().next_node_id, 1u);
  p.reset();
  p = open_ok();
  EXPECT_EQ(p->header().next_node_id, 1u);
  EXPECT_EQ(p->file_end(), kDataStart);
}

TEST(PagerMemoryTest, MemoryStoreRollsBackToItsLastCommit) {
  auto p = Pager::open(":memory:");
  ASSERT_TRUE(p);
  Pager& m = **p;
  EXPECT_TRUE(m.is_memory());
  EXPECT_EQ(m.storage().file_size(), 4096u);
  ASSERT_TRUE(m.allocate_extent(ExtentKind::kNode));
  m.header().next_node_id = 2;
  ASSERT_TRUE(m.rollback());
  EXPECT_EQ(m.header().next_node_id, 1u);
  ASSERT_TRUE(m.allocate_extent(ExtentKind::kNode));
  m.header().next_node_id = 3;
  ASSERT_TRUE(m.commit());
  m.header().next_node_id = 4;
  ASSERT_TRUE(m.rollback());
  EXPECT_EQ(m.header().next_node_id, 3u);
  EXPECT_EQ(m.chain(ExtentKind::kNode).extents.size(), 1u);
  // Nothing was ever written into the log area.
  auto wal_page = m.read_page(kWalOffset);
  ASSERT_TRUE(wal_page);
  EXPECT_EQ(*wal_page, Page{});
}

TEST(PagerMemoryTest, PagesBeyondTheEndReadAsZero) {
  auto p = Pager::open(":memory:");
  ASSERT_TRUE(p);
  auto far = (*p)->read_page(1ULL << 40);
  ASSERT_TRUE(far);
  EXPECT_EQ(*far, Page{});
  auto wrap = (*p)->read_page(~0ULL - 100);
  ASSERT_TRUE(wrap);
  EXPECT_EQ(*wrap, Page{});
}

// The dirty map and the cache share page images. Whatever the sharing, a
// random run of reads, changes, commits and rollbacks must leave the cache
// in exactly the use order of the reading and modification protocol
// (dirty map first, then the cache; a change reads the page if it is not
// dirty and then puts it) and every page with its newest bytes.
TEST(PagerCacheModelTest, SharedImagesKeepTheProtocolsOrderAndBytes) {
  auto opened = Pager::open(":memory:");
  ASSERT_TRUE(opened);
  Pager& p = **opened;
  constexpr uint64_t kPages = 400;  // more than the cache holds
  std::mt19937 rng(99);

  std::vector<uint64_t> order;  // model cache, front = most recent
  std::set<uint64_t> dirty;
  std::map<uint64_t, uint8_t> committed, current;  // first byte of each page
  uint64_t store_end = p.storage().file_size();

  auto use = [&](uint64_t off) {
    auto it = std::find(order.begin(), order.end(), off);
    if (it != order.end()) {
      order.erase(it);
    } else if (order.size() >= kCacheCapacity) {
      order.pop_back();
    }
    order.insert(order.begin(), off);
  };
  auto model_read = [&](uint64_t off) {
    if (dirty.count(off)) return;
    if (std::find(order.begin(), order.end(), off) != order.end()) {
      use(off);
    } else if (off + kPageSize <= store_end) {
      use(off);
    }
  };

  for (int step = 0; step < 6000; ++step) {
    const uint64_t off = kDataStart + kPageSize * (rng() % kPages);
    const int op = rng() % 20;
    if (op < 10) {
      auto page = p.read_page(off);
      ASSERT_TRUE(page);
      model_read(off);
      EXPECT_EQ((*page)[0], current.count(off) ? current[off] : 0) << step;
      EXPECT_EQ((*page)[1], 0);
    } else if (op < 18) {
      const uint8_t byte = static_cast<uint8_t>(1 + rng() % 250);
      ASSERT_TRUE(p.modify_page(off, [&](Page& pg) { pg[0] = byte; }));
      model_read(off);
      use(off);
      dirty.insert(off);
      current[off] = byte;
    } else if (op == 18) {
      ASSERT_TRUE(p.commit());
      dirty.clear();
      committed = current;
      store_end = p.storage().file_size();
    } else {
      ASSERT_TRUE(p.rollback());
      dirty.clear();
      order.clear();
      current = committed;
    }
    ASSERT_EQ(p.cache().order(), order) << "step " << step;
  }
}

}  // namespace
}  // namespace orvi

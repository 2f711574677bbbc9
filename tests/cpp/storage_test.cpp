#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/cache.h"
#include "storage/file.h"
#include "storage/layout.h"
#include "storage/pager.h"
#include "test_util.h"

namespace orvi {
namespace {

using orvi::testing::TempDir;

Page filled(uint8_t b) {
  Page p;
  p.fill(b);
  return p;
}

TEST(MemoryStorageTest, WriteBeyondEndZeroFillsAndReadBeyondEndFails) {
  MemoryStorage m;
  Page out;
  Status s = m.read_page(0, out);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().detail(), "read_page: offset=0 out of range (size=0)");
  ASSERT_TRUE(m.write_page(8192, filled(7)));
  EXPECT_EQ(m.file_size(), 12288u);
  ASSERT_TRUE(m.read_page(0, out));
  EXPECT_EQ(out, Page{});
  ASSERT_TRUE(m.read_page(8192, out));
  EXPECT_EQ(out, filled(7));
  s = m.read_page(8193, out);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().detail(),
            "read_page: offset=8193 out of range (size=12288)");
  ASSERT_TRUE(m.set_len(4096));
  EXPECT_EQ(m.file_size(), 4096u);
  EXPECT_TRUE(m.is_memory());
}

TEST(FileStorageTest, LengthFollowsWritesAndTruncation) {
  TempDir dir;
  auto fs = FileStorage::open(dir.file("f"));
  ASSERT_TRUE(fs);
  FileStorage& f = **fs;
  EXPECT_EQ(f.file_size(), 0u);
  EXPECT_FALSE(f.is_memory());
  ASSERT_TRUE(f.write_page(8192, filled(3)));
  EXPECT_EQ(f.file_size(), 12288u);
  Page out;
  ASSERT_TRUE(f.read_page(8192, out));
  EXPECT_EQ(out, filled(3));
  ASSERT_TRUE(f.set_len(4096));
  EXPECT_EQ(f.file_size(), 4096u);
  ASSERT_TRUE(f.flush());
  struct stat st;
  ASSERT_EQ(::stat(dir.file("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);
}

TEST(FileStorageTest, InlineViewsServeOnlyMappedPagesInsideTheFile) {
  TempDir dir;
  auto fs = FileStorage::open(dir.file("f"));
  ASSERT_TRUE(fs);
  FileStorage& f = **fs;
  ASSERT_TRUE(f.write_page(0, filled(1)));
  ASSERT_TRUE(f.write_page(4096, filled(2)));
  // Nothing is mapped before the first map_page().
  EXPECT_EQ(f.mapped_view(0), nullptr);
  ASSERT_NE(f.map_page(0), nullptr);
  ASSERT_NE(f.mapped_view(4096), nullptr);
  EXPECT_EQ(*f.mapped_view(4096), filled(2));
  EXPECT_EQ(f.mapped_view(8192), nullptr);  // past the end
  // Growth shows at once; a cut hides what lies past it.
  ASSERT_TRUE(f.write_page(8192, filled(3)));
  ASSERT_NE(f.mapped_view(8192), nullptr);
  EXPECT_EQ(*f.mapped_view(8192), filled(3));
  ASSERT_TRUE(f.set_len(4096));
  EXPECT_EQ(f.mapped_view(4096), nullptr);
  EXPECT_EQ(f.map_page(4096), nullptr);
  EXPECT_EQ(*f.mapped_view(0), filled(1));
}

TEST(FileStorageTest, ShortFileReadsFailWithFillText) {
  TempDir dir;
  auto fs = FileStorage::open(dir.file("f"));
  ASSERT_TRUE(fs);
  ASSERT_TRUE((*fs)->set_len(1000));
  Page out;
  Status s = (*fs)->read_page(0, out);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(s.error().detail(), "failed to fill whole buffer");
}

TEST(FileStorageTest, OpenFailureIsIoWithOsText) {
  auto fs = FileStorage::open("/nonexistent-dir-orvi/x.db");
  ASSERT_FALSE(fs);
  EXPECT_EQ(fs.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(fs.error().detail(), "No such file or directory (os error 2)");
}

class PageCacheTest : public ::testing::Test {
 protected:
  void put(PageCache& c, uint64_t off) { c.put(off, filled(off & 0xff)); }
};

TEST_F(PageCacheTest, GetHitRefreshesSoLeastRecentIsEvicted) {
  PageCache c(2);
  put(c, 1);
  put(c, 2);
  ASSERT_NE(c.get(1), nullptr);
  put(c, 3);
  EXPECT_TRUE(c.contains(1));
  EXPECT_FALSE(c.contains(2));
  EXPECT_TRUE(c.contains(3));
  EXPECT_EQ(c.order(), (std::vector<uint64_t>{3, 1}));
}

TEST_F(PageCacheTest, ReputOfCachedOffsetNeverEvicts) {
  PageCache c(2);
  put(c, 1);
  put(c, 2);
  c.put(1, filled(9));
  EXPECT_EQ(c.size(), 2u);
  EXPECT_EQ(c.order(), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(*c.get(1), filled(9));
}

TEST_F(PageCacheTest, CapacityZeroActsAsOne) {
  PageCache c(0);
  EXPECT_EQ(c.capacity(), 1u);
  put(c, 1);
  put(c, 2);
  EXPECT_FALSE(c.contains(1));
  EXPECT_TRUE(c.contains(2));
}

TEST_F(PageCacheTest, MissChangesNothingAndClearEmpties) {
  PageCache c(3);
  put(c, 1);
  put(c, 2);
  EXPECT_EQ(c.get(9), nullptr);
  EXPECT_EQ(c.order(), (std::vector<uint64_t>{2, 1}));
  c.clear();
  EXPECT_EQ(c.size(), 0u);
  EXPECT_EQ(c.get(1), nullptr);
}

TEST_F(PageCacheTest, LongRunMatchesReferenceQueue) {
  // Compare against a plain queue with linear scans, the simplest model of
  // the eviction order.
  PageCache c(8);
  std::vector<uint64_t> model;  // front = most recent
  std::mt19937 rng(42);
  for (int i = 0; i < 5000; ++i) {
    uint64_t off = rng() % 20;
    auto it = std::find(model.begin(), model.end(), off);
    if (rng() % 3 == 0) {
      bool hit = c.get(off) != nullptr;
      ASSERT_EQ(hit, it != model.end());
      if (hit) {
        model.erase(it);
        model.insert(model.begin(), off);
      }
    } else {
      put(c, off);
      if (it != model.end()) {
        model.erase(it);
      } else if (model.size() >= 8) {
        model.pop_back();
      }
      model.insert(model.begin(), off);
    }
    ASSERT_EQ(c.order(), model);
  }
}

TEST_F(PageCacheTest, ManyScatteredOffsetsKeepOrderAndImages) {
  // Capacities small and full-size, offsets dense, page-aligned and
  // scattered over the whole 64-bit range (so index probes collide and wrap):
  // the order matches the queue model and every hit returns its own image.
  std::mt19937_64 rng(7);
  for (size_t capacity : {size_t{3}, size_t{256}}) {
    PageCache c(capacity);
    std::vector<uint64_t> model;
    std::vector<uint64_t> pool(capacity * 3);
    for (size_t i = 0; i < pool.size(); ++i) {
      pool[i] = i % 3 == 0 ? i : i % 3 == 1 ? i * kPageSize : rng() >> 1;
    }
    for (int step = 0; step < 20000; ++step) {
      const uint64_t off = pool[rng() % pool.size()];
      auto it = std::find(model.begin(), model.end(), off);
      if (rng() % 3 == 0) {
        const Page* hit = c.get(off);
        ASSERT_EQ(hit != nullptr, it != model.end());
        if (hit) {
          ASSERT_EQ(*hit, filled(off & 0xff));
          model.erase(it);
          model.insert(model.begin(), off);
        }
      } else {
        if (rng() % 2) {
          c.put(off, filled(off & 0xff));
        } else {
          PageRef spare = c.put_shared(off, std::make_shared<Page>(filled(off & 0xff)));
          // A page handed back is one nobody else holds.
          if (spare) EXPECT_EQ(spare.use_count(), 1);
        }
        if (it != model.end()) {
          model.erase(it);
        } else if (model.size() >= capacity) {
          ASSERT_FALSE(c.contains(model.back()));
          model.pop_back();
        }
        model.insert(model.begin(), off);
      }
      if (step % 50 == 0) ASSERT_EQ(c.order(), model) << step;
      ASSERT_EQ(c.size(), model.size());
    }
    c.clear();
    EXPECT_EQ(c.size(), 0u);
    EXPECT_EQ(c.order(), std::vector<uint64_t>{});
  }
}

// The first `count` fields of the table hold 1, 2, 3, ... in `bytes`.
void expect_numbered(const uint8_t* bytes, const SlotField* fields,
                     size_t count) {
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(bytes[fields[i].offset], i + 1) << fields[i].name;
  }
}

// The named header offsets handed to tools and tests are where the
// encoder puts each field (the slots' names and offsets are the encoders'
// own field lists).
TEST(SlotLayoutTest, HeaderFieldTableMatchesTheEncoder) {
  uint8_t header[kHeaderSize];
  FileHeader{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}.to_bytes(header);
  // All but the checksum, which to_bytes computes.
  expect_numbered(header, kHeaderFields, std::size(kHeaderFields) - 1);
}

}  // namespace
}  // namespace orvi

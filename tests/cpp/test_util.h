// Shared helpers for the core tests: result checks, temporary directories
// and whole-file reads and writes, a simulated disk that can fail or
// "crash" at the N-th write, flush or truncate, and the crash fixture that
// runs a pager on it.
#ifndef ORVI_TESTS_CPP_TEST_UTIL_H_
#define ORVI_TESTS_CPP_TEST_UTIL_H_

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/file.h"
#include "storage/pager.h"

namespace orvi::testing {

// Success of a Result or Status; a failure prints the error's message.
template <typename R>
::testing::AssertionResult IsOk(const R& r) {
  if (r) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << r.error().message();
}
#define ASSERT_OK(expr) ASSERT_TRUE(::orvi::testing::IsOk(expr))
#define EXPECT_OK(expr) EXPECT_TRUE(::orvi::testing::IsOk(expr))

// A whole file's bytes (empty when it cannot be read), and back.
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void spit(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}
// The size of a file, 0 when it does not exist.
inline uint64_t size_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size)
                                        : 0;
}
// Whether anything (a dangling link too) is at `path`.
inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orvi-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A disk image with a durable part (as of the last flush) and the writes
// made since. Counted operations (write_page, flush, set_len) can fail:
//  - once, at the N-th call (fail_once_at), the store then works again;
//  - for good, from the N-th call on (crash_at): a crash.
// crash_image() gives what a disk could hold after a crash: the durable
// bytes plus any subset of the writes made since the last flush.
class SimDisk {
 public:
  std::vector<uint8_t> current;
  std::vector<uint8_t> durable;
  struct Write {
    uint64_t offset;
    Page page;
  };
  std::vector<Write> unflushed;
  bool truncated_since_flush = false;
  uint64_t ops = 0;
  uint64_t fail_once_at = 0;  // 0 = never
  uint64_t crash_at = 0;      // 0 = never
  int error_number = EIO;

  std::vector<uint8_t> crash_image(std::mt19937& rng) const {
    if (truncated_since_flush) return current;  // keep it simple: no tearing
    std::vector<uint8_t> img = durable;
    for (const auto& w : unflushed) {
      if (rng() % 2) continue;
      if (img.size() < w.offset + kPageSize) img.resize(w.offset + kPageSize, 0);
      std::memcpy(img.data() + w.offset, w.page.data(), kPageSize);
    }
    return img;
  }
};

class SimStorage final : public Storage {
 public:
  explicit SimStorage(SimDisk* disk) : disk_(disk) {}

  Status read_page(uint64_t offset, Page& out) override {
    if (disk_->current.size() < offset + kPageSize) {
      return OrviError::io_message("failed to fill whole buffer");
    }
    std::memcpy(out.data(), disk_->current.data() + offset, kPageSize);
    return Ok();
  }
  Status write_page(uint64_t offset, const Page& page) override {
    ORVI_TRY(count());
    auto& c = disk_->current;
    if (c.size() < offset + kPageSize) c.resize(offset + kPageSize, 0);
    std::memcpy(c.data() + offset, page.data(), kPageSize);
    disk_->unflushed.push_back({offset, page});
    return Ok();
  }
  Status flush() override {
    ORVI_TRY(count());
    disk_->durable = disk_->current;
    disk_->unflushed.clear();
    disk_->truncated_since_flush = false;
    return Ok();
  }
  uint64_t file_size() const override { return disk_->current.size(); }
  Status set_len(uint64_t len) override {
    ORVI_TRY(count());
    disk_->current.resize(len, 0);
    disk_->truncated_since_flush = true;
    return Ok();
  }
  bool is_memory() const override { return false; }

 private:
  Status count() {
    uint64_t n = ++disk_->ops;
    if (disk_->crash_at != 0 && n >= disk_->crash_at) {
      return OrviError::io_errno(disk_->error_number);
    }
    if (disk_->fail_once_at != 0 && n == disk_->fail_once_at) {
      return OrviError::io_errno(disk_->error_number);
    }
    return Ok();
  }
  SimDisk* disk_;
};

// A fresh ":memory:" pager for each test.
class MemoryPagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = Pager::open(":memory:");
    ASSERT_OK(p);
    pager_ = std::move(*p);
  }

  std::unique_ptr<Pager> pager_;
};

// A pager on a SimDisk and the state a test transaction changes: node
// slots with their out-degrees and the next node id, compared in full
// after every simulated crash.
class CrashTest : public ::testing::Test {
 protected:
  struct State {
    uint64_t next_node_id;
    std::map<uint64_t, uint32_t> degrees;  // node id -> out_degree
    bool operator==(const State&) const = default;
  };

  static std::unique_ptr<Pager> open_image(SimDisk& disk, bool is_new) {
    auto p = Pager::open_storage(std::make_unique<SimStorage>(&disk), is_new);
    EXPECT_OK(p);
    return p ? std::move(*p) : nullptr;
  }
  std::unique_ptr<Pager> open_disk(bool is_new) {
    return open_image(disk_, is_new);
  }
  // Writes `n` node slots (one page per 63 ids) with the given degree.
  static void write_state(Pager& p, uint64_t n, uint32_t degree) {
    while (p.chain(ExtentKind::kNode).extents.size() * kNodesPerExtent < n) {
      ASSERT_OK(p.allocate_extent(ExtentKind::kNode));
    }
    for (uint64_t id = 1; id <= n; ++id) {
      NodeSlot s;
      s.id = id;
      s.out_degree = degree;
      ASSERT_OK(p.write_node_slot(s));
    }
    p.header().next_node_id = n + 1;
  }
  static State read_state(Pager& p) {
    State s{p.header().next_node_id, {}};
    for (uint64_t id = 1; id < s.next_node_id; ++id) {
      auto slot = p.read_node_slot(id);
      EXPECT_OK(slot) << "node " << id;
      if (slot) s.degrees[id] = slot->out_degree;
    }
    return s;
  }

  SimDisk disk_;
};

}  // namespace orvi::testing

#endif  // ORVI_TESTS_CPP_TEST_UTIL_H_

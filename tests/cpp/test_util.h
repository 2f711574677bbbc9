// Shared helpers for the core tests: temporary directories and a simulated
// disk that can fail or "crash" at the N-th write, flush or truncate.
#ifndef ORVI_TESTS_CPP_TEST_UTIL_H_
#define ORVI_TESTS_CPP_TEST_UTIL_H_

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "storage/file.h"

namespace orvi::testing {

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

}  // namespace orvi::testing

#endif  // ORVI_TESTS_CPP_TEST_UTIL_H_

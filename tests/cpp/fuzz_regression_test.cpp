// Replays the inputs that once broke a fuzz target (tests/fuzz/regressions)
// and the seed corpus (tests/fuzz/corpus) through the same target bodies
// that the libFuzzer entry points run, and checks the harness itself: the
// sparse disk behaves like a file and the base image's damage lands where
// the seeds aim it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/targets.h"
#include "test_util.h"

namespace orvi::fuzz {
namespace {

namespace fs = std::filesystem;

using TargetFn = std::string (*)(const uint8_t*, size_t);

struct Target {
  const char* name;
  TargetFn run;
};

const Target kTargets[] = {
    {"prop_codec", run_prop_codec},
    {"header", run_header},
    {"wal", run_wal},
    {"db", run_db},
};

fs::path fuzz_dir() {
  return fs::path(__FILE__).parent_path().parent_path() / "fuzz";
}

std::vector<fs::path> files_in(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_file(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string replay(const Target& target, const fs::path& file) {
  const std::string bytes = read_file(file);
  return target.run(reinterpret_cast<const uint8_t*>(bytes.data()),
                    bytes.size());
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, RegressionInputsComeBackClean) {
  for (const fs::path& file :
       files_in(fuzz_dir() / "regressions" / GetParam().name)) {
    EXPECT_EQ("", replay(GetParam(), file)) << file;
  }
}

TEST_P(FuzzReplay, SeedCorpusComesBackClean) {
  const auto files = files_in(fuzz_dir() / "corpus" / GetParam().name);
  ASSERT_FALSE(files.empty()) << "no seeds for " << GetParam().name;
  for (const fs::path& file : files) {
    EXPECT_EQ("", replay(GetParam(), file)) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// --- the harness ------------------------------------------------------------

TEST(FuzzHarness, SparseStorageActsLikeAFile) {
  SparseDisk disk;
  SparseStorage storage(&disk);
  Page page;
  page.fill(7);
  EXPECT_FALSE(storage.read_page(0, page));  // past the end
  ASSERT_TRUE(storage.write_page(2 * kPageSize, page));
  EXPECT_EQ(3 * kPageSize, storage.file_size());
  Page back;
  ASSERT_TRUE(storage.read_page(0, back));
  EXPECT_EQ(Page{}, back);  // never written: zeros
  ASSERT_TRUE(storage.set_len(2 * kPageSize + 10));
  ASSERT_TRUE(storage.set_len(3 * kPageSize));
  ASSERT_TRUE(storage.read_page(2 * kPageSize, back));
  EXPECT_EQ(7, back[9]);
  EXPECT_EQ(0, back[10]);  // cut by the shrink, zero after regrowing
  EXPECT_FALSE(storage.write_page(kDiskMaxSize, page));
  EXPECT_FALSE(storage.read_page(1, back));
  EXPECT_NE("", disk.contract_violation);
}

TEST(FuzzHarness, BaseImageHoldsTheGraph) {
  SparseDisk disk = base_image().disk;
  auto pager = open_disk(disk);
  ASSERT_OK(pager);
  auto nodes = all_nodes(**pager);
  ASSERT_TRUE(nodes);
  EXPECT_EQ(4u, nodes->size());
  auto edges = all_edges(**pager);
  ASSERT_TRUE(edges);
  EXPECT_EQ(5u, edges->size());  // edge 2 was deleted
  auto node1 = get_node(**pager, 1);
  ASSERT_TRUE(node1 && node1->has_value());
  EXPECT_EQ(32, (*node1)->properties().at("age").as_int());
}

// Applies mutation records (built like the db seeds) to a copy of the base
// image and opens it.
struct Damaged {
  SparseDisk disk;
  std::unique_ptr<Pager> pager;
};

Damaged damage(uint64_t offset, uint64_t value, bool fix_checksum) {
  const BaseImage& base = base_image();
  Damaged d{base.disk, nullptr};
  for (int i = 0; i < 8; ++i) {
    d.disk.put_byte(base.position(base.index_of(offset + i)),
                    static_cast<uint8_t>(value >> (8 * i)));
  }
  if (fix_checksum) fix_header_checksum(d.disk);
  auto opened = open_disk(d.disk);
  if (opened) d.pager = std::move(*opened);
  return d;
}

TEST(FuzzHarness, MutationsLandWhereAimed) {
  SparseDisk plain = base_image().disk;
  auto base = open_disk(plain);
  ASSERT_TRUE(base);
  const uint64_t edge3 = slot_position(**base, ExtentKind::kEdge, 3);

  // Edge 3's next_out pointing at itself makes node 1's list a cycle.
  Damaged cycle = damage(edge3 + 24, 3, false);
  ASSERT_NE(nullptr, cycle.pager);
  auto out = out_edges(*cycle.pager, 1, std::nullopt);
  ASSERT_FALSE(out);
  EXPECT_NE(std::string::npos, out.error().message().find("cycle"));

  // A header field changed without fixing the checksum fails the open.
  Damaged unsummed = damage(40, 99, false);
  EXPECT_EQ(nullptr, unsummed.pager);
  Damaged summed = damage(40, 99, true);
  ASSERT_NE(nullptr, summed.pager);
  EXPECT_EQ(99u, summed.pager->header().next_node_id);
}

// Found by the db target: a header whose wal_offset pointed into the data
// region opened fine (no log pending), and the next commit wrote its log
// over the edge extent. The commit must refuse instead, writing nothing.
TEST(FuzzFindings, CommitRefusesADamagedLogOffset) {
  SparseDisk plain = base_image().disk;
  auto base = open_disk(plain);
  ASSERT_TRUE(base);
  const uint64_t edges = (*base)->chain(ExtentKind::kEdge).extents.at(0);

  Damaged d = damage(88, edges, true);
  ASSERT_NE(nullptr, d.pager);
  const std::string before = d.disk.get_bytes(edges, kPageSize);
  ASSERT_TRUE(add_node(*d.pager, {"Late"}, {}));
  Status committed = d.pager->commit();
  ASSERT_FALSE(committed);
  EXPECT_EQ(ErrorKind::kCorruptedFile, committed.error().kind());
  EXPECT_NE(std::string::npos,
            committed.error().message().find("is not the log area"));
  EXPECT_EQ(before, d.disk.get_bytes(edges, kPageSize));
  auto reopened = open_disk(d.disk);
  ASSERT_TRUE(reopened);
  auto all = all_edges(**reopened);
  ASSERT_OK(all);
  EXPECT_EQ(5u, all->size());
}

TEST(FuzzHarness, LogWithFixedChecksumsIsReplayed) {
  // One page image far out in the data region and a commit entry, CRCs
  // left zero: the wal target's flag bit 0 rewrites them.
  Page image;
  image.fill(0x5A);
  const uint64_t home = kDataStart + 64 * kExtentSize;
  std::string log(kWalPageEntry + kWalCommitEntry, '\0');
  auto* p = reinterpret_cast<uint8_t*>(log.data());
  put_u32(p, kWalPageEntry);
  p[4] = kWalKindPage;
  put_u64(p + 5, home);
  put_u32(p + 13, kPageSize);
  std::memcpy(p + kWalEntryHeader, image.data(), kPageSize);
  put_u32(p + kWalPageEntry, kWalCommitEntry);
  p[kWalPageEntry + 4] = kWalKindCommit;

  auto unfixed = Wal::parse(log);
  ASSERT_TRUE(unfixed);
  EXPECT_TRUE(unfixed->empty());
  fix_log_crcs(log);
  auto parsed = Wal::parse(log);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(2u, parsed->size());
  EXPECT_EQ(home, (*parsed)[0].page_offset);

  SparseDisk disk = disk_with_log(log);
  auto pager = open_disk(disk);
  ASSERT_OK(pager);
  EXPECT_EQ(0u, (*pager)->header().wal_length);
  EXPECT_EQ(std::string(kPageSize, '\x5A'), disk.get_bytes(home, kPageSize));
  const std::string input = std::string(1, '\1') + log;
  EXPECT_EQ("", run_wal(reinterpret_cast<const uint8_t*>(input.data()),
                        input.size()));
}

}  // namespace
}  // namespace orvi::fuzz

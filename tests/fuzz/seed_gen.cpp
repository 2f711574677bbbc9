// Writes the seed corpus of the fuzz targets: encoded values, headers, logs
// of real commits and mutation lists against the base image.
//
//   orvi_fuzz_seeds OUT_DIR     writes OUT_DIR/<target>/seed-<name>
//
// The checked-in corpus (tests/fuzz/corpus) is this program's output; run
// it again after a format change.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "fuzz_support.h"

namespace fs = std::filesystem;
using namespace orvi;
using namespace orvi::fuzz;

namespace {

fs::path g_out;
int g_written = 0;

void write_seed(const char* target, const std::string& name,
                const std::string& bytes) {
  fs::create_directories(g_out / target);
  std::ofstream f(g_out / target / ("seed-" + name), std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) {
    std::fprintf(stderr, "cannot write seed %s/%s\n", target, name.c_str());
    std::exit(1);
  }
  ++g_written;
}

std::string encode(const PropValue& v) {
  Bytes out;
  encode_into(v, out);
  return out;
}

void prop_codec_seeds() {
  using PV = PropValue;
  write_seed("prop_codec", "null", encode(PV::null()));
  write_seed("prop_codec", "bool", encode(PV::from_bool(true)));
  write_seed("prop_codec", "int",
             encode(PV::from_int(std::numeric_limits<int64_t>::min())));
  write_seed("prop_codec", "float",
             encode(PV::from_float(std::numeric_limits<double>::quiet_NaN())));
  write_seed("prop_codec", "string-utf8",
             encode(PV::from_string("caf\xc3\xa9 \xf0\x9f\x8c\x8d")));
  write_seed("prop_codec", "labels", encode_labels({"Person", "Admin", ""}));
  PropMap inner = props({{"x", PV::from_float(1.5)}, {"y", PV::null()}});
  PropList list;
  list.push_back(PV::from_int(1));
  list.push_back(PV::from_string("two"));
  list.push_back(PV::from_map(inner));
  write_seed("prop_codec", "props",
             encode_props(props({{"name", PV::from_string("Ann")},
                                 {"age", PV::from_int(31)},
                                 {"list", PV::from_list(list)},
                                 {"map", PV::from_map(inner)},
                                 {"flag", PV::from_bool(false)}})));
  PV deep = PV::from_int(7);
  for (int i = 0; i < 40; ++i) {
    if (i % 2) {
      deep = PV::from_list({deep});
    } else {
      deep = PV::from_map(props({{"d", deep}}));
    }
  }
  write_seed("prop_codec", "deep", encode(deep));
}

void header_seeds() {
  const BaseImage& base = base_image();
  write_seed("header", "base", base.disk.get_bytes(0, kHeaderSize));
  FileHeader fresh;
  uint8_t bytes[kHeaderSize];
  fresh.to_bytes(bytes);
  write_seed("header", "empty",
             std::string(reinterpret_cast<char*>(bytes), kHeaderSize));
  // A header that names a log, as a crash in the middle of a commit leaves.
  SparseDisk disk = base.disk;
  put_u64(disk.page_for(0).data() + 96, kWalCommitEntry);
  fix_header_checksum(disk);
  write_seed("header", "log-named", disk.get_bytes(0, kHeaderSize));
}

// The log that the last commit on `disk` left in the log area.
std::string last_log(const SparseDisk& disk) {
  std::string log;
  uint64_t pos = kWalOffset;
  for (;;) {
    const std::string head = disk.get_bytes(pos, 5);
    const uint32_t length =
        get_u32(reinterpret_cast<const uint8_t*>(head.data()));
    if (length < kWalEntryHeader) break;
    log += disk.get_bytes(pos, length);
    pos += length;
    if (static_cast<uint8_t>(head[4]) == kWalKindCommit) break;
  }
  return log;
}

void wal_seeds() {
  SparseDisk disk = base_image().disk;
  {
    auto opened = open_disk(disk);
    if (!opened) die("open base", opened.error());
    Pager& p = **opened;
    if (auto r = add_node(p, {"Late"}, props({{"n", PropValue::from_int(5)}}));
        !r) {
      die("add node", r.error());
    }
    if (auto r = add_edge(p, 5, "TO", 1, {}); !r) die("add edge", r.error());
    if (auto r = p.commit(); !r) die("commit", r.error());
  }
  const std::string log = last_log(disk);
  write_seed("wal", "commit", std::string(1, '\0') + log);
  write_seed("wal", "commit-fixcrc", std::string(1, '\1') + log);
  // Only the commit entry: a log with nothing to replay.
  std::string commit_only = log.substr(log.size() - kWalCommitEntry);
  write_seed("wal", "commit-only", std::string(1, '\1') + commit_only);
  // A torn log: the commit entry is missing.
  const std::string torn = log.substr(0, log.size() - kWalCommitEntry);
  write_seed("wal", "torn", std::string(1, '\0') + torn);
}

void db_seeds() {
  const BaseImage& base = base_image();
  for (int flags : {0, 1, 2, 3, 4, 6, 7, 8, 15, 16, 17}) {
    std::string input(2, '\0');
    input[0] = static_cast<char>(flags);
    input[1] = static_cast<char>(flags * 37);
    write_seed("db", "flags-" + std::to_string(flags), input);
  }
  auto opened = open_disk(const_cast<SparseDisk&>(base.disk));
  if (!opened) die("open base", opened.error());
  Pager& p = **opened;
  auto mutation = [&](uint64_t offset, uint8_t value) {
    const uint64_t index = base.index_of(offset);
    std::string rec(3, '\0');
    rec[0] = static_cast<char>(index & 0xFF);
    rec[1] = static_cast<char>(index >> 8);
    rec[2] = static_cast<char>(value);
    return rec;
  };
  auto u64_mutation = [&](uint64_t offset, uint64_t value) {
    std::string recs;
    for (int i = 0; i < 8; ++i) {
      recs += mutation(offset + i, static_cast<uint8_t>(value >> (8 * i)));
    }
    return recs;
  };
  const uint64_t edge1 = slot_position(p, ExtentKind::kEdge, 1);
  const uint64_t edge3 = slot_position(p, ExtentKind::kEdge, 3);
  const uint64_t node1 = slot_position(p, ExtentKind::kNode, 1);
  const uint64_t node5 = slot_position(p, ExtentKind::kNode, 5);
  // Edge 3's next_out points back at itself: a cycle in node 1's list.
  write_seed("db", "out-cycle",
             std::string("\x06\x01") + u64_mutation(edge3 + 24, 3));
  // Edge 1's next_in names an edge that was never created.
  write_seed("db", "dangling-in",
             std::string("\x12\x02") + u64_mutation(edge1 + 32, 99));
  // Node 1's label blob runs past its extent.
  write_seed("db", "label-len",
             std::string("\x08\x00", 2) + u64_mutation(node1 + 56, 0x00FFFFFF));
  // A used slot beyond next_node_id: the next add must refuse it.
  write_seed("db", "slot-in-use",
             std::string("\x02\x05") + u64_mutation(node5, 5));
  // next_node_id far beyond the node extent.
  write_seed("db", "next-node-id",
             std::string("\x0f\x03") + u64_mutation(40, kNodesPerExtent * 3));
  // A header naming a log that is not there.
  write_seed("db", "wal-length",
             std::string("\x11\x00", 2) + u64_mutation(96, kWalPageEntry));
  // The node chain's first index page lists a second extent far away.
  const uint64_t head = p.header().node_index_head;
  write_seed("db", "far-extent",
             std::string("\x0b\x00", 2) + mutation(head + 8, 2) +
                 u64_mutation(head + 24, 1ULL << 45));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
    return 2;
  }
  g_out = argv[1];
  prop_codec_seeds();
  header_seeds();
  wal_seeds();
  db_seeds();
  std::printf("wrote %d seeds under %s\n", g_written, argv[1]);
  return 0;
}

// The bodies of the fuzz targets, shared by the libFuzzer entry points and
// by the GoogleTest replay of tests/fuzz/regressions (fuzz_regression_test).
//
// Each target takes arbitrary bytes and returns an empty string when every
// call came back with a value or a clean error and every checked property
// held; otherwise it returns what went wrong. Crashes, sanitizer reports,
// hangs and huge allocations are for the fuzzing engine to notice.
//
//   prop_codec  decode_from / decode_props / decode_labels over the input;
//               whatever decodes must re-encode to bytes that decode to the
//               same encoding (the encoding is canonical), and
//               encoded_size must match the encoder.
//   header      FileHeader::from_bytes over the input (a parsed header must
//               survive to_bytes / from_bytes unchanged); then the input,
//               with its header checksum made valid, is opened as the start
//               of a file (at least one page long) and read.
//   wal         the input (after one flag byte) is the log area of the base
//               image, named by the header's wal_length; the store is opened
//               (recovery runs) and read. Wal::parse is also called on the
//               log directly, and every page image of a log it accepts must
//               be at its home offset after a successful open.
//               Flag bit 0: rewrite each entry's CRC so the fuzzer gets past
//               the checksums.
//   db          the input is a list of mutations of the base image: a flag
//               byte, a pick byte (which records the writes touch), then
//               3-byte records (u16 little-endian index into the image's
//               interesting bytes, new byte value). The damaged image is
//               opened and read. Flag bit 0: fix the header checksum after
//               the mutations; bit 1: also add, update and delete records;
//               bit 2: run repair_adjacency; bit 3: vacuum into memory (the
//               copy must read back the same records); bit 4: instead of all
//               that, write the image to a real file and run it through
//               GraphDB: reads, delete_node, a merge of the graph into
//               itself, rollback, commit, vacuum (the same records before
//               and after), close and reopen.
//
// After a successful open every file target reads everything (see
// fuzz_support.h), commits, and reopens the committed store: a commit that
// succeeded must reopen, and when the pre-commit state could be read in
// full the reopened store must read back the same nodes and edges.
#ifndef ORVI_TESTS_FUZZ_TARGETS_H_
#define ORVI_TESTS_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace orvi::fuzz {

// ---------------------------------------------------------------------------
// prop_codec

inline std::string check_value_roundtrip(const PropValue& v) {
  Bytes first;
  encode_into(v, first);
  if (encoded_size(v) != first.size()) {
    return "encoded_size " + std::to_string(encoded_size(v)) +
           " != encoded length " + std::to_string(first.size());
  }
  auto again = decode_from(first, 0);
  if (!again) {
    return "re-decoding an encoding failed: " + again.error().message();
  }
  if (again->second != first.size()) {
    return "re-decoding stopped at " + std::to_string(again->second) +
           " of " + std::to_string(first.size());
  }
  Bytes second;
  encode_into(again->first, second);
  if (second != first) return "encoding is not stable across a round trip";
  return "";
}

inline std::string run_prop_codec(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  (void)is_valid_utf8(in);

  auto value = decode_from(in, 0);
  if (value) {
    if (value->second == 0 || value->second > size) {
      return "decode_from reported end " + std::to_string(value->second) +
             " for " + std::to_string(size) + " bytes";
    }
    std::string err = check_value_roundtrip(value->first);
    if (!err.empty()) return err;
  }
  // A start position taken from the input, possibly past the end.
  if (size > 0) {
    const size_t pos = data[0] % (size + 2);
    auto at = decode_from(in, pos);
    if (at && (at->second <= pos || at->second > size)) {
      return "decode_from at " + std::to_string(pos) + " reported end " +
             std::to_string(at->second);
    }
  }

  auto map = decode_props(in);
  if (map) {
    const Bytes enc = encode_props(*map);
    auto again = decode_props(enc);
    if (!again) return "decode_props of encode_props failed";
    if (encode_props(*again) != enc) return "props round trip changed bytes";
  }

  auto labels = decode_labels(in);
  if (labels) {
    auto again = decode_labels(encode_labels(*labels));
    if (!again) return "decode_labels of encode_labels failed";
    if (*again != *labels) return "labels round trip changed the labels";
  }
  return "";
}

// ---------------------------------------------------------------------------
// Shared by the file targets: read, commit, reopen.

inline std::string exercise_open_store(SparseDisk& disk, Pager& pager) {
  read_everything(pager);
  auto before = fingerprint(pager);
  Status committed = pager.commit();
  if (!disk.contract_violation.empty()) return disk.contract_violation;
  if (!committed) return "";
  auto reopened = open_disk(disk);
  if (!disk.contract_violation.empty()) return disk.contract_violation;
  if (!reopened) {
    return "a committed store failed to reopen: " +
           reopened.error().message();
  }
  Pager& again = **reopened;
  read_everything(again);
  if (before) {
    auto after = fingerprint(again);
    if (!after) {
      return "a store read in full before commit fails after reopen: " +
             after.error().message();
    }
    if (*after != *before) {
      return "reopening a committed store reads different records";
    }
  }
  return disk.contract_violation;
}

// ---------------------------------------------------------------------------
// header

inline std::string run_header(const uint8_t* data, size_t size) {
  auto parsed = FileHeader::from_bytes(data, size);
  if (parsed) {
    uint8_t bytes[kHeaderSize];
    parsed->to_bytes(bytes);
    auto again = FileHeader::from_bytes(bytes, kHeaderSize);
    if (!again) return "to_bytes output does not parse";
    const FileHeader& a = *parsed;
    const FileHeader& b = *again;
    if (a.node_count != b.node_count || a.edge_count != b.edge_count ||
        a.next_node_id != b.next_node_id || a.next_edge_id != b.next_edge_id ||
        a.node_index_head != b.node_index_head ||
        a.edge_index_head != b.edge_index_head ||
        a.prop_index_head != b.prop_index_head || a.prop_tail != b.prop_tail ||
        a.wal_offset != b.wal_offset || a.wal_length != b.wal_length) {
      return "header fields change across to_bytes / from_bytes";
    }
  }

  // The input as the start of a whole file, its checksum made valid. The
  // file is at least the header page long; what lies past the input (the
  // rest of the log area, the data region) reads as zeros.
  SparseDisk disk;
  if (size > 0) disk.put_bytes(0, data, size);
  disk.size = std::max<uint64_t>(disk.size, kPageSize);
  if (size >= kHeaderSize) {
    Page& page0 = disk.page_for(0);
    fix_header_checksum(page0.data());
  }
  auto opened = open_disk(disk);
  if (!disk.contract_violation.empty()) return disk.contract_violation;
  if (!opened) return "";
  return exercise_open_store(disk, **opened);
}

// ---------------------------------------------------------------------------
// wal

// Rewrites the CRC of every entry whose length field fits, walking the
// entries the way the parser does.
inline void fix_log_crcs(std::string& log) {
  uint8_t* b = reinterpret_cast<uint8_t*>(log.data());
  const size_t n = log.size();
  size_t v = 0;
  while (n - v >= 4) {
    const uint32_t length = get_u32(b + v);
    if (length < kWalEntryHeader || length > n - v) break;
    put_u32(b + v + length - 4, crc32(b + v, length - 4));
    v += length;
  }
}

// The base image with `log` in its log area, named by the header.
inline SparseDisk disk_with_log(const std::string& log) {
  SparseDisk disk = base_image().disk;
  if (!log.empty()) {
    disk.put_bytes(kWalOffset, reinterpret_cast<const uint8_t*>(log.data()),
                   log.size());
  }
  Page& page0 = disk.page_for(0);
  put_u64(page0.data() + 96, log.size());
  fix_header_checksum(page0.data());
  return disk;
}

inline std::string run_wal(const uint8_t* data, size_t size) {
  if (size == 0) return "";
  const uint8_t flags = data[0];
  std::string log(reinterpret_cast<const char*>(data + 1),
                  std::min<size_t>(size - 1, kWalReserved));
  if (flags & 1) fix_log_crcs(log);

  auto parsed = Wal::parse(log);
  if (parsed && !parsed->empty()) {
    if (parsed->back().kind != kWalKindCommit) {
      return "Wal::parse accepted a log that does not end with a commit";
    }
    for (const WalEntry& e : *parsed) {
      if (e.kind == kWalKindPage &&
          (e.data.size() != kPageSize || e.page_offset % kPageSize != 0 ||
           e.page_offset < kDataStart)) {
        return "Wal::parse accepted a bad page image";
      }
    }
  }

  SparseDisk disk = disk_with_log(log);
  auto opened = open_disk(disk);
  if (!disk.contract_violation.empty()) return disk.contract_violation;
  if (!opened) return "";
  if (parsed && !parsed->empty()) {
    // Recovery replayed the log: the last image of every page is home.
    std::map<uint64_t, const std::string*> last;
    for (const WalEntry& e : *parsed) {
      if (e.kind == kWalKindPage) last[e.page_offset] = &e.data;
    }
    for (const auto& [offset, image] : last) {
      if (disk.get_bytes(offset, kPageSize) != *image) {
        return "recovery opened the store without replaying the page at " +
               std::to_string(offset);
      }
    }
  }
  if ((*opened)->header().wal_length != 0) {
    return "the store opened with a log still pending";
  }
  return exercise_open_store(disk, **opened);
}

// ---------------------------------------------------------------------------
// db

inline void write_some(Pager& pager, uint8_t pick) {
  const uint64_t next_node = pager.header().next_node_id;
  const uint64_t a = next_node > 1 ? 1 + pick % (next_node - 1) : 1;
  const uint64_t b = next_node > 1 ? 1 + (pick * 7 + 3) % (next_node - 1) : 1;
  using PV = PropValue;
  (void)add_node(pager, {"Fuzz", "Person"},
                 props({{"k", PV::from_int(static_cast<int64_t>(pick))}}));
  (void)update_node(pager, a, props({{"u", PV::from_string("v")}}));
  (void)add_edge(pager, a, "KNOWS", b, props({{"w", PV::from_float(0.5)}}));
  (void)add_edge(pager, b, "SELF", b, {});
  (void)merge_edge(pager, a, "KNOWS", b, {});
  (void)update_edge(pager, 1 + pick % 8, props({{"e", PV::null()}}));
  (void)delete_edge(pager, 1 + pick % 8);
  (void)delete_edge(pager, 1 + (pick / 8 + 3) % 8);
}

// The damaged image as a file under GraphDB: the handle-level reads and
// writes, rollback, commit, file vacuum, close and reopen.
inline std::string run_db_file(const SparseDisk& disk, uint8_t pick) {
  const std::string path = scratch_dir() + "/db";
  if (!write_disk_file(disk, path)) return "cannot write " + path;
  std::string before;
  {
    auto opened = GraphDB::open(path);
    if (!opened) return "";
    GraphDB& db = **opened;
    read_everything(pager_of(db));
    (void)db.query_nodes({}, std::nullopt);
    (void)db.query_nodes({"Person", "City", "Fuzz"}, std::nullopt);
    const uint64_t next = pager_of(db).header().next_node_id;
    for (uint64_t id : probe_ids(next, 8)) {
      (void)db.neighbors(id, std::nullopt, Direction::kBoth);
      (void)db.neighbors(id, std::string_view("KNOWS"), Direction::kOut);
    }
    const uint64_t victim = next > 1 ? 1 + pick % (next - 1) : 1;
    (void)db.delete_node(victim);
    read_everything(pager_of(db));
    if (!db.rollback()) return "";
    // The graph merged into itself: the destination is the damaged file.
    auto nodes = all_nodes(pager_of(db));
    auto edges = all_edges(pager_of(db));
    if (nodes && edges) {
      MergePolicy policy;
      if (pick & 1) policy.node_key = std::vector<std::string>{"name"};
      if (pick & 2) policy.edge_strategy = EdgeStrategy::kIdempotent;
      policy.node_conflict = static_cast<NodeConflict>((pick >> 2) % 3);
      (void)db.merge_from(*nodes, *edges, policy);
      read_everything(pager_of(db));
    }
    if (!db.rollback()) return "";
    (void)db.add_node({"Fuzz"}, {});
    (void)db.delete_node(victim);
    if (!pager_of(db).commit()) return "";
    auto committed = fingerprint(pager_of(db));
    if (!db.vacuum()) return "";
    if (db.detached()) return "vacuum succeeded but left the handle detached";
    auto vacuumed = fingerprint(pager_of(db));
    if (committed && (!vacuumed || *vacuumed != *committed)) {
      return "vacuum changed the records";
    }
    read_everything(pager_of(db));
    if (vacuumed) before = *vacuumed;
  }
  auto reopened = GraphDB::open(path);
  if (!reopened) {
    return "a vacuumed database failed to reopen: " +
           reopened.error().message();
  }
  auto after = fingerprint(pager_of(**reopened));
  if (!before.empty() && (!after || *after != before)) {
    return "reopening a vacuumed database reads different records";
  }
  return "";
}

inline std::string run_db(const uint8_t* data, size_t size) {
  const BaseImage& base = base_image();
  SparseDisk disk = base.disk;
  const uint8_t flags = size > 0 ? data[0] : 0;
  const uint8_t pick = size > 1 ? data[1] : 0;
  for (size_t i = 2; i + 3 <= size; i += 3) {
    const uint64_t index = data[i] | (static_cast<uint64_t>(data[i + 1]) << 8);
    disk.put_byte(base.position(index), data[i + 2]);
  }
  if (flags & 1) fix_header_checksum(disk);
  if (flags & 16) return run_db_file(disk, pick);

  auto opened = open_disk(disk);
  if (!disk.contract_violation.empty()) return disk.contract_violation;
  if (!opened) return "";
  Pager& pager = **opened;
  read_everything(pager);
  if (flags & 2) {
    write_some(pager, pick);
    read_everything(pager);
  }
#ifdef ORVI_FUZZ_HAVE_REPAIR
  if (flags & 4) {
    auto repaired = repair_adjacency(pager);
    if (!disk.contract_violation.empty()) return disk.contract_violation;
    if (repaired) read_everything(pager);
  }
#endif
  if (flags & 8) {
    auto original = fingerprint(pager);
    auto copy = vacuum_in_memory(pager);
    if (copy) {
      read_everything(**copy);
      auto compacted = fingerprint(**copy);
      if (original && (!compacted || *compacted != *original)) {
        return "vacuum_in_memory changed the records";
      }
    }
  }
  return exercise_open_store(disk, pager);
}

}  // namespace orvi::fuzz

#endif  // ORVI_TESTS_FUZZ_TARGETS_H_

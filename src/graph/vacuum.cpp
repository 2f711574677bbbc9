#include "graph/vacuum.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <type_traits>
#include <utility>

#include "graph/live_slots.h"
#include "storage/prop_codec.h"
#include "storage/text.h"

namespace orvi {

namespace {

// Reserve hints come from counters stored in the file; a damaged counter
// must not become a giant allocation.
constexpr uint64_t kMaxReserve = 1u << 16;

// Dirty pages of the store being built are written home whenever this many
// have gathered. The store is not the database until it is complete and
// renamed into place, so writing it in pieces is safe; it bounds the memory
// the build holds, and keeps the final commit within the write-ahead log
// (one record adds at most two 1 MiB blobs, about 520 pages, and the log
// holds 1018).
constexpr size_t kFlushThreshold = 256;

const char kBadTmpPath[] =
    "vacuum: temporary path is not valid UTF-8 \xE2\x80\x94 retry from a "
    "directory whose name is encodable as UTF-8";

void remove_quietly(const std::string& path) { ::unlink(path.c_str()); }

// Appends `blob` to `out`'s property storage; offset 0 for an empty blob.
Result<uint64_t> copy_blob(Pager& out, const std::string& blob) {
  if (blob.empty()) return uint64_t{0};
  return out.append_prop(blob);
}

// Allocates extents of `kind` until one covers the highest id below `next`.
Status cover_ids(Pager& out, ExtentKind kind, uint64_t next) {
  if (next <= 1) return Ok();
  const uint64_t per_extent =
      kind == ExtentKind::kNode ? kNodesPerExtent : kEdgesPerExtent;
  const uint64_t last_extent = (next - 2) / per_extent;
  while (last_extent >= out.chain(kind).extents.size()) {
    auto base = out.allocate_extent(kind);
    if (!base) return base.error();
  }
  return Ok();
}

Status flush_if_large(Pager& out) {
  if (out.dirty_count() < kFlushThreshold) return Ok();
  return out.flush_dirty_pages();
}

// Writes the snapshot into the fresh store `out` and commits it.
Status write_compacted(Pager& out, const LiveRecords& records,
                       uint64_t next_node, uint64_t next_edge) {
  out.header().next_node_id = next_node;
  out.header().next_edge_id = next_edge;
  ORVI_TRY(cover_ids(out, ExtentKind::kNode, next_node));
  ORVI_TRY(cover_ids(out, ExtentKind::kEdge, next_edge));

  auto write = [&](const auto& list) -> Status {
    for (const auto& record : list) {
      ORVI_TRY(flush_if_large(out));
      auto slot = record.slot;
      auto labels = copy_blob(out, record.labels);
      if (!labels) return labels.error();
      auto props = copy_blob(out, record.props);
      if (!props) return props.error();
      slot.label_offset = *labels;
      slot.prop_offset = *props;
      ORVI_TRY(out.write_slot(slot));
    }
    return Ok();
  };
  ORVI_TRY(write(records.nodes));
  ORVI_TRY(write(records.edges));
  out.header().node_count = records.nodes.size();
  out.header().edge_count = records.edges.size();
  return out.commit();
}

}  // namespace

Result<LiveRecords> snapshot_live_records(Pager& pager) {
  const uint64_t next_node = pager.header().next_node_id;
  const uint64_t next_edge = pager.header().next_edge_id;
  LiveRecords records;
  records.nodes.reserve(static_cast<size_t>(
      std::min({pager.header().node_count, next_node, kMaxReserve})));
  records.edges.reserve(static_cast<size_t>(
      std::min({pager.header().edge_count, next_edge, kMaxReserve})));

  auto take = [&](auto& into) {
    using Record = typename std::decay_t<decltype(into)>::value_type;
    return for_each_live_slot<decltype(Record::slot)>(
        pager, [&](uint64_t id, const auto& slot) -> Status {
          auto labels = pager.read_prop(slot.label_offset, slot.label_len);
          if (!labels) return labels.error();
          auto props = pager.read_prop(slot.prop_offset, slot.prop_len);
          if (!props) return props.error();
          into.push_back(Record{slot, std::move(*labels), std::move(*props)});
          // The copy is written to the slot its id names: pin it to the
          // position it was read from, so a damaged id field cannot
          // overwrite another record.
          into.back().slot.id = id;
          return Ok();
        });
  };
  ORVI_TRY(take(records.nodes));
  ORVI_TRY(take(records.edges));
  return records;
}

Result<std::string> build_file_vacuum_tmp(Pager& pager,
                                          const std::string& db_path) {
  // Pending writes become durable in the old file before anything else.
  ORVI_TRY(pager.commit());
  const uint64_t next_node = pager.header().next_node_id;
  const uint64_t next_edge = pager.header().next_edge_id;
  auto records = snapshot_live_records(pager);
  if (!records) return records.error();

  const std::string tmp = db_path + ".tmp";
  const int removed_errno = ::unlink(tmp.c_str()) == 0 ? 0 : errno;
  if (!is_valid_utf8(tmp)) return OrviError::invalid_argument(kBadTmpPath);
  // A stale file that could not be removed would be opened as an existing
  // database and built upon; refuse instead.
  if (removed_errno != 0 && removed_errno != ENOENT) {
    return OrviError::io_errno(removed_errno);
  }

  auto out = Pager::open(tmp);
  if (!out) {
    remove_quietly(tmp);
    return out.error();
  }
  Status built = write_compacted(**out, *records, next_node, next_edge);
  out->reset();  // closes the file
  if (!built) {
    remove_quietly(tmp);
    return std::move(built).error();
  }
  return tmp;
}

Result<std::unique_ptr<Pager>> vacuum_in_memory(Pager& pager) {
  const uint64_t next_node = pager.header().next_node_id;
  const uint64_t next_edge = pager.header().next_edge_id;
  auto records = snapshot_live_records(pager);
  if (!records) return records.error();
  auto out = Pager::open(":memory:");
  if (!out) return out.error();
  ORVI_TRY(write_compacted(**out, *records, next_node, next_edge));
  return std::move(*out);
}

}  // namespace orvi

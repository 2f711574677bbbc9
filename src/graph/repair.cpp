#include "graph/repair.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "graph/live_slots.h"

namespace orvi {

namespace {

constexpr uint32_t kMaxDegree = std::numeric_limits<uint32_t>::max();

const char kStoppedAdvice[] =
    ". Adjacency repair stopped before making changes. Treat this database "
    "as damaged, take a backup, and restore from a known-good copy or "
    "salvage readable records into a new database.";

OrviError missing_endpoint(uint64_t edge, bool source, uint64_t node) {
  return OrviError::corrupted(
      "Database integrity failure: live edge " + std::to_string(edge) +
      " points to missing or deleted " + (source ? "source" : "target") +
      " node " + std::to_string(node) + kStoppedAdvice);
}

OrviError degree_overflow(bool out, uint64_t node, uint64_t edge) {
  return OrviError::corrupted(
      std::string("Database integrity failure: ") +
      (out ? "outgoing" : "incoming") +
      " degree overflow while repairing node " + std::to_string(node) +
      " from edge " + std::to_string(edge) +
      ". Treat this database as damaged and restore from backup before "
      "retrying.");
}

// A slot below the next id that no extent covers: the header and the
// extent index disagree.
// The id range below `next` must be covered by the kind's extents before a
// table is sized to it; otherwise a damaged counter would size the table.
Status check_range(Pager& pager, ExtentKind kind, uint64_t next) {
  const uint64_t per_extent =
      kind == ExtentKind::kNode ? kNodesPerExtent : kEdgesPerExtent;
  const uint64_t covered = pager.chain(kind).extents.size() * per_extent;
  if (next > 1 && next - 1 > covered) {
    return unaddressable_slot(extent_kind_word(kind), covered + 1, next);
  }
  return Ok();
}

// A live node as read, with its rebuilt heads and degrees. The slot keeps
// the values it was read with, so the write pass can tell whether anything
// changed.
struct NodeEntry {
  NodeSlot slot;  // slot.id == 0: no live node with this id
  uint64_t first_out = 0;
  uint64_t first_in = 0;
  uint32_t out_degree = 0;
  uint32_t in_degree = 0;
  bool id_repaired = false;  // the stored id differed from the position
};

}  // namespace

Result<RepairCounts> repair_adjacency(Pager& pager) {
  const uint64_t next_node = pager.header().next_node_id;
  const uint64_t next_edge = pager.header().next_edge_id;
  ORVI_TRY(check_range(pager, ExtentKind::kNode, next_node));
  ORVI_TRY(check_range(pager, ExtentKind::kEdge, next_edge));

  // Node pass: every live node with empty lists.
  std::vector<NodeEntry> nodes(std::max<uint64_t>(next_node, 1));
  ORVI_TRY(for_each_live_slot<NodeSlot>(
      pager, [&](uint64_t id, const NodeSlot& slot) -> Status {
        NodeEntry& entry = nodes[id];
        entry.id_repaired = slot.id != id;
        entry.slot = slot;
        // Writes go to the slot named by the stored id: pin it to the
        // position it was read from so a damaged id cannot redirect the
        // write.
        entry.slot.id = id;
        return Ok();
      }));

  // Edge pass: prepend every live edge to its endpoints' lists, in
  // ascending id order, checking everything before anything is written.
  // An edge's links are final as soon as it has been prepended, so the edge
  // table keeps only the slots whose links change, in ascending id order.
  std::vector<EdgeSlot> edge_writes;
  RepairCounts counts;
  ORVI_TRY(for_each_live_slot<EdgeSlot>(
      pager, [&](uint64_t t, const EdgeSlot& slot) -> Status {
        const uint64_t s = slot.from;
        const uint64_t d = slot.to;
        EdgeSlot rebuilt = slot;
        rebuilt.id = t;  // pinned like the node slots

        if (s >= nodes.size() || nodes[s].slot.id == 0) {
          return missing_endpoint(t, true, s);
        }
        NodeEntry& source = nodes[s];
        rebuilt.next_out = source.first_out;
        source.first_out = t;
        if (source.out_degree == kMaxDegree) {
          return degree_overflow(true, s, t);
        }
        source.out_degree += 1;

        if (d >= nodes.size() || nodes[d].slot.id == 0) {
          return missing_endpoint(t, false, d);
        }
        NodeEntry& target = nodes[d];
        rebuilt.next_in = target.first_in;
        target.first_in = t;
        if (target.in_degree == kMaxDegree) {
          return degree_overflow(false, d, t);
        }
        target.in_degree += 1;

        if (slot.id != t || rebuilt.next_out != slot.next_out ||
            rebuilt.next_in != slot.next_in) {
          edge_writes.push_back(rebuilt);
        }
        counts.edges_relinked += 1;
        return Ok();
      }));

  // Write pass. A slot whose rebuilt fields equal the stored ones is
  // already what the rewrite would produce and is left alone: the result is
  // the same, and the commit then carries only the pages that really
  // changed, so repairing a large database with little damage stays well
  // inside the write-ahead log.
  for (uint64_t id = 1; id < next_node; ++id) {
    NodeEntry& entry = nodes[id];
    if (entry.slot.id == 0) continue;
    NodeSlot& slot = entry.slot;
    const bool changed = entry.id_repaired || slot.first_out != entry.first_out ||
                         slot.first_in != entry.first_in ||
                         slot.out_degree != entry.out_degree ||
                         slot.in_degree != entry.in_degree;
    counts.nodes_rewritten += 1;
    if (!changed) continue;
    slot.first_out = entry.first_out;
    slot.first_in = entry.first_in;
    slot.out_degree = entry.out_degree;
    slot.in_degree = entry.in_degree;
    ORVI_TRY(pager.write_node_slot(slot));
  }
  for (const EdgeSlot& slot : edge_writes) {
    ORVI_TRY(pager.write_edge_slot(slot));
  }

  ORVI_TRY(pager.commit());
  return counts;
}

}  // namespace orvi

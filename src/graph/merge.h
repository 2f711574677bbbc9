// Merge: copies a snapshot of one database's live nodes and edges into
// another open database.
//
// The caller takes the snapshot (all_nodes, then all_edges of the source,
// under the source's lock), releases the source, and only then calls
// merge_from_snapshot under the destination's lock, so the two locks are
// never held together.
//
// Node identity:
//  - AlwaysNew (node_key nullopt): every source node becomes a new node.
//  - ByProperty(names): a source node is "the same" as the lowest-id
//    destination node (including nodes created earlier in this merge) that
//    has every key property with an equal value (PropValue ==: Int never
//    equals Float, NaN never matches, 0.0 matches -0.0). Source nodes that
//    share a key therefore collapse onto one destination node. A source
//    node lacking a key property fails with MergeKeyNotFound.
// A matched destination node keeps its labels; its properties are left
// alone (KeepDst), overwritten by the source's (OverwriteFromSrc), or
// completed with the source properties it lacks (MergeProps).
//
// Edges are added in snapshot order between the mapped endpoints (Append),
// or as merge_edge would add them (Idempotent): the newest out-edge of the
// mapped source with the same label, target and an equal property map is
// reused, otherwise a new edge is added (counted as created only when the
// edge count grew).
//
// The merge never commits: everything it writes is a pending change of the
// destination, kept by the caller's commit, dropped by its rollback. A
// failure part-way returns the error and leaves the earlier writes pending.
#ifndef ORVI_GRAPH_MERGE_H_
#define ORVI_GRAPH_MERGE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "graph/index.h"
#include "graph/node.h"

namespace orvi {

enum class EdgeStrategy : uint8_t { kAppend = 0, kIdempotent = 1 };
enum class NodeConflict : uint8_t {
  kKeepDst = 0,
  kOverwriteFromSrc = 1,
  kMergeProps = 2
};

struct MergePolicy {
  // nullopt: AlwaysNew. Otherwise ByProperty with these names, in order
  // (the caller has made sure the list is not empty).
  std::optional<std::vector<std::string>> node_key;
  EdgeStrategy edge_strategy = EdgeStrategy::kAppend;
  NodeConflict node_conflict = NodeConflict::kKeepDst;
};

struct MergeReport {
  // Source id -> destination id, one entry per source node / edge.
  std::unordered_map<uint64_t, uint64_t> node_id_map;
  std::unordered_map<uint64_t, uint64_t> edge_id_map;
  uint64_t nodes_created = 0;
  uint64_t nodes_reused = 0;
  uint64_t edges_created = 0;
  uint64_t edges_reused = 0;
};

// Merges the snapshot into `dst` under `policy`. `nodes` must be in
// ascending id order (as all_nodes gives them); an edge whose endpoint is
// not among `nodes` fails with CorruptedFile.
Result<MergeReport> merge_from_snapshot(Pager& pager, LabelIndex& labels,
                                        const std::vector<Node>& nodes,
                                        const std::vector<Edge>& edges,
                                        const MergePolicy& policy);

}  // namespace orvi

#endif  // ORVI_GRAPH_MERGE_H_

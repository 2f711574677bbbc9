// Summaries over every live edge: the degree of each node that takes part
// in an edge, and the edges running between the members of a node set.
//
// Both are computed from the edge records themselves (scan_edges in
// edge.h), never from the degree counters or list links kept in node
// slots, so they stay right when those are damaged, and they fail exactly
// where all_edges would fail, with the same error: a damaged record or blob
// anywhere ends them. Neither holds a record per edge: degree_stats keeps
// one entry per node, edges_between only the records it returns.
//
// Nothing here writes. Not thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_EDGE_STATS_H_
#define ORVI_GRAPH_EDGE_STATS_H_

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "storage/pager.h"

namespace orvi {

// The number of live edges leaving (`out`) and entering (`in`) node `id`;
// a self-loop counts once in each.
struct NodeDegrees {
  uint64_t id = 0;
  uint64_t out = 0;
  uint64_t in = 0;
  bool operator==(const NodeDegrees&) const = default;
};

// One entry per node named as a source or target by a live edge, in the
// order the nodes first appear when the edges are read by ascending id
// (source before target). Nodes without edges are not listed.
Result<std::vector<NodeDegrees>> degree_stats(Pager& pager);

// The live edges whose source and target both lie in `nodes`, by
// ascending id, properties kept encoded.
Result<std::vector<Edge>> edges_between(
    Pager& pager, const std::unordered_set<uint64_t>& nodes);

}  // namespace orvi

#endif  // ORVI_GRAPH_EDGE_STATS_H_

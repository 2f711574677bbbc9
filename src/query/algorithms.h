// Graph algorithms that answer with node ids: walks in any direction, and
// whole-graph algorithms (components, topological order, PageRank).
//
// Walks (walk_ids, path_ids) follow the adjacency lists through
// out_targets / in_sources / neighbors (graph/edge.h), so they read and
// check exactly what out_edges / in_edges would and fail with the same
// errors; they see the caller's pending writes through the pager.
//
// Whole-graph algorithms run in two stages. read_adjacency() reads every
// live node's out-list once, under the caller's lock, into a compact
// Adjacency; the algorithms then run on that copy alone, without the pager,
// so the caller may release its lock (and run Python code, progress bars,
// signal handlers) while they run. An Adjacency costs 8 bytes per id below
// next_node_id plus 4 bytes per live edge (plus one bit per id), and each
// algorithm adds a few arrays of 4 or 8 bytes per id; no memory grows with
// anything but the nodes and edges. While it reads, read_adjacency holds
// up to 16 more bytes per id and 8 more per edge.
//
// read_adjacency reads the edge slots front to back in id order rather than
// jumping along each list, and answers from that only after checking that
// the lists hold exactly those edges in their order; otherwise it walks the
// lists, so on a damaged file it answers, and fails, as the walks do.
//
// Ids are used as 32-bit array indices, so whole-graph algorithms need
// next_node_id < 2^32 (CapacityExceeded otherwise).
//
// Interrupts: `stop`, when given, is asked every few thousand nodes of a
// read; when it returns true the read ends with an Io error ("stopped") and
// the caller, which knows why, reports the interrupt. Progress (the
// interface of graph/check.h) is told of each pass of an algorithm; an
// error from it ends the algorithm with that error. Nothing here writes.
#ifndef ORVI_QUERY_ALGORITHMS_H_
#define ORVI_QUERY_ALGORITHMS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.h"
#include "graph/check.h"
#include "graph/edge.h"
#include "storage/pager.h"

namespace orvi {

using StopCheck = std::function<bool()>;

// Node ids reachable from `start` within `max_depth` steps in breadth-first
// discovery order, each with its depth; the start itself is not reported.
// A step follows an out-edge (kOut, to its target), an in-edge (kIn, to its
// source) or either (kBoth: a node's targets, then its sources, in list
// order); with `label` only edges with that label. With kOut and no label
// the ids and depths are those of bfs() in graph/traverse.h. A start that
// names no live node is NodeNotFound once its lists are needed (max_depth 0
// reads nothing and gives an empty list). Ids naming no live node (only in
// a damaged file) are left out.
Result<std::vector<std::pair<uint64_t, uint64_t>>> walk_ids(
    Pager& graph, uint64_t start, uint64_t max_depth, Direction direction,
    std::optional<std::string_view> label, const StopCheck& stop);

// A shortest path from `start` to `goal` by edges taken in `direction`, as
// ids, both ends included; nullopt when there is none. kOut gives the path
// of shortest_path() in graph/traverse.h. start == goal gives [start] for a
// live node and nullopt otherwise; a missing start is NodeNotFound, a
// missing goal gives nullopt.
Result<std::optional<std::vector<uint64_t>>> path_ids(
    Pager& graph, uint64_t start, uint64_t goal, Direction direction,
    std::optional<std::string_view> label, const StopCheck& stop);

// Every live node's out-list, as out_targets reads it. Node id u has the
// targets targets[offsets[u] .. offsets[u + 1]) in out-list order,
// parallel edges and self-loops kept; ids that name no live node have none
// and are not `live`. Targets naming no live node (a damaged file) are
// left out.
struct Adjacency {
  std::vector<uint64_t> offsets;  // next_node_id + 1 entries
  std::vector<uint32_t> targets;
  std::vector<bool> live;
  uint64_t live_count = 0;

  uint64_t ids() const { return live.size(); }
  uint64_t degree(uint64_t u) const { return offsets[u + 1] - offsets[u]; }
};

Result<Adjacency> read_adjacency(Pager& graph,
                                 std::optional<std::string_view> label,
                                 const StopCheck& stop);

// Node ids grouped: group g is members[starts[g] .. starts[g + 1]), each
// group ascending, groups largest first and equal sizes by smallest id.
struct Groups {
  std::vector<uint64_t> starts{0};
  std::vector<uint32_t> members;
  size_t size() const { return starts.size() - 1; }
};

// Weakly connected components (edges taken either way).
Result<Groups> weak_components(const Adjacency& graph, CheckProgress* progress);
// Strongly connected components.
Result<Groups> strong_components(const Adjacency& graph,
                                 CheckProgress* progress);

// A topological order: every edge goes from an earlier to a later id. With
// a cycle (a self-loop included) `cycle` holds the ids of one, in edge
// order, its first node not repeated at the end, and the order is empty.
struct TopologicalOrder {
  std::vector<uint32_t> order;
  std::vector<uint32_t> cycle;
};
Result<TopologicalOrder> topological_order(const Adjacency& graph,
                                           CheckProgress* progress);

// PageRank by power iteration, every live node counting, every edge
// (parallel ones, self-loops) weighing 1: from x = 1/N at every node, each
// step is x' = alpha * (x W + d / N) + (1 - alpha) / N, where W sends a
// node's score in equal shares along each of its out-edges and d is the
// score of the nodes without out-edges. It stops after the first step
// whose change sum |x' - x| is below N * tol and returns x' indexed by id
// (0 where no node is live); nullopt when max_iter steps do not get there.
// An empty graph gives an empty vector.
Result<std::optional<std::vector<double>>> pagerank(const Adjacency& graph,
                                                    double alpha,
                                                    uint64_t max_iter,
                                                    double tol,
                                                    CheckProgress* progress);

}  // namespace orvi

#endif  // ORVI_QUERY_ALGORITHMS_H_

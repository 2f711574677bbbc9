// Traversals: breadth-first, depth-first and unweighted shortest path.
//
// All three are read-only walks along edges in their own direction: from a
// node to the to_node of each of its outgoing edges, in exactly the order
// out_edges returns them (newest edge first). Incoming edges are never
// followed. Every order promised below is relative to that order.
//
// A node id counts as visited from the moment it is first discovered (put
// into the queue or stack), not when it is processed, and the start is
// visited before the walk begins. So each node is expanded at most once
// and reported at most once, with the depth of its first discovery (the
// start has depth 0, a node discovered from depth d has depth d + 1).
//
// Reported nodes are read by get_node (graph/node.h), their labels and
// properties kept encoded.
//
// Errors: the first error of get_node or out_edges ends the walk and is
// returned (NodeNotFound for a start that names no live node once its
// out-edges are needed; CorruptedFile for a damaged adjacency list). A
// discovered id that names no live node (only in a damaged file) is left
// out of the result silently, but asking for its out-edges still fails.
//
// The walks are iterative, so their depth is not limited by the call stack,
// and they see the caller's uncommitted writes through the pager. Not
// thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_TRAVERSE_H_
#define ORVI_GRAPH_TRAVERSE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "storage/pager.h"

namespace orvi {

// Nodes reachable from `start` within `max_depth` edges, in breadth-first
// order, each with its depth. The start itself is never reported (nor read).
// max_depth 0 returns an empty list without touching the graph.
Result<std::vector<std::pair<Node, uint64_t>>> bfs(Pager& pager,
                                                   uint64_t start,
                                                   uint64_t max_depth);

// As bfs with a stack in place of the queue: each newly discovered target
// is pushed in out_edges order, so among the undiscovered targets of one
// node the one whose edge comes last is processed first. Depths are those
// of first discovery, which need not be what a recursive search would give.
Result<std::vector<std::pair<Node, uint64_t>>> dfs(Pager& pager,
                                                   uint64_t start,
                                                   uint64_t max_depth);

// A shortest path by edge count from `start` to `goal`, both included, or
// nullopt when `goal` cannot be reached. With `edge_label` only edges whose
// label equals it byte for byte are followed. Among several shortest paths
// the answer is the one a breadth-first search from `start` alone finds,
// each node's parent being the first node, in queue order, whose out-edges
// reached it; it is searched for from both ends (out-edges from `start`,
// in-edges into `goal`), so a goal that cannot be reached costs only the
// smaller of the two sides. start == goal reads just that node: a live
// node gives a one-node path, an id naming no node gives nullopt. Otherwise
// a start that names no live node is NodeNotFound and a goal that names
// none gives nullopt without a search. On a damaged file the search may
// meet the damage elsewhere than the one-way search would. Path members
// that name no live node (damaged file) are left out.
Result<std::optional<std::vector<Node>>> shortest_path(
    Pager& pager, uint64_t start, uint64_t goal,
    std::optional<std::string_view> edge_label);

// The nodes at the far end of neighbors() (graph/edge.h), read in that
// order; ids that name no live node are left out.
Result<std::vector<Node>> neighbor_nodes(Pager& pager, uint64_t node,
                                         Direction direction,
                                         std::optional<std::string_view> label);

}  // namespace orvi

#endif  // ORVI_GRAPH_TRAVERSE_H_

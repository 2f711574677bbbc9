// Adjacency repair: rebuilds every adjacency list and degree counter from
// the live edge slots.
//
// List heads, next links and degrees are derived data: the endpoints of the
// live edges alone determine them. repair_adjacency throws them away and
// derives them again, for a database whose lists are damaged (the cycle and
// unlink errors of the edge layer tell the user to run it).
//
// Contract:
//  - Nothing is written until every slot has been read and every live edge
//    checked: an edge whose source or target is not a live node, or a degree
//    that would pass 4294967295, fails with CorruptedFile ("Database
//    integrity failure: ...") and leaves the pager untouched.
//  - Edges are prepended in ascending id order, so every rebuilt list runs
//    from the highest edge id to the lowest, the order adding edges gives.
//    A self-loop is in both lists of its node and counts once in each
//    degree. Deleted edges are in no list.
//  - Every field other than the heads, links and degrees stays as read.
//  - The repair ends with a commit, which also makes durable every pending
//    change of the handle; it runs inside an open transaction as well.
// A slot counts as live when its deleted flag is clear and its stored id is
// not 0. Not thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_REPAIR_H_
#define ORVI_GRAPH_REPAIR_H_

#include <cstdint>

#include "error/result.h"
#include "storage/pager.h"

namespace orvi {

struct RepairCounts {
  uint64_t nodes_rewritten = 0;  // live nodes
  uint64_t edges_relinked = 0;   // live edges
};

Result<RepairCounts> repair_adjacency(Pager& pager);

}  // namespace orvi

#endif  // ORVI_GRAPH_REPAIR_H_

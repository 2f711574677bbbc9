// Integrity check: reads every structure of a database through the pager
// and reports each problem it finds, changing nothing.
//
// Where repair_adjacency stops at the first damaged edge, the check goes on
// and lists every problem with the ids involved, in this order:
//  1. the three extent-index chains (as walk_chain reads them; an index
//     page beyond the end of the store is damage too), the overlaps of
//     extents and index pages, and whether the node and edge extents cover
//     every id handed out. A failure here ends the check: the slots cannot
//     be found.
//  2. every node slot, then every edge slot, below the next ids: the stored
//     id, unknown flag bits, the placement of each blob inside a property
//     extent (and below prop_tail in the last one), a decode of every blob
//     of a live record through the codec, the endpoints of live edges, and
//     the live counts against the header's counters;
//  3. every live node's out-list and in-list, walked with cycle detection:
//     each link must name an edge that exists, live and with this node as
//     its source (out-list) or target (in-list), the number of such edges
//     must equal the degree counter, and every live edge must be in both of
//     its lists.
// Problems of step 3 are derived data that repair_adjacency rebuilds from
// the edge slots: they are marked repairable. The others mean damaged
// records.
//
// The pager should hold nothing pending (as Pager::open_read_only gives
// it): index pages are judged against the size of the store. Damage is
// reported, never returned: the result is an error only for an
// Io failure (or a stop asked for by the progress sink). Memory grows with
// the id ranges (a few bytes per id), which step 1 has checked against the
// extents that exist.
#ifndef ORVI_GRAPH_CHECK_H_
#define ORVI_GRAPH_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "error/result.h"
#include "storage/pager.h"

namespace orvi {

struct CheckProblem {
  std::string where;    // "header", "node 3", "edge extents", ...
  std::string message;  // what is wrong, naming the ids involved
  bool repairable = false;
};

struct CheckReport {
  std::vector<CheckProblem> problems;
  uint64_t live_nodes = 0;
  uint64_t live_edges = 0;
  uint64_t blobs_decoded = 0;
  uint64_t lists_walked = 0;
};

// Told how far the check has come: each pass ("nodes", "edges",
// "adjacency") begins with its total count of ids, then advances in steps.
// An error from either call ends the check with that error.
class CheckProgress {
 public:
  virtual ~CheckProgress() = default;
  virtual Status begin(const char* pass, uint64_t total) = 0;
  virtual Status advance(uint64_t done) = 0;
};

Result<CheckReport> check_integrity(Pager& pager,
                                    CheckProgress* progress = nullptr);

}  // namespace orvi

#endif  // ORVI_GRAPH_CHECK_H_

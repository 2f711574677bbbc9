// The candidates of a node or edge query: the records carrying a label,
// in ascending id order, optionally cut to a window while they are read.
//
// Nodes are found through a label index (graph/index.h) built over the
// same pager; edges by reading every edge and comparing its label. An
// empty label list matches every live record. With a window the first
// `skip` matches are passed over and reading stops after `limit`, so
// nothing past the last result is read.
//
// Nothing here writes. Not thread-safe; callers hold the pager alone.
#ifndef ORVI_GRAPH_QUERY_H_
#define ORVI_GRAPH_QUERY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "graph/index.h"
#include "graph/node.h"
#include "storage/pager.h"

namespace orvi {

struct QueryWindow {
  uint64_t skip = 0;
  uint64_t limit = 0;
};

// Nodes carrying any of `labels` according to `index`, which must describe
// the pager's nodes (a stale id of an absent node is passed over).
Result<std::vector<Node>> query_nodes(Pager& pager, const LabelIndex& index,
                                      const std::vector<std::string>& labels,
                                      std::optional<QueryWindow> window);
// Edges whose label equals any of `labels`.
Result<std::vector<Edge>> query_edges(Pager& pager,
                                      const std::vector<std::string>& labels,
                                      std::optional<QueryWindow> window);

}  // namespace orvi

#endif  // ORVI_GRAPH_QUERY_H_

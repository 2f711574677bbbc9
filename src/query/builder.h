// QueryBuilder and EdgeQueryBuilder: the core stage of node and edge
// queries.
//
// A builder reads every live record in ascending id order, keeps those that
// pass the label filter (a node carrying any of the labels; an edge whose
// label equals any of them, byte for byte) and the optional predicate,
// passes over the first `skip` of them and stops after `limit`. The Python
// queries use the builders without predicate, skip or limit to produce
// their candidates under the database lock, and apply those in Python
// afterwards.
#ifndef ORVI_QUERY_BUILDER_H_
#define ORVI_QUERY_BUILDER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "graph/node.h"
#include "storage/pager.h"

namespace orvi {

template <typename Record>
struct BuilderFields {
  std::optional<uint64_t> limit;
  std::vector<std::string> labels;
  std::function<bool(const Record&)> predicate;
  uint64_t skip = 0;
};

class QueryBuilder : public BuilderFields<Node> {
 public:
  explicit QueryBuilder(Pager& graph) : graph_(&graph) {}
  QueryBuilder& label(std::string label) {
    labels.push_back(std::move(label));
    return *this;
  }
  Result<std::vector<Node>> fetch() const;

 private:
  Pager* graph_;
};

class EdgeQueryBuilder : public BuilderFields<Edge> {
 public:
  explicit EdgeQueryBuilder(Pager& graph) : graph_(&graph) {}
  EdgeQueryBuilder& label(std::string label) {
    labels.push_back(std::move(label));
    return *this;
  }
  Result<std::vector<Edge>> fetch() const;

 private:
  Pager* graph_;
};

}  // namespace orvi

#endif  // ORVI_QUERY_BUILDER_H_

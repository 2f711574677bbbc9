#include "query/builder.h"

#include <algorithm>

namespace orvi {

namespace {

bool node_has_label(const Node& n, const std::vector<std::string>& labels) {
  for (const auto& want : labels) {
    if (std::find(n.labels.begin(), n.labels.end(), want) != n.labels.end()) {
      return true;
    }
  }
  return false;
}

bool edge_has_label(const Edge& e, const std::vector<std::string>& labels) {
  return std::find(labels.begin(), labels.end(), e.label) != labels.end();
}

// The shared evaluation loop: read ids 1 .. next_id - 1, filter, skip,
// limit. A limit of 0 yields nothing.
template <typename Record, typename Read, typename HasLabel>
Result<std::vector<Record>> evaluate(const BuilderFields<Record>& q,
                                     uint64_t next_id, Read read,
                                     HasLabel has_label) {
  std::vector<Record> out;
  if (q.limit && *q.limit == 0) return out;
  uint64_t skipped = 0;
  for (uint64_t id = 1; id < next_id; ++id) {
    auto rec = read(id);
    if (!rec) return rec.error();
    if (!*rec) continue;
    Record& r = **rec;
    if (!q.labels.empty() && !has_label(r, q.labels)) continue;
    if (q.predicate && !q.predicate(r)) continue;
    if (skipped < q.skip) {
      ++skipped;
      continue;
    }
    out.push_back(std::move(r));
    if (q.limit && out.size() >= *q.limit) break;
  }
  return out;
}

}  // namespace

Result<std::vector<Node>> QueryBuilder::fetch() const {
  Pager& g = *graph_;
  return evaluate<Node>(
      *this, g.header().next_node_id,
      [&](uint64_t id) { return get_node(g, id); }, node_has_label);
}

Result<std::vector<Edge>> EdgeQueryBuilder::fetch() const {
  Pager& g = *graph_;
  return evaluate<Edge>(
      *this, g.header().next_edge_id,
      [&](uint64_t id) { return get_edge(g, id); }, edge_has_label);
}

}  // namespace orvi

#include "graph/edge_stats.h"

#include <algorithm>
#include <unordered_map>

#include "storage/layout.h"

namespace orvi {

namespace {

// Where each node's entry sits in the result. Ids the node extents can
// hold (below next_node_id) are looked up in a flat array, one word per
// id; any other id, which only a damaged edge can name, goes to a hash
// map. The array is bounded by the extents present in the file, never by a
// counter alone, so a damaged header cannot make it huge.
class DegreeTable {
 public:
  explicit DegreeTable(uint64_t dense_limit)
      : position_(static_cast<size_t>(dense_limit), kAbsent) {}

  NodeDegrees& entry(uint64_t id) {
    size_t* position;
    if (id < position_.size()) {
      position = &position_[static_cast<size_t>(id)];
    } else {
      position = &sparse_.try_emplace(id, kAbsent).first->second;
    }
    if (*position == kAbsent) {
      *position = entries_.size();
      entries_.push_back({id, 0, 0});
    }
    return entries_[*position];
  }

  std::vector<NodeDegrees> take() { return std::move(entries_); }

 private:
  static constexpr size_t kAbsent = static_cast<size_t>(-1);

  std::vector<size_t> position_;
  std::unordered_map<uint64_t, size_t> sparse_;
  std::vector<NodeDegrees> entries_;
};

}  // namespace

Result<std::vector<NodeDegrees>> degree_stats(Pager& pager) {
  const uint64_t addressable =
      pager.chain(ExtentKind::kNode).extents.size() * kNodesPerExtent + 1;
  DegreeTable table(std::min(pager.header().next_node_id, addressable));
  auto scanned = scan_edges(pager, [&](uint64_t from, uint64_t to) {
    ++table.entry(from).out;
    ++table.entry(to).in;
    return false;
  });
  if (!scanned) return scanned.error();
  return table.take();
}

Result<std::vector<Edge>> edges_between(
    Pager& pager, const std::unordered_set<uint64_t>& nodes) {
  return scan_edges(pager, [&](uint64_t from, uint64_t to) {
    return nodes.count(from) != 0 && nodes.count(to) != 0;
  });
}

}  // namespace orvi

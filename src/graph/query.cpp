#include "graph/query.h"

#include <algorithm>
#include <utility>

namespace orvi {

namespace {

// Reads `ids` in order through `read`, skipping ids that name no record,
// applying the window while reading.
template <typename Record, typename Ids, typename Read>
Result<std::vector<Record>> read_window(const Ids& ids, Read&& read,
                                        std::optional<QueryWindow> window) {
  std::vector<Record> out;
  if (window && window->limit == 0) return out;
  uint64_t skipped = 0;
  for (uint64_t id : ids) {
    auto record = read(id);
    if (!record) return record.error();
    if (!*record) continue;
    if (window && skipped < window->skip) {
      ++skipped;
      continue;
    }
    out.push_back(std::move(**record));
    if (window && out.size() >= window->limit) break;
  }
  return out;
}

// The ids 1 .. next - 1 as a range, without a vector of them.
struct IdRange {
  struct It {
    uint64_t id;
    uint64_t operator*() const { return id; }
    It& operator++() {
      ++id;
      return *this;
    }
    bool operator!=(const It& o) const { return id != o.id; }
  };
  uint64_t next;
  It begin() const { return It{1}; }
  It end() const { return It{next < 1 ? 1 : next}; }
};

}  // namespace

Result<std::vector<Node>> query_nodes(Pager& pager, const LabelIndex& index,
                                      const std::vector<std::string>& labels,
                                      std::optional<QueryWindow> window) {
  auto read = [&](uint64_t id) { return get_node(pager, id); };
  if (labels.empty()) {
    return read_window<Node>(IdRange{pager.header().next_node_id}, read,
                             window);
  }
  return read_window<Node>(index.ids_for_labels(labels), read, window);
}

Result<std::vector<Edge>> query_edges(Pager& pager,
                                      const std::vector<std::string>& labels,
                                      std::optional<QueryWindow> window) {
  return read_window<Edge>(
      IdRange{pager.header().next_edge_id},
      [&](uint64_t id) -> Result<std::optional<Edge>> {
        auto edge = get_edge(pager, id);
        if (!edge || !*edge || labels.empty()) return edge;
        if (std::find(labels.begin(), labels.end(), (*edge)->label) ==
            labels.end()) {
          return std::optional<Edge>();
        }
        return edge;
      },
      window);
}

}  // namespace orvi

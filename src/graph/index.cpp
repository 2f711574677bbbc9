#include "graph/index.h"

#include <algorithm>

#include "graph/node.h"

namespace orvi {

Result<LabelIndex> LabelIndex::build(Pager& pager) {
  LabelIndex index;
  const uint64_t next = pager.header().next_node_id;
  std::string scratch;
  std::vector<std::string_view> labels;
  for (uint64_t id = 1; id < next; ++id) {
    auto live = read_node_labels(pager, id, scratch, labels);
    if (!live) return live.error();
    if (*live) index.insert_views(id, labels);
  }
  return index;
}

void LabelIndex::insert_one(uint64_t id, std::string_view label) {
  auto it = map_.find(label);
  if (it == map_.end()) it = map_.emplace(std::string(label), IdSet()).first;
  it->second.insert(id);
}

void LabelIndex::insert(uint64_t id, const std::vector<std::string>& labels) {
  for (const std::string& label : labels) insert_one(id, label);
}

void LabelIndex::insert_views(uint64_t id,
                              const std::vector<std::string_view>& labels) {
  for (std::string_view label : labels) insert_one(id, label);
}

void LabelIndex::remove(uint64_t id, const std::vector<std::string>& labels) {
  if (map_.empty()) return;
  for (const std::string& label : labels) {
    auto it = map_.find(std::string_view(label));
    if (it != map_.end()) it->second.erase(id);
  }
}

std::vector<uint64_t> LabelIndex::ids_for_labels(
    const std::vector<std::string>& labels) const {
  std::vector<uint64_t> ids;
  if (labels.empty() || map_.empty()) return ids;
  std::vector<const IdSet*> sets;
  sets.reserve(labels.size());
  size_t total = 0;
  for (const std::string& label : labels) {
    auto it = map_.find(std::string_view(label));
    if (it == map_.end()) continue;
    // The same label listed twice contributes its set once.
    if (std::find(sets.begin(), sets.end(), &it->second) != sets.end()) {
      continue;
    }
    sets.push_back(&it->second);
    total += it->second.size();
  }
  ids.reserve(total);
  for (const IdSet* set : sets) ids.insert(ids.end(), set->begin(), set->end());
  std::sort(ids.begin(), ids.end());
  // Within one set the ids are distinct already.
  if (sets.size() > 1) {
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }
  return ids;
}

bool LabelIndex::has_label(std::string_view label) const {
  return map_.find(label) != map_.end();
}

}  // namespace orvi

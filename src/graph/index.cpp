#include "graph/index.h"

#include <algorithm>

#include "graph/node.h"

namespace orvi {

Result<LabelIndex> LabelIndex::build(Pager& pager) {
  LabelIndex index;
  const uint64_t next = pager.header().next_node_id;
  Node node;
  for (uint64_t id = 1; id < next; ++id) {
    auto found = read_node(pager, id, node);
    if (!found) return found.error();
    if (*found) index.insert(node);
  }
  return index;
}

void LabelIndex::insert(const Node& node) {
  std::vector<std::string_view>& labels = scratch_;
  (void)decode_label_views(node.label_blob(), labels);
  for (std::string_view label : labels) {
    auto it = map_.find(label);
    if (it == map_.end()) it = map_.emplace(std::string(label), IdSet()).first;
    it->second.insert(node.id);
  }
}

void LabelIndex::remove(const Node& node) {
  if (map_.empty()) return;
  std::vector<std::string_view>& labels = scratch_;
  (void)decode_label_views(node.label_blob(), labels);
  for (std::string_view label : labels) {
    auto it = map_.find(label);
    if (it != map_.end()) it->second.erase(node.id);
  }
}

void LabelIndex::IdSet::grow() {
  const size_t capacity = slots_.empty() ? 8 : slots_.size() * 2;
  std::vector<uint64_t> old = std::move(slots_);
  slots_.assign(capacity, 0);
  shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
  const size_t mask = capacity - 1;
  for (uint64_t id : old) {
    if (id == 0) continue;
    size_t i = bucket(id);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = id;
  }
}

void LabelIndex::IdSet::insert(uint64_t id) {
  if (id == 0) {
    has_zero_ = true;
    return;
  }
  if ((size_ + 1) * 2 > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  size_t i = bucket(id);
  while (slots_[i] != 0) {
    if (slots_[i] == id) return;
    i = (i + 1) & mask;
  }
  slots_[i] = id;
  ++size_;
}

void LabelIndex::IdSet::erase(uint64_t id) {
  if (id == 0) {
    has_zero_ = false;
    return;
  }
  if (size_ == 0) return;
  const size_t mask = slots_.size() - 1;
  size_t i = bucket(id);
  while (slots_[i] != id) {
    if (slots_[i] == 0) return;
    i = (i + 1) & mask;
  }
  // Backward shift: every later entry of the run whose home slot does not
  // lie cyclically in (i, j] may move into the hole at i, which then moves
  // to j. The run stays unbroken for every remaining id.
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j] == 0) break;
    const size_t home = bucket(slots_[j]);
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = 0;
  --size_;
}

void LabelIndex::IdSet::append_to(std::vector<uint64_t>& out) const {
  if (has_zero_) out.push_back(0);
  for (uint64_t id : slots_) {
    if (id != 0) out.push_back(id);
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
  for (const IdSet* set : sets) set->append_to(ids);
  sort_unique(ids, sets.size() > 1);
  return ids;
}

void LabelIndex::sort_unique(std::vector<uint64_t>& ids, bool repeats) {
  if (ids.size() < 64) {
    std::sort(ids.begin(), ids.end());
    if (repeats) ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return;
  }
  // Node ids are dense, so a large set usually covers a good part of the
  // id range: then marking the ids in a bitmap and reading it back in order
  // is much cheaper than a comparison sort, and drops repeats by itself.
  const uint64_t top = *std::max_element(ids.begin(), ids.end());
  if (top / 64 > 4 * ids.size()) {
    std::sort(ids.begin(), ids.end());
    if (repeats) ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return;
  }
  std::vector<uint64_t> bits(static_cast<size_t>(top / 64 + 1), 0);
  for (uint64_t id : ids) bits[id / 64] |= uint64_t{1} << (id % 64);
  ids.clear();
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
      ids.push_back(w * 64 + static_cast<uint64_t>(__builtin_ctzll(word)));
    }
  }
}

bool LabelIndex::has_label(std::string_view label) const {
  return map_.find(label) != map_.end();
}

}  // namespace orvi

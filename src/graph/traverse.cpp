#include "graph/traverse.h"

#include <algorithm>
#include <utility>

#include "graph/edge.h"

namespace orvi {

namespace {

// First capacity of the per-call tables. Walks are often small, so the
// tables start small and double; sizing them from the graph's node count
// would make every short walk on a big graph pay for a big allocation.
constexpr size_t kInitialCapacity = 64;

// An open-addressing hash table from node id to V with linear probing over
// one flat array: the visited set and the parent map of a walk, which are
// probed once per edge and never shrink or erase. Capacity is a power of
// two and the load stays at most one half. Id 0 never names a node but may
// appear in a damaged file, so it is kept outside the array, where its
// slot value serves as the empty marker.
template <typename V>
class FlatIdMap {
 public:
  FlatIdMap() { rehash(kInitialCapacity); }

  // Stores key -> value unless the key is present; false when it was.
  bool insert(uint64_t key, V value) {
    if (key == 0) {
      if (has_zero_) return false;
      has_zero_ = true;
      zero_value_ = value;
      return true;
    }
    if ((size_ + 1) * 2 > keys_.size()) rehash(keys_.size() * 2);
    size_t i = bucket(key);
    while (keys_[i] != 0) {
      if (keys_[i] == key) return false;
      i = (i + 1) & mask_;
    }
    keys_[i] = key;
    values_[i] = value;
    ++size_;
    return true;
  }

  bool contains(uint64_t key) const { return find(key) != nullptr; }

  const V* find(uint64_t key) const {
    if (key == 0) return has_zero_ ? &zero_value_ : nullptr;
    size_t i = bucket(key);
    while (keys_[i] != 0) {
      if (keys_[i] == key) return &values_[i];
      i = (i + 1) & mask_;
    }
    return nullptr;
  }

 private:
  size_t bucket(uint64_t key) const {
    // Fibonacci hashing spreads consecutive ids over the whole table.
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
  }

  void rehash(size_t capacity) {
    std::vector<uint64_t> old_keys = std::move(keys_);
    std::vector<V> old_values = std::move(values_);
    keys_.assign(capacity, 0);
    values_.assign(capacity, V());
    mask_ = capacity - 1;
    shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
    for (size_t j = 0; j < old_keys.size(); ++j) {
      if (old_keys[j] == 0) continue;
      size_t i = bucket(old_keys[j]);
      while (keys_[i] != 0) i = (i + 1) & mask_;
      keys_[i] = old_keys[j];
      values_[i] = std::move(old_values[j]);
    }
  }

  std::vector<uint64_t> keys_;
  std::vector<V> values_;
  size_t size_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 64;
  bool has_zero_ = false;
  V zero_value_{};
};

struct Unit {};
using FlatIdSet = FlatIdMap<Unit>;

// The walk shared by bfs and dfs; `lifo` picks the stack discipline. Edges
// are followed through out_targets, which reads and checks exactly what
// out_edges would (so errors are the same) without building Edge snapshots.
Result<std::vector<std::pair<Node, uint64_t>>> walk(Pager& pager,
                                                    uint64_t start,
                                                    uint64_t max_depth,
                                                    bool lifo) {
  std::vector<std::pair<Node, uint64_t>> result;
  if (max_depth == 0) return result;

  FlatIdSet visited;
  visited.insert(start, Unit{});
  // The queue is a vector read from `head`: entries are never removed, so
  // no deque bookkeeping is needed and the whole walk is one allocation
  // series. The stack uses the same vector from its back.
  std::vector<std::pair<uint64_t, uint64_t>> pending;
  pending.reserve(kInitialCapacity);
  pending.emplace_back(start, 0);
  size_t head = 0;
  std::vector<uint64_t> targets;

  while (lifo ? !pending.empty() : head < pending.size()) {
    std::pair<uint64_t, uint64_t> entry;
    if (lifo) {
      entry = pending.back();
      pending.pop_back();
    } else {
      entry = pending[head++];
    }
    const auto [id, depth] = entry;

    if (depth != 0) {
      auto node = get_node(pager, id);
      if (!node) return node.error();
      if (node->has_value()) result.emplace_back(std::move(**node), depth);
    }
    if (depth < max_depth) {
      ORVI_TRY(out_targets(pager, id, std::nullopt, targets));
      for (uint64_t t : targets) {
        if (visited.insert(t, Unit{})) pending.emplace_back(t, depth + 1);
      }
    }
  }
  return result;
}

// The one-way breadth-first search from `start`, stopping when `goal` is
// discovered, as ids from start to goal; an empty list when the goal is
// never reached. It defines the answer of shortest_path; the search from
// both ends below finds the same path without it, and falls back to it only
// on a file whose out- and in-lists disagree.
Result<std::vector<uint64_t>> one_way_path(
    Pager& pager, uint64_t start, uint64_t goal,
    std::optional<std::string_view> edge_label) {
  // parent doubles as the visited set: every visited id but the start has
  // a parent, and the start's own entry is never followed (the path walk
  // below stops when it reaches the start).
  FlatIdMap<uint64_t> parent;
  parent.insert(start, 0);
  std::vector<uint64_t> queue;
  queue.reserve(kInitialCapacity);
  queue.push_back(start);
  size_t head = 0;
  bool found = false;
  std::vector<uint64_t> targets;

  while (!found && head < queue.size()) {
    const uint64_t current = queue[head++];
    ORVI_TRY(out_targets(pager, current, edge_label, targets));
    for (uint64_t t : targets) {
      if (!parent.insert(t, current)) continue;
      if (t == goal) {
        found = true;
        break;
      }
      queue.push_back(t);
    }
  }
  std::vector<uint64_t> ids;
  if (!found) return ids;
  // Each parent was discovered before its child, so the chain strictly
  // moves back in discovery order and ends at the start.
  ids.push_back(goal);
  while (ids.back() != start) ids.push_back(*parent.find(ids.back()));
  std::reverse(ids.begin(), ids.end());
  return ids;
}

// The path of one_way_path, searched from both ends.
//
// Rank every step of a path by the position of its edge in out_edges order.
// The one-way search's queue holds each layer in the order of its nodes'
// smallest paths under that ranking, and each node's parent is the first
// node of the previous layer with an edge to it, so the path it finds is
// the lexicographically smallest shortest path. That path is found thus:
//  1. breadth-first layers from both ends, out-edges forward from start and
//     in-edges backward from goal (same label filter), expanding the smaller
//     frontier one whole layer at a time until a layer meets the other side.
//     With forward radius kf and backward radius kb the distance is then
//     d = kf + kb, and the meeting nodes are forward layer kf at backward
//     distance kb. A frontier that runs empty means there is no path.
//  2. x lies on a shortest path when dist(start, x) + dist(x, goal) = d. In
//     the backward layers that is read off the backward distances; in the
//     forward layers below kf it is found from the meeting nodes back over
//     the forward edges recorded in step 1 (edges into the next layer).
//  3. from start, each step takes the first edge in out_edges order whose
//     target lies on a shortest path one step further.
Result<std::vector<uint64_t>> two_way_path(
    Pager& pager, uint64_t start, uint64_t goal,
    std::optional<std::string_view> edge_label) {
  std::vector<uint64_t> ids;
  FlatIdMap<uint32_t> fwd;
  FlatIdMap<uint32_t> bwd;
  fwd.insert(start, 0);
  bwd.insert(goal, 0);
  std::vector<uint64_t> ffront{start};
  std::vector<uint64_t> bfront{goal};
  std::vector<uint64_t> next;
  std::vector<uint64_t> ends;
  // Forward edges into the next layer, in expansion order (so each node's
  // run is in out_edges order); layer a's run starts at layer_begin[a].
  std::vector<std::pair<uint64_t, uint64_t>> steps;
  std::vector<size_t> layer_begin;
  const auto layer_end = [&](uint32_t a) {
    return a + 1 < layer_begin.size() ? layer_begin[a + 1] : steps.size();
  };
  uint32_t kf = 0;
  uint32_t kb = 0;

  for (bool met = false; !met;) {
    const bool forward = ffront.size() <= bfront.size();
    std::vector<uint64_t>& front = forward ? ffront : bfront;
    FlatIdMap<uint32_t>& mine = forward ? fwd : bwd;
    const FlatIdMap<uint32_t>& other = forward ? bwd : fwd;
    const uint32_t depth = (forward ? kf : kb) + 1;
    if (forward) layer_begin.push_back(steps.size());
    next.clear();
    for (uint64_t u : front) {
      if (forward) {
        ORVI_TRY(out_targets(pager, u, edge_label, ends));
      } else {
        ORVI_TRY(in_sources(pager, u, edge_label, ends));
      }
      for (uint64_t t : ends) {
        const bool fresh = mine.insert(t, depth);
        if (fresh) {
          next.push_back(t);
          met = met || other.contains(t);
        }
        if (forward && (fresh || *mine.find(t) == depth)) steps.emplace_back(u, t);
      }
    }
    front.swap(next);
    (forward ? kf : kb) = depth;
    if (front.empty()) return ids;
  }
  const uint32_t d = kf + kb;

  FlatIdSet on_path;
  for (uint64_t x : ffront) {
    const uint32_t* back = bwd.find(x);
    if (back != nullptr && *back == kb) on_path.insert(x, Unit{});
  }
  for (uint32_t a = kf; a-- > 0;) {
    for (size_t i = layer_begin[a], end = layer_end(a); i < end; ++i) {
      if (on_path.contains(steps[i].second)) on_path.insert(steps[i].first, Unit{});
    }
  }

  ids.reserve(d + 1);
  ids.push_back(start);
  for (uint32_t a = 0; a < d; ++a) {
    const uint64_t x = ids.back();
    bool stepped = false;
    if (a < kf) {
      for (size_t i = layer_begin[a], end = layer_end(a); i < end && !stepped; ++i) {
        if (steps[i].first == x && on_path.contains(steps[i].second)) {
          ids.push_back(steps[i].second);
          stepped = true;
        }
      }
    } else {
      ORVI_TRY(out_targets(pager, x, edge_label, ends));
      for (uint64_t y : ends) {
        const uint32_t* back = bwd.find(y);
        if (back != nullptr && *back == d - a - 1) {
          ids.push_back(y);
          stepped = true;
          break;
        }
      }
    }
    // Only a file whose in-lists name edges its out-lists lack gets here.
    if (!stepped) return one_way_path(pager, start, goal, edge_label);
  }
  return ids;
}

Result<std::optional<std::vector<Node>>> find_path(
    Pager& pager, uint64_t start, uint64_t goal,
    std::optional<std::string_view> edge_label) {
  using Path = std::optional<std::vector<Node>>;
  if (start == goal) {
    auto node = get_node(pager, start);
    if (!node) return node.error();
    if (!node->has_value()) return Path();
    std::vector<Node> path;
    path.push_back(std::move(**node));
    return Path(std::move(path));
  }
  // A missing start fails as its out-edges would; a goal that names no
  // live node is never reached, so there is nothing to search.
  auto from = read_live_node_slot(pager, start);
  if (!from) return from.error();
  if (!from->has_value()) return OrviError::node_not_found(start);
  auto to = read_live_node_slot(pager, goal);
  if (!to) return to.error();
  if (!to->has_value()) return Path();

  auto ids = two_way_path(pager, start, goal, edge_label);
  if (!ids) return ids.error();
  if (ids->empty()) return Path();

  std::vector<Node> path;
  path.reserve(ids->size());
  for (uint64_t id : *ids) {
    auto node = get_node(pager, id);
    if (!node) return node.error();
    if (node->has_value()) path.push_back(std::move(**node));
  }
  return Path(std::move(path));
}

}  // namespace

Result<std::vector<std::pair<Node, uint64_t>>> bfs(Pager& pager,
                                                   uint64_t start,
                                                   uint64_t max_depth) {
  return walk(pager, start, max_depth, /*lifo=*/false);
}

Result<std::vector<std::pair<Node, uint64_t>>> dfs(Pager& pager,
                                                   uint64_t start,
                                                   uint64_t max_depth) {
  return walk(pager, start, max_depth, /*lifo=*/true);
}

Result<std::optional<std::vector<Node>>> shortest_path(
    Pager& pager, uint64_t start, uint64_t goal,
    std::optional<std::string_view> edge_label) {
  return find_path(pager, start, goal, edge_label);
}

Result<std::vector<Node>> neighbor_nodes(
    Pager& pager, uint64_t node, Direction direction,
    std::optional<std::string_view> label) {
  auto ids = neighbors(pager, node, direction, label);
  if (!ids) return ids.error();
  std::vector<Node> out;
  out.reserve(ids->size());
  for (uint64_t id : *ids) {
    auto found = get_node(pager, id);
    if (!found) return found.error();
    if (*found) out.push_back(std::move(**found));
  }
  return out;
}

}  // namespace orvi

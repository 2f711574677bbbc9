#include "query/algorithms.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "graph/live_slots.h"
#include "graph/node.h"
#include "graph/traverse.h"

namespace orvi {

namespace {

// Nodes read or expanded between two questions to `stop`.
constexpr uint64_t kStopEvery = 4096;
// Nodes handled between two progress reports.
constexpr uint64_t kProgressEvery = 1u << 16;

OrviError stopped() { return OrviError::io_message("stopped"); }

bool asked_to_stop(const StopCheck& stop, uint64_t step) {
  return stop && step % kStopEvery == 0 && stop();
}

// One bit per id below next_node_id: the visited set of a walk. Ids at or
// beyond it (only in a damaged file) name no node and are never visited.
class IdBits {
 public:
  explicit IdBits(uint64_t ids) : words_((ids + 63) / 64), ids_(ids) {}
  // False when `id` is out of range or was set before.
  bool insert(uint64_t id) {
    if (id == 0 || id >= ids_) return false;
    uint64_t& word = words_[id / 64];
    const uint64_t bit = uint64_t{1} << (id % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
  }

 private:
  std::vector<uint64_t> words_;
  uint64_t ids_;
};

// The far ends of node's edges taken in `direction`, refilling `ends`.
Status step_ends(Pager& graph, uint64_t node, Direction direction,
                 std::optional<std::string_view> label,
                 std::vector<uint64_t>& ends) {
  switch (direction) {
    case Direction::kOut:
      return out_targets(graph, node, label, ends);
    case Direction::kIn:
      return in_sources(graph, node, label, ends);
    case Direction::kBoth:
      break;
  }
  auto both = neighbors(graph, node, Direction::kBoth, label);
  if (!both) return both.error();
  ends = std::move(*both);
  return Ok();
}

Result<std::vector<uint64_t>> path_node_ids(
    Result<std::optional<std::vector<Node>>> path) {
  if (!path) return path.error();
  std::vector<uint64_t> ids;
  if (*path) {
    for (const Node& n : **path) ids.push_back(n.id);
  }
  return ids;
}

// The one-way breadth-first search for `goal` from `start` (both live and
// distinct), each node's parent kept; [] when the goal is not reached.
Result<std::vector<uint64_t>> search_path(
    Pager& graph, uint64_t start, uint64_t goal, Direction direction,
    std::optional<std::string_view> label, const StopCheck& stop) {
  IdBits visited(graph.header().next_node_id);
  visited.insert(start);
  std::vector<std::pair<uint64_t, size_t>> queue{{start, 0}};  // id, parent
  std::vector<uint64_t> ends;
  for (size_t head = 0; head < queue.size(); ++head) {
    if (asked_to_stop(stop, head + 1)) return stopped();
    ORVI_TRY(step_ends(graph, queue[head].first, direction, label, ends));
    for (uint64_t t : ends) {
      if (!visited.insert(t)) continue;
      queue.emplace_back(t, head);
      if (t != goal) continue;
      std::vector<uint64_t> ids;
      for (size_t i = queue.size() - 1; i != 0; i = queue[i].second) {
        ids.push_back(queue[i].first);
      }
      ids.push_back(start);
      std::reverse(ids.begin(), ids.end());
      return ids;
    }
  }
  return std::vector<uint64_t>();
}

Status check_id_space(uint64_t ids) {
  // Ids must fit in 32 bits with one value left over as a marker.
  if (ids > std::numeric_limits<uint32_t>::max()) {
    return OrviError::capacity_exceeded(
        "whole-graph algorithms", std::numeric_limits<uint32_t>::max(),
        "node ids");
  }
  return Ok();
}

// Progress over one pass, reported every kProgressEvery steps.
class Pass {
 public:
  Pass(CheckProgress* progress, const char* name, uint64_t total)
      : progress_(progress), name_(name), total_(total) {}
  Status begin() { return progress_ ? progress_->begin(name_, total_) : Ok(); }
  Status step() {
    if (++pending_ < kProgressEvery) return Ok();
    return flush();
  }
  Status flush() {
    const uint64_t done = std::exchange(pending_, 0);
    return progress_ ? progress_->advance(done) : Ok();
  }

 private:
  CheckProgress* progress_;
  const char* name_;
  uint64_t total_;
  uint64_t pending_ = 0;
};

// Union-find root with path halving.
uint32_t find_root(std::vector<uint32_t>& parent, uint32_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

// Groups from a component number per id (kNone for ids that name no live
// node): members ascending within a group, groups largest first, ties by
// smallest member.
constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();

Groups group_by(const std::vector<uint32_t>& component, uint32_t count) {
  std::vector<uint64_t> size(count, 0);
  std::vector<uint32_t> smallest(count, kNone);
  for (uint32_t u = 0; u < component.size(); ++u) {
    const uint32_t c = component[u];
    if (c == kNone) continue;
    ++size[c];
    smallest[c] = std::min(smallest[c], u);
  }
  std::vector<uint32_t> rank(count);
  for (uint32_t c = 0; c < count; ++c) rank[c] = c;
  std::sort(rank.begin(), rank.end(), [&](uint32_t a, uint32_t b) {
    return size[a] != size[b] ? size[a] > size[b] : smallest[a] < smallest[b];
  });
  Groups groups;
  std::vector<uint64_t> place(count);
  groups.starts.resize(count + 1);
  for (uint32_t g = 0; g < count; ++g) {
    place[rank[g]] = groups.starts[g];
    groups.starts[g + 1] = groups.starts[g] + size[rank[g]];
  }
  groups.members.resize(groups.starts[count]);
  // Ids are visited ascending, so each group fills ascending.
  for (uint32_t u = 0; u < component.size(); ++u) {
    if (component[u] != kNone) groups.members[place[component[u]]++] = u;
  }
  return groups;
}

// The out-lists read by walking each live node's list, as out_targets
// reads it: the reading that decides answers and errors whenever the scan
// below cannot vouch for the lists.
Status walk_out_lists(Pager& graph, std::optional<std::string_view> label,
                      const StopCheck& stop, Adjacency& adj) {
  const uint64_t ids = adj.ids();
  adj.targets.clear();
  // The edge count is a hint only: a damaged counter must not become a
  // giant allocation.
  adj.targets.reserve(static_cast<size_t>(
      std::min<uint64_t>(graph.header().edge_count, uint64_t{1} << 26)));
  adj.offsets.assign(ids + 1, 0);
  std::vector<uint64_t> ends;
  for (uint64_t u = 1; u < ids; ++u) {
    if (adj.live[u]) {
      if (asked_to_stop(stop, u)) return stopped();
      ORVI_TRY(out_targets(graph, u, label, ends));
      for (uint64_t t : ends) {
        if (t < ids && adj.live[t]) {
          adj.targets.push_back(static_cast<uint32_t>(t));
        }
      }
    }
    adj.offsets[u + 1] = adj.targets.size();
  }
  return Ok();
}

// The out-lists read from the edge slots in id order, which reads the
// file front to back instead of jumping along each list. True when it
// filled `adj`; false when the lists are not exactly what the slots say
// (damage to the links) or a slot or blob fails to read, and the walk must
// decide. `heads` holds each live node's first out-edge.
//
// It fills `adj` only when every live node u's list, from heads[u] along
// next_out, is exactly the live edges whose source is u in descending id
// order, ending in 0: heads[u] is the largest of them and each one's
// next_out the next smaller. Then walking the list visits those slots once
// each, all below next_edge_id and all naming u as their source, so the
// walk meets no cycle, dangling link or foreign edge; it reads each slot
// and its blobs through the same reads the scan made, which did not fail;
// and it keeps the same targets in the same order. So the answer is the
// walk's answer. Edges whose source is not a live node lie on no list a
// walk follows, and are not read past their slot. `heads` is given up
// before the adjacency is built.
Result<bool> scan_out_lists(Pager& graph,
                            std::optional<std::string_view> label,
                            const StopCheck& stop,
                            std::vector<uint64_t> heads, Adjacency& adj) {
  const uint64_t ids = adj.ids();
  const uint64_t next_edge = graph.header().next_edge_id;
  // The previous live edge of each source in id order: the edge that the
  // next one must link to.
  std::vector<uint64_t> previous(ids, 0);
  // Kept edges as (source, target), in id order.
  std::vector<std::pair<uint32_t, uint32_t>> kept;
  kept.reserve(static_cast<size_t>(std::min<uint64_t>(
      {graph.header().edge_count, next_edge, uint64_t{1} << 26})));
  std::string scratch;
  for (uint64_t e = 1; e < next_edge; ++e) {
    if (asked_to_stop(stop, e)) return stopped();
    EdgeSlot slot;
    if (!read_slot_checked(graph, e, slot)) return false;
    if (!slot.live() || slot.from >= ids || !adj.live[slot.from]) continue;
    const uint64_t u = slot.from;
    if (slot.next_out != previous[u]) return false;
    previous[u] = e;
    auto match = check_edge_blobs(graph, slot, label, scratch);
    if (!match) return false;
    if (*match && slot.to < ids && adj.live[slot.to]) {
      kept.emplace_back(static_cast<uint32_t>(u),
                        static_cast<uint32_t>(slot.to));
    }
  }
  for (uint64_t u = 1; u < ids; ++u) {
    if (adj.live[u] && heads[u] != previous[u]) return false;
  }
  previous = std::vector<uint64_t>();
  heads = std::vector<uint64_t>();
  // Counting sort by source; filled from the newest edge back, so that each
  // node's targets come in list order.
  adj.offsets.assign(ids + 1, 0);
  for (const auto& [u, t] : kept) ++adj.offsets[u + 1];
  for (uint64_t u = 0; u < ids; ++u) adj.offsets[u + 1] += adj.offsets[u];
  adj.targets.assign(kept.size(), 0);
  std::vector<uint64_t> fill(adj.offsets.begin(), adj.offsets.end() - 1);
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    adj.targets[fill[it->first]++] = it->second;
  }
  return true;
}

}  // namespace

Result<std::vector<std::pair<uint64_t, uint64_t>>> walk_ids(
    Pager& graph, uint64_t start, uint64_t max_depth, Direction direction,
    std::optional<std::string_view> label, const StopCheck& stop) {
  std::vector<std::pair<uint64_t, uint64_t>> found;
  if (max_depth == 0) return found;
  IdBits visited(graph.header().next_node_id);
  visited.insert(start);
  // The start is expanded first; every later entry of `found` is both the
  // result and the queue.
  std::vector<uint64_t> ends;
  ORVI_TRY(step_ends(graph, start, direction, label, ends));
  for (uint64_t t : ends) {
    if (visited.insert(t)) found.emplace_back(t, 1);
  }
  for (size_t head = 0; head < found.size(); ++head) {
    const auto [id, depth] = found[head];
    if (depth >= max_depth) break;  // later entries are no shallower
    if (asked_to_stop(stop, head + 1)) return stopped();
    ORVI_TRY(step_ends(graph, id, direction, label, ends));
    for (uint64_t t : ends) {
      if (visited.insert(t)) found.emplace_back(t, depth + 1);
    }
  }
  return found;
}

Result<std::optional<std::vector<uint64_t>>> path_ids(
    Pager& graph, uint64_t start, uint64_t goal, Direction direction,
    std::optional<std::string_view> label, const StopCheck& stop) {
  using Path = std::optional<std::vector<uint64_t>>;
  if (direction == Direction::kOut) {
    auto ids = path_node_ids(shortest_path(graph, start, goal, label));
    if (!ids) return ids.error();
    return ids->empty() ? Path() : Path(std::move(*ids));
  }
  auto from = node_exists(graph, start);
  if (!from) return from.error();
  if (!*from) return OrviError::node_not_found(start);
  auto to = node_exists(graph, goal);
  if (!to) return to.error();
  if (!*to) return Path();
  if (start == goal) return Path(std::vector<uint64_t>{start});
  // Backwards, a path is an out-edge path from goal to start, reversed.
  auto ids = direction == Direction::kIn
                 ? path_node_ids(shortest_path(graph, goal, start, label))
                 : search_path(graph, start, goal, direction, label, stop);
  if (!ids) return ids.error();
  if (ids->empty()) return Path();
  if (direction == Direction::kIn) std::reverse(ids->begin(), ids->end());
  return Path(std::move(*ids));
}

Result<Adjacency> read_adjacency(Pager& graph,
                                 std::optional<std::string_view> label,
                                 const StopCheck& stop) {
  const uint64_t ids = graph.header().next_node_id;
  ORVI_TRY(check_id_space(ids));
  Adjacency adj;
  adj.live.assign(ids, false);
  std::vector<uint64_t> heads(ids, 0);
  for (uint64_t u = 1; u < ids; ++u) {
    if (asked_to_stop(stop, u)) return stopped();
    auto slot = read_live_node_slot(graph, u);
    if (!slot) return slot.error();
    if (*slot) {
      adj.live[u] = true;
      heads[u] = (*slot)->first_out;
      ++adj.live_count;
    }
  }
  auto scanned = scan_out_lists(graph, label, stop, std::move(heads), adj);
  if (!scanned) return scanned.error();
  if (*scanned) return adj;
  ORVI_TRY(walk_out_lists(graph, label, stop, adj));
  return adj;
}

Result<Groups> weak_components(const Adjacency& graph,
                               CheckProgress* progress) {
  const uint64_t ids = graph.ids();
  std::vector<uint32_t> parent(ids);
  for (uint64_t u = 0; u < ids; ++u) parent[u] = static_cast<uint32_t>(u);
  Pass pass(progress, "nodes", ids - 1);
  ORVI_TRY(pass.begin());
  for (uint64_t u = 1; u < ids; ++u) {
    for (uint64_t i = graph.offsets[u]; i < graph.offsets[u + 1]; ++i) {
      uint32_t a = find_root(parent, static_cast<uint32_t>(u));
      uint32_t b = find_root(parent, graph.targets[i]);
      // The smaller root wins, which keeps trees shallow enough with path
      // halving and needs no rank array.
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    ORVI_TRY(pass.step());
  }
  ORVI_TRY(pass.flush());
  // Roots numbered in id order; parent becomes the component number.
  std::vector<uint32_t> component(ids, kNone);
  uint32_t count = 0;
  for (uint64_t u = 1; u < ids; ++u) {
    if (!graph.live[u]) continue;
    const uint32_t root = find_root(parent, static_cast<uint32_t>(u));
    if (component[root] == kNone) component[root] = count++;
    component[u] = component[root];
  }
  return group_by(component, count);
}

Result<Groups> strong_components(const Adjacency& graph,
                                 CheckProgress* progress) {
  // Tarjan's algorithm with an explicit call stack, so that the depth of
  // the search is not bounded by the C++ stack.
  const uint64_t ids = graph.ids();
  std::vector<uint32_t> index(ids, kNone);
  std::vector<uint32_t> low(ids, 0);
  std::vector<uint32_t> component(ids, kNone);
  std::vector<uint32_t> stack;  // nodes of open components
  struct Frame {
    uint32_t node;
    uint64_t next;  // position in targets of the next edge to follow
  };
  std::vector<Frame> calls;
  uint32_t counter = 0;
  uint32_t count = 0;
  Pass pass(progress, "nodes", graph.live_count);
  ORVI_TRY(pass.begin());
  for (uint64_t root = 1; root < ids; ++root) {
    if (!graph.live[root] || index[root] != kNone) continue;
    const auto open = [&](uint32_t v) {
      index[v] = low[v] = counter++;
      stack.push_back(v);
      calls.push_back({v, graph.offsets[v]});
    };
    open(static_cast<uint32_t>(root));
    while (!calls.empty()) {
      Frame& f = calls.back();
      const uint32_t v = f.node;
      if (f.next < graph.offsets[v + 1]) {
        const uint32_t w = graph.targets[f.next++];
        if (index[w] == kNone) {
          open(w);  // f may dangle from here
        } else if (component[w] == kNone) {
          low[v] = std::min(low[v], index[w]);
        }
        continue;
      }
      calls.pop_back();
      if (!calls.empty()) {
        const uint32_t parent = calls.back().node;
        low[parent] = std::min(low[parent], low[v]);
      }
      if (low[v] != index[v]) continue;
      uint32_t w;
      do {
        w = stack.back();
        stack.pop_back();
        component[w] = count;
        ORVI_TRY(pass.step());
      } while (w != v);
      ++count;
    }
  }
  ORVI_TRY(pass.flush());
  return group_by(component, count);
}

Result<TopologicalOrder> topological_order(const Adjacency& graph,
                                           CheckProgress* progress) {
  // Kahn's algorithm: a node is placed once every edge into it is.
  const uint64_t ids = graph.ids();
  std::vector<uint32_t> waiting(ids, 0);  // unplaced edges into each node
  for (uint32_t t : graph.targets) ++waiting[t];
  TopologicalOrder result;
  std::vector<uint32_t>& order = result.order;
  order.reserve(graph.live_count);
  for (uint64_t u = 1; u < ids; ++u) {
    if (graph.live[u] && waiting[u] == 0) {
      order.push_back(static_cast<uint32_t>(u));
    }
  }
  Pass pass(progress, "nodes", graph.live_count);
  ORVI_TRY(pass.begin());
  for (size_t head = 0; head < order.size(); ++head) {
    const uint32_t u = order[head];
    for (uint64_t i = graph.offsets[u]; i < graph.offsets[u + 1]; ++i) {
      if (--waiting[graph.targets[i]] == 0) order.push_back(graph.targets[i]);
    }
    ORVI_TRY(pass.step());
  }
  ORVI_TRY(pass.flush());
  if (order.size() == graph.live_count) return result;

  // Every node left over still waits for an edge from another left-over
  // node, so walking such edges backwards from any of them must come back
  // to a node already met: the walk from there on is a cycle.
  std::vector<uint32_t> from(ids, kNone);  // one unplaced predecessor each
  for (uint64_t u = 1; u < ids; ++u) {
    if (waiting[u] == 0) continue;
    for (uint64_t i = graph.offsets[u]; i < graph.offsets[u + 1]; ++i) {
      const uint32_t t = graph.targets[i];
      if (waiting[t] != 0) from[t] = static_cast<uint32_t>(u);
    }
  }
  uint32_t v = kNone;
  for (uint64_t u = 1; u < ids && v == kNone; ++u) {
    if (waiting[u] != 0) v = static_cast<uint32_t>(u);
  }
  std::vector<uint32_t> seen_at(ids, kNone);
  std::vector<uint32_t> walk;
  while (seen_at[v] == kNone) {
    seen_at[v] = static_cast<uint32_t>(walk.size());
    walk.push_back(v);
    v = from[v];
  }
  // walk[seen_at[v]..] runs against the edges; reversed it follows them.
  result.cycle.assign(walk.rbegin(), walk.rend() - seen_at[v]);
  result.order.clear();
  return result;
}

Result<std::optional<std::vector<double>>> pagerank(const Adjacency& graph,
                                                    double alpha,
                                                    uint64_t max_iter,
                                                    double tol,
                                                    CheckProgress* progress) {
  using Ranks = std::optional<std::vector<double>>;
  const uint64_t ids = graph.ids();
  const double n = static_cast<double>(graph.live_count);
  if (graph.live_count == 0) return Ranks(std::vector<double>());
  std::vector<double> x(ids, 0.0);
  std::vector<double> next(ids, 0.0);
  for (uint64_t u = 1; u < ids; ++u) {
    if (graph.live[u]) x[u] = 1.0 / n;
  }
  if (progress) ORVI_TRY(progress->begin("iterations", max_iter));
  for (uint64_t iter = 0; iter < max_iter; ++iter) {
    std::fill(next.begin(), next.end(), 0.0);
    double dangling = 0.0;
    for (uint64_t u = 1; u < ids; ++u) {
      const uint64_t degree = graph.degree(u);
      if (degree == 0) {
        dangling += x[u];  // 0 for ids that name no node
        continue;
      }
      const double share = x[u] / static_cast<double>(degree);
      for (uint64_t i = graph.offsets[u]; i < graph.offsets[u + 1]; ++i) {
        next[graph.targets[i]] += share;
      }
    }
    const double base = alpha * dangling / n + (1.0 - alpha) / n;
    double err = 0.0;
    for (uint64_t u = 1; u < ids; ++u) {
      if (!graph.live[u]) continue;
      next[u] = alpha * next[u] + base;
      err += std::abs(next[u] - x[u]);
    }
    x.swap(next);
    if (progress) ORVI_TRY(progress->advance(1));
    if (err < n * tol) return Ranks(std::move(x));
  }
  return Ranks();
}

}  // namespace orvi

#include "graph/merge.h"

#include <bit>
#include <functional>
#include <string_view>
#include <utility>

namespace orvi {

namespace {

// --- key matching ----------------------------------------------------------
//
// ByProperty matching is defined as: for each source node, scan the
// destination's current nodes in ascending id order and take the first whose
// key values all equal the source's. Rereading every destination node per
// source node would cost the product of the two node counts, so the merge
// keeps an index instead: key tuple -> lowest destination id carrying it.
// It is built once, from every live destination node that has all key
// properties, at the point where the scan would first read the destination,
// and gives the same answer as the scan because:
//  - PropValue == is an equivalence relation on values without NaN, and the
//    hash below agrees with it (-0.0 hashes as 0.0, maps hash regardless of
//    entry order). A NaN anywhere in a key makes it equal to nothing, not
//    even itself, so such keys are never indexed and never looked up.
//  - Lowest id wins: the build inserts in ascending id order and never
//    overwrites, and nodes created later get higher ids than any indexed.
//  - Nodes the merge creates are indexed with the key they were created
//    with (a created node carries all source properties, so all key ones).
//  - Updates never move a node between key classes: only matched nodes are
//    updated, and a matched node already has every key property with a
//    value equal to the source's. OverwriteFromSrc therefore rewrites key
//    properties with equal values, and MergeProps only adds names the node
//    lacks, which excludes every key name.
//  - Destination nodes that lack a key property are never updated by the
//    merge, so they can never become matchable during it.

using Key = std::vector<PropValue>;

uint64_t mix(uint64_t x) {
  // splitmix64 finalizer.
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBULL;
  x ^= x >> 31;
  return x;
}

uint64_t hash_string(std::string_view s) {
  return static_cast<uint64_t>(std::hash<std::string_view>()(s));
}

uint64_t hash_map(const PropMap& map);

// Equal values (PropValue ==) hash equally; NaN-free values only.
uint64_t hash_value(const PropValue& v) {
  const uint64_t tag = static_cast<uint64_t>(v.kind()) << 56;
  switch (v.kind()) {
    case PropValue::Kind::kNull:
      return mix(tag);
    case PropValue::Kind::kBool:
      return mix(tag | (v.as_bool() ? 1 : 0));
    case PropValue::Kind::kInt:
      return mix(tag ^ mix(static_cast<uint64_t>(v.as_int())));
    case PropValue::Kind::kFloat: {
      double d = v.as_float();
      if (d == 0.0) d = 0.0;  // -0.0 == 0.0, so both hash as +0.0
      return mix(tag ^ mix(std::bit_cast<uint64_t>(d)));
    }
    case PropValue::Kind::kString:
      return mix(tag ^ hash_string(v.as_string()));
    case PropValue::Kind::kList: {
      uint64_t h = mix(tag ^ v.as_list().size());
      for (const PropValue& e : v.as_list()) h = mix(h ^ hash_value(e));
      return h;
    }
    case PropValue::Kind::kMap:
      return mix(tag ^ hash_map(v.as_map()));
  }
  return 0;
}

uint64_t hash_map(const PropMap& map) {
  // Entry order is unspecified, so entries are combined by addition.
  uint64_t sum = 0;
  for (const auto& [k, e] : map) {
    sum += mix(hash_string(k) ^ mix(hash_value(e) + 0x9E3779B97F4A7C15ULL));
  }
  return mix(map.size() ^ mix(sum));
}

bool map_contains_nan(const PropMap& map);

bool contains_nan(const PropValue& v) {
  switch (v.kind()) {
    case PropValue::Kind::kFloat:
      return v.as_float() != v.as_float();
    case PropValue::Kind::kList:
      for (const PropValue& e : v.as_list()) {
        if (contains_nan(e)) return true;
      }
      return false;
    case PropValue::Kind::kMap:
      return map_contains_nan(v.as_map());
    default:
      return false;
  }
}

bool map_contains_nan(const PropMap& map) {
  for (const auto& [k, e] : map) {
    if (contains_nan(e)) return true;
  }
  return false;
}

bool key_matchable(const Key& key) {
  for (const PropValue& v : key) {
    if (contains_nan(v)) return false;
  }
  return true;
}

struct KeyHash {
  size_t operator()(const Key& key) const {
    uint64_t h = key.size();
    for (const PropValue& v : key) h = mix(h ^ hash_value(v));
    return static_cast<size_t>(h);
  }
};

struct KeyEq {
  bool operator()(const Key& a, const Key& b) const {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!(a[i] == b[i])) return false;
    }
    return true;
  }
};

using KeyIndex = std::unordered_map<Key, uint64_t, KeyHash, KeyEq>;

// The node's values of `names`, in order, or nullopt when one is missing.
std::optional<Key> key_of(const PropMap& props,
                          const std::vector<std::string>& names) {
  Key key;
  key.reserve(names.size());
  for (const std::string& name : names) {
    auto it = props.find(name);
    if (it == props.end()) return std::nullopt;
    key.push_back(it->second);
  }
  return key;
}

// Indexes every live destination node that carries all key properties, in
// ascending id order; the first read error is returned.
Result<KeyIndex> build_key_index(Pager& pager,
                                 const std::vector<std::string>& names) {
  KeyIndex index;
  const uint64_t next = pager.header().next_node_id;
  for (uint64_t id = 1; id < next; ++id) {
    auto node = get_node(pager, id);
    if (!node) return node.error();
    if (!node->has_value()) continue;
    std::optional<Key> key = key_of((*node)->properties(), names);
    if (!key || !key_matchable(*key)) continue;
    index.emplace(std::move(*key), id);  // keeps the lowest id
  }
  return index;
}

// --- idempotent edges -------------------------------------------------------
//
// merge_edge(from, label, to, props) returns the first live out-edge of
// `from`, in out_edges order (newest first), with that label and target and
// an equal property map, and otherwise adds one. Calling it for every
// source edge would reread and decode the whole out-list of `from` each
// time, quadratic in the degree of a hub node. Instead each destination
// node's out-list is read once, on first use, into a map from (target,
// label, properties) to the newest such edge, and every edge the merge adds
// is entered as the newest of its key. During the edge phase a node's
// out-list changes only through these adds, so the map answers exactly as
// merge_edge would. A property map holding a NaN equals no map, not even
// itself, so such edges are never entered and never looked up.

struct EdgeKey {
  uint64_t to;
  std::string label;
  PropMap props;
};

struct EdgeKeyHash {
  size_t operator()(const EdgeKey& k) const {
    return static_cast<size_t>(mix(mix(k.to) ^ hash_string(k.label)) ^
                               hash_map(k.props));
  }
};

struct EdgeKeyEq {
  bool operator()(const EdgeKey& a, const EdgeKey& b) const {
    return a.to == b.to && a.label == b.label && props_equal(a.props, b.props);
  }
};

class IdempotentEdges {
 public:
  // The edge merge_edge would return for (from, key), or nullopt when it
  // would add a new one. The first use of `from` reads its out-list (and
  // fails as out_edges does, e.g. NodeNotFound or a damaged list).
  Result<std::optional<uint64_t>> find(Pager& pager, uint64_t from,
                                       const EdgeKey& key) {
    auto it = lists_.find(from);
    if (it == lists_.end()) {
      auto edges = out_edges(pager, from, std::nullopt);
      if (!edges) return edges.error();
      OutList list;
      list.reserve(edges->size());
      for (Edge& e : *edges) {
        PropMap props = e.properties();
        if (map_contains_nan(props)) continue;
        // Newest first: emplace keeps the first edge of each key.
        list.emplace(EdgeKey{e.to_node, std::move(e.label), std::move(props)},
                     e.id);
      }
      it = lists_.emplace(from, std::move(list)).first;
    }
    if (map_contains_nan(key.props)) return std::optional<uint64_t>();
    auto hit = it->second.find(key);
    if (hit == it->second.end()) return std::optional<uint64_t>();
    return std::optional<uint64_t>(hit->second);
  }

  // Records an edge just added from `from` (the newest of its key).
  void added(uint64_t from, EdgeKey key, uint64_t id) {
    if (map_contains_nan(key.props)) return;
    lists_[from].insert_or_assign(std::move(key), id);
  }

 private:
  using OutList = std::unordered_map<EdgeKey, uint64_t, EdgeKeyHash, EdgeKeyEq>;
  std::unordered_map<uint64_t, OutList> lists_;
};

OrviError missing_endpoint(uint64_t edge_id, uint64_t node_id) {
  return OrviError::corrupted("merge_from: source edge " +
                              std::to_string(edge_id) + " references node " +
                              std::to_string(node_id) +
                              " which was not present in src.all_nodes()");
}

// Applies the conflict policy to the destination node `id` that `src` was
// matched to.
Status resolve_conflict(Pager& pager, uint64_t id, const PropMap& src,
                        NodeConflict conflict) {
  switch (conflict) {
    case NodeConflict::kKeepDst:
      return Ok();
    case NodeConflict::kOverwriteFromSrc:
      return update_node(pager, id, src);
    case NodeConflict::kMergeProps: {
      auto current = get_node(pager, id);
      if (!current) return current.error();
      if (!current->has_value()) return OrviError::node_not_found(id);
      const PropMap have = (*current)->properties();
      PropMap missing;
      for (const auto& [name, value] : src) {
        if (have.find(name) == have.end()) missing.emplace(name, value);
      }
      if (missing.empty()) return Ok();
      return update_node(pager, id, std::move(missing));
    }
  }
  return Ok();
}

}  // namespace

Result<MergeReport> merge_from_snapshot(Pager& pager, LabelIndex& labels,
                                        const std::vector<Node>& nodes,
                                        const std::vector<Edge>& edges,
                                        const MergePolicy& policy) {
  MergeReport report;
  report.node_id_map.reserve(nodes.size());
  report.edge_id_map.reserve(edges.size());

  std::optional<KeyIndex> index;
  for (const Node& src : nodes) {
    const PropMap props = src.properties();
    std::optional<uint64_t> match;
    Key key;
    bool matchable = false;
    if (policy.node_key) {
      const std::vector<std::string>& names = *policy.node_key;
      key.reserve(names.size());
      for (const std::string& name : names) {
        auto it = props.find(name);
        if (it == props.end()) {
          return OrviError::merge_key_not_found(src.id, name);
        }
        key.push_back(it->second);
      }
      if (!index) {
        auto built = build_key_index(pager, names);
        if (!built) return built.error();
        index = std::move(*built);
      }
      matchable = key_matchable(key);
      if (matchable) {
        auto it = index->find(key);
        if (it != index->end()) match = it->second;
      }
    }

    if (!match) {
      auto created = add_node(pager, src.labels(), props);
      if (!created) return created.error();
      labels.insert(*created);
      if (matchable) index->emplace(std::move(key), created->id);
      report.node_id_map[src.id] = created->id;
      report.nodes_created += 1;
      continue;
    }
    ORVI_TRY(resolve_conflict(pager, *match, props, policy.node_conflict));
    report.node_id_map[src.id] = *match;
    report.nodes_reused += 1;
  }

  IdempotentEdges idempotent;
  for (const Edge& e : edges) {
    auto from = report.node_id_map.find(e.from_node);
    if (from == report.node_id_map.end()) {
      return missing_endpoint(e.id, e.from_node);
    }
    auto to = report.node_id_map.find(e.to_node);
    if (to == report.node_id_map.end()) return missing_endpoint(e.id, e.to_node);

    uint64_t new_id;
    const PropMap props = e.properties();
    if (policy.edge_strategy == EdgeStrategy::kAppend) {
      auto added =
          add_edge(pager, from->second, e.label, to->second, props);
      if (!added) return added.error();
      new_id = added->id;
      report.edges_created += 1;
    } else {
      EdgeKey key{to->second, e.label, props};
      auto existing = idempotent.find(pager, from->second, key);
      if (!existing) return existing.error();
      if (*existing) {
        new_id = **existing;
        report.edges_reused += 1;
      } else {
        const uint64_t before = pager.header().edge_count;
        // add_edge hands the label back in the new edge.
        auto added = add_edge(pager, from->second, std::move(key.label),
                              to->second, key.props);
        if (!added) return added.error();
        new_id = added->id;
        key.label = std::move(added->label);
        idempotent.added(from->second, std::move(key), new_id);
        if (pager.header().edge_count > before) {
          report.edges_created += 1;
        } else {
          report.edges_reused += 1;
        }
      }
    }
    report.edge_id_map[e.id] = new_id;
  }
  return report;
}

}  // namespace orvi

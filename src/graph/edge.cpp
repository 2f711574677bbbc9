#include "graph/edge.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "graph/live_slots.h"
#include "graph/node.h"

namespace orvi {

namespace {

// Reserve hints come from counters stored in the file; a damaged counter
// must not become a giant allocation.
constexpr uint64_t kMaxReserve = 4096;
constexpr uint64_t kMaxScanReserve = 1u << 16;

constexpr uint32_t kMaxDegree = std::numeric_limits<uint32_t>::max();

const char* list_word(bool out) { return out ? "out-edge" : "in-edge"; }

const char kRepairAdvice[] =
    " The adjacency metadata is damaged and reads cannot continue safely. "
    "Stop writing to this database, take a backup, and run "
    "`repair_adjacency()` if your application exposes it. If repair is "
    "unavailable or fails, restore from a known-good backup.";

OrviError cycle_error(uint64_t node, bool out, uint64_t edge) {
  return OrviError::corrupted(
      "Database integrity failure: detected a cycle while traversing node " +
      std::to_string(node) + "'s " + list_word(out) +
      " adjacency list (revisited edge " + std::to_string(edge) + ")." +
      kRepairAdvice);
}

OrviError unlink_error(uint64_t node, bool out, uint64_t edge) {
  return OrviError::corrupted(
      "Database integrity failure: node " + std::to_string(node) + "'s " +
      list_word(out) + " adjacency list does not contain edge " +
      std::to_string(edge) +
      " during unlink. This means the database metadata is inconsistent and "
      "the file should be treated as damaged. Stop writing to this database, "
      "take a backup, and if your application exposes a repair function run "
      "`repair_adjacency()` before retrying. If no repair function is "
      "available, restore from a known-good backup.");
}

// A list link to an edge id that was never handed out (or whose slot was
// never written, where a write-back would create a record from nothing).
OrviError dangling_error(uint64_t node, bool out, uint64_t edge) {
  return OrviError::corrupted(
      "Database integrity failure: node " + std::to_string(node) + "'s " +
      list_word(out) + " adjacency list links to edge " +
      std::to_string(edge) + ", which was never created." + kRepairAdvice);
}

// A list that reaches an edge of another node. Kept out of line: the check
// runs for every slot a walk reads, and the walks stay as small as without
// it.
[[gnu::cold, gnu::noinline]] OrviError foreign_edge_error(uint64_t node, bool out, uint64_t edge,
                             uint64_t endpoint) {
  return OrviError::corrupted(
      "Database integrity failure: node " + std::to_string(node) + "'s " +
      list_word(out) + " adjacency list reaches edge " + std::to_string(edge) +
      ", whose " + (out ? "source" : "target") + " is node " +
      std::to_string(endpoint) + "." + kRepairAdvice);
}

OrviError degree_overflow_error(uint64_t node, bool out, uint64_t edge) {
  return OrviError::corrupted(
      "Database integrity failure: node " + std::to_string(node) + "'s " +
      (out ? "out-degree" : "in-degree") +
      " is already 4294967295 and cannot count edge " + std::to_string(edge) +
      "." + kRepairAdvice);
}

// An edge that names an endpoint which is not a written node slot: there is
// no list to unlink it from and no slot that may be written back.
OrviError bad_endpoint_error(uint64_t edge, bool source, uint64_t node) {
  return OrviError::corrupted(
      "Database integrity failure: edge " + std::to_string(edge) + " names " +
      (source ? "source" : "target") + " node " + std::to_string(node) +
      ", which was never created." + kRepairAdvice);
}

// The one read of an edge's blobs, in this order: the label blob must hold
// a String, the property blob a Map (checked, not decoded). Returns whether
// the label equals `filter` (true without one). With `record` set, its label
// and property bytes are filled; without, nothing is built, for walks that
// only follow edges.
Result<bool> read_edge_blobs(Pager& pager, const EdgeSlot& slot,
                             std::optional<std::string_view> filter,
                             std::string& scratch, Edge* record) {
  bool match = !filter || filter->empty();
  if (slot.label_len != 0) {
    auto bytes =
        pager.view_prop(slot.label_offset, slot.label_len, scratch);
    if (!bytes) return bytes.error();
    // Checked like a full decode, without building the value.
    auto value = validate_from(*bytes, 0);
    if (!value) return value.error();
    if (value->kind != PropValue::Kind::kString) {
      return OrviError::corrupted("edge label is not a string");
    }
    // Taken now: the view may point into a page image that the property
    // read below replaces.
    match = !filter || value->text == *filter;
    if (record) record->label.assign(value->text);
  }
  if (slot.prop_len != 0) {
    auto bytes =
        pager.view_prop(slot.prop_offset, slot.prop_len, scratch);
    if (!bytes) return bytes.error();
    ORVI_TRY(validate_props(*bytes));
    if (record) record->prop_blob.assign(*bytes);
  }
  return match;
}

// The set of edge ids a list walk has visited. Lists run newest first, so
// in an undamaged list every id is smaller than the one before it and none
// can repeat: while that holds the ids are only appended to a vector. The
// first step that is not descending switches to a hash set seeded with the
// ids seen so far, which then answers exactly as a set kept from the start.
// The first ids live in a fixed buffer, so walking a short list allocates
// nothing.
class VisitedSet {
 public:
  explicit VisitedSet(uint64_t hint) : hint_(hint) {}

  // False when `id` was visited before.
  bool insert(uint64_t id) {
    if (!hashed_) {
      const uint64_t last = count_ == 0 ? 0 : this->last();
      if (count_ == 0 || id < last) {
        if (count_ < kInline) {
          inline_[count_] = id;
        } else {
          if (count_ == kInline) {
            more_.reserve(static_cast<size_t>(
                std::min(std::max(hint_ + 1, 2 * kInline), kMaxReserve)));
          }
          more_.push_back(id);
        }
        ++count_;
        return true;
      }
      set_.reserve(count_ * 2 + 16);
      set_.insert(inline_, inline_ + std::min<uint64_t>(count_, kInline));
      set_.insert(more_.begin(), more_.end());
      hashed_ = true;
    }
    return set_.insert(id).second;
  }

 private:
  static constexpr uint64_t kInline = 32;

  uint64_t last() const {
    return count_ <= kInline ? inline_[count_ - 1] : more_.back();
  }

  uint64_t hint_;
  uint64_t count_ = 0;
  uint64_t inline_[kInline];
  std::vector<uint64_t> more_;
  std::unordered_set<uint64_t> set_;
  bool hashed_ = false;
};

// Every written slot met on node's outgoing list must name the node as its
// source (incoming: as its target), deleted edges included: delete_edge
// keeps a slot's endpoints and links, so a deleted edge still reached
// through a stale link belongs to the same node. A slot of another node's
// edge means the links lead into that node's list, and whatever follows
// would be answered for the wrong node.
Status check_list_member(uint64_t node, bool out, uint64_t edge,
                         const EdgeSlot& slot) {
  if (slot.id == 0) return Ok();  // never written: reads as absent
  const uint64_t endpoint = out ? slot.from : slot.to;
  if (endpoint == node) return Ok();
  return foreign_edge_error(node, out, edge, endpoint);
}

// Walks node's outgoing (out) or incoming list from `head`, calling
// visit(id, slot) for every slot on it, deleted ones included.
template <typename Visit>
Status walk_list(Pager& pager, uint64_t node, bool out, uint64_t head,
                 uint32_t degree, Visit&& visit) {
  const uint64_t next_edge_id = pager.header().next_edge_id;
  VisitedSet visited(degree);
  uint64_t cur = head;
  while (cur != 0) {
    if (!visited.insert(cur)) return cycle_error(node, out, cur);
    if (cur >= next_edge_id) return dangling_error(node, out, cur);
    EdgeSlot slot;
    ORVI_TRY(read_slot_checked(pager, cur, slot));
    ORVI_TRY(check_list_member(node, out, cur, slot));
    ORVI_TRY(visit(cur, slot));
    cur = out ? slot.next_out : slot.next_in;
  }
  return Ok();
}

Result<std::vector<Edge>> list_edges(
    Pager& pager, uint64_t node, bool out,
    std::optional<std::string_view> label) {
  auto found = read_live_node_slot(pager, node);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::node_not_found(node);
  const NodeSlot& ns = **found;
  const uint32_t degree = out ? ns.out_degree : ns.in_degree;

  std::vector<Edge> result;
  result.reserve(static_cast<size_t>(std::min<uint64_t>(degree, kMaxReserve)));
  std::string scratch;
  Status walked = walk_list(
      pager, node, out, out ? ns.first_out : ns.first_in, degree,
      [&](uint64_t cur, const EdgeSlot& slot) -> Status {
        // A deleted edge left in a list is skipped but still followed; a
        // never-written slot reads as absent, like get_edge.
        if (!slot.live()) return Ok();
        // Filled in place; dropped again when the label does not match.
        Edge& edge = result.emplace_back();
        edge.id = cur;
        edge.from_node = slot.from;
        edge.to_node = slot.to;
        auto match = read_edge_blobs(pager, slot, label, scratch, &edge);
        if (!match) return match.error();
        if (!*match) result.pop_back();
        return Ok();
      });
  if (!walked) return std::move(walked).error();
  return result;
}

// The slot of an edge's endpoint, for the unlink of delete_edge. Its stored
// id must be set: writing back a never-written slot would create a node.
Result<NodeSlot> read_endpoint_slot(Pager& pager, uint64_t edge,
                                    bool source, uint64_t node) {
  if (node == 0 || node >= pager.header().next_node_id) {
    return bad_endpoint_error(edge, source, node);
  }
  auto slot = pager.read_node_slot(node);
  if (!slot) {
    if (slot.error().kind() == ErrorKind::kCapacityExceeded) {
      return bad_endpoint_error(edge, source, node);
    }
    return slot.error();
  }
  if (slot->id == 0) return bad_endpoint_error(edge, source, node);
  slot->id = node;
  return slot;
}

// Takes `edge` out of node's list (head already read into `ns`); the link
// that pointed at it is set to `successor`. Lowers the degree, never below 0,
// and writes the node slot.
Status unlink(Pager& pager, NodeSlot& ns, bool out, uint64_t edge,
              uint64_t successor) {
  const uint64_t node = ns.id;
  uint64_t& head = out ? ns.first_out : ns.first_in;
  uint32_t& degree = out ? ns.out_degree : ns.in_degree;
  if (head == edge) {
    head = successor;
  } else {
    const uint64_t next_edge_id = pager.header().next_edge_id;
    VisitedSet visited(degree);
    uint64_t cur = head;
    for (;;) {
      if (cur == 0) return unlink_error(node, out, edge);
      if (!visited.insert(cur)) return cycle_error(node, out, cur);
      if (cur >= next_edge_id) return dangling_error(node, out, cur);
      EdgeSlot slot;
      ORVI_TRY(read_slot_checked(pager, cur, slot));
      ORVI_TRY(check_list_member(node, out, cur, slot));
      uint64_t& link = out ? slot.next_out : slot.next_in;
      if (link == edge) {
        if (slot.id == 0) return dangling_error(node, out, cur);
        slot.id = cur;
        link = successor;
        ORVI_TRY(pager.write_edge_slot(slot));
        break;
      }
      cur = link;
    }
  }
  if (degree > 0) degree -= 1;
  return pager.write_node_slot(ns);
}

}  // namespace

Result<Edge> add_edge(Pager& pager, uint64_t from, std::string label,
                      uint64_t to, const PropMap& properties) {
  const uint64_t next_node_id = pager.header().next_node_id;
  if (from == 0 || from >= next_node_id) return OrviError::node_not_found(from);
  if (to == 0 || to >= next_node_id) return OrviError::node_not_found(to);

  const uint64_t eid = pager.header().next_edge_id;
  ORVI_TRY(ensure_slot_extent(pager, ExtentKind::kEdge, eid));
  ORVI_TRY(check_slot_unused(pager, ExtentKind::kEdge, eid));
  // From here on the id is spent, whatever happens next.
  pager.header().next_edge_id = eid + 1;

  EdgeSlot es;
  es.id = eid;
  es.from = from;
  es.to = to;
  {
    // The label is stored for every edge, the empty one included. Encode
    // through a PropValue that borrows the string and hands it back.
    PropValue value(std::move(label));
    Bytes blob;
    encode_into(value, blob);
    label = std::move(value.as_string());
    auto off = pager.append_prop(blob);
    if (!off) return off.error();
    es.label_offset = *off;
    es.label_len = static_cast<uint32_t>(blob.size());
  }
  Bytes prop_blob;
  if (!properties.empty()) {
    prop_blob = encode_props(properties);
    auto off = pager.append_prop(prop_blob);
    if (!off) return off.error();
    es.prop_offset = *off;
    es.prop_len = static_cast<uint32_t>(prop_blob.size());
  }

  auto src = read_live_node_slot(pager, from);
  if (!src) return src.error();
  if (!src->has_value()) return OrviError::node_not_found(from);
  auto dst = read_live_node_slot(pager, to);
  if (!dst) return dst.error();
  if (!dst->has_value()) return OrviError::node_not_found(to);
  NodeSlot& source = **src;
  NodeSlot& target = from == to ? source : **dst;
  // A counter at its maximum can only come from damage; wrapping it to 0
  // would make the node look edgeless.
  if (source.out_degree == kMaxDegree) {
    return degree_overflow_error(from, true, eid);
  }
  if (target.in_degree == kMaxDegree) {
    return degree_overflow_error(to, false, eid);
  }

  es.next_out = source.first_out;
  es.next_in = target.first_in;
  ORVI_TRY(pager.write_edge_slot(es));
  pager.header().edge_count += 1;

  source.first_out = eid;
  source.out_degree += 1;
  target.first_in = eid;
  target.in_degree += 1;
  // For a self-loop source and target are the same slot, written once.
  ORVI_TRY(pager.write_node_slot(source));
  if (from != to) ORVI_TRY(pager.write_node_slot(target));

  return Edge{eid, std::move(label), from, to, std::move(prop_blob)};
}

Result<std::optional<Edge>> get_edge(Pager& pager, uint64_t id) {
  auto slot = read_live_slot<EdgeSlot>(pager, id);
  if (!slot) return slot.error();
  if (!slot->has_value()) return std::optional<Edge>();
  std::optional<Edge> edge(Edge{id, {}, (*slot)->from, (*slot)->to, {}});
  std::string scratch;
  auto read = read_edge_blobs(pager, **slot, std::nullopt, scratch, &*edge);
  if (!read) return read.error();
  return edge;
}

PropMap Edge::properties() const {
  auto props = decode_props(prop_blob);
  return props ? std::move(*props) : PropMap();
}

Status update_edge(Pager& pager, uint64_t id, PropMap properties) {
  auto found = read_live_slot<EdgeSlot>(pager, id);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::edge_not_found(id);
  EdgeSlot slot = **found;

  ORVI_TRY(merge_props_blob(pager, slot.prop_offset, slot.prop_len,
                            std::move(properties)));
  return pager.write_edge_slot(slot);
}

Status delete_edge(Pager& pager, uint64_t id) {
  auto found = read_live_slot<EdgeSlot>(pager, id);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::edge_not_found(id);
  EdgeSlot edge = **found;

  {
    auto source = read_endpoint_slot(pager, id, true, edge.from);
    if (!source) return source.error();
    ORVI_TRY(unlink(pager, *source, true, id, edge.next_out));
  }
  {
    // Read after the source was written, so a self-loop's node slot carries
    // the outgoing unlink when its incoming list is fixed.
    auto target = read_endpoint_slot(pager, id, false, edge.to);
    if (!target) return target.error();
    ORVI_TRY(unlink(pager, *target, false, id, edge.next_in));
  }

  // The links stay as they were: a walk that still reaches this slot
  // through a stale link skips it and carries on.
  edge.flags |= kFlagDeleted;
  ORVI_TRY(pager.write_edge_slot(edge));
  if (pager.header().edge_count > 0) pager.header().edge_count -= 1;
  return Ok();
}

Result<Edge> merge_edge(Pager& pager, uint64_t from, std::string label,
                        uint64_t to, const PropMap& properties) {
  {
    auto existing = list_edges(pager, from, true, std::string_view(label));
    if (!existing) return existing.error();
    for (Edge& e : *existing) {
      if (e.to_node == to && props_equal(e.properties(), properties)) {
        return std::move(e);
      }
    }
  }
  return add_edge(pager, from, std::move(label), to, properties);
}

Result<std::vector<Edge>> out_edges(Pager& pager, uint64_t node,
                                    std::optional<std::string_view> label) {
  return list_edges(pager, node, true, label);
}

Result<std::vector<Edge>> in_edges(Pager& pager, uint64_t node,
                                   std::optional<std::string_view> label) {
  return list_edges(pager, node, false, label);
}

namespace {

// The far endpoint of every edge list_edges(node, out, label) would return,
// in list order: what out_targets and in_sources share.
Status list_ends(Pager& pager, uint64_t node, bool out,
                 std::optional<std::string_view> label,
                 std::vector<uint64_t>& ends) {
  ends.clear();
  auto found = read_live_node_slot(pager, node);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::node_not_found(node);
  const NodeSlot& ns = **found;
  std::string scratch;
  return walk_list(pager, node, out, out ? ns.first_out : ns.first_in,
                   out ? ns.out_degree : ns.in_degree,
                   [&](uint64_t, const EdgeSlot& slot) -> Status {
                     if (!slot.live()) return Ok();
                     auto match =
                         read_edge_blobs(pager, slot, label, scratch, nullptr);
                     if (!match) return match.error();
                     if (*match) ends.push_back(out ? slot.to : slot.from);
                     return Ok();
                   });
}

}  // namespace

Status out_targets(Pager& pager, uint64_t node,
                   std::optional<std::string_view> label,
                   std::vector<uint64_t>& targets) {
  return list_ends(pager, node, true, label, targets);
}

Status in_sources(Pager& pager, uint64_t node,
                  std::optional<std::string_view> label,
                  std::vector<uint64_t>& sources) {
  return list_ends(pager, node, false, label, sources);
}

Result<bool> check_edge_blobs(Pager& pager, const EdgeSlot& slot,
                              std::optional<std::string_view> label,
                              std::string& scratch) {
  return read_edge_blobs(pager, slot, label, scratch, nullptr);
}

Result<std::vector<uint64_t>> neighbors(
    Pager& pager, uint64_t node, Direction direction,
    std::optional<std::string_view> label) {
  std::vector<uint64_t> ids;
  if (direction != Direction::kBoth) {
    ORVI_TRY(list_ends(pager, node, direction == Direction::kOut, label, ids));
    return ids;
  }

  std::vector<uint64_t> out;
  std::vector<uint64_t> in;
  ORVI_TRY(list_ends(pager, node, true, label, out));
  ORVI_TRY(list_ends(pager, node, false, label, in));
  const size_t total = out.size() + in.size();
  ids.reserve(total);
  // Short lists: a linear scan beats hashing.
  constexpr size_t kLinearLimit = 16;
  std::unordered_set<uint64_t> seen;
  if (total > kLinearLimit) seen.reserve(total);
  auto add = [&](uint64_t id) {
    if (total > kLinearLimit) {
      if (seen.insert(id).second) ids.push_back(id);
    } else if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
      ids.push_back(id);
    }
  };
  for (uint64_t id : out) add(id);
  for (uint64_t id : in) add(id);
  return ids;
}

Result<std::vector<Edge>> all_edges(Pager& pager) {
  const uint64_t next = pager.header().next_edge_id;
  std::vector<Edge> out;
  if (next > 1) {
    out.reserve(static_cast<size_t>(
        std::min({pager.header().edge_count, next - 1, kMaxScanReserve})));
  }
  for (uint64_t id = 1; id < next; ++id) {
    auto edge = get_edge(pager, id);
    if (!edge) return edge.error();
    if (edge->has_value()) out.push_back(std::move(**edge));
  }
  return out;
}

Result<std::vector<Edge>> scan_edges(
    Pager& pager, const std::function<bool(uint64_t, uint64_t)>& keep) {
  const uint64_t next = pager.header().next_edge_id;
  std::vector<Edge> kept;
  std::string scratch;
  for (uint64_t id = 1; id < next; ++id) {
    // The slots and blobs passed so far are not read again: their mapped
    // pages are dropped now and then, so the process stays small however
    // large the file is.
    if (id % kScanReleaseRecords == 0) pager.storage().release_mapped();
    auto slot = read_live_slot<EdgeSlot>(pager, id);
    if (!slot) return slot.error();
    if (!slot->has_value()) continue;
    const EdgeSlot& s = **slot;
    if (keep(s.from, s.to)) {
      Edge record{id, {}, s.from, s.to, {}};
      auto read = read_edge_blobs(pager, s, std::nullopt, scratch, &record);
      if (!read) return read.error();
      kept.push_back(std::move(record));
    } else {
      // Read and checked all the same: a damaged blob anywhere fails the
      // walk, as it fails all_edges.
      auto read = read_edge_blobs(pager, s, std::nullopt, scratch, nullptr);
      if (!read) return read.error();
    }
  }
  return kept;
}

}  // namespace orvi

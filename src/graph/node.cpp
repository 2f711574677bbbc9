#include "graph/node.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "graph/edge.h"
#include "graph/live_slots.h"

namespace orvi {

namespace {

// Reserve hint for the all_* scans: the header counters come from the file,
// so a damaged one must not turn into a giant allocation.
constexpr uint64_t kMaxReserve = 1u << 16;

// Reserve hint for a record's blobs: the lengths come from the file, so a
// damaged one must not turn into a giant allocation.
constexpr size_t kMaxBlobReserve = 4096;

// Reads `len` bytes at `offset` and appends them to `out` if `check`
// accepts them; len 0 reads and appends nothing.
//
// The bytes are copied first and checked in the copy: the copy's loads do
// not depend on each other, so the cache lines of a blob the check would
// walk one length field at a time arrive together.
template <typename Check>
Status append_checked_blob(Pager& pager, uint64_t offset, uint32_t len,
                           Check&& check, Bytes& out) {
  if (len == 0) return Ok();
  std::string scratch;
  auto bytes = pager.view_prop(offset, len, scratch);
  if (!bytes) return bytes.error();
  const size_t at = out.size();
  out.append(*bytes);
  auto checked = check(std::string_view(out).substr(at));
  if (!checked) out.resize(at);
  return checked;
}

// validate_labels with a memory of the last blob it accepted: most nodes
// carry one of a few label sets, and the check is a function of the bytes
// alone, so an identical blob needs no second walk.
Status check_labels(std::string_view bytes) {
  thread_local std::string last_valid;
  if (!last_valid.empty() && bytes == last_valid) return Ok();
  ORVI_TRY(validate_labels(bytes));
  last_valid.assign(bytes);
  return Ok();
}

// Appends a node's label blob and then its property blob to `out`, each
// checked. add_node writes the property blob right behind the label blob,
// so such a pair is read through one view; the checks and their order are
// those of two separate reads.
Status append_node_blobs(Pager& pager, const NodeSlot& s, Bytes& out) {
  const uint64_t joint = uint64_t{s.label_len} + s.prop_len;
  if (s.label_len != 0 && s.prop_len != 0 &&
      s.prop_offset == s.label_offset + s.label_len && joint <= kMaxBlobLen) {
    std::string scratch;
    auto bytes = pager.view_prop(s.label_offset, static_cast<uint32_t>(joint),
                                 scratch);
    if (!bytes) return bytes.error();
    const size_t at = out.size();
    out.append(*bytes);
    const std::string_view copy = std::string_view(out).substr(at);
    auto checked = check_labels(copy.substr(0, s.label_len));
    if (checked) checked = validate_props(copy.substr(s.label_len));
    if (!checked) out.resize(at);
    return checked;
  }
  ORVI_TRY(append_checked_blob(pager, s.label_offset, s.label_len,
                               check_labels, out));
  return append_checked_blob(pager, s.prop_offset, s.prop_len,
                             validate_props, out);
}

}  // namespace

Result<std::optional<NodeSlot>> read_live_node_slot(Pager& pager,
                                                    uint64_t id) {
  return read_live_slot<NodeSlot>(pager, id);
}

Result<PropMap> read_props_blob(Pager& pager, uint64_t offset, uint32_t len) {
  if (len == 0) return PropMap();
  std::string scratch;
  auto bytes = pager.view_prop(offset, len, scratch);
  if (!bytes) return bytes.error();
  return decode_props(*bytes);
}

Status merge_props_blob(Pager& pager, uint64_t& prop_offset,
                        uint32_t& prop_len, PropMap properties) {
  auto stored = read_props_blob(pager, prop_offset, prop_len);
  if (!stored) return stored.error();
  PropMap merged = std::move(*stored);
  if (merged.empty()) {
    merged = std::move(properties);
  } else {
    for (auto& [key, value] : properties) {
      merged.insert_or_assign(key, std::move(value));
    }
  }
  if (merged.empty()) {
    prop_offset = 0;
    prop_len = 0;
    return Ok();
  }
  const Bytes blob = encode_props(merged);
  auto off = pager.append_prop(blob);
  if (!off) return off.error();
  prop_offset = *off;
  prop_len = static_cast<uint32_t>(blob.size());
  return Ok();
}

Status ensure_slot_extent(Pager& pager, ExtentKind kind, uint64_t id) {
  const bool node = kind == ExtentKind::kNode;
  const uint64_t per_extent = node ? kNodesPerExtent : kEdgesPerExtent;
  // id 0 wraps here too and is refused with the rest: handing it out would
  // name no record, and id + 1 must not wrap either.
  const uint64_t extent = (id - 1) / per_extent;
  if (extent >= kMaxExtentsPerKind ||
      id == std::numeric_limits<uint64_t>::max()) {
    return OrviError::capacity_exceeded(extent_kind_word(kind),
                                        kMaxExtentsPerKind * per_extent,
                                        node ? "nodes" : "edges");
  }
  const uint64_t have = pager.chain(kind).extents.size();
  if (extent > have) {
    return OrviError::corrupted(
        std::string("next ") + extent_kind_word(kind) + " id " +
        std::to_string(id) + " lies beyond the " + std::to_string(have) +
        " allocated " + extent_kind_word(kind) +
        " extents; the header and the extent index disagree");
  }
  while (pager.chain(kind).extents.size() <= extent) {
    auto base = pager.allocate_extent(kind);
    if (!base) return base.error();
  }
  return Ok();
}

Status check_slot_unused(Pager& pager, ExtentKind kind, uint64_t id) {
  uint64_t stored;
  if (kind == ExtentKind::kNode) {
    auto slot = pager.read_node_slot(id);
    if (!slot) return slot.error();
    stored = slot->id;
  } else {
    auto slot = pager.read_edge_slot(id);
    if (!slot) return slot.error();
    stored = slot->id;
  }
  if (stored == 0) return Ok();
  const char* word = extent_kind_word(kind);
  return OrviError::corrupted(std::string(word) + " slot " +
                              std::to_string(id) + " already holds " + word +
                              " " + std::to_string(stored) + " although next " +
                              word + " id is " + std::to_string(id) +
                              "; the header counters are damaged");
}

Result<bool> node_exists(Pager& pager, uint64_t id) {
  auto slot = read_live_node_slot(pager, id);
  if (!slot) return slot.error();
  return slot->has_value();
}

Result<Node> add_node(Pager& pager, const std::vector<std::string>& labels,
                      const PropMap& properties) {
  const uint64_t id = pager.header().next_node_id;
  ORVI_TRY(ensure_slot_extent(pager, ExtentKind::kNode, id));
  ORVI_TRY(check_slot_unused(pager, ExtentKind::kNode, id));
  // From here on the id is spent, whatever happens next.
  pager.header().next_node_id = id + 1;

  Node node{id, {}, 0};
  NodeSlot slot;
  slot.id = id;
  if (!labels.empty()) {
    node.blobs = encode_labels(labels);
    node.label_len = static_cast<uint32_t>(node.blobs.size());
    auto off = pager.append_prop(node.blobs);
    if (!off) return off.error();
    slot.label_offset = *off;
    slot.label_len = node.label_len;
  }
  if (!properties.empty()) {
    node.blobs += encode_props(properties);
    auto off = pager.append_prop(node.prop_blob());
    if (!off) return off.error();
    slot.prop_offset = *off;
    slot.prop_len = static_cast<uint32_t>(node.prop_blob().size());
  }
  ORVI_TRY(pager.write_node_slot(slot));
  pager.header().node_count += 1;
  return node;
}

Result<bool> read_node(Pager& pager, uint64_t id, Node& out) {
  NodeSlot s;
  auto found = read_live_slot(pager, id, s);
  if (!found || !*found) return found;
  out.id = id;
  out.blobs.clear();
  out.label_len = 0;
  out.blobs.reserve(std::min<size_t>(
      size_t{s.label_len} + s.prop_len, kMaxBlobReserve));
  ORVI_TRY(append_node_blobs(pager, s, out.blobs));
  out.label_len = s.label_len;
  return true;
}

Result<std::optional<Node>> get_node(Pager& pager, uint64_t id) {
  return optional_read<Node>(
      [&](Node& node) { return read_node(pager, id, node); });
}

Node Node::of(uint64_t id, std::string_view label_blob,
              std::string_view prop_blob) {
  Node node{id, Bytes(label_blob), static_cast<uint32_t>(label_blob.size())};
  node.blobs.append(prop_blob);
  return node;
}

std::vector<std::string> Node::labels() const {
  auto labels = decode_labels(label_blob());
  return labels ? std::move(*labels) : std::vector<std::string>();
}

PropMap Node::properties() const {
  auto props = decode_props(prop_blob());
  return props ? std::move(*props) : PropMap();
}

Status update_node(Pager& pager, uint64_t id, PropMap properties) {
  auto found = read_live_node_slot(pager, id);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::node_not_found(id);
  NodeSlot slot = **found;

  ORVI_TRY(merge_props_blob(pager, slot.prop_offset, slot.prop_len,
                            std::move(properties)));
  return pager.write_node_slot(slot);
}

Status delete_node(Pager& pager, uint64_t id) {
  std::unordered_set<uint64_t> deleted;
  auto outs = out_edges(pager, id, std::nullopt);
  if (!outs) return outs.error();
  for (const Edge& e : *outs) {
    ORVI_TRY(delete_edge(pager, e.id));
    deleted.insert(e.id);
  }
  auto ins = in_edges(pager, id, std::nullopt);
  if (!ins) return ins.error();
  for (const Edge& e : *ins) {
    if (!deleted.insert(e.id).second) continue;
    ORVI_TRY(delete_edge(pager, e.id));
  }
  auto found = read_live_node_slot(pager, id);
  if (!found) return found.error();
  if (!found->has_value()) return OrviError::node_not_found(id);
  NodeSlot slot = **found;
  slot.flags |= kFlagDeleted;
  ORVI_TRY(pager.write_node_slot(slot));
  if (pager.header().node_count > 0) pager.header().node_count -= 1;
  return Ok();
}

Result<std::vector<Node>> all_nodes(Pager& pager) {
  const uint64_t next = pager.header().next_node_id;
  std::vector<Node> out;
  if (next > 1) {
    out.reserve(static_cast<size_t>(
        std::min({pager.header().node_count, next - 1, kMaxReserve})));
  }
  for (uint64_t id = 1; id < next; ++id) {
    auto node = get_node(pager, id);
    if (!node) return node.error();
    if (node->has_value()) out.push_back(std::move(**node));
  }
  return out;
}

}  // namespace orvi

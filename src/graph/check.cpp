#include "graph/check.h"

#include <algorithm>
#include <string_view>
#include <tuple>

#include "storage/prop_codec.h"
#include "storage/text.h"

namespace orvi {

namespace {

constexpr uint8_t kAbsent = 0;  // never written, or holding another id
constexpr uint8_t kLive = 1;
constexpr uint8_t kDeleted = 2;

// Progress is reported every this many ids.
constexpr uint64_t kProgressStep = 4096;

std::string num(uint64_t v) { return std::to_string(v); }

enum class BlobKind { kLabels, kEdgeLabel, kProps };

// The adjacency fields of the live nodes, and the links of every edge slot
// that holds its own id, indexed by id.
struct NodeTable {
  std::vector<uint8_t> state;
  std::vector<uint64_t> first_out, first_in;
  std::vector<uint32_t> out_degree, in_degree;
};

struct EdgeTable {
  std::vector<uint8_t> state;
  std::vector<uint64_t> source, target, next_out, next_in;
};

class Checker {
 public:
  Checker(Pager& pager, CheckProgress* progress, CheckReport& report)
      : pager_(pager), progress_(progress), report_(report) {}

  Status run() {
    auto chains = check_chains();
    if (!chains) return chains.error();
    if (!*chains) return Ok();
    NodeTable nodes;
    EdgeTable edges;
    ORVI_TRY(node_pass(nodes));
    ORVI_TRY(edge_pass(nodes, edges));
    return adjacency(nodes, edges);
  }

 private:
  void add(std::string where, std::string message, bool repairable = false) {
    report_.problems.push_back(
        {std::move(where), std::move(message), repairable});
  }

  // Damage becomes a problem of `where`; an Io error is returned.
  Result<bool> note(const OrviError& error, const std::string& where) {
    if (error.kind() == ErrorKind::kIo) return error;
    add(where, error.detail());
    return false;
  }

  Status begin(const char* pass, uint64_t total) {
    return progress_ ? progress_->begin(pass, total) : Ok();
  }
  Status advance(uint64_t done) {
    return progress_ ? progress_->advance(done) : Ok();
  }

  // --- extent chains --------------------------------------------------------

  // True when the slots can be found.
  Result<bool> check_chains() {
    const FileHeader& h = pager_.header();
    const std::tuple<ExtentKind, uint64_t> kinds[3] = {
        {ExtentKind::kNode, h.node_index_head},
        {ExtentKind::kEdge, h.edge_index_head},
        {ExtentKind::kProp, h.prop_index_head}};
    bool all = true;
    for (int k = 0; k < 3; ++k) {
      const auto [kind, head] = kinds[k];
      const std::string word = extent_kind_word(kind);
      auto walk = pager_.walk_chain(head, kind);
      if (!walk) {
        auto noted = note(walk.error(), word + " extents");
        if (!noted) return noted.error();
        all = false;
        continue;
      }
      // A page beyond the end reads as zeros, an empty index page: the
      // extents it should list are lost.
      for (uint64_t page : walk->index_pages) {
        if (page + kPageSize > pager_.storage().file_size()) {
          add(word + " extents", word + " extent-index page at 0x" +
                                     hex(page) +
                                     " lies beyond the end of the file");
          all = false;
          break;
        }
      }
      chains_[k] = std::move(*walk);
    }
    if (!all) return false;

    struct Region {
      uint64_t start, end;
      std::string what;
      bool operator<(const Region& o) const {
        return std::tie(start, end, what) < std::tie(o.start, o.end, o.what);
      }
    };
    std::vector<Region> regions;
    for (int k = 0; k < 3; ++k) {
      const std::string word = extent_kind_word(std::get<0>(kinds[k]));
      const auto& extents = chains_[k].extents;
      for (size_t e = 0; e < extents.size(); ++e) {
        regions.push_back({extents[e], extents[e] + kExtentSize,
                           word + " extent " + num(e)});
      }
      for (uint64_t page : chains_[k].index_pages) {
        regions.push_back(
            {page, page + kPageSize, word + " index page 0x" + hex(page)});
      }
    }
    std::sort(regions.begin(), regions.end());
    for (size_t i = 1; i < regions.size(); ++i) {
      if (regions[i].start < regions[i - 1].end) {
        add("layout", regions[i - 1].what + " overlaps " + regions[i].what +
                          " at 0x" + hex(regions[i].start));
      }
    }

    const std::tuple<const char*, uint64_t, uint64_t, size_t> ids[2] = {
        {"node", h.next_node_id, kNodesPerExtent, chains_[0].extents.size()},
        {"edge", h.next_edge_id, kEdgesPerExtent, chains_[1].extents.size()}};
    for (const auto& [word, next, per_extent, listed] : ids) {
      if (next == 0) {
        add("header",
            std::string("next ") + word + " id is 0 (ids start at 1)");
        return false;
      }
      const uint64_t needed = next > 1 ? (next - 2) / per_extent + 1 : 0;
      if (needed > listed) {
        add(std::string(word) + " extents",
            "ids up to " + num(next - 1) + " need " + num(needed) +
                " extents but the index lists " + num(listed));
        return false;
      }
    }
    prop_bases_ = chains_[2].extents;
    std::sort(prop_bases_.begin(), prop_bases_.end());
    return true;
  }

  // --- records -------------------------------------------------------------

  // Where the blob lies wrong, or "" when it lies inside property storage.
  std::string placement_error(uint64_t offset, uint32_t len) const {
    const std::string at = "at 0x" + hex(offset) + " (+" + num(len) + ")";
    if (len > kMaxBlobLen) {
      return "is " + num(len) + " bytes, more than the " + num(kMaxBlobLen) +
             "-byte limit";
    }
    auto it = std::upper_bound(prop_bases_.begin(), prop_bases_.end(), offset);
    if (it == prop_bases_.begin() || offset - *(it - 1) > kExtentSize - len) {
      return at + " lies outside every property extent";
    }
    const auto& listed = chains_[2].extents;
    if (*(it - 1) == listed.back() &&
        offset + len > pager_.header().prop_tail) {
      return at + " runs past the end of property storage";
    }
    return "";
  }

  Status check_blob(const std::string& where, const char* what,
                    uint64_t offset, uint32_t len, BlobKind kind) {
    if (len == 0) return Ok();
    const std::string misplaced = placement_error(offset, len);
    if (!misplaced.empty()) {
      add(where, std::string(what) + " blob " + misplaced);
      return Ok();
    }
    auto bytes = pager_.read_prop(offset, len);
    if (!bytes) {
      auto noted = note(bytes.error(), where);
      return noted ? Ok() : Status(noted.error());
    }
    Status decoded = Ok();
    switch (kind) {
      case BlobKind::kLabels: {
        auto labels = decode_labels(*bytes);
        if (!labels) decoded = labels.error();
        break;
      }
      case BlobKind::kProps: {
        auto props = decode_props(*bytes);
        if (!props) decoded = props.error();
        break;
      }
      case BlobKind::kEdgeLabel: {
        auto value = decode_from(*bytes, 0);
        if (!value) {
          decoded = value.error();
        } else if (value->first.kind() != PropValue::Kind::kString) {
          decoded = OrviError::corrupted("edge label is not a string");
        }
        break;
      }
    }
    if (!decoded) {
      add(where, std::string(what) + " blob does not decode: " +
                     decoded.error().detail());
      return Ok();
    }
    report_.blobs_decoded += 1;
    return Ok();
  }

  // The stored id and flags of a slot read at `id`: false when the slot
  // does not hold this id (never written, or another id).
  bool slot_header(const std::string& where, uint64_t id, uint64_t stored,
                   uint8_t flags) {
    if (stored == 0) return false;
    if (stored != id) {
      add(where, "slot holds id " + num(stored));
      return false;
    }
    if (flags & ~kFlagDeleted) {
      add(where, "unknown flag bits 0x" + hex(flags, 2));
    }
    return true;
  }

  Status node_pass(NodeTable& t) {
    const uint64_t next = pager_.header().next_node_id;
    t.state.assign(next, kAbsent);
    t.first_out.assign(next, 0);
    t.first_in.assign(next, 0);
    t.out_degree.assign(next, 0);
    t.in_degree.assign(next, 0);
    ORVI_TRY(begin("nodes", next - 1));
    uint64_t live = 0;
    for (uint64_t id = 1; id < next; ++id) {
      if (id % kProgressStep == 0) ORVI_TRY(advance(kProgressStep));
      auto slot = pager_.read_node_slot(id);
      if (!slot) return slot.error();
      const std::string where = "node " + num(id);
      if (!slot_header(where, id, slot->id, slot->flags)) continue;
      if (slot->flags & kFlagDeleted) {
        t.state[id] = kDeleted;
        continue;
      }
      t.state[id] = kLive;
      live += 1;
      ORVI_TRY(check_blob(where, "labels", slot->label_offset,
                          slot->label_len, BlobKind::kLabels));
      ORVI_TRY(check_blob(where, "property", slot->prop_offset,
                          slot->prop_len, BlobKind::kProps));
      t.first_out[id] = slot->first_out;
      t.first_in[id] = slot->first_in;
      t.out_degree[id] = slot->out_degree;
      t.in_degree[id] = slot->in_degree;
    }
    ORVI_TRY(advance((next - 1) % kProgressStep));
    report_.live_nodes = live;
    const uint64_t counted = pager_.header().node_count;
    if (live != counted) {
      add("header", "node count is " + num(counted) + " but " + num(live) +
                        " nodes are live");
    }
    return Ok();
  }

  Status edge_pass(const NodeTable& nodes, EdgeTable& t) {
    const uint64_t next = pager_.header().next_edge_id;
    t.state.assign(next, kAbsent);
    for (auto* field : {&t.source, &t.target, &t.next_out, &t.next_in}) {
      field->assign(next, 0);
    }
    ORVI_TRY(begin("edges", next - 1));
    uint64_t live = 0;
    for (uint64_t id = 1; id < next; ++id) {
      if (id % kProgressStep == 0) ORVI_TRY(advance(kProgressStep));
      auto slot = pager_.read_edge_slot(id);
      if (!slot) return slot.error();
      const std::string where = "edge " + num(id);
      if (!slot_header(where, id, slot->id, slot->flags)) continue;
      t.source[id] = slot->from;
      t.target[id] = slot->to;
      t.next_out[id] = slot->next_out;
      t.next_in[id] = slot->next_in;
      if (slot->flags & kFlagDeleted) {
        t.state[id] = kDeleted;
        continue;
      }
      t.state[id] = kLive;
      live += 1;
      for (const auto& [end, node] :
           {std::pair{"source", slot->from}, std::pair{"target", slot->to}}) {
        if (node >= nodes.state.size() || nodes.state[node] != kLive) {
          add(where, std::string(end) + " node " + num(node) +
                         " does not exist");
        }
      }
      ORVI_TRY(check_blob(where, "label", slot->label_offset, slot->label_len,
                          BlobKind::kEdgeLabel));
      ORVI_TRY(check_blob(where, "property", slot->prop_offset,
                          slot->prop_len, BlobKind::kProps));
    }
    ORVI_TRY(advance((next - 1) % kProgressStep));
    report_.live_edges = live;
    const uint64_t counted = pager_.header().edge_count;
    if (live != counted) {
      add("header", "edge count is " + num(counted) + " but " + num(live) +
                        " edges are live");
    }
    return Ok();
  }

  // --- adjacency -----------------------------------------------------------

  // Follows one list from `head`; returns the number of live edges on it
  // that name `node` as their end, or -1 when the walk had to stop early
  // (the length is then unknown). Edges found are marked in `seen`.
  int64_t walk(uint64_t node, bool out, uint64_t head, const EdgeTable& t,
               std::vector<uint8_t>& seen) {
    const std::string where = "node " + num(node);
    const char* word = out ? "out" : "in";
    const auto& next = out ? t.next_out : t.next_in;
    const auto& end = out ? t.source : t.target;
    ++walk_stamp_;
    int64_t count = 0;
    for (uint64_t cur = head; cur != 0; cur = next[cur]) {
      if (cur >= t.state.size() || t.state[cur] == kAbsent) {
        add(where, std::string(word) + "-list links to edge " + num(cur) +
                       ", which does not exist", true);
        return -1;
      }
      if (visited_[cur] == walk_stamp_) {
        add(where, std::string(word) + "-list has a cycle (edge " + num(cur) +
                       " is revisited)", true);
        return -1;
      }
      visited_[cur] = walk_stamp_;
      if (t.state[cur] == kDeleted) {
        add(where, std::string(word) + "-list still holds deleted edge " +
                       num(cur), true);
      } else if (end[cur] != node) {
        add(where, std::string(word) + "-list holds edge " + num(cur) +
                       ", whose " + (out ? "source" : "target") +
                       " is node " + num(end[cur]), true);
      } else {
        seen[cur] = 1;
        count += 1;
      }
    }
    return count;
  }

  Status adjacency(const NodeTable& nodes, const EdgeTable& edges) {
    const uint64_t node_ids = nodes.state.size();
    const uint64_t edge_ids = edges.state.size();
    visited_.assign(edge_ids, 0);
    std::vector<uint8_t> seen_out(edge_ids, 0), seen_in(edge_ids, 0);
    ORVI_TRY(begin("adjacency", node_ids - 1));
    for (uint64_t id = 1; id < node_ids; ++id) {
      if (id % kProgressStep == 0) ORVI_TRY(advance(kProgressStep));
      if (nodes.state[id] != kLive) continue;
      for (bool out : {true, false}) {
        const int64_t count =
            walk(id, out, out ? nodes.first_out[id] : nodes.first_in[id],
                 edges, out ? seen_out : seen_in);
        report_.lists_walked += 1;
        const uint32_t degree =
            out ? nodes.out_degree[id] : nodes.in_degree[id];
        if (count >= 0 && static_cast<uint64_t>(count) != degree) {
          const char* word = out ? "out" : "in";
          add("node " + num(id),
              std::string(word) + "_degree is " + num(degree) + " but its " +
                  word + "-list holds " + num(count) + " edges",
              true);
        }
      }
    }
    ORVI_TRY(advance((node_ids - 1) % kProgressStep));
    for (uint64_t id = 1; id < edge_ids; ++id) {
      if (edges.state[id] != kLive) continue;
      for (bool out : {true, false}) {
        const uint64_t node = out ? edges.source[id] : edges.target[id];
        if ((out ? seen_out : seen_in)[id] || node >= node_ids ||
            nodes.state[node] != kLive) {
          continue;
        }
        add("edge " + num(id),
            std::string("missing from the ") + (out ? "out" : "in") +
                "-list of its " + (out ? "source" : "target") + " node " +
                num(node),
            true);
      }
    }
    return Ok();
  }

  Pager& pager_;
  CheckProgress* progress_;
  CheckReport& report_;
  Pager::ChainWalk chains_[3];
  std::vector<uint64_t> prop_bases_;  // property extents, ascending
  // The walk that last visited each edge id: one table for every walk.
  std::vector<uint64_t> visited_;
  uint64_t walk_stamp_ = 0;
};

}  // namespace

Result<CheckReport> check_integrity(Pager& pager, CheckProgress* progress) {
  CheckReport report;
  Checker checker(pager, progress, report);
  ORVI_TRY(checker.run());
  return report;
}

}  // namespace orvi

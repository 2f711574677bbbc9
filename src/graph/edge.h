// Edges and the adjacency lists that thread through them.
//
// An edge is a directed record from a source node to a target node with one
// string label and a property map. It lives in a fixed-size EdgeSlot (see
// storage/layout.h); its label is a blob holding one encoded String
// (written for every edge, the empty label included) and its properties a
// Map blob, absent when empty.
//
// Every node heads two singly linked lists threaded through the edge slots:
//   outgoing: node.first_out -> edge.next_out -> ... -> 0
//   incoming: node.first_in  -> edge.next_in  -> ... -> 0
// Invariants:
//  - a new edge is linked at the head of both lists, so lists run newest
//    first (ids strictly decreasing in an undamaged list);
//  - out_degree / in_degree count the edges linked into the lists, and
//    never go below 0;
//  - a self-loop is linked into both lists of its node and counts once in
//    each degree;
//  - an edge exists when 1 <= id < next_edge_id, its slot's stored id is
//    not 0 and the deleted flag is clear. Ids are never reused.
//
// Reader walks keep a visited set and fail with CorruptedFile ("Database
// integrity failure: ... cycle ...") on a revisited edge instead of looping;
// the unlink walk of delete_edge is bounded by the same test. A list link
// to an id that was never handed out is damage too and fails likewise, and
// so is a link to an edge of another node (an out-list may only reach
// edges whose source is its node, an in-list edges whose target is): every
// walk, readers and unlink alike, checks the endpoint of each slot it reads.
//
// Nothing here commits; changes stay pending in the pager. Not
// thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_EDGE_H_
#define ORVI_GRAPH_EDGE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"
#include "storage/pager.h"
#include "storage/prop_codec.h"

namespace orvi {

// An edge as every read and write gives it: id, label, endpoints and the
// property blob in its stored encoding (empty when the edge has no
// properties). The label blob holds one String, whose text is kept; the
// property blob is checked by a read and encoded by a write, so
// properties() cannot fail on such a record and decodes on every call.
struct Edge {
  uint64_t id = 0;
  std::string label;
  uint64_t from_node = 0;
  uint64_t to_node = 0;
  Bytes prop_blob;

  PropMap properties() const;
};

enum class Direction : uint8_t { kOut, kIn, kBoth };

// The direction a word names ("out", "in", "both"), or nullopt.
inline std::optional<Direction> direction_named(std::string_view word) {
  if (word == "out") return Direction::kOut;
  if (word == "in") return Direction::kIn;
  if (word == "both") return Direction::kBoth;
  return std::nullopt;
}

// Adds an edge from `from` to `to`, linked at the head of both lists.
// NodeNotFound(from) / NodeNotFound(to) when an endpoint is missing: ids
// outside 1..next_node_id-1 are refused before anything changes (no edge
// id spent); a never-written or deleted endpoint is found only after the
// edge id was spent and the blobs appended.
Result<Edge> add_edge(Pager& pager, uint64_t from, std::string label,
                      uint64_t to, const PropMap& properties);

// The edge, or nullopt when it does not exist. The one edge read: the label
// blob must hold a String, then the property blob is checked and kept
// encoded.
Result<std::optional<Edge>> get_edge(Pager& pager, uint64_t id);

// Merges `properties` into the edge's map like update_node; EdgeNotFound
// when the edge does not exist.
Status update_edge(Pager& pager, uint64_t id, PropMap properties);

// Unlinks the edge from both lists, lowers both degrees and edge_count,
// and marks the slot deleted (its links are kept). EdgeNotFound when the
// edge does not exist. A failure part-way leaves the writes made before it
// pending.
Status delete_edge(Pager& pager, uint64_t id);

// The newest edge from `from` with this label, target and an equal
// property map, unchanged; otherwise a new edge from add_edge.
Result<Edge> merge_edge(Pager& pager, uint64_t from, std::string label,
                        uint64_t to, const PropMap& properties);

// The node's outgoing / incoming live edges in list order (newest first);
// `label` = std::nullopt means no filter, otherwise the label must match
// byte for byte. NodeNotFound when the node does not exist. Every edge is
// read as get_edge reads it.
Result<std::vector<Edge>> out_edges(Pager& pager, uint64_t node,
                                    std::optional<std::string_view> label);
Result<std::vector<Edge>> in_edges(Pager& pager, uint64_t node,
                                   std::optional<std::string_view> label);

// The to_node of every edge out_edges(node, label) would return, in the same
// order, refilling `targets`. Reads and checks exactly what out_edges does,
// so it fails wherever out_edges fails and with the same error (a damaged
// label or property blob included), through the same blob read, but builds
// no record. For walks that follow edges.
Status out_targets(Pager& pager, uint64_t node,
                   std::optional<std::string_view> label,
                   std::vector<uint64_t>& targets);
// The same for in_edges(node, label): the from_node of each, in list order.
Status in_sources(Pager& pager, uint64_t node,
                  std::optional<std::string_view> label,
                  std::vector<uint64_t>& sources);

// The check every read of a live edge makes of its blobs, through the same
// code: the label blob must hold a String, then the property blob a Map.
// Returns whether the label equals `label` (true without one). For scans
// that read edge slots in id order and must fail wherever reading the same
// edges through their lists would.
Result<bool> check_edge_blobs(Pager& pager, const EdgeSlot& slot,
                              std::optional<std::string_view> label,
                              std::string& scratch);

// The far endpoints of out_edges (kOut) or in_edges (kIn), repeats kept;
// kBoth gives targets then sources, each id at its first occurrence only.
Result<std::vector<uint64_t>> neighbors(Pager& pager, uint64_t node,
                                        Direction direction,
                                        std::optional<std::string_view> label);

// Every live edge in ascending id order; the first read error ends it.
Result<std::vector<Edge>> all_edges(Pager& pager);

inline constexpr uint64_t kScanReleaseRecords = 65536;

// The walk of all_edges without its records: every live edge in ascending
// id order is read and checked exactly as all_edges reads it, so the walk
// fails wherever all_edges fails and with the same error, but a record is
// built only for the edges that keep(from, to) accepts; those are returned
// in id order. For summaries over every edge that must not hold the whole
// edge set in memory; the file pages it has passed are released from the
// process every kScanReleaseRecords records.
Result<std::vector<Edge>> scan_edges(
    Pager& pager, const std::function<bool(uint64_t, uint64_t)>& keep);

}  // namespace orvi

#endif  // ORVI_GRAPH_EDGE_H_

// Nodes: records with an id, a fixed list of labels and a property map.
//
// A node lives in a fixed-size NodeSlot (see storage/layout.h); its
// labels and its properties live as two blobs in property storage (a List
// of Strings and a Map, see storage/prop_codec.h). A blob length of 0 means
// "no labels" / "no properties" and nothing is stored for it.
//
// Ids are handed out from the header's next_node_id, strictly increasing
// from 1, and never reused: once add_node has advanced next_node_id the id
// is spent, even if the rest of the add fails. A node exists exactly when
// 1 <= id < next_node_id, its slot's stored id is not 0 and the deleted
// flag is clear; every operation here uses that one test (node_exists /
// read_live_node_slot).
//
// Labels never change after creation. update_node merges: the given keys
// replace or add values, every other key stays, no key is ever removed
// (a null value is stored as a null property). Storage is append-only, so
// every update with a non-empty merged map appends a fresh blob.
//
// Nothing here commits: changes stay pending in the pager until the
// caller commits or rolls back. The label index is the database handle's
// business. Not thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_NODE_H_
#define ORVI_GRAPH_NODE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"
#include "storage/pager.h"
#include "storage/prop_codec.h"

namespace orvi {

// A node as every read and write gives it: the id and the two blobs in
// their stored encoding (each empty when the node has no labels / no
// properties), held in one buffer so that a read allocates once. A read
// checks both blobs before it returns the record and a write encoded them
// itself, so the decoders below cannot fail on such a record; each call
// decodes afresh. A Node owns its bytes and never refers back to the file.
struct Node {
  uint64_t id = 0;
  Bytes blobs;             // the label blob, then the property blob
  uint32_t label_len = 0;  // the label blob's length

  static Node of(uint64_t id, std::string_view label_blob,
                 std::string_view prop_blob);
  std::string_view label_blob() const {
    return std::string_view(blobs).substr(0, label_len);
  }
  std::string_view prop_blob() const {
    return std::string_view(blobs).substr(label_len);
  }
  std::vector<std::string> labels() const;
  PropMap properties() const;
};

// True when 1 <= id < next_node_id, the slot was written and is not
// deleted.
Result<bool> node_exists(Pager& pager, uint64_t id);

// Appends a node with the next id; the record carries the blobs written.
Result<Node> add_node(Pager& pager, const std::vector<std::string>& labels,
                      const PropMap& properties);

// The node, or nullopt when it does not exist. The one node read: the label
// blob is checked, then the property blob, and both are kept encoded.
Result<std::optional<Node>> get_node(Pager& pager, uint64_t id);
// get_node into `out`, reusing its buffers, for scans over many nodes:
// false (and `out` unspecified) when the node does not exist.
Result<bool> read_node(Pager& pager, uint64_t id, Node& out);

// Merges `properties` into the node's map (see above); NodeNotFound when the
// node does not exist.
Status update_node(Pager& pager, uint64_t id, PropMap properties);

// Deletes every edge touching the node (a self-loop once), then marks its
// slot deleted and lowers node_count. NodeNotFound when the node does not
// exist. A failure part-way leaves the writes made before it pending.
Status delete_node(Pager& pager, uint64_t id);

// Every live node in ascending id order; the first read error ends it.
Result<std::vector<Node>> all_nodes(Pager& pager);

// --- helpers shared with the edge layer ------------------------------------

// The slot of node `id` when the node exists (the test above), nullopt
// otherwise. A slot that the header says was allocated but that no extent
// holds is reported as CorruptedFile.
Result<std::optional<NodeSlot>> read_live_node_slot(Pager& pager, uint64_t id);

// The property map stored at [offset, offset + len); empty when len is 0.
Result<PropMap> read_props_blob(Pager& pager, uint64_t offset, uint32_t len);

// The property merge of update_node and update_edge: given keys replace or
// add values, other keys stay, none is removed. An empty result stores no
// blob (offset and length 0); otherwise a fresh blob is appended on every
// call and the slot fields are pointed at it.
Status merge_props_blob(Pager& pager, uint64_t& prop_offset,
                        uint32_t& prop_len, PropMap properties);

// Fails with CapacityExceeded (`what`/`unit`, limit kMaxExtentsPerKind x
// `per_extent`) when `id` cannot be handed out: no extent could hold its
// slot or id + 1 would wrap. Otherwise allocates extents of `kind` until
// one covers the slot of `id`. A consistent file needs at most one new
// extent (extents are allocated before an id is spent), so a next id that
// lies further out means the header and the extent index disagree:
// CorruptedFile, instead of allocating a run of empty extents.
Status ensure_slot_extent(Pager& pager, ExtentKind kind, uint64_t id);

// Refuses to hand out `id` when its slot was already written: slots at or
// beyond the next id are never written in a consistent file, so a used one
// means the header's next id went backwards and an add would overwrite a
// record (CorruptedFile). The extent covering `id` must exist.
Status check_slot_unused(Pager& pager, ExtentKind kind, uint64_t id);

}  // namespace orvi

#endif  // ORVI_GRAPH_NODE_H_

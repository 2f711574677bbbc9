// GraphDB: the core object of one open database.
//
// A GraphDB owns its pager, its label index and, for a file, the
// cross-process writer lock, the guard on the file itself (a flock that
// refuses every other name of the same file, storage/file_guard.h) and a
// place in the process-wide registry of files open for writing (REGISTRY,
// in open_files.h). The Python binding
// keeps exactly one GraphDB per orvi.open() call and calls everything
// below under that handle's mutex; a GraphDB itself is not thread-safe.
//
// Nothing here commits: changes stay pending in the pager until commit(),
// or until a maintenance operation (vacuum, repair) commits on its own.
// Every operation of the binding goes through a method here. Most are thin:
// they run the record function of graph/ (node.h, edge.h, traverse.h,
// repair.h) on this handle's pager; add_node, delete_node, clear and
// rollback also keep the label index in step with the records.
//
// Readers in other handles (db/reader.h) may read the file at the same
// time; the handle marks its presence for them with a WriterGate
// (storage/reader_lock.h) for its whole life.
//
// Dropping a GraphDB: the path leaves the registry, the file guard and
// then the writer lock are released (a failure only prints a warning), then
// the pager is dropped, discarding pending changes, and the gate last.
#ifndef ORVI_DB_GRAPHDB_H_
#define ORVI_DB_GRAPHDB_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "error/result.h"
#include "graph/edge.h"
#include "graph/edge_stats.h"
#include "graph/index.h"
#include "graph/merge.h"
#include "graph/node.h"
#include "graph/query.h"
#include "graph/repair.h"
#include "graph/traverse.h"
#include "query/algorithms.h"
#include "storage/file_guard.h"
#include "storage/lock.h"
#include "storage/pager.h"
#include "storage/reader_lock.h"

namespace orvi {

class GraphDB {
 public:
  GraphDB(const GraphDB&) = delete;
  GraphDB& operator=(const GraphDB&) = delete;
  ~GraphDB();

  // Opens ":memory:" or a file path (created when missing).
  static Result<std::unique_ptr<GraphDB>> open(const std::string& path);

  // The canonical path held in the registry; empty for ":memory:".
  const std::optional<std::string>& registered_path() const {
    return registered_path_;
  }
  // The path exactly as given to open().
  const std::string& path() const { return path_; }

  // The explicit-transaction flag: set while a `with db.transaction()`
  // block is open.
  bool in_transaction() const { return in_transaction_; }
  void set_in_transaction(bool value) { in_transaction_ = value; }

  Result<Node> add_node(const std::vector<std::string>& labels,
                        const PropMap& properties);
  // Deletes the node and every edge touching it (a self-loop once).
  Status delete_node(uint64_t id);
  // Discards pending changes and rebuilds the label index; clears the
  // explicit-transaction flag in every outcome.
  Status rollback();
  Result<std::vector<Node>> neighbors(uint64_t id,
                                      std::optional<std::string_view> label,
                                      Direction direction);

  // The candidates of a node or edge query, in ascending id order: nodes
  // carrying any of `labels` (through the label index), edges whose label
  // equals any of them, every live record when `labels` is empty. With a
  // window the first `skip` are passed over and reading stops after
  // `limit`, so nothing past the last result is read.
  using Window = QueryWindow;
  Result<std::vector<Node>> query_nodes(const std::vector<std::string>& labels,
                                        std::optional<Window> window);
  Result<std::vector<Edge>> query_edges(const std::vector<std::string>& labels,
                                        std::optional<Window> window);

  // Reads; records keep their labels and properties encoded (graph/node.h).
  // The node into `out`, reusing its buffer: false when there is none.
  Result<bool> read_node(uint64_t id, Node& out) {
    return orvi::read_node(*pager_, id, out);
  }
  Result<std::optional<Edge>> get_edge(uint64_t id) {
    return orvi::get_edge(*pager_, id);
  }
  Result<std::vector<Edge>> out_edges(uint64_t node,
                                      std::optional<std::string_view> label) {
    return orvi::out_edges(*pager_, node, label);
  }
  Result<std::vector<Edge>> in_edges(uint64_t node,
                                     std::optional<std::string_view> label) {
    return orvi::in_edges(*pager_, node, label);
  }
  Result<std::vector<Node>> all_nodes() { return orvi::all_nodes(*pager_); }
  Result<std::vector<Edge>> all_edges() { return orvi::all_edges(*pager_); }
  // Summaries read from the edge records (graph/edge_stats.h).
  Result<std::vector<NodeDegrees>> degree_stats() {
    return orvi::degree_stats(*pager_);
  }
  Result<std::vector<Edge>> edges_between(
      const std::unordered_set<uint64_t>& nodes) {
    return orvi::edges_between(*pager_, nodes);
  }
  Result<std::vector<std::pair<Node, uint64_t>>> bfs(uint64_t start,
                                                     uint64_t depth) {
    return orvi::bfs(*pager_, start, depth);
  }
  Result<std::vector<std::pair<Node, uint64_t>>> dfs(uint64_t start,
                                                     uint64_t depth) {
    return orvi::dfs(*pager_, start, depth);
  }
  Result<std::optional<std::vector<Node>>> shortest_path(
      uint64_t start, uint64_t goal, std::optional<std::string_view> label) {
    return orvi::shortest_path(*pager_, start, goal, label);
  }
  // Walks and the adjacency read of the graph algorithms
  // (query/algorithms.h), answering with ids.
  Result<std::vector<std::pair<uint64_t, uint64_t>>> walk_ids(
      uint64_t start, uint64_t depth, Direction direction,
      std::optional<std::string_view> label, const StopCheck& stop) {
    return orvi::walk_ids(*pager_, start, depth, direction, label, stop);
  }
  Result<std::optional<std::vector<uint64_t>>> path_ids(
      uint64_t start, uint64_t goal, Direction direction,
      std::optional<std::string_view> label, const StopCheck& stop) {
    return orvi::path_ids(*pager_, start, goal, direction, label, stop);
  }
  Result<Adjacency> read_adjacency(std::optional<std::string_view> label,
                                   const StopCheck& stop) {
    return orvi::read_adjacency(*pager_, label, stop);
  }
  uint64_t node_count() const { return pager_->header().node_count; }
  uint64_t edge_count() const { return pager_->header().edge_count; }
  uint64_t next_node_id() const { return pager_->header().next_node_id; }
  uint64_t file_size() const { return pager_->storage().file_size(); }
  // Pages changed since the last commit or rollback.
  size_t dirty_pages() const { return pager_->dirty_count(); }
  // Drops the file pages reads have mapped into the process (see
  // Storage::release_mapped): for scans that have passed them.
  void release_mapped_pages() { pager_->storage().release_mapped(); }

  // Writes on records that carry no labels in the index.
  Status update_node(uint64_t id, PropMap properties) {
    return orvi::update_node(*pager_, id, std::move(properties));
  }
  Status update_edge(uint64_t id, PropMap properties) {
    return orvi::update_edge(*pager_, id, std::move(properties));
  }
  Status delete_edge(uint64_t id) { return orvi::delete_edge(*pager_, id); }
  Result<Edge> add_edge(uint64_t from, std::string label, uint64_t to,
                        const PropMap& properties) {
    return orvi::add_edge(*pager_, from, std::move(label), to, properties);
  }
  Result<Edge> merge_edge(uint64_t from, std::string label, uint64_t to,
                          const PropMap& properties) {
    return orvi::merge_edge(*pager_, from, std::move(label), to, properties);
  }
  // Merges a snapshot of another database into this one (graph/merge.h).
  Result<MergeReport> merge_from(const std::vector<Node>& nodes,
                                 const std::vector<Edge>& edges,
                                 const MergePolicy& policy) {
    return merge_from_snapshot(*pager_, label_index_, nodes, edges, policy);
  }
  // Empties the database; the label index is emptied only once the file
  // was, so a failed clear keeps it.
  Status clear();
  Status commit() { return pager_->commit(); }
  Result<RepairCounts> repair_adjacency() {
    return orvi::repair_adjacency(*pager_);
  }

  // Compacts the database, keeping every id and the next ids (defined in
  // graph/vacuum.cpp). Refused inside an explicit transaction.
  Status vacuum();
  // True when a vacuum replaced the file but could not reopen it: the handle
  // then holds only an empty placeholder store, and every later operation
  // must be refused (writes there would be lost) until the user reopens the
  // database. detach_reason() says why.
  bool detached() const { return detached_.has_value(); }
  const std::optional<OrviError>& detach_reason() const { return detached_; }

 private:
  // Tests reach the pager and the label index through it
  // (tests/cpp/graphdb_internals.h); nothing else does.
  friend struct GraphDBInternals;
  GraphDB(std::string path, std::unique_ptr<Pager> pager,
          LabelIndex label_index);

  // Makes `guard` (taken on the file that vacuum has just put in place)
  // this handle's guard and the file it names the one registered for it;
  // the old file's guard is released.
  void adopt_file_guard(FileGuard guard);

  std::string path_;
  std::unique_ptr<Pager> pager_;
  std::optional<std::string> registered_path_;
  std::optional<WriterLock> writer_lock_;
  std::optional<FileGuard> file_guard_;
  // The writer's side of the readers' protocol; shared with the pager,
  // which opens a window around every write to the file. Taken before the
  // lock directory is created and dropped after it is removed.
  std::shared_ptr<WriterGate> gate_;
  LabelIndex label_index_;
  bool in_transaction_ = false;
  std::optional<OrviError> detached_;
};

}  // namespace orvi

#endif  // ORVI_DB_GRAPHDB_H_

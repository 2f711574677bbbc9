// GraphBuilder: appends many nodes and edges to a database file that no one
// else has open, writing every page once and the header last.
//
// The file is one nobody else can see (a new file, or the private copy an
// import works on and renames over the original when complete), so the
// builder writes without the log: pages go straight to their home offsets
// and a single flush at finish() makes the whole load durable. A failure or
// a crash before finish() returns leaves a file that must be thrown away.
//
// The database built is exactly the one that adding the same records one
// by one (add_node / add_edge, graph/node.h and graph/edge.h) builds: ids
// in input order continuing the file's next ids, the same label and
// property blobs, and every adjacency list in the same order (each new edge
// at the head of its source's out-list and its target's in-list). Only the
// placement of extents in the file may differ.
//
// Edges join nodes added by this builder only. Records already in the file
// are therefore never touched, and the new nodes' slots are the only state
// that must wait for the end: they stay in memory (64 bytes per node) and
// are written in id order by finish(). Everything else streams: the
// property blobs and edge slots fill their pages in order and each page is
// written once it is full, through a bounded run buffer per stream (256 KiB
// each). The extent-index pages and the header are written by finish().
// Memory is thus 64 bytes per new node plus about 600 KiB, whatever the
// number of edges or the size of the values.
//
// After any error the builder refuses further work; the file is to be
// discarded. Not thread-safe.
#ifndef ORVI_GRAPH_BUILDER_H_
#define ORVI_GRAPH_BUILDER_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/result.h"
#include "storage/pager.h"
#include "storage/prop_codec.h"

namespace orvi {

class GraphBuilder {
 public:
  GraphBuilder(const GraphBuilder&) = delete;
  GraphBuilder& operator=(const GraphBuilder&) = delete;
  ~GraphBuilder();

  // Opens `path` for building, creating an empty database when it is
  // missing. An existing file is opened as a database open would (a
  // pending commit is finished first).
  static Result<std::unique_ptr<GraphBuilder>> open(const std::string& path);

  // The id the first node of this builder got (or gets).
  uint64_t first_node_id() const { return first_node_id_; }
  uint64_t next_node_id() const { return header().next_node_id; }
  uint64_t next_edge_id() const { return header().next_edge_id; }
  uint64_t nodes_added() const { return nodes_.size(); }
  uint64_t edges_added() const { return edges_added_; }

  // Adds a node with the next id and returns that id. The labels and the
  // properties come in their stored encoding (encode_labels, encode_props),
  // empty for none; they are stored as given.
  Result<uint64_t> add_node(std::string_view label_blob,
                            std::string_view prop_blob);
  // Adds an edge from node `from` to node `to`, both added by this builder,
  // and returns its id. InvalidArgument for any other endpoint.
  Result<uint64_t> add_edge(uint64_t from, std::string label, uint64_t to,
                            std::string_view prop_blob);

  // Writes the nodes' slots, the rest of every stream, the extent-index
  // pages and the header, then flushes the file once. The builder is done
  // afterwards, whatever the outcome.
  Status finish();

 private:
  class PageStream;
  explicit GraphBuilder(std::unique_ptr<Pager> pager);

  const FileHeader& header() const { return pager_->header(); }
  Status usable() const;
  // Stores a blob through the prop stream; its (offset, length).
  Result<std::pair<uint64_t, uint32_t>> store_blob(std::string_view bytes);
  Status write_slot(PageStream& stream, ExtentKind kind, uint64_t id,
                    const uint8_t* image, size_t size);
  OrviError fail(OrviError error);

  std::unique_ptr<Pager> pager_;
  // Pages below this offset may hold records of the file: they are read
  // before a stream fills them. Pages at or beyond it are new.
  uint64_t original_end_;
  uint64_t first_node_id_;
  // The new nodes, by id - first_node_id_; a deque grows without copying,
  // so it never holds more than the slots themselves plus one block.
  std::deque<NodeSlot> nodes_;
  uint64_t edges_added_ = 0;
  std::unique_ptr<PageStream> props_;
  std::unique_ptr<PageStream> edges_;
  Bytes scratch_;
  std::optional<OrviError> failed_;
  bool finished_ = false;
};

}  // namespace orvi

#endif  // ORVI_GRAPH_BUILDER_H_

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
// Memory is thus 64 bytes per new node plus about 1.6 MiB (the runs and
// the block of node slots being filled), whatever the number of edges or
// the size of the values.
//
// After any error the builder refuses further work; the file is to be
// discarded. Not thread-safe.
#ifndef ORVI_GRAPH_BUILDER_H_
#define ORVI_GRAPH_BUILDER_H_

#include <cstdint>
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

  // Adds a node with the next id and returns that id. The labels and the
  // properties come in their stored encoding (encode_labels, encode_props),
  // empty for none. The blobs are stored as given, so a caller that writes
  // them itself must write them exactly as the codec does; that is what
  // keeps the database the one-by-one path builds.
  Result<uint64_t> add_node(std::string_view labels,
                            std::string_view properties);
  // Adds an edge from node `from` to node `to`, both added by this builder,
  // and returns its id. InvalidArgument for any other endpoint. The
  // properties as add_node takes them.
  Result<uint64_t> add_edge(uint64_t from, std::string label, uint64_t to,
                            std::string_view properties);
  // The same with the label already encoded (one encoded String).
  Result<uint64_t> add_edge_encoded(uint64_t from, std::string_view label,
                                    uint64_t to, std::string_view properties);

  // Starts loading the in-memory slot of node `id` (one added by this
  // builder; any other id is ignored), for a caller that adds many edges
  // between nodes at random and knows their ends ahead.
  void prefetch_node(uint64_t id) const {
    if (id >= first_node_id_ && id - first_node_id_ < nodes_.size()) {
      __builtin_prefetch(&nodes_[id - first_node_id_]);
    }
  }

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
  // The new nodes' slots in blocks of a fixed size: they grow without
  // copying, so memory never holds more than the slots plus one block, and
  // finding a slot reads one entry of a small block table (a deque's
  // blocks are so small that its table itself misses the cache).
  class Slots {
   public:
    size_t size() const { return size_; }
    NodeSlot& operator[](uint64_t i) { return blocks_[i >> kShift][i & kMask]; }
    const NodeSlot& operator[](uint64_t i) const {
      return blocks_[i >> kShift][i & kMask];
    }
    void push_back(const NodeSlot& slot) {
      if ((size_ & kMask) == 0) {
        blocks_.push_back(std::make_unique<NodeSlot[]>(kMask + 1));
      }
      blocks_.back()[size_ & kMask] = slot;
      size_ += 1;
    }

   private:
    static constexpr unsigned kShift = 14;  // 16,384 slots, 1 MiB a block
    static constexpr uint64_t kMask = (uint64_t{1} << kShift) - 1;
    std::vector<std::unique_ptr<NodeSlot[]>> blocks_;
    size_t size_ = 0;
  };
  Slots nodes_;
  std::unique_ptr<PageStream> props_;
  std::unique_ptr<PageStream> edges_;
  Bytes scratch_;
  std::optional<OrviError> failed_;
  bool finished_ = false;
};

}  // namespace orvi

#endif  // ORVI_GRAPH_BUILDER_H_

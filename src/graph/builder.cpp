#include "graph/builder.h"

#include <cstring>
#include <limits>
#include <utility>

#include "graph/node.h"

namespace orvi {

namespace {

// Pages gathered before a stream writes them in one call (256 KiB).
constexpr size_t kRunPages = 64;
constexpr uint64_t kNoPage = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kMaxDegree = std::numeric_limits<uint32_t>::max();

}  // namespace

// Fills pages in increasing offset order and writes each one once, when the
// stream moves past it. Consecutive pages are gathered into runs so that a
// long stretch of an extent goes to the file in few large writes. A page
// that lies in the file as it was opened is read first, so the records
// already on it are kept.
class GraphBuilder::PageStream {
 public:
  PageStream(Pager& pager, uint64_t original_end)
      : pager_(pager), original_end_(original_end), run_(kRunPages) {}

  // The image of the page at `offset`, which becomes the stream's current
  // page. Offsets never go back to a page the stream has left.
  Result<Page*> page(uint64_t offset) {
    if (offset == current_) return &run_[run_len_];
    if (current_ != kNoPage && offset == current_ + kPageSize &&
        run_len_ + 1 < kRunPages) {
      run_len_ += 1;
    } else {
      ORVI_TRY(write_run());
      run_start_ = offset;
      run_len_ = 0;
    }
    current_ = offset;
    Page& image = run_[run_len_];
    if (offset < original_end_) {
      auto stored = pager_.view_page(offset);
      if (!stored) return stored.error();
      image = **stored;
    } else {
      image.fill(0);
    }
    return &image;
  }

  // Writes everything the stream holds.
  Status close() {
    ORVI_TRY(write_run());
    current_ = kNoPage;
    return Ok();
  }

 private:
  Status write_run() {
    if (current_ == kNoPage) return Ok();
    const Page* pages[kRunPages];
    for (size_t i = 0; i <= run_len_; ++i) pages[i] = &run_[i];
    return pager_.storage().write_pages(run_start_, pages, run_len_ + 1);
  }

  Pager& pager_;
  const uint64_t original_end_;
  std::vector<Page> run_;
  uint64_t run_start_ = 0;
  size_t run_len_ = 0;  // index of the current page in run_
  uint64_t current_ = kNoPage;
};

GraphBuilder::GraphBuilder(std::unique_ptr<Pager> pager)
    : pager_(std::move(pager)),
      original_end_(pager_->file_end()),
      first_node_id_(pager_->header().next_node_id),
      props_(std::make_unique<PageStream>(*pager_, original_end_)),
      edges_(std::make_unique<PageStream>(*pager_, original_end_)) {}

GraphBuilder::~GraphBuilder() = default;

Result<std::unique_ptr<GraphBuilder>> GraphBuilder::open(
    const std::string& path) {
  if (path == ":memory:") {
    return OrviError::invalid_argument(
        "a builder writes a database file, not \":memory:\"");
  }
  auto pager = Pager::open(path);
  if (!pager) return pager.error();
  return std::unique_ptr<GraphBuilder>(new GraphBuilder(std::move(*pager)));
}

Status GraphBuilder::usable() const {
  if (failed_) return *failed_;
  if (finished_) {
    return OrviError::invalid_argument("the builder has finished");
  }
  return Ok();
}

OrviError GraphBuilder::fail(OrviError error) {
  failed_ = error;
  return error;
}

Result<std::pair<uint64_t, uint32_t>> GraphBuilder::store_blob(
    std::string_view bytes) {
  auto placed = pager_->place_prop(bytes.size());
  if (!placed) return placed.error();
  uint64_t pos = *placed;
  size_t done = 0;
  while (done < bytes.size()) {
    const uint64_t page_off = pos / kPageSize * kPageSize;
    const size_t in_page = static_cast<size_t>(pos - page_off);
    const size_t chunk = std::min<size_t>(bytes.size() - done,
                                          kPageSize - in_page);
    auto page = props_->page(page_off);
    if (!page) return page.error();
    std::memcpy((*page)->data() + in_page, bytes.data() + done, chunk);
    done += chunk;
    pos += chunk;
  }
  return std::make_pair(*placed, static_cast<uint32_t>(bytes.size()));
}

Status GraphBuilder::write_slot(PageStream& stream, ExtentKind kind,
                                uint64_t id, const uint8_t* image,
                                size_t size) {
  ORVI_TRY(ensure_slot_extent(*pager_, kind, id));
  auto off = pager_->slot_offset(kind, id);
  if (!off) return off.error();
  auto page = stream.page(*off / kPageSize * kPageSize);
  if (!page) return page.error();
  uint8_t* slot = (*page)->data() + *off % kPageSize;
  // A written slot at a new id means the header's counters are damaged;
  // the stored page is still unchanged, so the one-by-one check words it.
  if (get_u64(slot) != 0) ORVI_TRY(check_slot_unused(*pager_, kind, id));
  std::memcpy(slot, image, size);
  return Ok();
}

Result<uint64_t> GraphBuilder::add_node(std::string_view labels,
                                        std::string_view properties) {
  ORVI_TRY(usable());
  FileHeader& h = pager_->header();
  const uint64_t id = h.next_node_id;
  if ((id - 1) / kNodesPerExtent >= kMaxExtentsPerKind ||
      id == std::numeric_limits<uint64_t>::max()) {
    return fail(OrviError::capacity_exceeded(
        "node", kMaxExtentsPerKind * kNodesPerExtent, "nodes"));
  }
  h.next_node_id = id + 1;
  NodeSlot slot;
  slot.id = id;
  if (!labels.empty()) {
    auto stored = store_blob(labels);
    if (!stored) return fail(stored.error());
    std::tie(slot.label_offset, slot.label_len) = *stored;
  }
  if (!properties.empty()) {
    auto stored = store_blob(properties);
    if (!stored) return fail(stored.error());
    std::tie(slot.prop_offset, slot.prop_len) = *stored;
  }
  nodes_.push_back(slot);
  h.node_count += 1;
  return id;
}

Result<uint64_t> GraphBuilder::add_edge(uint64_t from, std::string label,
                                        uint64_t to,
                                        std::string_view prop_blob) {
  ORVI_TRY(usable());
  // Every edge stores its label, the empty one included.
  scratch_.clear();
  encode_into(PropValue(std::move(label)), scratch_);
  return add_edge_encoded(from, scratch_, to, prop_blob);
}

Result<uint64_t> GraphBuilder::add_edge_encoded(uint64_t from,
                                                std::string_view label,
                                                uint64_t to,
                                                std::string_view properties) {
  ORVI_TRY(usable());
  FileHeader& h = pager_->header();
  for (uint64_t end : {from, to}) {
    if (end < first_node_id_ || end >= h.next_node_id) {
      return fail(OrviError::invalid_argument(
          "edge end " + std::to_string(end) +
          " is not a node added by this builder"));
    }
  }
  NodeSlot& source = nodes_[from - first_node_id_];
  NodeSlot& target = nodes_[to - first_node_id_];
  if (source.out_degree == kMaxDegree || target.in_degree == kMaxDegree) {
    return fail(OrviError::invalid_argument(
        "node " + std::to_string(source.out_degree == kMaxDegree ? from : to) +
        " already has the most edges a node can have"));
  }
  const uint64_t eid = h.next_edge_id;
  if (eid == std::numeric_limits<uint64_t>::max()) {
    return fail(OrviError::capacity_exceeded(
        "edge", kMaxExtentsPerKind * kEdgesPerExtent, "edges"));
  }
  h.next_edge_id = eid + 1;

  EdgeSlot es;
  es.id = eid;
  es.from = from;
  es.to = to;
  {
    auto stored = store_blob(label);
    if (!stored) return fail(stored.error());
    std::tie(es.label_offset, es.label_len) = *stored;
  }
  if (!properties.empty()) {
    auto stored = store_blob(properties);
    if (!stored) return fail(stored.error());
    std::tie(es.prop_offset, es.prop_len) = *stored;
  }
  es.next_out = source.first_out;
  es.next_in = target.first_in;
  uint8_t image[kEdgeSlotSize];
  es.encode(image);
  Status written = write_slot(*edges_, ExtentKind::kEdge, eid, image,
                              kEdgeSlotSize);
  if (!written) return fail(written.error());
  // For a self-loop source and target are the same slot.
  source.first_out = eid;
  source.out_degree += 1;
  target.first_in = eid;
  target.in_degree += 1;
  h.edge_count += 1;
  return eid;
}

Status GraphBuilder::finish() {
  ORVI_TRY(usable());
  finished_ = true;
  Status done = [&]() -> Status {
    ORVI_TRY(props_->close());
    ORVI_TRY(edges_->close());
    PageStream slots(*pager_, original_end_);
    uint8_t image[kNodeSlotSize];
    for (uint64_t i = 0; i < nodes_.size(); ++i) {
      const NodeSlot& slot = nodes_[i];
      slot.encode(image);
      ORVI_TRY(write_slot(slots, ExtentKind::kNode, slot.id, image,
                          kNodeSlotSize));
    }
    ORVI_TRY(slots.close());
    // The extent-index pages the allocations changed, then the header that
    // names them; one flush makes the whole load durable.
    ORVI_TRY(pager_->flush_dirty_pages());
    ORVI_TRY(pager_->write_header());
    return pager_->storage().flush();
  }();
  if (!done) return fail(done.error());
  return Ok();
}

}  // namespace orvi

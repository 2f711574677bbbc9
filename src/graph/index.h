// LabelIndex: finds the nodes that carry any of a list of labels.
//
// An in-memory map from label (compared byte for byte, case-sensitive) to
// the set of ids of the nodes carrying it. Nothing of it is stored in the
// file: the database handle builds it when it opens, rolls back or is
// compacted, and keeps it in step with node adds and deletes. Node labels
// never change after creation, so property updates need no index work.
//
// A label key, once created, stays in the map even when its set becomes
// empty. The index may hold ids of nodes that no longer exist only after an
// operation failed part-way; readers re-read every node and drop absent
// ones, so a stale id never yields a wrong node.
//
// Not thread-safe; reached only through the handle under its lock.
#ifndef ORVI_GRAPH_INDEX_H_
#define ORVI_GRAPH_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/result.h"
#include "graph/node.h"
#include "storage/pager.h"

namespace orvi {

class LabelIndex {
 public:
  // Reads every live node with get_node; the first read error ends the
  // build and is returned.
  static Result<LabelIndex> build(Pager& pager);

  // Adds the node's id under each of its labels, creating missing keys; a
  // label repeated on the node adds the id once.
  void insert(const Node& node);
  // Takes the node's id out of the set of each of its labels that is a
  // key; other labels are ignored and no key is removed.
  void remove(const Node& node);
  // The union of the sets of the listed labels (a node carrying several of
  // them is listed once), ascending. Labels that are not keys add nothing.
  std::vector<uint64_t> ids_for_labels(
      const std::vector<std::string>& labels) const;
  // True when the label is a key (keys are never removed).
  bool has_label(std::string_view label) const;
  // Number of keys.
  size_t label_count() const { return map_.size(); }

 private:
  // Transparent hashing lets string_view lookups skip building a string.
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const {
      return std::hash<std::string_view>()(s);
    }
  };
  // The ids under one label: open addressing with linear probing over one
  // flat array, at most half full, so an insert costs no allocation of its
  // own. 0 marks an empty slot (id 0 never names a node; should it come, it
  // is kept aside). Erasing shifts the rest of the probe run back, so no
  // tombstones accumulate. Iteration order is unspecified.
  class IdSet {
   public:
    void insert(uint64_t id);
    void erase(uint64_t id);
    size_t size() const { return size_ + (has_zero_ ? 1 : 0); }
    // Appends every id to `out`.
    void append_to(std::vector<uint64_t>& out) const;

   private:
    size_t bucket(uint64_t id) const {
      return static_cast<size_t>((id * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void grow();

    std::vector<uint64_t> slots_;
    size_t size_ = 0;
    unsigned shift_ = 64;
    bool has_zero_ = false;
  };

  // Sorts ascending; drops repeats when there may be some.
  static void sort_unique(std::vector<uint64_t>& ids, bool repeats);

  std::unordered_map<std::string, IdSet, Hash, std::equal_to<>> map_;
  // The labels of the node being inserted or removed, kept to reuse its
  // buffer.
  std::vector<std::string_view> scratch_;
};

}  // namespace orvi

#endif  // ORVI_GRAPH_INDEX_H_

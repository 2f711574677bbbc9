// PageCache: a strict least-recently-used cache of page images.
//
// Both get() hits and put() calls count as uses. Eviction removes exactly
// one page, always the least recently used, and only when a new offset is
// put into a full cache; putting an offset that is already cached replaces
// its image and makes it the most recently used without evicting anything.
// A capacity of 0 is raised to 1.
//
// The recency order is a linked list with a hash index into it, so every
// operation is O(1); the eviction order is that of a queue scanned from the
// front, which is what callers observe.
//
// The pager puts every page it modifies here as well as into its dirty
// map, and reads the dirty map first, so evicting a modified page never
// loses it.
#ifndef ORVI_STORAGE_CACHE_H_
#define ORVI_STORAGE_CACHE_H_

#include <cstdint>
#include <list>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/file.h"

namespace orvi {

class PageCache {
 public:
  explicit PageCache(size_t capacity);
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;
  PageCache(PageCache&&) = default;
  PageCache& operator=(PageCache&&) = default;

  // The cached image, or nullptr. A hit makes the offset the most recently
  // used. The pointer stays valid until the next put() or clear().
  const Page* get(uint64_t offset);
  void put(uint64_t offset, const Page& page);
  // Drops every page.
  void clear();

  size_t size() const { return index_.size(); }
  size_t capacity() const { return capacity_; }
  bool contains(uint64_t offset) const { return index_.count(offset) != 0; }
  // Offsets from most to least recently used (for tests and diagnostics).
  std::vector<uint64_t> order() const;

 private:
  using Entry = std::pair<uint64_t, Page>;
  size_t capacity_;
  std::list<Entry> lru_;  // front = most recently used
  std::unordered_map<uint64_t, std::list<Entry>::iterator> index_;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_CACHE_H_

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
//
// Images are reference-counted (PageRef) so that the pager's dirty map and
// the cache can hold one image of a modified page instead of two copies:
// put_shared() stores the image it is given, and the pager changes a page
// in place only when nobody else holds that image (see Pager::modify_page).
// put() stores a private copy, as before.
#ifndef ORVI_STORAGE_CACHE_H_
#define ORVI_STORAGE_CACHE_H_

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/file.h"

namespace orvi {

// A shared page image.
using PageRef = std::shared_ptr<Page>;

class PageCache {
 public:
  explicit PageCache(size_t capacity);
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;
  PageCache(PageCache&&) = default;
  PageCache& operator=(PageCache&&) = default;

  // The cached image, or nullptr. A hit makes the offset the most recently
  // used. The pointer stays valid until the next put or clear().
  const Page* get(uint64_t offset);
  // The same as get(), as a shared reference (null on a miss).
  const PageRef* get_ref(uint64_t offset);
  // Stores a copy of `page`.
  void put(uint64_t offset, const Page& page);
  // Stores `image` itself (not null). Same use and eviction rules as put().
  // Returns the image of an evicted page when nobody else holds it, so the
  // caller may reuse its memory; null otherwise.
  PageRef put_shared(uint64_t offset, PageRef image);
  // Drops every page.
  void clear();

  size_t size() const { return index_.size(); }
  size_t capacity() const { return capacity_; }
  bool contains(uint64_t offset) const { return index_.count(offset) != 0; }
  // The cached image, or null, without recording a use.
  const PageRef* peek(uint64_t offset) const;
  // Offsets from most to least recently used (for tests and diagnostics).
  std::vector<uint64_t> order() const;

 private:
  using Entry = std::pair<uint64_t, PageRef>;
  size_t capacity_;
  std::list<Entry> lru_;  // front = most recently used
  std::unordered_map<uint64_t, std::list<Entry>::iterator> index_;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_CACHE_H_

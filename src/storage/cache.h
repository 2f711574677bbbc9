// PageCache: a strict least-recently-used cache of page images.
//
// Both get() hits and put() calls count as uses. Eviction removes exactly
// one page, always the least recently used, and only when a new offset is
// put into a full cache; putting an offset that is already cached replaces
// its image and makes it the most recently used without evicting anything.
// A capacity of 0 is raised to 1.
//
// The recency order is a doubly linked list threaded through a flat array
// of entries, found through an open-addressing index, so every operation
// is O(1) and allocates nothing once the cache is full; the eviction order
// is that of a queue scanned from the front, which is what callers
// observe.
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

#include <cstddef>
#include <cstdint>
#include <memory>
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

  size_t size() const { return entries_.size(); }
  size_t capacity() const { return capacity_; }
  bool contains(uint64_t offset) const { return find(offset) != kNil; }
  // The cached image, or null, without recording a use.
  const PageRef* peek(uint64_t offset) const;
  // Offsets from most to least recently used (for tests and diagnostics).
  std::vector<uint64_t> order() const;

 private:
  static constexpr uint32_t kNil = UINT32_MAX;
  // No page offset is this (offsets are page multiples far below it).
  static constexpr uint64_t kNoKey = UINT64_MAX;

  struct Entry {
    uint64_t offset;
    PageRef image;
    uint32_t prev;  // towards the most recently used; kNil at the front
    uint32_t next;  // towards the least recently used; kNil at the back
  };

  size_t slot_of(uint64_t offset) const {
    return static_cast<size_t>((offset * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  // The entry holding `offset`, or kNil.
  uint32_t find(uint64_t offset) const {
    const size_t mask = keys_.size() - 1;
    for (size_t i = slot_of(offset);; i = (i + 1) & mask) {
      if (keys_[i] == offset) return slots_[i];
      if (keys_[i] == kNoKey) return kNil;
    }
  }
  void index_insert(uint64_t offset, uint32_t entry);
  void index_erase(uint64_t offset);
  void unlink(uint32_t e);
  void push_front(uint32_t e);
  void touch(uint32_t e);

  size_t capacity_;
  std::vector<Entry> entries_;  // at most capacity_, never shrinks but by clear()
  uint32_t front_ = kNil;       // most recently used
  uint32_t back_ = kNil;        // least recently used
  // Open addressing with linear probing, at most a quarter full.
  std::vector<uint64_t> keys_;
  std::vector<uint32_t> slots_;
  unsigned shift_ = 64;
};

}  // namespace orvi

#endif  // ORVI_STORAGE_CACHE_H_

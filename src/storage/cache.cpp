#include "storage/cache.h"

namespace orvi {

PageCache::PageCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  index_.reserve(capacity_ + 1);
}

const PageRef* PageCache::get_ref(uint64_t offset) {
  auto it = index_.find(offset);
  if (it == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  return &it->second->second;
}

const Page* PageCache::get(uint64_t offset) {
  const PageRef* ref = get_ref(offset);
  return ref == nullptr ? nullptr : ref->get();
}

void PageCache::put(uint64_t offset, const Page& page) {
  auto it = index_.find(offset);
  if (it != index_.end() && it->second->second.use_count() == 1) {
    // Nobody else holds the old image: overwrite it.
    lru_.splice(lru_.begin(), lru_, it->second);
    *it->second->second = page;
    return;
  }
  PageRef spare = put_shared(offset, std::make_shared<Page>(page));
  (void)spare;
}

PageRef PageCache::put_shared(uint64_t offset, PageRef image) {
  auto it = index_.find(offset);
  if (it != index_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    it->second->second = std::move(image);
    return nullptr;
  }
  if (index_.size() >= capacity_) {
    // Reuse the evicted node for the new entry.
    auto victim = std::prev(lru_.end());
    index_.erase(victim->first);
    victim->first = offset;
    PageRef evicted = std::exchange(victim->second, std::move(image));
    lru_.splice(lru_.begin(), lru_, victim);
    index_.emplace(offset, lru_.begin());
    if (evicted.use_count() != 1) evicted.reset();
    return evicted;
  }
  lru_.emplace_front(offset, std::move(image));
  index_.emplace(offset, lru_.begin());
  return nullptr;
}

const PageRef* PageCache::peek(uint64_t offset) const {
  auto it = index_.find(offset);
  return it == index_.end() ? nullptr : &it->second->second;
}

void PageCache::clear() {
  lru_.clear();
  index_.clear();
}

std::vector<uint64_t> PageCache::order() const {
  std::vector<uint64_t> out;
  out.reserve(lru_.size());
  for (const auto& e : lru_) out.push_back(e.first);
  return out;
}

}  // namespace orvi

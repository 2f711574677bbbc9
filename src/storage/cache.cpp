#include "storage/cache.h"

namespace orvi {

PageCache::PageCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  index_.reserve(capacity_ + 1);
}

const Page* PageCache::get(uint64_t offset) {
  auto it = index_.find(offset);
  if (it == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  return &it->second->second;
}

void PageCache::put(uint64_t offset, const Page& page) {
  auto it = index_.find(offset);
  if (it != index_.end()) {
    lru_.splice(lru_.begin(), lru_, it->second);
    it->second->second = page;
    return;
  }
  if (index_.size() >= capacity_) {
    // Reuse the evicted node's storage for the new page.
    auto victim = std::prev(lru_.end());
    index_.erase(victim->first);
    victim->first = offset;
    victim->second = page;
    lru_.splice(lru_.begin(), lru_, victim);
    index_.emplace(offset, lru_.begin());
    return;
  }
  lru_.emplace_front(offset, page);
  index_.emplace(offset, lru_.begin());
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

#include "storage/cache.h"

#include <algorithm>

namespace orvi {

PageCache::PageCache(size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
  size_t slots = 4;
  while (slots < capacity_ * 4) slots *= 2;
  keys_.assign(slots, kNoKey);
  slots_.assign(slots, kNil);
  shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(slots));
}

void PageCache::index_insert(uint64_t offset, uint32_t entry) {
  const size_t mask = keys_.size() - 1;
  size_t i = slot_of(offset);
  while (keys_[i] != kNoKey) i = (i + 1) & mask;
  keys_[i] = offset;
  slots_[i] = entry;
}

void PageCache::index_erase(uint64_t offset) {
  const size_t mask = keys_.size() - 1;
  size_t i = slot_of(offset);
  while (keys_[i] != offset) {
    if (keys_[i] == kNoKey) return;
    i = (i + 1) & mask;
  }
  // Backward shift: an entry later in the run moves into the hole unless
  // its home slot lies cyclically in (hole, its position].
  for (size_t j = i;;) {
    j = (j + 1) & mask;
    if (keys_[j] == kNoKey) break;
    const size_t home = slot_of(keys_[j]);
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      keys_[i] = keys_[j];
      slots_[i] = slots_[j];
      i = j;
    }
  }
  keys_[i] = kNoKey;
  slots_[i] = kNil;
}

void PageCache::unlink(uint32_t e) {
  Entry& entry = entries_[e];
  if (entry.prev != kNil) {
    entries_[entry.prev].next = entry.next;
  } else {
    front_ = entry.next;
  }
  if (entry.next != kNil) {
    entries_[entry.next].prev = entry.prev;
  } else {
    back_ = entry.prev;
  }
}

void PageCache::push_front(uint32_t e) {
  Entry& entry = entries_[e];
  entry.prev = kNil;
  entry.next = front_;
  if (front_ != kNil) entries_[front_].prev = e;
  front_ = e;
  if (back_ == kNil) back_ = e;
}

void PageCache::touch(uint32_t e) {
  if (front_ == e) return;
  unlink(e);
  push_front(e);
}

const PageRef* PageCache::get_ref(uint64_t offset) {
  const uint32_t e = find(offset);
  if (e == kNil) return nullptr;
  touch(e);
  return &entries_[e].image;
}

const Page* PageCache::get(uint64_t offset) {
  const PageRef* ref = get_ref(offset);
  return ref == nullptr ? nullptr : ref->get();
}

void PageCache::put(uint64_t offset, const Page& page) {
  const uint32_t e = find(offset);
  if (e != kNil && entries_[e].image.use_count() == 1) {
    // Nobody else holds the old image: overwrite it.
    touch(e);
    *entries_[e].image = page;
    return;
  }
  PageRef spare = put_shared(offset, std::make_shared<Page>(page));
  (void)spare;
}

PageRef PageCache::put_shared(uint64_t offset, PageRef image) {
  const uint32_t found = find(offset);
  if (found != kNil) {
    touch(found);
    entries_[found].image = std::move(image);
    return nullptr;
  }
  if (entries_.size() < capacity_) {
    const uint32_t e = static_cast<uint32_t>(entries_.size());
    entries_.push_back(Entry{offset, std::move(image), kNil, kNil});
    push_front(e);
    index_insert(offset, e);
    return nullptr;
  }
  // Full: the least recently used entry takes the new page.
  const uint32_t victim = back_;
  Entry& entry = entries_[victim];
  index_erase(entry.offset);
  entry.offset = offset;
  PageRef evicted = std::exchange(entry.image, std::move(image));
  touch(victim);
  index_insert(offset, victim);
  if (evicted.use_count() != 1) evicted.reset();
  return evicted;
}

const PageRef* PageCache::peek(uint64_t offset) const {
  const uint32_t e = find(offset);
  return e == kNil ? nullptr : &entries_[e].image;
}

void PageCache::clear() {
  entries_.clear();
  front_ = kNil;
  back_ = kNil;
  std::fill(keys_.begin(), keys_.end(), kNoKey);
  std::fill(slots_.begin(), slots_.end(), kNil);
}

std::vector<uint64_t> PageCache::order() const {
  std::vector<uint64_t> out;
  out.reserve(entries_.size());
  for (uint32_t e = front_; e != kNil; e = entries_[e].next) {
    out.push_back(entries_[e].offset);
  }
  return out;
}

}  // namespace orvi

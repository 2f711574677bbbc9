// KeyMap: the node keys of an import (the ints and strs of its id column)
// and the database ids they were given.
//
// An int key and a str key never match, as in a Python dict (1 and "1"
// are two nodes). Small non-negative int keys, as most tables number their
// nodes, go into a plain array indexed by the key (8 bytes per key while
// the keys stay dense); every other key into one open-addressing table of
// 24-byte slots, at most half full, plus the bytes of the str keys. So at
// most 48 bytes per key, plus the text of str keys. Not thread-safe.
#ifndef ORVI_TOOLS_KEY_MAP_H_
#define ORVI_TOOLS_KEY_MAP_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvi::tools {

struct NodeKey {
  bool is_text = false;
  bool negative = false;  // an int key below zero (bits hold two's complement)
  uint64_t bits = 0;
  std::string_view text;
};

class KeyMap {
 public:
  // The id of `key`, 0 when it has none (database ids start at 1).
  uint64_t find(const NodeKey& key) const {
    if (dense(key) && key.bits < dense_.size() && dense_[key.bits] != 0) {
      return dense_[key.bits];
    }
    if (slots_.empty()) return 0;
    const uint64_t h = hash(key);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id == 0) return 0;
      if (s.hash == static_cast<uint32_t>(h) && same(s, key)) return id_of(s);
    }
  }

  // Gives `key` the id `id` (below 2^62); false when it has one already.
  bool insert(const NodeKey& key, uint64_t id) {
    if (dense(key) && key.bits >= dense_.size() &&
        key.bits < 2 * (count_ + 1) + kDenseStart) {
      dense_.resize(std::max<uint64_t>(key.bits + 1, 2 * dense_.size()));
    }
    if (dense(key) && key.bits < dense_.size()) {
      if (find(key) != 0) return false;
      dense_[key.bits] = id;
      count_ += 1;
      return true;
    }
    if ((slot_count_ + 1) * 2 > slots_.size()) grow();
    const uint64_t h = hash(key);
    size_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id == 0) break;
      if (s.hash == static_cast<uint32_t>(h) && same(s, key)) return false;
    }
    Slot& s = slots_[i];
    s.hash = static_cast<uint32_t>(h);
    s.id = id | (key.is_text ? kText : 0) | (key.negative ? kNegative : 0);
    if (key.is_text) {
      s.ref = text_.size();
      s.len = static_cast<uint32_t>(key.text.size());
      text_.append(key.text);
    } else {
      s.ref = key.bits;
    }
    count_ += 1;
    slot_count_ += 1;
    return true;
  }

  // Starts loading the memory find(key) will read, for a caller that asks
  // for many keys at random and knows them ahead.
  void prefetch(const NodeKey& key) const {
    if (dense(key) && key.bits < dense_.size()) {
      __builtin_prefetch(&dense_[key.bits]);
    } else if (!slots_.empty()) {
      __builtin_prefetch(&slots_[hash(key) & mask_]);
    }
  }

  size_t size() const { return count_; }

  // Calls f(key, id) for every key, in no particular order.
  void for_each(const std::function<void(const NodeKey&, uint64_t)>& f) const {
    for (uint64_t k = 0; k < dense_.size(); ++k) {
      if (dense_[k] == 0) continue;
      NodeKey key;
      key.bits = k;
      f(key, dense_[k]);
    }
    for (const Slot& s : slots_) {
      if (s.id != 0) f(key_of(s), id_of(s));
    }
  }

 private:
  static constexpr uint64_t kText = uint64_t{1} << 63;
  // The array takes keys below twice the number of keys plus this.
  static constexpr uint64_t kDenseStart = 1024;
  static constexpr uint64_t kNegative = uint64_t{1} << 62;

  struct Slot {
    uint64_t id = 0;   // 0: empty; else the id with the kText and kNegative bits
    uint64_t ref = 0;  // an int key's bits, a str key's offset in text_
    uint32_t len = 0;  // a str key's length
    uint32_t hash = 0;
  };

  static bool dense(const NodeKey& key) {
    return !key.is_text && !key.negative;
  }
  static uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }
  static uint64_t hash(const NodeKey& key) {
    if (key.is_text) return mix(std::hash<std::string_view>()(key.text) ^ 1);
    return mix(key.bits + (key.negative ? 0x9e3779b97f4a7c15ULL : 0));
  }
  static uint64_t id_of(const Slot& s) { return s.id & ~(kText | kNegative); }
  NodeKey key_of(const Slot& s) const {
    NodeKey key;
    key.is_text = (s.id & kText) != 0;
    key.negative = (s.id & kNegative) != 0;
    if (key.is_text) {
      key.text = std::string_view(text_).substr(s.ref, s.len);
    } else {
      key.bits = s.ref;
    }
    return key;
  }
  bool same(const Slot& s, const NodeKey& key) const {
    const NodeKey k = key_of(s);
    if (k.is_text != key.is_text) return false;
    if (k.is_text) return k.text == key.text;
    return k.negative == key.negative && k.bits == key.bits;
  }
  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot());
    mask_ = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.id == 0) continue;
      size_t i = s.hash;
      // The stored hash is the low half of the full one; the table index
      // uses only low bits, so it serves for re-placing.
      for (i &= mask_; slots_[i].id != 0; i = (i + 1) & mask_) {
      }
      slots_[i] = s;
    }
  }

  std::vector<uint64_t> dense_;  // id by key; 0: none
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
  size_t slot_count_ = 0;
  std::string text_;
};

}  // namespace orvi::tools

#endif  // ORVI_TOOLS_KEY_MAP_H_

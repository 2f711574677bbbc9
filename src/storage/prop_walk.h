// The one reader of the value encoding laid out in prop_codec.h.
//
// ValueWalker makes one forward pass over an encoded value and hands what
// it meets to a sink, which decides what the walk makes of it: a
// PropValue (decode_from), nothing but a verdict (validate_from), the
// labels or the map entries of a blob, or Python objects (the binding). The checks,
// their order and the error texts are written once, here, so no two
// readers can disagree about which inputs fail or how.
//
// A sink is a class with:
//   static constexpr bool kChecked;
//       true: every length is checked against the remaining bytes, texts
//       and keys must be UTF-8, nesting is limited to kMaxDecodeDepth, and a
//       failure stops the walk with the codec's error (error()). false: the
//       input already passed a checked walk, so the walk trusts it and
//       checks nothing; it must never see unchecked bytes.
//   using Value = ...;  the result of one value
//   using List = ...;   a List being built
//   using Map = ...;    a Map being built
//   bool null(Value&), boolean(bool, Value&), integer(int64_t, Value&),
//        real(double, Value&), text(std::string_view, Value&);
//   bool begin_list(uint32_t count, size_t reserve, List&);
//   bool list_item(List&, walk);   calls walk(Value&) for the next element
//   bool end_list(List&, Value&);
//   bool begin_map(uint32_t count, size_t reserve, Map&);
//   bool map_item(Map&, std::string_view key, walk);
// where walk.pos() is the position of the value walk(Value&) walks next.
//   bool end_map(Map&, Value&);
// A sink that returns false stops the walk; it keeps its own error (the
// Python sink leaves a Python exception set). `reserve` is what a container
// may allocate up front: never more than the remaining bytes can hold, so a
// damaged count cannot make a checked walk allocate much before the data
// runs out. `text` and `key` views point into the input.
//
// The sink is a template parameter, so every walk is compiled for its sink
// and the calls inline: the walk is on the paths of property reads and
// traversals.
#ifndef ORVI_STORAGE_PROP_WALK_H_
#define ORVI_STORAGE_PROP_WALK_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "error/error.h"
#include "storage/prop_codec.h"
#include "storage/layout.h"
#include "storage/text.h"

namespace orvi {

template <typename Sink>
class ValueWalker {
 public:
  using Value = typename Sink::Value;

  ValueWalker(Sink& sink, std::string_view in, size_t pos)
      : sink_(sink),
        p_(reinterpret_cast<const uint8_t*>(in.data())),
        n_(in.size()),
        pos_(pos) {}

  // The position just after the last value walked.
  size_t pos() const { return pos_; }

  // Walks the value at pos(), inside `depth` enclosing containers, into
  // `out`. False when the walk failed (see error()) or the sink stopped it.
  // Inlined into each container's loop, while list() and map() stay out of
  // line: a scalar element costs no call, and nesting one frame per level.
  [[gnu::always_inline]] bool value(int depth, Value& out) {
    if constexpr (kChecked) {
      if (pos_ >= n_) return fail("prop_codec: unexpected end of data");
    }
    const uint8_t tag = p_[pos_];
    switch (tag) {
      case static_cast<uint8_t>(PropValue::Kind::kNull):
        pos_ += 1;
        return sink_.null(out);
      case static_cast<uint8_t>(PropValue::Kind::kBool): {
        if (!need(2, "prop_codec: bool truncated")) return false;
        const bool b = p_[pos_ + 1] != 0;
        pos_ += 2;
        return sink_.boolean(b, out);
      }
      case static_cast<uint8_t>(PropValue::Kind::kInt): {
        if (!need(9, "prop_codec: int64 truncated")) return false;
        const auto i = static_cast<int64_t>(get_u64(p_ + pos_ + 1));
        pos_ += 9;
        return sink_.integer(i, out);
      }
      case static_cast<uint8_t>(PropValue::Kind::kFloat): {
        if (!need(9, "prop_codec: float64 truncated")) return false;
        const uint64_t bits = get_u64(p_ + pos_ + 1);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        pos_ += 9;
        return sink_.real(d, out);
      }
      case static_cast<uint8_t>(PropValue::Kind::kString): {
        std::string_view s;
        if (!need(5, "prop_codec: string length truncated")) return false;
        pos_ += 1;
        return bytes("prop_codec: string data truncated",
                     "prop_codec: invalid UTF-8", s) &&
               sink_.text(s, out);
      }
      case static_cast<uint8_t>(PropValue::Kind::kList):
        return list(depth, out);
      case static_cast<uint8_t>(PropValue::Kind::kMap):
        return map(depth, out);
      default:
        bad_tag_ = tag;
        return false;
    }
  }

  // The error of a failed walk that the sink did not stop: the first
  // failed check, or an unknown tag (which even an unchecked walk cannot
  // get past).
  OrviError error() const {
    if (error_ != nullptr) return OrviError::corrupted(error_);
    return OrviError::corrupted("prop_codec: unknown tag 0x" +
                                hex(bad_tag_, 2));
  }

 private:
  static constexpr bool kChecked = Sink::kChecked;
  // Smallest encodings: a list element is at least a tag byte; a map entry
  // at least a key length and a tag byte.
  static constexpr size_t kMinListElementSize = 1;
  static constexpr size_t kMinMapEntrySize = 4 + 1;
  // Containers of a checked walk reserve at most this many elements up
  // front; longer ones grow as they fill. Bounds what a damaged count can
  // make a walk allocate, even across nesting levels.
  static constexpr size_t kMaxReserve = 1024;

  // Walks the next element of a container `depth` containers deep.
  struct Walk {
    ValueWalker& walker;
    int depth;
    bool operator()(Value& v) const { return walker.value(depth, v); }
    size_t pos() const { return walker.pos_; }
  };

  size_t remaining() const { return n_ - pos_; }

  // In a checked walk: at least `size` bytes remain, else the walk fails
  // with `text`.
  bool need(size_t size, const char* text) {
    if constexpr (kChecked) {
      if (remaining() < size) return fail(text);
    }
    return true;
  }

  bool fail(const char* text) {
    error_ = text;
    return false;
  }

  // A u32 length and that many UTF-8 bytes, as a view; pos_ is at the
  // length and the length is known to be there.
  bool bytes(const char* truncated, const char* not_utf8,
             std::string_view& out) {
    const uint32_t len = get_u32(p_ + pos_);
    pos_ += 4;
    out = std::string_view(reinterpret_cast<const char*>(p_ + pos_), len);
    if constexpr (kChecked) {
      if (remaining() < len) return fail(truncated);
      if (!short_ascii(len) && !is_valid_utf8(out)) return fail(not_utf8);
    }
    pos_ += len;
    return true;
  }

  // True when the `len` bytes at pos_ are at most eight and all ASCII,
  // found with one load when eight bytes remain from pos_ (most keys and
  // many texts): the common case of the UTF-8 check, which a false here
  // leaves to is_valid_utf8.
  bool short_ascii(uint32_t len) const {
    if (len > 8 || remaining() < 8) return false;
    const uint64_t mask =
        len == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * len)) - 1;
    return (get_u64(p_ + pos_) & mask & 0x8080808080808080ULL) == 0;
  }

  size_t reserve(uint32_t count, size_t min_size) const {
    if constexpr (kChecked) {
      return std::min({static_cast<size_t>(count), remaining() / min_size,
                       kMaxReserve});
    } else {
      return count;
    }
  }

  // A count larger than the data is not trusted: it runs into the end and
  // fails with the error of the first missing element.
  [[gnu::noinline]] bool list(int depth, Value& out) {
    if constexpr (kChecked) {
      if (depth >= kMaxDecodeDepth) return fail("prop_codec: nesting too deep");
    }
    if (!need(5, "prop_codec: list count truncated")) return false;
    const uint32_t count = get_u32(p_ + pos_ + 1);
    pos_ += 5;
    typename Sink::List items;
    if (!sink_.begin_list(count, reserve(count, kMinListElementSize), items)) {
      return false;
    }
    const Walk walk{*this, depth + 1};
    for (uint32_t i = 0; i < count; ++i) {
      if (!sink_.list_item(items, walk)) return false;
    }
    return sink_.end_list(items, out);
  }

  [[gnu::noinline]] bool map(int depth, Value& out) {
    if constexpr (kChecked) {
      if (depth >= kMaxDecodeDepth) return fail("prop_codec: nesting too deep");
    }
    if (!need(5, "prop_codec: map count truncated")) return false;
    const uint32_t count = get_u32(p_ + pos_ + 1);
    pos_ += 5;
    typename Sink::Map entries;
    if (!sink_.begin_map(count, reserve(count, kMinMapEntrySize), entries)) {
      return false;
    }
    const Walk walk{*this, depth + 1};
    std::string_view key;
    for (uint32_t i = 0; i < count; ++i) {
      if (!need(4, "prop_codec: map key length truncated") ||
          !bytes("prop_codec: map key data truncated",
                 "prop_codec: invalid UTF-8 in key", key) ||
          !sink_.map_item(entries, key, walk)) {
        return false;
      }
    }
    return sink_.end_map(entries, out);
  }

  Sink& sink_;
  const uint8_t* p_;
  size_t n_;
  size_t pos_;
  const char* error_ = nullptr;  // null after a failure: unknown tag
  uint8_t bad_tag_ = 0;
};

// A sink that makes nothing: a checked walk of it validates, an unchecked
// one skips.
template <bool kCheck>
struct NullSink {
  static constexpr bool kChecked = kCheck;
  struct Value {};
  using List = Value;
  using Map = Value;
  bool null(Value&) { return true; }
  bool boolean(bool, Value&) { return true; }
  bool integer(int64_t, Value&) { return true; }
  bool real(double, Value&) { return true; }
  bool text(std::string_view, Value&) { return true; }
  bool begin_list(uint32_t, size_t, List&) { return true; }
  template <typename Walk>
  bool list_item(List&, const Walk& walk) {
    Value v;
    return walk(v);
  }
  bool end_list(List&, Value&) { return true; }
  bool begin_map(uint32_t, size_t, Map&) { return true; }
  template <typename Walk>
  bool map_item(Map&, std::string_view, const Walk& walk) {
    Value v;
    return walk(v);
  }
  bool end_map(Map&, Value&) { return true; }
};

}  // namespace orvi

#endif  // ORVI_STORAGE_PROP_WALK_H_

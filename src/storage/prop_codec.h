// Property values and their binary encoding.
//
// A PropValue is one of seven variants: Null, Bool, Int (int64), Float
// (double), String (UTF-8), List and Map (string keys). Every label set,
// edge label and property map lives in the file as a blob holding one
// encoded PropValue:
//   - node and edge property blob: one Map;
//   - node labels blob: one List of Strings, in the node's label order;
//   - edge label blob: one String.
// Callers store no blob at all for an empty map or label list, and
// decode_props / decode_labels of empty input give an empty result.
//
// Byte layout (this unit owns it). Every value starts with a one-byte tag;
// all integers are little-endian:
//
//   tag 0  Null    (no payload)
//   tag 1  Bool    u8: 1 true, 0 false (any nonzero byte decodes as true)
//   tag 2  Int     8 bytes, two's complement
//   tag 3  Float   8 bytes, the IEEE 754 bit pattern
//   tag 4  String  u32 byte length, then the UTF-8 bytes
//   tag 5  List    u32 element count, then each element's encoding in order
//   tag 6  Map     u32 entry count, then per entry in ascending byte-wise
//                  key order (a prefix sorts first):
//                    u32 key byte length, key bytes, the value's encoding
//
// Sorting map keys makes the encoding canonical: equal maps encode to the
// same bytes whatever their in-memory order. Lengths and counts are u32;
// blobs are bounded far below 4 GiB by property storage, so the encoder
// never meets a longer string or container.
//
// Decoding, validating, skipping and the binding's Python objects are one
// walk, ValueWalker in prop_walk.h, with different sinks. Two readers step
// through a blob that such a walk has already checked: the label list
// (decode_labels and its views) and the binding's lookup of one map entry.
// A checked walk makes one forward pass and never reads
// outside its input: every length is checked against the remaining bytes
// before use. Counts are not trusted for allocation, because a damaged
// count says nothing about how many elements follow; a count larger than
// the data simply runs into the end and fails with the error of the first
// missing element. Containers
// nested deeper than kMaxDecodeDepth fail with "prop_codec: nesting too
// deep" instead of exhausting the stack; values written through the Python
// layer never come close. Bytes after the top-level value are ignored.
// Every decoding failure is CorruptedFile with a detail starting with
// "prop_codec: " (or "props: " / "labels: " for the wrong top-level shape).
//
// Equality: different variants are unequal (Int 1 != Float 1.0); Float
// compares as IEEE doubles (NaN != NaN, 0.0 == -0.0); Lists compare
// pairwise in order; Maps are equal when they have the same size and every
// key of one maps to an equal value in the other.
//
// The codec is pure and keeps no state; all functions are thread-safe.
#ifndef ORVI_STORAGE_PROP_CODEC_H_
#define ORVI_STORAGE_PROP_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "error/result.h"

namespace orvi {

// The byte buffer type of encoded values and blobs.
using Bytes = std::string;

class PropValue;
using PropList = std::vector<PropValue>;
// A property map. Iteration order is unspecified.
using PropMap = std::unordered_map<std::string, PropValue>;

// Deepest container nesting the decoder accepts.
inline constexpr int kMaxDecodeDepth = 128;

namespace prop_detail {

// Owns a PropMap on the heap so that PropValue can hold a map of itself.
// Copies are deep. A moved-from box reads as an empty map.
class MapBox {
 public:
  MapBox();
  explicit MapBox(PropMap map);
  MapBox(const MapBox& o);
  MapBox(MapBox&& o) noexcept = default;
  MapBox& operator=(const MapBox& o);
  MapBox& operator=(MapBox&& o) noexcept = default;
  ~MapBox();

  const PropMap& get() const;
  PropMap& get();

 private:
  std::unique_ptr<PropMap> map_;
};

}  // namespace prop_detail

class PropValue {
 public:
  // The variant tags, equal to the first byte of the encoding.
  enum class Kind : uint8_t {
    kNull = 0,
    kBool = 1,
    kInt = 2,
    kFloat = 3,
    kString = 4,
    kList = 5,
    kMap = 6,
  };

  // Null.
  PropValue() = default;
  explicit PropValue(std::string s) : v_(std::move(s)) {}
  explicit PropValue(PropList list) : v_(std::move(list)) {}
  explicit PropValue(PropMap map)
      : v_(prop_detail::MapBox(std::move(map))) {}

  // Named constructors; scalars have no converting constructors because
  // C++ would silently turn an int into a bool or a const char* into Bool.
  static PropValue null() { return PropValue(); }
  static PropValue from_bool(bool b) { return PropValue(Tag<bool>{}, b); }
  static PropValue from_int(int64_t i) {
    return PropValue(Tag<int64_t>{}, i);
  }
  static PropValue from_float(double d) { return PropValue(Tag<double>{}, d); }
  static PropValue from_string(std::string s) {
    return PropValue(std::move(s));
  }
  static PropValue from_list(PropList list) {
    return PropValue(std::move(list));
  }
  static PropValue from_map(PropMap map) { return PropValue(std::move(map)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::kNull; }

  // Accessors. Precondition: kind() is the matching variant (checked; a
  // mismatch is a programming error).
  bool as_bool() const { return std::get<bool>(v_); }
  int64_t as_int() const { return std::get<int64_t>(v_); }
  double as_float() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const PropList& as_list() const { return std::get<PropList>(v_); }
  PropList& as_list() { return std::get<PropList>(v_); }
  const PropMap& as_map() const {
    return std::get<prop_detail::MapBox>(v_).get();
  }
  PropMap& as_map() { return std::get<prop_detail::MapBox>(v_).get(); }

  friend bool operator==(const PropValue& a, const PropValue& b);

 private:
  template <typename T>
  struct Tag {};
  template <typename T>
  PropValue(Tag<T>, T x) : v_(std::in_place_type<T>, x) {}

  // Alternative order matches Kind.
  std::variant<std::monostate, bool, int64_t, double, std::string, PropList,
               prop_detail::MapBox>
      v_;
};

// The equality of two Map values (see above).
bool props_equal(const PropMap& a, const PropMap& b);

// Appends the encoding of `value` to `out`. Cannot fail.
void encode_into(const PropValue& value, Bytes& out);

// The encoding written piece by piece, for producers that hold values in
// another form (the columns of a table) and would otherwise build a
// PropValue only to encode it: the bytes are exactly those encode_into
// writes for the same value.
namespace prop_write {
void null(Bytes& out);
void boolean(bool b, Bytes& out);
void integer(int64_t i, Bytes& out);
void real(double d, Bytes& out);
void string(std::string_view s, Bytes& out);
// A List of `count` elements, which the caller writes next.
void list(size_t count, Bytes& out);
// A Map of `count` entries, which the caller writes next, each as
// map_key(key) then the value, in ascending byte-wise key order.
void map(size_t count, Bytes& out);
void map_key(std::string_view key, Bytes& out);
}  // namespace prop_write

// The exact number of bytes encode_into appends for `value`.
size_t encoded_size(const PropValue& value);

// Decodes one value starting at `pos`; returns it with the position just
// after it.
Result<std::pair<PropValue, size_t>> decode_from(std::string_view bytes,
                                                 size_t pos);

// What validate_from learns about a value without building it.
struct ValueView {
  PropValue::Kind kind = PropValue::Kind::kNull;
  size_t end = 0;         // position just after the value
  std::string_view text;  // a String's text, a view into the input
};

// Walks the value at `pos` with exactly the checks, in the same order and
// with the same error texts, as decode_from, but allocates nothing. Readers
// that only need to know whether a blob would decode (and which error it
// would give) use this instead of building the value.
Result<ValueView> validate_from(std::string_view bytes, size_t pos);

// A property map as one Map value, and back. Empty input decodes to an
// empty map; a value that is not a Map fails with "props: expected Map".
// validate_props gives exactly decode_props' result without the map.
Bytes encode_props(const PropMap& props);
Result<PropMap> decode_props(std::string_view bytes);
Status validate_props(std::string_view bytes);

// Labels as a List of Strings in the given order, and back. Empty input
// decodes to no labels; a value that is not a List fails with "labels:
// expected List", a non-String element with "labels: expected String in
// list". decode_label_views gives the same result as views into `bytes`
// (valid while `bytes` is), refilling `out`; validate_labels only the
// verdict.
Bytes encode_labels(const std::vector<std::string>& labels);
Result<std::vector<std::string>> decode_labels(std::string_view bytes);
Status decode_label_views(std::string_view bytes,
                          std::vector<std::string_view>& out);
Status validate_labels(std::string_view bytes);

// --- MapBox, defined here because it needs the complete PropValue --------

namespace prop_detail {

inline MapBox::MapBox() : map_(std::make_unique<PropMap>()) {}
inline MapBox::MapBox(PropMap map)
    : map_(std::make_unique<PropMap>(std::move(map))) {}
inline MapBox::MapBox(const MapBox& o)
    : map_(std::make_unique<PropMap>(o.get())) {}
inline MapBox& MapBox::operator=(const MapBox& o) {
  if (this != &o) map_ = std::make_unique<PropMap>(o.get());
  return *this;
}
inline MapBox::~MapBox() = default;

inline const PropMap& MapBox::get() const {
  static const PropMap kEmpty;
  return map_ ? *map_ : kEmpty;
}
inline PropMap& MapBox::get() {
  if (!map_) map_ = std::make_unique<PropMap>();
  return *map_;
}

}  // namespace prop_detail

}  // namespace orvi

#endif  // ORVI_STORAGE_PROP_CODEC_H_

#include "storage/prop_codec.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "storage/prop_walk.h"

namespace orvi {

namespace {

using Kind = PropValue::Kind;

// ---- little-endian integers -------------------------------------------------

void put_u8(Bytes& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

void put_u32(Bytes& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                     static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
  out.append(b, 4);
}

void put_u64(Bytes& out, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 8);
}

// Lengths and counts are u32 in the format. Blobs are limited to about
// 1 MiB by property storage, so a longer string or container never
// reaches the encoder.
void put_len(Bytes& out, size_t n) {
  assert(n <= std::numeric_limits<uint32_t>::max());
  put_u32(out, static_cast<uint32_t>(n));
}

// ---- encoding ---------------------------------------------------------------

void encode_string(std::string_view s, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kString));
  put_len(out, s.size());
  out.append(s);
}

void encode_map(const PropMap& map, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kMap));
  put_len(out, map.size());
  // std::string's ordering compares bytes as unsigned char, shorter prefix
  // first: exactly the canonical key order.
  std::vector<const PropMap::value_type*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  for (const auto* entry : entries) {
    put_len(out, entry->first.size());
    out.append(entry->first);
    encode_into(entry->second, out);
  }
}

size_t map_encoded_size(const PropMap& map) {
  size_t n = 1 + 4;
  for (const auto& [key, value] : map) {
    n += 4 + key.size() + encoded_size(value);
  }
  return n;
}

// ---- decoding ---------------------------------------------------------------

// Builds the PropValue. Elements decode in place, into the container, and
// a map's repeated key decodes over the earlier value, replacing it; every
// value callback assigns its Value in full.
struct BuildSink {
  static constexpr bool kChecked = true;
  using Value = PropValue;
  using List = PropList;
  using Map = PropMap;
  bool null(Value& out) {
    out = PropValue();
    return true;
  }
  bool boolean(bool b, Value& out) {
    out = PropValue::from_bool(b);
    return true;
  }
  bool integer(int64_t i, Value& out) {
    out = PropValue::from_int(i);
    return true;
  }
  bool real(double d, Value& out) {
    out = PropValue::from_float(d);
    return true;
  }
  bool text(std::string_view s, Value& out) {
    out = PropValue(std::string(s));
    return true;
  }
  bool begin_list(uint32_t, size_t reserve, List& items) {
    items.reserve(reserve);
    return true;
  }
  template <typename Walk>
  bool list_item(List& items, const Walk& walk) {
    return walk(items.emplace_back());
  }
  bool end_list(List& items, Value& out) {
    out = PropValue(std::move(items));
    return true;
  }
  bool begin_map(uint32_t, size_t reserve, Map& entries) {
    entries.reserve(reserve);
    return true;
  }
  template <typename Walk>
  bool map_item(Map& entries, std::string_view key, const Walk& walk) {
    return walk(entries[std::string(key)]);
  }
  bool end_map(Map& entries, Value& out) {
    out = PropValue(std::move(entries));
    return true;
  }
};

// What validate_from reports: the kind of the value and a String's text.
struct ViewSink : NullSink<true> {
  using Value = ValueView;
  static bool kind(Kind k, Value& out) {
    out.kind = k;
    return true;
  }
  bool null(Value& out) { return kind(Kind::kNull, out); }
  bool boolean(bool, Value& out) { return kind(Kind::kBool, out); }
  bool integer(int64_t, Value& out) { return kind(Kind::kInt, out); }
  bool real(double, Value& out) { return kind(Kind::kFloat, out); }
  bool text(std::string_view s, Value& out) {
    out.text = s;
    return kind(Kind::kString, out);
  }
  template <typename Walk>
  bool list_item(List&, const Walk& walk) {
    Value element;
    return walk(element);
  }
  bool end_list(List&, Value& out) { return kind(Kind::kList, out); }
  template <typename Walk>
  bool map_item(Map&, std::string_view, const Walk& walk) {
    Value entry;
    return walk(entry);
  }
  bool end_map(Map&, Value& out) { return kind(Kind::kMap, out); }
};

// The value at `pos`, with `pos` moved past it, or the walk's error.
Result<PropValue> decode_value(std::string_view bytes, size_t& pos) {
  BuildSink sink;
  ValueWalker<BuildSink> walker(sink, bytes, pos);
  PropValue value;
  if (!walker.value(0, value)) return walker.error();
  pos = walker.pos();
  return value;
}

}  // namespace


bool operator==(const PropValue& a, const PropValue& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::kNull:
      return true;
    case Kind::kBool:
      return a.as_bool() == b.as_bool();
    case Kind::kInt:
      return a.as_int() == b.as_int();
    case Kind::kFloat:
      return a.as_float() == b.as_float();
    case Kind::kString:
      return a.as_string() == b.as_string();
    case Kind::kList: {
      const PropList& x = a.as_list();
      const PropList& y = b.as_list();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!(x[i] == y[i])) return false;
      }
      return true;
    }
    case Kind::kMap:
      return props_equal(a.as_map(), b.as_map());
  }
  return false;
}

bool props_equal(const PropMap& a, const PropMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    auto it = b.find(key);
    if (it == b.end() || !(value == it->second)) return false;
  }
  return true;
}

namespace prop_write {

void null(Bytes& out) { put_u8(out, static_cast<uint8_t>(Kind::kNull)); }

void boolean(bool b, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kBool));
  put_u8(out, b ? 1 : 0);
}

void integer(int64_t i, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kInt));
  put_u64(out, static_cast<uint64_t>(i));
}

void real(double d, Bytes& out) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  put_u8(out, static_cast<uint8_t>(Kind::kFloat));
  put_u64(out, bits);
}

void string(std::string_view s, Bytes& out) { encode_string(s, out); }

void list(size_t count, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kList));
  put_len(out, count);
}

void map(size_t count, Bytes& out) {
  put_u8(out, static_cast<uint8_t>(Kind::kMap));
  put_len(out, count);
}

void map_key(std::string_view key, Bytes& out) {
  put_len(out, key.size());
  out.append(key);
}

}  // namespace prop_write

void encode_into(const PropValue& value, Bytes& out) {
  switch (value.kind()) {
    case Kind::kNull:
      prop_write::null(out);
      return;
    case Kind::kBool:
      prop_write::boolean(value.as_bool(), out);
      return;
    case Kind::kInt:
      prop_write::integer(value.as_int(), out);
      return;
    case Kind::kFloat:
      prop_write::real(value.as_float(), out);
      return;
    case Kind::kString:
      encode_string(value.as_string(), out);
      return;
    case Kind::kList:
      prop_write::list(value.as_list().size(), out);
      for (const PropValue& item : value.as_list()) encode_into(item, out);
      return;
    case Kind::kMap:
      encode_map(value.as_map(), out);
      return;
  }
}

size_t encoded_size(const PropValue& value) {
  switch (value.kind()) {
    case Kind::kNull:
      return 1;
    case Kind::kBool:
      return 2;
    case Kind::kInt:
    case Kind::kFloat:
      return 9;
    case Kind::kString:
      return 5 + value.as_string().size();
    case Kind::kList: {
      size_t n = 5;
      for (const PropValue& item : value.as_list()) n += encoded_size(item);
      return n;
    }
    case Kind::kMap:
      return map_encoded_size(value.as_map());
  }
  return 0;
}

Result<std::pair<PropValue, size_t>> decode_from(std::string_view bytes,
                                                 size_t pos) {
  auto value = decode_value(bytes, pos);
  if (!value) return value.error();
  return std::pair<PropValue, size_t>(std::move(*value), pos);
}

Result<ValueView> validate_from(std::string_view bytes, size_t pos) {
  ViewSink sink;
  ValueWalker<ViewSink> walker(sink, bytes, pos);
  ValueView view;
  if (!walker.value(0, view)) return walker.error();
  view.end = walker.pos();
  return view;
}

Bytes encode_props(const PropMap& props) {
  Bytes out;
  out.reserve(map_encoded_size(props));
  encode_map(props, out);
  return out;
}

Result<PropMap> decode_props(std::string_view bytes) {
  if (bytes.empty()) return PropMap();
  size_t pos = 0;
  auto value = decode_value(bytes, pos);
  if (!value) return value.error();
  if (value->kind() != Kind::kMap) {
    return OrviError::corrupted("props: expected Map");
  }
  return std::move(value->as_map());
}

Status validate_props(std::string_view bytes) {
  if (bytes.empty()) return Ok();
  NullSink<true> sink;
  ValueWalker<NullSink<true>> walker(sink, bytes, 0);
  NullSink<true>::Value nothing;
  if (!walker.value(0, nothing)) return walker.error();
  // A value that walked cleanly is of the kind its first byte names.
  if (bytes[0] != static_cast<char>(Kind::kMap)) {
    return OrviError::corrupted("props: expected Map");
  }
  return Ok();
}

Bytes encode_labels(const std::vector<std::string>& labels) {
  size_t size = 5;
  for (const std::string& label : labels) size += 5 + label.size();
  Bytes out;
  out.reserve(size);
  put_u8(out, static_cast<uint8_t>(Kind::kList));
  put_len(out, labels.size());
  for (const std::string& label : labels) encode_string(label, out);
  return out;
}

namespace {

// Takes the labels nowhere, for validate_labels.
struct NoLabels {
  void clear() {}
  void reserve(size_t) {}
  void emplace_back(std::string_view) {}
};

// The walk of a labels blob: the whole value is checked, and the texts of
// the top-level List go to `out` up to its first element that is not a
// String. The shape is judged after the walk, so an error inside any
// element wins over a shape error, as when the value is decoded in full.
template <typename Labels>
struct LabelSink : NullSink<true> {
  explicit LabelSink(Labels& labels) : out(labels) {}

  // A value that is not a String at `depth`; `opens` is 1 when it is a
  // container whose elements follow.
  void other(int opens) {
    if (depth == 0) top_is_list = false;
    if (depth == 1) all_strings = false;
    depth += opens;
  }
  bool null(Value&) { return other(0), true; }
  bool boolean(bool, Value&) { return other(0), true; }
  bool integer(int64_t, Value&) { return other(0), true; }
  bool real(double, Value&) { return other(0), true; }
  bool text(std::string_view s, Value&) {
    if (depth == 0) top_is_list = false;
    if (depth == 1 && all_strings) out.emplace_back(s);
    return true;
  }
  bool begin_list(uint32_t, size_t reserve, List&) {
    if (depth == 0) {
      top_is_list = true;
      out.reserve(reserve);
      depth += 1;
    } else {
      other(1);
    }
    return true;
  }
  bool end_list(List&, Value&) { return depth -= 1, true; }
  bool begin_map(uint32_t, size_t, Map&) { return other(1), true; }
  bool end_map(Map&, Value&) { return depth -= 1, true; }

  Labels& out;
  int depth = 0;
  bool top_is_list = false;
  bool all_strings = true;
};

// The labels of a labels blob, in order, each added to `out` as a string
// or a view; the checks and errors of decode_labels. On an error `out`
// holds the labels before the first one that is not a String.
template <typename Labels>
Status collect_labels(std::string_view bytes, Labels& out) {
  out.clear();
  if (bytes.empty()) return Ok();
  LabelSink<Labels> sink(out);
  ValueWalker<LabelSink<Labels>> walker(sink, bytes, 0);
  NullSink<true>::Value nothing;
  if (!walker.value(0, nothing)) {
    out.clear();
    return walker.error();
  }
  if (!sink.top_is_list) {
    out.clear();
    return OrviError::corrupted("labels: expected List");
  }
  if (!sink.all_strings) {
    return OrviError::corrupted("labels: expected String in list");
  }
  return Ok();
}

}  // namespace

Status validate_labels(std::string_view bytes) {
  NoLabels none;
  return collect_labels(bytes, none);
}

Status decode_label_views(std::string_view bytes,
                          std::vector<std::string_view>& out) {
  return collect_labels(bytes, out);
}

Result<std::vector<std::string>> decode_labels(std::string_view bytes) {
  std::vector<std::string> labels;
  ORVI_TRY(collect_labels(bytes, labels));
  return labels;
}

}  // namespace orvi

#include "storage/prop_codec.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>

#include "storage/prop_walk.h"

namespace orvi {

namespace {

using Kind = PropValue::Kind;

// ---- UTF-8 ------------------------------------------------------------------

// Well-formed sequences (Unicode table 3-7):
//   00..7F
//   C2..DF 80..BF
//   E0     A0..BF 80..BF
//   E1..EC 80..BF 80..BF
//   ED     80..9F 80..BF          (excludes surrogates)
//   EE..EF 80..BF 80..BF
//   F0     90..BF 80..BF 80..BF   (excludes overlongs)
//   F1..F3 80..BF 80..BF 80..BF
//   F4     80..8F 80..BF 80..BF   (nothing above U+10FFFF)
bool is_cont(uint8_t b) { return (b & 0xC0) == 0x80; }

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

bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time.
    if (n - i >= 8) {
      uint64_t chunk;
      std::memcpy(&chunk, p + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;  // 80..C1 (continuation or overlong lead), F5..FF
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if (!is_cont(p[i + k])) return false;
    }
    i += len;
  }
  return true;
}

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

size_t skip_checked(std::string_view bytes, size_t pos) {
  NullSink<false> sink;
  ValueWalker<NullSink<false>> walker(sink, bytes, pos);
  NullSink<false>::Value nothing;
  // Only an unknown tag stops an unchecked walk; checked input has none.
  if (!walker.value(0, nothing)) return bytes.size();
  return walker.pos();
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
  auto view = validate_from(bytes, 0);
  if (!view) return view.error();
  if (view->kind != Kind::kMap) {
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

// Label sets are short; a damaged count must not reserve much.
constexpr size_t kMaxLabelReserve = 1024;

// Takes the labels nowhere, for validate_labels.
struct NoLabels {
  void clear() {}
  void reserve(size_t) {}
  void emplace_back(std::string_view) {}
};

// The labels of a labels blob, in order, each added to `out` as a string
// or a view; the checks and errors of decode_labels. On an error `out`
// holds the labels before the first one that is not a String.
template <typename Labels>
Status collect_labels(std::string_view bytes, Labels& out) {
  out.clear();
  if (bytes.empty()) return Ok();
  // The whole value is checked first, so an error inside any element wins
  // over the shape errors below, as when the value is decoded in full.
  auto view = validate_from(bytes, 0);
  if (!view) return view.error();
  if (view->kind != Kind::kList) {
    return OrviError::corrupted("labels: expected List");
  }
  // The list walked cleanly: every element lies inside `bytes`, and up to
  // the first one that is not a String each is a tag, a length and text.
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint32_t count = get_u32(p + 1);
  out.reserve(std::min<size_t>(count, kMaxLabelReserve));
  size_t pos = 5;
  for (uint32_t i = 0; i < count; ++i) {
    if (p[pos] != static_cast<uint8_t>(Kind::kString)) {
      return OrviError::corrupted("labels: expected String in list");
    }
    const uint32_t len = get_u32(p + pos + 1);
    out.emplace_back(bytes.substr(pos + 5, len));
    pos += 5 + len;
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

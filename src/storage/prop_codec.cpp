#include "storage/prop_codec.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <limits>

namespace orvi {

namespace {

using Kind = PropValue::Kind;

// Containers are reserved for at most this many elements up front; longer
// ones grow as they decode. Bounds what a damaged count can make the
// decoder allocate before the data runs out, even across nesting levels.
constexpr size_t kMaxReserve = 1024;

// Smallest encodings: a list element is at least a tag byte; a map entry
// at least a key length and a tag byte.
constexpr size_t kMinListElementSize = 1;
constexpr size_t kMinMapEntrySize = 4 + 1;

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

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get_u64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
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

size_t reserve_hint(uint32_t count, size_t remaining, size_t min_size) {
  return std::min({static_cast<size_t>(count), remaining / min_size,
                   kMaxReserve});
}

// One forward pass over `in`. On failure the methods return false and the
// walker remembers the first error; no partial value escapes.
//
// The same walker serves decoding (kBuild: every value is built into *out)
// and validation (!kBuild: out is always null and nothing is allocated), so
// the two cannot disagree about which inputs fail or with which text: the
// checks and their order are written once, and building is the only step
// that depends on kBuild.
template <bool kBuild>
class Walker {
 public:
  Walker(std::string_view in, size_t pos)
      : p_(reinterpret_cast<const uint8_t*>(in.data())),
        n_(in.size()),
        pos_(pos) {}

  size_t pos() const { return pos_; }

  // Walks the value at pos(), which has `depth` enclosing containers. When
  // building, every successful path assigns *out in full, so *out may hold
  // an older value (a repeated map key) on entry.
  bool value(int depth, PropValue* out) {
    if (pos_ >= n_) return fail("prop_codec: unexpected end of data");
    const uint8_t tag = p_[pos_];
    switch (tag) {
      case static_cast<uint8_t>(Kind::kNull):
        pos_ += 1;
        if constexpr (kBuild) *out = PropValue();
        return true;
      case static_cast<uint8_t>(Kind::kBool):
        if (remaining() < 2) return fail("prop_codec: bool truncated");
        if constexpr (kBuild) *out = PropValue::from_bool(p_[pos_ + 1] != 0);
        pos_ += 2;
        return true;
      case static_cast<uint8_t>(Kind::kInt):
        if (remaining() < 9) return fail("prop_codec: int64 truncated");
        if constexpr (kBuild) {
          *out = PropValue::from_int(
              static_cast<int64_t>(get_u64(p_ + pos_ + 1)));
        }
        pos_ += 9;
        return true;
      case static_cast<uint8_t>(Kind::kFloat):
        if (remaining() < 9) return fail("prop_codec: float64 truncated");
        if constexpr (kBuild) {
          const uint64_t bits = get_u64(p_ + pos_ + 1);
          double d;
          std::memcpy(&d, &bits, sizeof d);
          *out = PropValue::from_float(d);
        }
        pos_ += 9;
        return true;
      case static_cast<uint8_t>(Kind::kString):
        return string(out);
      case static_cast<uint8_t>(Kind::kList):
        return list(depth, out);
      case static_cast<uint8_t>(Kind::kMap):
        return map(depth, out);
      default:
        bad_tag_ = tag;
        return fail(nullptr);
    }
  }

  OrviError error() const {
    if (error_ != nullptr) return OrviError::corrupted(error_);
    char text[40];
    std::snprintf(text, sizeof text, "prop_codec: unknown tag 0x%02x",
                  static_cast<unsigned>(bad_tag_));
    return OrviError::corrupted(text);
  }

 private:
  size_t remaining() const { return n_ - pos_; }

  bool fail(const char* text) {
    error_ = text;
    return false;
  }

  bool string(PropValue* out) {
    if (remaining() < 5) return fail("prop_codec: string length truncated");
    const uint32_t len = get_u32(p_ + pos_ + 1);
    pos_ += 5;
    if (remaining() < len) return fail("prop_codec: string data truncated");
    const std::string_view s(reinterpret_cast<const char*>(p_ + pos_), len);
    if (!is_valid_utf8(s)) return fail("prop_codec: invalid UTF-8");
    if constexpr (kBuild) *out = PropValue(std::string(s));
    pos_ += len;
    return true;
  }

  bool list(int depth, PropValue* out) {
    if (depth >= kMaxDecodeDepth) return fail("prop_codec: nesting too deep");
    if (remaining() < 5) return fail("prop_codec: list count truncated");
    const uint32_t count = get_u32(p_ + pos_ + 1);
    pos_ += 5;
    if constexpr (kBuild) {
      PropList items;
      items.reserve(reserve_hint(count, remaining(), kMinListElementSize));
      for (uint32_t i = 0; i < count; ++i) {
        // Decode in place: `items` is not touched until the element is done.
        items.emplace_back();
        if (!value(depth + 1, &items.back())) return false;
      }
      *out = PropValue(std::move(items));
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        if (!value(depth + 1, nullptr)) return false;
      }
    }
    return true;
  }

  // The next map key, checked; false with the error set.
  bool key(std::string_view* out) {
    if (remaining() < 4) return fail("prop_codec: map key length truncated");
    const uint32_t len = get_u32(p_ + pos_);
    pos_ += 4;
    if (remaining() < len) return fail("prop_codec: map key data truncated");
    *out = std::string_view(reinterpret_cast<const char*>(p_ + pos_), len);
    if (!is_valid_utf8(*out)) return fail("prop_codec: invalid UTF-8 in key");
    pos_ += len;
    return true;
  }

  bool map(int depth, PropValue* out) {
    if (depth >= kMaxDecodeDepth) return fail("prop_codec: nesting too deep");
    if (remaining() < 5) return fail("prop_codec: map count truncated");
    const uint32_t count = get_u32(p_ + pos_ + 1);
    pos_ += 5;
    std::string_view k;
    if constexpr (kBuild) {
      PropMap entries;
      entries.reserve(reserve_hint(count, remaining(), kMinMapEntrySize));
      for (uint32_t i = 0; i < count; ++i) {
        if (!key(&k)) return false;
        // A repeated key decodes over the earlier value, replacing it.
        if (!value(depth + 1, &entries[std::string(k)])) return false;
      }
      *out = PropValue(std::move(entries));
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        if (!key(&k) || !value(depth + 1, nullptr)) return false;
      }
    }
    return true;
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_;
  const char* error_ = nullptr;  // null with bad_tag_ set: unknown tag
  uint8_t bad_tag_ = 0;
};

using Decoder = Walker<true>;
using Validator = Walker<false>;

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
    case Kind::kMap: {
      const PropMap& x = a.as_map();
      const PropMap& y = b.as_map();
      if (x.size() != y.size()) return false;
      for (const auto& [key, value] : x) {
        auto it = y.find(key);
        if (it == y.end() || !(value == it->second)) return false;
      }
      return true;
    }
  }
  return false;
}

void encode_into(const PropValue& value, Bytes& out) {
  switch (value.kind()) {
    case Kind::kNull:
      put_u8(out, static_cast<uint8_t>(Kind::kNull));
      return;
    case Kind::kBool:
      put_u8(out, static_cast<uint8_t>(Kind::kBool));
      put_u8(out, value.as_bool() ? 1 : 0);
      return;
    case Kind::kInt:
      put_u8(out, static_cast<uint8_t>(Kind::kInt));
      put_u64(out, static_cast<uint64_t>(value.as_int()));
      return;
    case Kind::kFloat: {
      const double d = value.as_float();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      put_u8(out, static_cast<uint8_t>(Kind::kFloat));
      put_u64(out, bits);
      return;
    }
    case Kind::kString:
      encode_string(value.as_string(), out);
      return;
    case Kind::kList:
      put_u8(out, static_cast<uint8_t>(Kind::kList));
      put_len(out, value.as_list().size());
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
  Decoder decoder(bytes, pos);
  PropValue value;
  if (!decoder.value(0, &value)) return decoder.error();
  return std::pair<PropValue, size_t>(std::move(value), decoder.pos());
}

Result<ValueView> validate_from(std::string_view bytes, size_t pos) {
  Validator validator(bytes, pos);
  if (!validator.value(0, nullptr)) return validator.error();
  // A value that walked cleanly has its tag at pos and, for a String, its
  // length and text right after it.
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + pos;
  ValueView view;
  view.kind = static_cast<Kind>(p[0]);
  view.end = validator.pos();
  if (view.kind == Kind::kString) {
    view.text = bytes.substr(pos + 5, get_u32(p + 1));
  }
  return view;
}

size_t skip_checked(std::string_view bytes, size_t pos) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  switch (static_cast<Kind>(p[pos])) {
    case Kind::kNull:
      return pos + 1;
    case Kind::kBool:
      return pos + 2;
    case Kind::kInt:
    case Kind::kFloat:
      return pos + 9;
    case Kind::kString:
      return pos + 5 + get_u32(p + pos + 1);
    case Kind::kList: {
      const uint32_t count = get_u32(p + pos + 1);
      pos += 5;
      for (uint32_t i = 0; i < count; ++i) pos = skip_checked(bytes, pos);
      return pos;
    }
    case Kind::kMap: {
      const uint32_t count = get_u32(p + pos + 1);
      pos += 5;
      for (uint32_t i = 0; i < count; ++i) {
        pos += 4 + get_u32(p + pos);
        pos = skip_checked(bytes, pos);
      }
      return pos;
    }
  }
  return bytes.size();  // unreachable for checked input
}

Bytes encode_props(const PropMap& props) {
  Bytes out;
  out.reserve(map_encoded_size(props));
  encode_map(props, out);
  return out;
}

Result<PropMap> decode_props(std::string_view bytes) {
  if (bytes.empty()) return PropMap();
  Decoder decoder(bytes, 0);
  PropValue value;
  if (!decoder.value(0, &value)) return decoder.error();
  if (value.kind() != Kind::kMap) {
    return OrviError::corrupted("props: expected Map");
  }
  return std::move(value.as_map());
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
  out.reserve(std::min<size_t>(count, kMaxReserve));
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

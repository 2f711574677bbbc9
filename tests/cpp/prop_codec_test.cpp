#include "storage/prop_codec.h"
#include "storage/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace orvi {
namespace {

using Kind = PropValue::Kind;

// "06 02 00" -> bytes.
Bytes FromHex(std::string_view hex) {
  Bytes out;
  int hi = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      continue;
    }
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

std::string ToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

Bytes Encode(const PropValue& v) {
  Bytes out;
  encode_into(v, out);
  return out;
}

// "OK" or the detail of the CorruptedFile error.
std::string DecodeError(std::string_view bytes, size_t pos = 0) {
  auto r = decode_from(bytes, pos);
  if (r) return "OK";
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  return r.error().detail();
}

template <typename T>
std::string ErrorOf(const Result<T>& r) {
  if (r) return "OK";
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  return r.error().detail();
}

PropValue Str(const char* s) { return PropValue::from_string(s); }
PropValue List(PropList items) {
  return PropValue::from_list(std::move(items));
}

PropMap MapOf(std::vector<std::pair<std::string, PropValue>> entries) {
  PropMap m;
  for (auto& [k, v] : entries) m.insert_or_assign(k, std::move(v));
  return m;
}

// `depth` lists nested inside each other, the innermost empty.
Bytes NestedLists(int depth) {
  Bytes out;
  for (int i = 0; i < depth - 1; ++i) out += FromHex("05 01 00 00 00");
  out += FromHex("05 00 00 00 00");
  return out;
}

// ---- encoding ---------------------------------------------------------------

TEST(PropCodecEncoding, ScalarsAndEmptyContainers) {
  EXPECT_EQ(ToHex(Encode(PropValue())), "00");
  EXPECT_EQ(ToHex(Encode(PropValue::from_bool(true))), "01 01");
  EXPECT_EQ(ToHex(Encode(PropValue::from_bool(false))), "01 00");
  EXPECT_EQ(ToHex(Encode(PropValue::from_int(-2))),
            "02 fe ff ff ff ff ff ff ff");
  EXPECT_EQ(ToHex(Encode(PropValue::from_int(0x0102030405060708))),
            "02 08 07 06 05 04 03 02 01");
  EXPECT_EQ(ToHex(Encode(PropValue::from_float(1.0))),
            "03 00 00 00 00 00 00 f0 3f");
  EXPECT_EQ(ToHex(Encode(PropValue::from_float(-0.0))),
            "03 00 00 00 00 00 00 00 80");
  EXPECT_EQ(ToHex(Encode(Str(""))), "04 00 00 00 00");
  EXPECT_EQ(ToHex(Encode(Str("hé"))), "04 03 00 00 00 68 c3 a9");
  EXPECT_EQ(ToHex(Encode(List({}))), "05 00 00 00 00");
  EXPECT_EQ(ToHex(Encode(PropValue::from_map({}))), "06 00 00 00 00");
}

TEST(PropCodecEncoding, MapEntriesSortedByKeyBytes) {
  PropMap m = MapOf({{"b", PropValue::from_bool(true)}, {"a", PropValue()}});
  EXPECT_EQ(ToHex(encode_props(m)),
            "06 02 00 00 00 01 00 00 00 61 00 01 00 00 00 62 01 01");
  EXPECT_EQ(Encode(PropValue::from_map(m)), encode_props(m));

  // A prefix sorts first; bytes compare unsigned, so "é" (c3 a9) follows
  // every ASCII key.
  PropMap keys = MapOf({{"\xC3\xA9", PropValue()},
                        {"ab", PropValue()},
                        {"b", PropValue()},
                        {"a", PropValue()},
                        {"", PropValue()}});
  EXPECT_EQ(ToHex(encode_props(keys)),
            "06 05 00 00 00 "
            "00 00 00 00 00 "
            "01 00 00 00 61 00 "
            "02 00 00 00 61 62 00 "
            "01 00 00 00 62 00 "
            "02 00 00 00 c3 a9 00");
}

TEST(PropCodecEncoding, InsertionOrderDoesNotChangeBytes) {
  std::vector<std::string> keys;
  for (int i = 0; i < 64; ++i) keys.push_back("k" + std::to_string(i * 7919));
  PropMap forward, backward;
  for (size_t i = 0; i < keys.size(); ++i) {
    forward.emplace(keys[i], PropValue::from_int(static_cast<int64_t>(i)));
  }
  for (size_t i = keys.size(); i-- > 0;) {
    backward.emplace(keys[i], PropValue::from_int(static_cast<int64_t>(i)));
  }
  // Different bucket counts give a different iteration order too.
  backward.rehash(1000);
  EXPECT_EQ(encode_props(forward), encode_props(backward));

  PropValue nested_a = List({PropValue::from_map(forward)});
  PropValue nested_b = List({PropValue::from_map(backward)});
  EXPECT_EQ(Encode(nested_a), Encode(nested_b));
}

TEST(PropCodecEncoding, LabelsAreAListOfStrings) {
  EXPECT_EQ(ToHex(encode_labels({"A", "bc"})),
            "05 02 00 00 00 04 01 00 00 00 41 04 02 00 00 00 62 63");
  EXPECT_EQ(ToHex(encode_labels({})), "05 00 00 00 00");
  EXPECT_EQ(encode_labels({"x", "y"}), Encode(List({Str("x"), Str("y")})));
}

// ---- decoding ---------------------------------------------------------------

TEST(PropCodecDecode, RoundTripsNestedValues) {
  PropMap inner = MapOf({{"n", PropValue::from_int(-7)},
                         {"f", PropValue::from_float(2.5)},
                         {"s", Str("ünïcödé ✓ 𝄞")}});
  PropValue v = List({PropValue(), PropValue::from_bool(false),
                      PropValue::from_int(std::numeric_limits<int64_t>::min()),
                      PropValue::from_int(std::numeric_limits<int64_t>::max()),
                      PropValue::from_float(-1e308), Str(""),
                      List({List({}), PropValue::from_map(inner)}),
                      PropValue::from_map({})});
  Bytes bytes = Encode(v);
  EXPECT_EQ(encoded_size(v), bytes.size());
  auto r = decode_from(bytes, 0);
  ASSERT_TRUE(r) << r.error().detail();
  EXPECT_EQ(r->first, v);
  EXPECT_EQ(r->second, bytes.size());
}

TEST(PropCodecDecode, StartsAtPositionAndReportsNext) {
  Bytes bytes = FromHex("ff ff") + Encode(Str("ab")) + Encode(PropValue());
  auto first = decode_from(bytes, 2);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->first, Str("ab"));
  EXPECT_EQ(first->second, 9u);
  auto second = decode_from(bytes, first->second);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->first.is_null());
  EXPECT_EQ(second->second, bytes.size());
  EXPECT_EQ(DecodeError(bytes, bytes.size()),
            "prop_codec: unexpected end of data");
  EXPECT_EQ(DecodeError(bytes, bytes.size() + 5),
            "prop_codec: unexpected end of data");
}

TEST(PropCodecDecode, LenientBoolAndTrailingBytes) {
  auto b = decode_from(FromHex("01 02"), 0);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->first, PropValue::from_bool(true));
  auto t = decode_from(FromHex("01 00 07 07 07"), 0);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->first, PropValue::from_bool(false));
  EXPECT_EQ(t->second, 2u);
  auto p = decode_props(encode_props(MapOf({{"a", PropValue()}})) + "junk");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->size(), 1u);
}

TEST(PropCodecDecode, RepeatedKeyReplacesEarlierValue) {
  // {"a": [1], "a": true}: the list decoded first is replaced.
  auto r = decode_props(FromHex(
      "06 02 00 00 00 "
      "01 00 00 00 61 05 01 00 00 00 02 01 00 00 00 00 00 00 00 "
      "01 00 00 00 61 01 01"));
  ASSERT_TRUE(r) << r.error().detail();
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(r->at("a"), PropValue::from_bool(true));
}

TEST(PropCodecDecode, ErrorTexts) {
  struct Case {
    const char* hex;
    const char* error;
  } cases[] = {
      {"", "prop_codec: unexpected end of data"},
      {"07", "prop_codec: unknown tag 0x07"},
      {"ab", "prop_codec: unknown tag 0xab"},
      {"01", "prop_codec: bool truncated"},
      {"02 01 02 03 04 05 06 07", "prop_codec: int64 truncated"},
      {"03 00 00 00 00 00 00 f0", "prop_codec: float64 truncated"},
      {"04 00 00 00", "prop_codec: string length truncated"},
      {"04 05 00 00 00 41 42", "prop_codec: string data truncated"},
      {"04 02 00 00 00 c0 80", "prop_codec: invalid UTF-8"},
      {"05 01 00", "prop_codec: list count truncated"},
      {"05 02 00 00 00 00", "prop_codec: unexpected end of data"},
      {"05 02 00 00 00 00 09", "prop_codec: unknown tag 0x09"},
      {"06 01 00 00", "prop_codec: map count truncated"},
      {"06 01 00 00 00 01 00", "prop_codec: map key length truncated"},
      {"06 01 00 00 00 02 00 00 00 61", "prop_codec: map key data truncated"},
      {"06 01 00 00 00 01 00 00 00 ff 00",
       "prop_codec: invalid UTF-8 in key"},
      {"06 01 00 00 00 01 00 00 00 61", "prop_codec: unexpected end of data"},
      {"06 01 00 00 00 01 00 00 00 61 04 01 00 00 00 ff",
       "prop_codec: invalid UTF-8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeError(FromHex(c.hex)), c.error) << c.hex;
  }
}

TEST(PropCodecDecode, EveryTruncationOfAValidBlobFails) {
  PropMap m = MapOf({{"name", Str("Ada")},
                     {"tags", List({Str("x"), PropValue::from_int(3)})},
                     {"ok", PropValue::from_bool(true)},
                     {"w", PropValue::from_float(0.5)},
                     {"sub", PropValue::from_map({{"z", PropValue()}})}});
  Bytes bytes = encode_props(m);
  for (size_t len = 0; len < bytes.size(); ++len) {
    std::string err = DecodeError(std::string_view(bytes).substr(0, len));
    EXPECT_EQ(err.rfind("prop_codec: ", 0), 0u) << len << ": " << err;
  }
  auto whole = decode_props(bytes);
  ASSERT_TRUE(whole);
  EXPECT_EQ(PropValue::from_map(*whole), PropValue::from_map(m));
}

TEST(PropCodecDecode, HugeCountsWithShortInputFailWithoutAllocating) {
  // Five Nulls present, the sixth is missing.
  EXPECT_EQ(DecodeError(FromHex("05 ff ff ff ff 00 00 00 00 00")),
            "prop_codec: unexpected end of data");
  EXPECT_EQ(DecodeError(FromHex("06 ff ff ff ff 01 00 00 00 61 00")),
            "prop_codec: map key length truncated");
  EXPECT_EQ(DecodeError(FromHex("04 ff ff ff ff 41")),
            "prop_codec: string data truncated");
  EXPECT_EQ(DecodeError(FromHex("06 01 00 00 00 ff ff ff ff 61")),
            "prop_codec: map key data truncated");
  // Every level claims four billion elements.
  Bytes nested;
  for (int i = 0; i < 100; ++i) nested += FromHex("05 ff ff ff ff");
  EXPECT_EQ(DecodeError(nested), "prop_codec: unexpected end of data");
  Bytes nested_maps;
  for (int i = 0; i < 100; ++i) {
    nested_maps += FromHex("06 ff ff ff ff 01 00 00 00 6b");
  }
  EXPECT_EQ(DecodeError(nested_maps), "prop_codec: unexpected end of data");
}

TEST(PropCodecDecode, NestingDepthIsBounded) {
  EXPECT_EQ(DecodeError(NestedLists(kMaxDecodeDepth)), "OK");
  EXPECT_EQ(DecodeError(NestedLists(kMaxDecodeDepth + 1)),
            "prop_codec: nesting too deep");
  EXPECT_EQ(DecodeError(NestedLists(200)), "prop_codec: nesting too deep");
  // Truncated before the limit still reports the truncation.
  Bytes deep = NestedLists(200);
  EXPECT_EQ(DecodeError(std::string_view(deep).substr(0, 5 * 50)),
            "prop_codec: unexpected end of data");

  // Maps count as levels too, and so does a props blob's own map.
  Bytes maps;
  const Bytes map_level = FromHex("06 01 00 00 00 01 00 00 00 6b");
  for (int i = 0; i < 200; ++i) maps += map_level;
  maps += FromHex("00");
  auto r = decode_props(maps);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
  EXPECT_EQ(r.error().detail(), "prop_codec: nesting too deep");

  // Far past any stack a recursive decoder could afford.
  Bytes huge;
  const Bytes level = FromHex("05 01 00 00 00");
  for (int i = 0; i < 200000; ++i) huge += level;
  EXPECT_EQ(DecodeError(huge), "prop_codec: nesting too deep");
}

TEST(PropCodecDecode, PropsShape) {
  auto empty = decode_props("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(ErrorOf(decode_props(Encode(List({})))), "props: expected Map");
  EXPECT_EQ(ErrorOf(decode_props(FromHex("00"))), "props: expected Map");
  // The value's own error wins over the shape check.
  EXPECT_EQ(ErrorOf(decode_props(FromHex("05 01 00 00 00"))),
            "prop_codec: unexpected end of data");

  PropMap m = MapOf({{"a", PropValue::from_int(1)},
                     {"b", PropValue::from_map({{"c", Str("d")}})}});
  auto r = decode_props(encode_props(m));
  ASSERT_TRUE(r);
  EXPECT_EQ(PropValue::from_map(*r), PropValue::from_map(m));
}

TEST(PropCodecDecode, LabelsShape) {
  auto empty = decode_labels("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(ErrorOf(decode_labels(Encode(Str("a")))), "labels: expected List");
  EXPECT_EQ(ErrorOf(decode_labels(encode_props({}))), "labels: expected List");
  EXPECT_EQ(ErrorOf(decode_labels(
                Encode(List({Str("a"), PropValue::from_int(1)})))),
            "labels: expected String in list");
  EXPECT_EQ(ErrorOf(decode_labels(FromHex("05 02 00 00 00 02 00"))),
            "prop_codec: int64 truncated");

  std::vector<std::string> labels = {"Person", "", "Émigré", "Person"};
  auto r = decode_labels(encode_labels(labels));
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, labels);
}

// ---- UTF-8 ------------------------------------------------------------------

// Independent reference: decode the code point and apply the rules.
bool ReferenceUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const uint8_t b = static_cast<uint8_t>(s[i]);
    int len;
    uint32_t cp;
    if (b < 0x80) {
      len = 1;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i < static_cast<size_t>(len)) return false;
    for (int k = 1; k < len; ++k) {
      const uint8_t c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    i += len;
  }
  return true;
}

TEST(PropCodecUtf8, Boundaries) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8(FromHex("7f")));
  EXPECT_TRUE(is_valid_utf8(FromHex("c2 80")));
  EXPECT_TRUE(is_valid_utf8(FromHex("ed 9f bf")));     // U+D7FF
  EXPECT_TRUE(is_valid_utf8(FromHex("ee 80 80")));     // U+E000
  EXPECT_TRUE(is_valid_utf8(FromHex("f4 8f bf bf")));  // U+10FFFF
  EXPECT_FALSE(is_valid_utf8(FromHex("c0 80")));       // overlong NUL
  EXPECT_FALSE(is_valid_utf8(FromHex("c1 bf")));
  EXPECT_FALSE(is_valid_utf8(FromHex("e0 9f bf")));     // overlong
  EXPECT_FALSE(is_valid_utf8(FromHex("f0 8f bf bf")));  // overlong
  EXPECT_FALSE(is_valid_utf8(FromHex("ed a0 80")));     // U+D800
  EXPECT_FALSE(is_valid_utf8(FromHex("ed bf bf")));     // U+DFFF
  EXPECT_FALSE(is_valid_utf8(FromHex("f4 90 80 80")));  // U+110000
  EXPECT_FALSE(is_valid_utf8(FromHex("f5 80 80 80")));
  EXPECT_FALSE(is_valid_utf8(FromHex("80")));
  EXPECT_FALSE(is_valid_utf8(FromHex("e2 82")));  // truncated
  EXPECT_FALSE(is_valid_utf8(FromHex("f0 9f 98")));
  EXPECT_FALSE(is_valid_utf8(FromHex("e2 28 a1")));
}

TEST(PropCodecUtf8, InvalidByteAtEveryOffsetOfALongString) {
  // Exercises the ASCII fast path at every alignment.
  for (size_t len = 1; len <= 40; ++len) {
    for (size_t at = 0; at < len; ++at) {
      std::string s(len, 'a');
      s[at] = '\xff';
      EXPECT_FALSE(is_valid_utf8(s)) << len << " " << at;
      s[at] = '\xe2';
      EXPECT_FALSE(is_valid_utf8(s)) << len << " " << at;
    }
    std::string ok(len, 'a');
    EXPECT_TRUE(is_valid_utf8(ok + "\xe2\x9c\x93" + ok));
  }
}

TEST(PropCodecUtf8, ShortTextsInsideAWalkAreChecked) {
  // Keys and texts of up to eight bytes followed by at least eight more
  // bytes are checked with one load; those near the end are not. A bad
  // byte anywhere must fail both ways, in a key and in a value.
  auto blob = [](const std::string& key, const std::string& text,
                 bool trailing) {
    auto str = [](const std::string& t) {
      std::string out(4, '\0');
      out[0] = static_cast<char>(t.size());
      return out + t;
    };
    Bytes b = FromHex(trailing ? "06 02 00 00 00" : "06 01 00 00 00");
    b += str(key) + "\x04" + str(text);
    if (trailing) b += str("zzzzzzzz") + FromHex("02 01 00 00 00 00 00 00 00");
    return b;
  };
  for (size_t len = 1; len <= 10; ++len) {
    for (size_t at = 0; at < len; ++at) {
      for (bool trailing : {false, true}) {
        std::string bad(len, 'k');
        bad[at] = '\x80';
        const std::string good(len, 'k');
        EXPECT_EQ(ErrorOf(validate_props(blob(bad, good, trailing))),
                  "prop_codec: invalid UTF-8 in key") << len << " " << at;
        EXPECT_EQ(DecodeError(blob(good, bad, trailing)),
                  "prop_codec: invalid UTF-8") << len << " " << at;
        EXPECT_EQ(ErrorOf(validate_props(blob(good, good, trailing))), "OK");
      }
    }
  }
}

TEST(PropCodecUtf8, AgreesWithReferenceOnAllShortSequences) {
  std::string s;
  for (int a = 0; a < 256; ++a) {
    s.assign(1, static_cast<char>(a));
    ASSERT_EQ(is_valid_utf8(s), ReferenceUtf8(s)) << ToHex(s);
    for (int b = 0; b < 256; ++b) {
      s.assign({static_cast<char>(a), static_cast<char>(b)});
      ASSERT_EQ(is_valid_utf8(s), ReferenceUtf8(s)) << ToHex(s);
    }
  }
  for (int a = 0xE0; a < 0x100; ++a) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        s.assign({static_cast<char>(a), static_cast<char>(b),
                  static_cast<char>(c)});
        if (a >= 0xF0) s.push_back('\x80');
        ASSERT_EQ(is_valid_utf8(s), ReferenceUtf8(s)) << ToHex(s);
      }
    }
  }
}

// ---- equality and value semantics -------------------------------------------

TEST(PropCodecEquality, Rules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(PropValue::from_int(1), PropValue::from_float(1.0));
  EXPECT_NE(PropValue::from_bool(true), PropValue::from_int(1));
  EXPECT_NE(PropValue(), PropValue::from_bool(false));
  EXPECT_NE(Str(""), PropValue());
  EXPECT_EQ(PropValue(), PropValue());
  EXPECT_EQ(PropValue::from_float(0.0), PropValue::from_float(-0.0));
  PropValue n = PropValue::from_float(nan);
  EXPECT_NE(n, n);
  EXPECT_NE(List({n}), List({n}));
  PropValue m = PropValue::from_map({{"x", n}});
  EXPECT_NE(m, m);
  EXPECT_NE(List({Str("a")}), List({Str("a"), Str("a")}));
  EXPECT_NE(List({Str("a"), Str("b")}), List({Str("b"), Str("a")}));
  EXPECT_NE(List({}), PropValue::from_map({}));
}

TEST(PropCodecEquality, MapsIgnoreInsertionOrder) {
  PropMap a, b;
  a.emplace("x", PropValue::from_int(1));
  a.emplace("y", List({Str("z")}));
  b.emplace("y", List({Str("z")}));
  b.emplace("x", PropValue::from_int(1));
  EXPECT_EQ(PropValue::from_map(a), PropValue::from_map(b));
  b["x"] = PropValue::from_float(1.0);
  EXPECT_NE(PropValue::from_map(a), PropValue::from_map(b));
  PropMap c = a;
  c.erase("x");
  c.emplace("w", PropValue::from_int(1));
  EXPECT_NE(PropValue::from_map(a), PropValue::from_map(c));
  c.erase("w");
  EXPECT_NE(PropValue::from_map(a), PropValue::from_map(c));
}

TEST(PropCodecEquality, CopiesAreDeep) {
  PropValue original = PropValue::from_map(
      {{"list", List({PropValue::from_map({{"k", Str("v")}})})}});
  PropValue copy = original;
  copy.as_map()["list"].as_list()[0].as_map()["k"] = Str("changed");
  EXPECT_EQ(original.as_map().at("list").as_list()[0].as_map().at("k"),
            Str("v"));
  EXPECT_NE(copy, original);
  copy = original;
  EXPECT_EQ(copy, original);

  PropValue moved = std::move(copy);
  EXPECT_EQ(moved, original);
  // A moved-from map still reads as a valid (empty) map.
  EXPECT_EQ(copy.kind(), Kind::kMap);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(copy.as_map().empty());
  EXPECT_EQ(Encode(copy), FromHex("06 00 00 00 00"));
}

// ---- randomized -------------------------------------------------------------

class PropCodecRandom : public ::testing::Test {
 protected:
  std::mt19937_64 rng_{20240607};

  uint64_t Below(uint64_t n) { return rng_() % n; }

  std::string RandomText() {
    static const uint32_t kPoints[] = {'a', 'Z', '0', ' ', 0x7F, 0x80, 0xE9,
                                       0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD,
                                       0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
    std::string s;
    const uint64_t n = Below(6);
    for (uint64_t i = 0; i < n; ++i) {
      uint32_t cp = kPoints[Below(std::size(kPoints))];
      if (cp < 0x80) {
        s.push_back(static_cast<char>(cp));
      } else if (cp < 0x800) {
        s.push_back(static_cast<char>(0xC0 | cp >> 6));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else if (cp < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | cp >> 12));
        s.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        s.push_back(static_cast<char>(0xF0 | cp >> 18));
        s.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      }
    }
    return s;
  }

  // No NaN: values must compare equal to themselves after a round trip.
  PropValue RandomValue(int depth) {
    const uint64_t kinds = depth > 0 ? 7 : 5;
    switch (Below(kinds)) {
      case 0:
        return PropValue();
      case 1:
        return PropValue::from_bool(Below(2) == 1);
      case 2:
        return PropValue::from_int(static_cast<int64_t>(rng_()));
      case 3: {
        double d = std::ldexp(static_cast<double>(rng_() >> 11),
                              static_cast<int>(Below(200)) - 100);
        return PropValue::from_float(Below(2) ? d : -d);
      }
      case 4:
        return PropValue::from_string(RandomText());
      case 5: {
        PropList items;
        const uint64_t n = Below(5);
        for (uint64_t i = 0; i < n; ++i) {
          items.push_back(RandomValue(depth - 1));
        }
        return PropValue::from_list(std::move(items));
      }
      default: {
        PropMap m;
        const uint64_t n = Below(5);
        for (uint64_t i = 0; i < n; ++i) {
          m[RandomText()] = RandomValue(depth - 1);
        }
        return PropValue::from_map(std::move(m));
      }
    }
  }
};

TEST_F(PropCodecRandom, ValuesRoundTrip) {
  for (int i = 0; i < 2000; ++i) {
    PropValue v = RandomValue(4);
    Bytes bytes = Encode(v);
    ASSERT_EQ(encoded_size(v), bytes.size());
    auto r = decode_from(bytes, 0);
    ASSERT_TRUE(r) << r.error().detail() << " " << ToHex(bytes);
    ASSERT_EQ(r->first, v) << ToHex(bytes);
    ASSERT_EQ(r->second, bytes.size());
    // Canonical: re-encoding the decoded value gives the same bytes.
    ASSERT_EQ(Encode(r->first), bytes);
  }
}

TEST_F(PropCodecRandom, GarbageNeverCrashesTheDecoder) {
  int decoded = 0;
  for (int i = 0; i < 5000; ++i) {
    Bytes bytes(Below(64), '\0');
    for (char& c : bytes) {
      // Bias toward small bytes so tags and short lengths are common.
      c = static_cast<char>(Below(4) ? Below(8) : Below(256));
    }
    auto r = decode_from(bytes, 0);
    if (r) {
      ++decoded;
      EXPECT_LE(r->second, bytes.size());
      continue;
    }
    EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptedFile);
    EXPECT_EQ(r.error().detail().rfind("prop_codec: ", 0), 0u)
        << r.error().detail();
    (void)decode_props(bytes);
    (void)decode_labels(bytes);
  }
  EXPECT_GT(decoded, 0);
}

TEST_F(PropCodecRandom, DamagedEncodingsFailCleanly) {
  for (int i = 0; i < 3000; ++i) {
    Bytes bytes = Encode(RandomValue(4));
    const uint64_t flips = 1 + Below(3);
    for (uint64_t f = 0; f < flips; ++f) {
      bytes[Below(bytes.size())] = static_cast<char>(rng_());
    }
    auto r = decode_from(bytes, 0);
    if (r) {
      EXPECT_LE(r->second, bytes.size());
    } else {
      EXPECT_EQ(r.error().detail().rfind("prop_codec: ", 0), 0u)
          << r.error().detail();
    }
  }
}

// ---- validation without building -------------------------------------------

// decode_labels as the decoder defines it: the whole value first, then its
// shape. Kept independent of decode_label_views, which it checks.
Result<std::vector<std::string>> ReferenceLabels(std::string_view bytes) {
  if (bytes.empty()) return std::vector<std::string>();
  auto r = decode_from(bytes, 0);
  if (!r) return r.error();
  if (r->first.kind() != Kind::kList) {
    return OrviError::corrupted("labels: expected List");
  }
  std::vector<std::string> out;
  for (const PropValue& item : r->first.as_list()) {
    if (item.kind() != Kind::kString) {
      return OrviError::corrupted("labels: expected String in list");
    }
    out.push_back(item.as_string());
  }
  return out;
}

// The validating walks must agree with the decoders on every input: the
// same success, the same end position, the same error text.
void ExpectSameVerdicts(std::string_view bytes) {
  SCOPED_TRACE(ToHex(bytes));
  for (size_t pos : {size_t{0}, size_t{1}}) {
    if (pos > bytes.size()) continue;
    auto decoded = decode_from(bytes, pos);
    auto validated = validate_from(bytes, pos);
    ASSERT_EQ(ErrorOf(decoded), ErrorOf(validated));
    if (decoded) {
      EXPECT_EQ(validated->end, decoded->second);
      EXPECT_EQ(validated->kind, decoded->first.kind());
      if (decoded->first.kind() == Kind::kString) {
        EXPECT_EQ(validated->text, decoded->first.as_string());
      }
    }
  }
  EXPECT_EQ(ErrorOf(decode_props(bytes)), ErrorOf(validate_props(bytes)));

  auto reference = ReferenceLabels(bytes);
  std::vector<std::string_view> views{"stale"};
  Status viewed = decode_label_views(bytes, views);
  auto labels = decode_labels(bytes);
  ASSERT_EQ(ErrorOf(reference), ErrorOf(viewed));
  ASSERT_EQ(ErrorOf(reference), ErrorOf(labels));
  if (reference) {
    EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()),
              *reference);
    EXPECT_EQ(*labels, *reference);
  }
}

TEST(PropCodecValidate, FixedCasesMatchTheDecoder) {
  for (const char* hex :
       {"", "00", "01", "01 05", "02 01 02", "03 00 00 00 00 00 00 00 00",
        "04 05 00 00 00 41 42", "04 02 00 00 00 c3 28", "04 00 00 00 00",
        "05 02 00 00 00 04 01 00 00 00 61 02", "05 01 00 00 00 00",
        "05 02 00 00 00 04 00 00 00 00 00", "05 00 00 00 00 ff",
        "06 01 00 00 00 01 00 00 00 ff 00", "06 01 00 00 00 01 00 00",
        "06 02 00 00 00 01 00 00 00 61 00 01 00 00 00 61 01 01",
        "06 01 00 00 00 01 00 00 00 61", "07", "ff 00", "05 ff ff ff ff"}) {
    ExpectSameVerdicts(FromHex(hex));
  }
  ExpectSameVerdicts(encode_labels({"Person", "", "Ünïcode"}));
  ExpectSameVerdicts(encode_props(MapOf({{"a", PropValue()}})) + "junk");
}

TEST(PropCodecValidate, NestingLimitMatchesTheDecoder) {
  for (int depth : {kMaxDecodeDepth - 1, kMaxDecodeDepth,
                    kMaxDecodeDepth + 1}) {
    Bytes lists;
    for (int i = 0; i < depth; ++i) lists += FromHex("05 01 00 00 00");
    lists += FromHex("00");
    ExpectSameVerdicts(lists);
    Bytes maps;
    for (int i = 0; i < depth; ++i) maps += FromHex("06 01 00 00 00 00 00 00 00");
    maps += FromHex("00");
    ExpectSameVerdicts(maps);
  }
}

TEST_F(PropCodecRandom, ValidationAgreesWithDecodingOnDamagedValues) {
  for (int i = 0; i < 4000; ++i) {
    Bytes bytes;
    switch (Below(3)) {
      case 0:
        bytes = Encode(RandomValue(4));
        break;
      case 1: {
        std::vector<std::string> labels;
        for (uint64_t k = Below(4); k > 0; --k) labels.push_back(RandomText());
        bytes = encode_labels(labels);
        break;
      }
      default: {
        PropMap m;
        for (uint64_t k = Below(4); k > 0; --k) m[RandomText()] = RandomValue(2);
        bytes = encode_props(m);
        break;
      }
    }
    if (!bytes.empty() && Below(4) != 0) {
      for (uint64_t f = 1 + Below(3); f > 0; --f) {
        const size_t at = Below(bytes.size());
        bytes[at] = static_cast<char>(Below(2) ? Below(8) : rng_());
      }
    }
    if (!bytes.empty() && Below(8) == 0) bytes.resize(Below(bytes.size()));
    ExpectSameVerdicts(bytes);
  }
}

TEST_F(PropCodecRandom, ValidationAgreesWithDecodingOnGarbage) {
  for (int i = 0; i < 4000; ++i) {
    Bytes bytes(Below(48), '\0');
    for (char& c : bytes) c = static_cast<char>(Below(4) ? Below(8) : Below(256));
    ExpectSameVerdicts(bytes);
  }
}

}  // namespace
}  // namespace orvi

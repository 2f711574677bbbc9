#include "storage/text.h"

#include <cstdio>

namespace orvi {

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
size_t decode_utf8(std::string_view s, size_t i, std::optional<char32_t>* cp) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b0 = byte(i);
  *cp = std::nullopt;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;  // 80..C1 (continuation or overlong lead), F5..FF
  }
  char32_t value = b0 & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return k;
    const uint8_t b = byte(i + k);
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return k;
    value = (value << 6) | (b & 0x3F);
  }
  *cp = value;
  return len;
}

std::string hex(uint64_t v, int width) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%0*llx", width,
                static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace orvi

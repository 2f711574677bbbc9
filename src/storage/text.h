// Text helpers of the core: the one UTF-8 decoder and the one hexadecimal
// formatter, for the codec, the lock's owner file, the checker's reports
// and the binding's label escapes alike.
#ifndef ORVI_STORAGE_TEXT_H_
#define ORVI_STORAGE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace orvi {

// Decodes the scalar value starting at s[i] (i < s.size()). Returns the
// number of bytes it takes and stores the value in *cp; for an ill-formed
// sequence (overlong, surrogate, above U+10FFFF, truncated) returns the
// length of its maximal subpart (at least 1) and stores nullopt, so that a
// lossy decoder emits exactly one U+FFFD per maximal subpart.
size_t decode_utf8(std::string_view s, size_t i, std::optional<char32_t>* cp);

// True when `s` is well-formed UTF-8 (every decode_utf8 step succeeds).
// Inline: every key and text of a checked value walk passes through it.
inline bool is_valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  std::optional<char32_t> cp;
  for (size_t i = 0; i < n;) {
    // ASCII runs are skipped eight bytes at a time; a shorter tail through
    // the last eight bytes of the text when it has eight, else (most keys
    // and labels) in a single pass without decoding.
    uint64_t chunk;
    if (n - i >= 8) {
      std::memcpy(&chunk, p + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    } else if (n >= 8) {
      std::memcpy(&chunk, p + n - 8, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) return true;
    } else {
      uint8_t any = 0;
      for (size_t k = i; k < n; ++k) any |= p[k];
      if (any < 0x80) return true;
    }
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    i += decode_utf8(s, i, &cp);
    if (!cp) return false;
  }
  return true;
}

// `v` in lowercase hexadecimal, zero-padded to at least `width` digits.
std::string hex(uint64_t v, int width = 0);

}  // namespace orvi

#endif  // ORVI_STORAGE_TEXT_H_

// Text helpers of the core: the one UTF-8 decoder and the one hexadecimal
// formatter, for the codec, the lock's owner file, the checker's reports
// and the binding's label escapes alike.
#ifndef ORVI_STORAGE_TEXT_H_
#define ORVI_STORAGE_TEXT_H_

#include <cstddef>
#include <cstdint>
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
bool is_valid_utf8(std::string_view s);

// `v` in lowercase hexadecimal, zero-padded to at least `width` digits.
std::string hex(uint64_t v, int width = 0);

}  // namespace orvi

#endif  // ORVI_STORAGE_TEXT_H_

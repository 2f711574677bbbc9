#include "storage/crc32.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVI_HAVE_CLMUL 1
#include <immintrin.h>
#else
#define ORVI_HAVE_CLMUL 0
#endif

#include "storage/layout.h"

namespace orvi {

namespace {

// Slicing-by-8 tables: kCrcTables[0] is the classic byte table, and
// kCrcTables[k][b] is the CRC of byte b followed by k zero bytes, so eight
// input bytes are folded per step.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) {
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
  return t;
}
constexpr CrcTables kCrcTables = make_crc_tables();

#if ORVI_HAVE_CLMUL
// CRC-32 of `len` bytes (a multiple of 16, at least 64) by carry-less
// multiplication: four 128-bit lanes are folded forward 64 bytes at a time,
// then into one lane, then to 64 and 32 bits with a Barrett reduction. The
// constants are powers of x modulo the (bit-reflected) CRC-32 polynomial:
// x^(4*128+32) and x^(4*128-32) for the 64-byte fold, x^(128+32) and
// x^(128-32) for the 16-byte fold, x^64 for the last fold, and the
// polynomial with its Barrett quotient. `state` is the running register
// (not inverted here); the result is the register after the bytes.
#define ORVI_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x * (the two halves of k), folded onto `next`.
ORVI_CLMUL_TARGET inline __m128i fold16(__m128i x, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

ORVI_CLMUL_TARGET uint32_t crc32_clmul(
    uint32_t state, const uint8_t* buf, size_t len) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = load16(buf + 0x00);
  __m128i x2 = load16(buf + 0x10);
  __m128i x3 = load16(buf + 0x20);
  __m128i x4 = load16(buf + 0x30);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  buf += 64;
  len -= 64;
  while (len >= 64) {
    x1 = fold16(x1, x0, load16(buf + 0x00));
    x2 = fold16(x2, x0, load16(buf + 0x10));
    x3 = fold16(x3, x0, load16(buf + 0x20));
    x4 = fold16(x4, x0, load16(buf + 0x30));
    buf += 64;
    len -= 64;
  }
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold16(x1, x0, x2);
  x1 = fold16(x1, x0, x3);
  x1 = fold16(x1, x0, x4);
  while (len >= 16) {
    x1 = fold16(x1, x0, load16(buf));
    buf += 16;
    len -= 16;
  }
  // 128 -> 64 bits.
  __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x10);
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x5);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x5 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, mask32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, x0, 0x00), x5);
  // Barrett reduction to 32 bits.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x5 = _mm_and_si128(x1, mask32);
  x5 = _mm_clmulepi64_si128(x5, x0, 0x10);
  x5 = _mm_and_si128(x5, mask32);
  x5 = _mm_clmulepi64_si128(x5, x0, 0x00);
  x1 = _mm_xor_si128(x1, x5);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}
#endif

}  // namespace

uint32_t crc32(const uint8_t* data, size_t len) {
  return crc32_extend(kCrcInit, data, len) ^ kCrcInit;
}

uint32_t crc32_extend(uint32_t state, const uint8_t* data, size_t len) {
#if ORVI_HAVE_CLMUL
  static const bool clmul = __builtin_cpu_supports("pclmul") &&
                            __builtin_cpu_supports("sse4.1");
  if (clmul && len >= 64) {
    const size_t folded = len & ~size_t{15};
    state = crc32_clmul(state, data, folded);
    data += folded;
    len -= folded;
  }
#endif
  const auto& t = kCrcTables;
  uint32_t c = state;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    const uint32_t lo = get_u32(data + i) ^ c;
    const uint32_t hi = get_u32(data + i + 4);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^
        t[4][lo >> 24] ^ t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^
        t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; i < len; ++i) c = t[0][(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c;
}

}  // namespace orvi

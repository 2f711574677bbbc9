// CRC-32 as zlib and IEEE 802.3 define it (reflected polynomial 0xEDB88320,
// register preset to all ones, result inverted), the checksum of every log
// entry.
//
// Bytes are folded eight at a time through slicing-by-8 tables; on x86-64
// CPUs with carry-less multiplication, runs of 64 bytes or more are folded
// 64 bytes per step instead. Every path gives the same value at any length
// and alignment. Pure and thread-safe.
#ifndef ORVI_STORAGE_CRC32_H_
#define ORVI_STORAGE_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace orvi {

// The CRC-32 of `len` bytes.
uint32_t crc32(const uint8_t* data, size_t len);

// The same computed piecewise: the register starts at kCrcInit, each piece
// extends it, and the CRC is the final register XOR kCrcInit.
inline constexpr uint32_t kCrcInit = 0xFFFFFFFFu;
uint32_t crc32_extend(uint32_t state, const uint8_t* data, size_t len);

}  // namespace orvi

#endif  // ORVI_STORAGE_CRC32_H_

// File layout constants and the fixed-size slot records.
//
// The database file (or the ":memory:" buffer, which has the same layout):
//
//   0 .. 4096            page 0: the 128-byte header, then 3968 bytes that
//                        are carried over unchanged on every header rewrite
//   4096 .. 4198400      write-ahead log area (4 MiB reserved)
//   4198400 .. end       data region: 1 MiB extents and 4 KiB extent-index
//                        pages, placed one after another in allocation order
//
// All integers are little-endian; stored offsets are absolute.
//
// Node slot page: 8 unused bytes, 63 slots of 64 bytes, 56 unused bytes.
// Edge slot page: 8 unused bytes, 51 slots of 80 bytes, 8 unused bytes.
// Slot of record id n (n >= 1), with i = n - 1 and U slots per extent,
// P slots per page, S bytes per slot:
//   extent e = i / U, r = i % U, page p = r / P, slot k = r % P,
//   offset = base(e) + 4096 * p + 8 + S * k.
//
// NodeSlot (64 bytes)                 EdgeSlot (80 bytes)
//   0  u64 id (0 = never written)       0  u64 id (0 = never written)
//   8  u64 first_out                    8  u64 from
//  16  u64 first_in                    16  u64 to
//  24  u64 prop_offset                 24  u64 next_out
//  32  u32 prop_len                    32  u64 next_in
//  36  u32 reserved                    40  u64 prop_offset
//  40  u32 out_degree                  48  u32 prop_len
//  44  u32 in_degree                   52  u32 reserved
//  48  u64 label_offset                56  u64 label_offset
//  56  u32 label_len                   64  u32 label_len
//  60  u8  flags (bit 0: deleted)      68  u8  flags (bit 0: deleted)
//  61  3 reserved bytes                69  11 reserved bytes
//
// Extent-index page: u64 next page (0 ends the chain), u32 count (<= 510),
// u32 reserved, then 510 u64 extent base offsets from byte 16.
#ifndef ORVI_STORAGE_LAYOUT_H_
#define ORVI_STORAGE_LAYOUT_H_

#include <cstdint>
#include <cstring>

namespace orvi {

inline constexpr uint64_t kHeaderSize = 128;
inline constexpr uint64_t kWalOffset = 4096;
inline constexpr uint64_t kWalReserved = 4194304;
inline constexpr uint64_t kDataStart = kWalOffset + kWalReserved;  // 4198400
inline constexpr uint64_t kExtentSize = 1048576;
inline constexpr uint64_t kNodeSlotSize = 64;
inline constexpr uint64_t kNodesPerPage = 63;
inline constexpr uint64_t kNodesPerExtent = 16128;
inline constexpr uint64_t kEdgeSlotSize = 80;
inline constexpr uint64_t kEdgesPerPage = 51;
inline constexpr uint64_t kEdgesPerExtent = 13056;
inline constexpr uint32_t kIndexEntriesPerPage = 510;
inline constexpr uint64_t kMaxExtentsPerKind = 4294967295ULL;
inline constexpr uint64_t kMaxBlobLen = 1048568;
// Offsets at or above this are impossible in a file of this format (an
// extent count per kind is a u32) and are treated as damage.
inline constexpr uint64_t kMaxFileOffset = 1ULL << 62;
inline constexpr uint8_t kFlagDeleted = 1;
// Bytes before the first slot of a slot page.
inline constexpr uint64_t kSlotPageHeader = 8;

// A field of the file's fixed layouts by name, for readers outside the
// core (the tools' engine module hands them to Python).
struct SlotField {
  const char* name;
  uint32_t offset;
};

inline uint16_t get_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t get_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void put_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void put_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the file format is little-endian; add byte swaps for this host");

struct NodeSlot {
  uint64_t id = 0;
  uint64_t first_out = 0;
  uint64_t first_in = 0;
  uint64_t prop_offset = 0;
  uint32_t prop_len = 0;
  uint32_t out_degree = 0;
  uint32_t in_degree = 0;
  uint64_t label_offset = 0;
  uint32_t label_len = 0;
  uint8_t flags = 0;

  bool live() const { return id != 0 && (flags & kFlagDeleted) == 0; }
  void decode(const uint8_t* p);
  // Writes all 64 bytes, reserved ones as zero.
  void encode(uint8_t* p) const;
};

struct EdgeSlot {
  uint64_t id = 0;
  uint64_t from = 0;
  uint64_t to = 0;
  uint64_t next_out = 0;
  uint64_t next_in = 0;
  uint64_t prop_offset = 0;
  uint32_t prop_len = 0;
  uint64_t label_offset = 0;
  uint32_t label_len = 0;
  uint8_t flags = 0;

  bool live() const { return id != 0 && (flags & kFlagDeleted) == 0; }
  void decode(const uint8_t* p);
  // Writes all 80 bytes, reserved ones as zero.
  void encode(uint8_t* p) const;
};

// Each slot's fields of the table above, once, as f(name, byte offset,
// member) in stored order: decode and encode walk this list, and so do the
// readers outside the core that show slots by name. `Slot` is the slot
// type, const or not.
template <typename Slot, typename F>
void node_slot_fields(Slot& s, F&& f) {
  f("id", 0, s.id), f("first_out", 8, s.first_out);
  f("first_in", 16, s.first_in), f("prop_offset", 24, s.prop_offset);
  f("prop_len", 32, s.prop_len), f("out_degree", 40, s.out_degree);
  f("in_degree", 44, s.in_degree), f("label_offset", 48, s.label_offset);
  f("label_len", 56, s.label_len), f("flags", 60, s.flags);
}

template <typename Slot, typename F>
void edge_slot_fields(Slot& s, F&& f) {
  f("id", 0, s.id), f("from", 8, s.from), f("to", 16, s.to);
  f("next_out", 24, s.next_out), f("next_in", 32, s.next_in);
  f("prop_offset", 40, s.prop_offset), f("prop_len", 48, s.prop_len);
  f("label_offset", 56, s.label_offset), f("label_len", 64, s.label_len);
  f("flags", 68, s.flags);
}

}  // namespace orvi

#endif  // ORVI_STORAGE_LAYOUT_H_

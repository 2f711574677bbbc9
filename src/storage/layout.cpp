#include "storage/layout.h"

namespace orvi {

namespace {

// Each slot's fields, once, as (byte offset, member) pairs in the order of
// the table in layout.h; decode and encode both walk this list.
template <typename Slot, typename F>
void node_fields(Slot& s, F&& f) {
  f(0, s.id), f(8, s.first_out), f(16, s.first_in), f(24, s.prop_offset);
  f(32, s.prop_len), f(40, s.out_degree), f(44, s.in_degree);
  f(48, s.label_offset), f(56, s.label_len), f(60, s.flags);
}

template <typename Slot, typename F>
void edge_fields(Slot& s, F&& f) {
  f(0, s.id), f(8, s.from), f(16, s.to), f(24, s.next_out), f(32, s.next_in);
  f(40, s.prop_offset), f(48, s.prop_len), f(56, s.label_offset);
  f(64, s.label_len), f(68, s.flags);
}

// Field readers and writers: little-endian, as wide as the member.
auto reader(const uint8_t* p) {
  return [p](size_t at, auto& v) { std::memcpy(&v, p + at, sizeof v); };
}
auto writer(uint8_t* p) {
  return [p](size_t at, const auto& v) { std::memcpy(p + at, &v, sizeof v); };
}

}  // namespace

void NodeSlot::decode(const uint8_t* p) { node_fields(*this, reader(p)); }

void NodeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kNodeSlotSize);
  node_fields(*this, writer(p));
}

void EdgeSlot::decode(const uint8_t* p) { edge_fields(*this, reader(p)); }

void EdgeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kEdgeSlotSize);
  edge_fields(*this, writer(p));
}

}  // namespace orvi

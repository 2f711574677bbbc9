#include "storage/layout.h"

namespace orvi {

void NodeSlot::decode(const uint8_t* p) {
  id = get_u64(p + 0);
  first_out = get_u64(p + 8);
  first_in = get_u64(p + 16);
  prop_offset = get_u64(p + 24);
  prop_len = get_u32(p + 32);
  out_degree = get_u32(p + 40);
  in_degree = get_u32(p + 44);
  label_offset = get_u64(p + 48);
  label_len = get_u32(p + 56);
  flags = p[60];
}

void NodeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kNodeSlotSize);
  put_u64(p + 0, id);
  put_u64(p + 8, first_out);
  put_u64(p + 16, first_in);
  put_u64(p + 24, prop_offset);
  put_u32(p + 32, prop_len);
  put_u32(p + 40, out_degree);
  put_u32(p + 44, in_degree);
  put_u64(p + 48, label_offset);
  put_u32(p + 56, label_len);
  p[60] = flags;
}

void EdgeSlot::decode(const uint8_t* p) {
  id = get_u64(p + 0);
  from = get_u64(p + 8);
  to = get_u64(p + 16);
  next_out = get_u64(p + 24);
  next_in = get_u64(p + 32);
  prop_offset = get_u64(p + 40);
  prop_len = get_u32(p + 48);
  label_offset = get_u64(p + 56);
  label_len = get_u32(p + 64);
  flags = p[68];
}

void EdgeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kEdgeSlotSize);
  put_u64(p + 0, id);
  put_u64(p + 8, from);
  put_u64(p + 16, to);
  put_u64(p + 24, next_out);
  put_u64(p + 32, next_in);
  put_u64(p + 40, prop_offset);
  put_u32(p + 48, prop_len);
  put_u64(p + 56, label_offset);
  put_u32(p + 64, label_len);
  p[68] = flags;
}

}  // namespace orvi

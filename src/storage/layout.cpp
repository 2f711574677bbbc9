#include "storage/layout.h"

namespace orvi {

namespace {

// Field readers and writers: little-endian, as wide as the member.
auto reader(const uint8_t* p) {
  return [p](const char*, size_t at, auto& v) {
    std::memcpy(&v, p + at, sizeof v);
  };
}
auto writer(uint8_t* p) {
  return [p](const char*, size_t at, const auto& v) {
    std::memcpy(p + at, &v, sizeof v);
  };
}

}  // namespace

void NodeSlot::decode(const uint8_t* p) { node_slot_fields(*this, reader(p)); }

void NodeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kNodeSlotSize);
  node_slot_fields(*this, writer(p));
}

void EdgeSlot::decode(const uint8_t* p) { edge_slot_fields(*this, reader(p)); }

void EdgeSlot::encode(uint8_t* p) const {
  std::memset(p, 0, kEdgeSlotSize);
  edge_slot_fields(*this, writer(p));
}

}  // namespace orvi

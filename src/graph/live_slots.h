// The walk of every live record slot by position, for the passes that must
// see each stored record once whatever its lists say: repair rebuilds the
// lists from it, vacuum copies the records.
//
// for_each_live_slot<NodeSlot or EdgeSlot>(pager, f) calls f(id, slot) for
// ids 1 .. next id - 1 (the header's counter) in ascending order, for every
// slot that is live, with the slot as stored: its id field may differ from
// the position in a damaged file, and callers that write the slot back pin
// it to `id`. f returns a Status; the first error ends the walk. An id
// below the counter that no extent covers fails with unaddressable_slot():
// a damaged counter, not a missing record.
#ifndef ORVI_GRAPH_LIVE_SLOTS_H_
#define ORVI_GRAPH_LIVE_SLOTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "error/result.h"
#include "storage/pager.h"
#include "storage/layout.h"

namespace orvi {

// "node 5 lies below next_node_id 9 but no node extent holds its slot".
inline OrviError unaddressable_slot(const char* word, uint64_t id,
                                    uint64_t next) {
  return OrviError::corrupted(std::string(word) + " " + std::to_string(id) +
                              " lies below next_" + word + "_id " +
                              std::to_string(next) + " but no " + word +
                              " extent holds its slot");
}

// The header's next id of the kind `Slot` holds.
template <typename Slot>
uint64_t next_id(const Pager& pager) {
  return std::is_same_v<Slot, NodeSlot> ? pager.header().next_node_id
                                        : pager.header().next_edge_id;
}

// The slot of record `id`, which the caller knows lies below the next id:
// an id that no extent covers is unaddressable_slot(), since the header and
// the extent index disagree.
template <typename Slot>
Status read_slot_checked(Pager& pager, uint64_t id, Slot& out) {
  auto read = pager.read_slot(id, out);
  if (!read && read.error().kind() == ErrorKind::kCapacityExceeded) {
    return unaddressable_slot(std::is_same_v<Slot, NodeSlot> ? "node" : "edge",
                              id, next_id<Slot>(pager));
  }
  return read;
}

// The one test of whether a record exists: 1 <= id < next id, the slot was
// written and is not deleted. The slot's id field is pinned to `id`, so a
// damaged one cannot redirect a write-back onto another record. False when
// there is no such record (`out` then holds nothing of use).
template <typename Slot>
Result<bool> read_live_slot(Pager& pager, uint64_t id, Slot& out) {
  if (id == 0 || id >= next_id<Slot>(pager)) return false;
  ORVI_TRY(read_slot_checked(pager, id, out));
  if (!out.live()) return false;
  out.id = id;
  return true;
}

// The same as an optional, for the reads that keep the slot.
template <typename Slot>
Result<std::optional<Slot>> read_live_slot(Pager& pager, uint64_t id) {
  return optional_read<Slot>(
      [&](Slot& slot) { return read_live_slot(pager, id, slot); });
}

template <typename Slot, typename F>
Status for_each_live_slot(Pager& pager, F&& f) {
  const uint64_t next = next_id<Slot>(pager);
  for (uint64_t id = 1; id < next; ++id) {
    Slot slot;
    ORVI_TRY(read_slot_checked(pager, id, slot));
    if (slot.live()) ORVI_TRY(f(id, slot));
  }
  return Ok();
}

}  // namespace orvi

#endif  // ORVI_GRAPH_LIVE_SLOTS_H_

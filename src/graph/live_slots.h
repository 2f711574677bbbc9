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

template <typename Slot, typename F>
Status for_each_live_slot(Pager& pager, F&& f) {
  constexpr bool kNodes = std::is_same_v<Slot, NodeSlot>;
  const char* word = kNodes ? "node" : "edge";
  const uint64_t next =
      kNodes ? pager.header().next_node_id : pager.header().next_edge_id;
  for (uint64_t id = 1; id < next; ++id) {
    auto slot = [&] {
      if constexpr (kNodes) {
        return pager.read_node_slot(id);
      } else {
        return pager.read_edge_slot(id);
      }
    }();
    if (!slot) {
      if (slot.error().kind() == ErrorKind::kCapacityExceeded) {
        return unaddressable_slot(word, id, next);
      }
      return slot.error();
    }
    if (slot->live()) ORVI_TRY(f(id, *slot));
  }
  return Ok();
}

}  // namespace orvi

#endif  // ORVI_GRAPH_LIVE_SLOTS_H_

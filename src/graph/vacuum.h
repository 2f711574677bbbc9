// Vacuum: compacts a database so that property storage holds exactly one
// label blob and one property blob per live record.
//
// Updates never rewrite a blob in place; each appends a new one, so
// superseded blobs and the blobs of deleted records pile up. Vacuum copies
// every live record into a fresh store: the same ids, the same slots
// (adjacency heads, links, degrees and flags as read), the same next ids,
// with the blobs copied byte for byte (never decoded) and the slots pointed
// at their new offsets. Deleted ids are not reused: the fresh store has
// slot extents covering every id ever allocated.
//
// File databases (GraphDB::vacuum):
//  1. refused with TransactionFailed inside an explicit transaction;
//  2. pending changes are committed to the database file;
//  3. the compacted database is built in <path>.tmp beside it (any stale
//     file of that name is removed first), committed and closed;
//  4. the handle's pager is replaced by an empty in-memory placeholder,
//     which closes the database file, and <path>.tmp is renamed over the
//     database file (atomic_replace);
//  5. the database is reopened and the label index rebuilt from it.
// A failure before step 4 removes the temporary file and leaves the handle
// on the old file. A failed rename removes the temporary file and reopens
// the old file. If the reopen itself fails the handle is detached
// (GraphDB::detached()): it holds only the placeholder, every later call
// must be refused, and the error tells the user to reopen the database.
// The path used is the canonical one the handle registered, so a database
// opened through a symbolic link or a relative path is rebuilt beside the
// real file and replaces it, not the link. The writer lock stays held
// throughout.
//
// ":memory:" databases are rebuilt into a fresh memory store that then
// replaces the handle's store, so the memory of superseded blobs is really
// released; the label index stays valid because no label changes.
//
// Not thread-safe; callers hold the handle's lock.
#ifndef ORVI_GRAPH_VACUUM_H_
#define ORVI_GRAPH_VACUUM_H_

#include <memory>
#include <string>
#include <vector>

#include "error/result.h"
#include "storage/pager.h"

namespace orvi {

// A live record's slot as read (its id pinned to the slot's position) with
// the raw bytes of its blobs; a blob whose length field is 0 is empty.
template <typename Slot>
struct LiveRecord {
  Slot slot;
  std::string labels;  // an edge's label
  std::string props;
};

struct LiveRecords {
  std::vector<LiveRecord<NodeSlot>> nodes;  // ascending id
  std::vector<LiveRecord<EdgeSlot>> edges;  // ascending id
};

// Every live node and edge below the next ids, with raw blob copies. Blob
// lengths beyond the largest possible blob, and slots below the next id
// that no extent holds, fail with CorruptedFile.
Result<LiveRecords> snapshot_live_records(Pager& pager);

// Commits the handle's pending changes, then builds the compacted database
// in `db_path` + ".tmp" and returns that path; the file is complete,
// committed and closed. On failure after the commit the temporary file is
// removed and the database file and handle are unchanged.
Result<std::string> build_file_vacuum_tmp(Pager& pager,
                                          const std::string& db_path);

// The compacted copy of a ":memory:" database (pending changes included),
// committed in a fresh memory store, for the handle to install in place of
// `graph`. `graph` itself is not changed.
Result<std::unique_ptr<Pager>> vacuum_in_memory(Pager& pager);

}  // namespace orvi

#endif  // ORVI_GRAPH_VACUUM_H_

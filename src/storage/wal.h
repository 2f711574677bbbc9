// Write-ahead log: how a file commit survives a crash.
//
// The log lives in the fixed 4 MiB area after the header page (offset
// wal_offset = 4096) and is rewritten from its start by every commit.
// The header's wal_length is the only commit state on disk: 0 means no
// commit in progress; otherwise the log area holds wal_length bytes of a
// commit that may not have reached its home pages.
//
// Entry layout (little-endian):
//    0  u32 length       total entry length, this field and the CRC included
//    4  u8  kind         1 = page image, 2 = commit
//    5  u64 page offset  home offset of the page (0 for commit)
//   13  u32 data length  4096 for a page image, 0 for commit
//   17  data
//   17 + data length: u32 CRC-32 (zlib / IEEE 802.3) of all preceding bytes
// A page-image entry is 4117 bytes, a commit entry 21. A commit's log is one
// page-image entry per dirty page, in offset order, followed by one commit
// entry, so at most 1018 dirty pages fit in the reservation.
//
// A file commit, in order, stopping at the first error (Wal::write_log is
// steps 1 and 2, Pager::finish_logged_commit steps 3 to 5):
//   1. refuse an oversized log with WalOverflow, and a header whose
//      wal_offset is not the log area with CorruptedFile (nothing written)
//   2. write the log pages (one call), flush
//                                         -- log durable
//   3. write the header with wal_length, flush
//                                         -- commit durable
//   4. write the dirty pages home in offset order, each run of
//      consecutive pages in one call, flush
//   5. write the header with wal_length 0, flush
// The flush after step 2 keeps a torn log from ever being named by a
// durable header. A failure before the end of step 2 leaves the
// transaction pending and untouched: commit() may be retried. From step 3
// on, the pager marks the log pending and finishes it before any later
// commit or rollback (see pager.h); the dirty map is kept until the pages
// are home, so reads stay right in between.
//
// recover() replays a log only when its entries run contiguously from the
// start of the log area, pass their checksums, and end with a commit entry
// exactly at wal_length. Any other log is discarded: its header was never
// made durable together with a complete log, so the home pages still hold
// the previous commit. Replaying is idempotent (entries are whole pages), so
// a crash during recovery is repaired by the next open.
// The log knows only its storage and the pages it is handed: the header
// that names it, and everything else the pager keeps, stay the pager's.
#ifndef ORVI_STORAGE_WAL_H_
#define ORVI_STORAGE_WAL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "error/result.h"
#include "storage/cache.h"
#include "storage/file.h"

namespace orvi {

inline constexpr size_t kWalEntryHeader = 17;
inline constexpr size_t kWalPageEntry = 4117;
inline constexpr size_t kWalCommitEntry = 21;
inline constexpr uint8_t kWalKindPage = 1;
inline constexpr uint8_t kWalKindCommit = 2;

// What recovery found in the log: the length the header named (0 when no
// commit was pending) and, for a complete log, that it was replayed and
// how many page images it held.
struct RecoveredLog {
  uint64_t length = 0;
  uint64_t pages = 0;
  bool replayed = false;
};

struct WalEntry {
  std::string data;  // 4096 bytes for a page image, empty otherwise
  uint64_t page_offset = 0;
  uint8_t kind = 0;
};

// The images of a commit, each with its home offset, sorted by offset.
using LoggedPages = std::vector<std::pair<uint64_t, PageRef>>;

class Wal {
 public:
  // Steps 1 and 2: writes the log of `pages` (not empty) at `log_offset`,
  // the offset the header names, and flushes it. Returns the log's length,
  // the wal_length that commits it.
  static Result<uint64_t> write_log(Storage& storage, uint64_t log_offset,
                                    const LoggedPages& pages);
  // Writes logged page images to their home offsets, each run of
  // consecutive pages in one storage call. No flush.
  static Status write_home(Storage& storage, const LoggedPages& pages);

  // The log a header names with its wal_offset and wal_length (not 0):
  // the entries of a complete log, or an empty list for any other. A
  // length beyond the log area, or an offset that is not the log area, is
  // CorruptedFile.
  static Result<std::vector<WalEntry>> read_log(Storage& storage,
                                                uint64_t log_offset,
                                                uint64_t log_length);
  // Writes the page images of a complete log home, in log order, and
  // flushes. Idempotent: a crash during a replay is repaired by replaying
  // again.
  static Status replay(Storage& storage, const std::vector<WalEntry>& entries);

  // Parses a log image. Returns the entries of a complete log (contiguous,
  // checksummed, ending with a commit entry exactly at the end of `log`),
  // or an empty list for any other log. A page-image entry whose data length
  // is not 4096 is CorruptedFile.
  static Result<std::vector<WalEntry>> parse(const std::string& log);
};

}  // namespace orvi

#endif  // ORVI_STORAGE_WAL_H_

// atomic_replace: puts a finished file in place of another in one step.
//
// Compaction writes the rebuilt database beside the original and then
// calls atomic_replace: rename(2) swaps the name over atomically, so a
// reader or a crash sees either the old file or the new one, and the fsync
// of the parent directory makes the new name durable before the caller
// goes on. The source file's own contents must already be flushed.
#ifndef ORVI_STORAGE_ATOMIC_RENAME_H_
#define ORVI_STORAGE_ATOMIC_RENAME_H_

#include <string>

#include "error/result.h"

namespace orvi {

// Renames `source` to `destination` (replacing it), then flushes the
// destination's parent directory ("." when the path has none; callers pass
// absolute paths). A file system that cannot flush directories (EINVAL) is
// accepted. Every other failure is Io; when the flush fails the rename has
// already happened.
Status atomic_replace(const std::string& source,
                      const std::string& destination);

}  // namespace orvi

#endif  // ORVI_STORAGE_ATOMIC_RENAME_H_

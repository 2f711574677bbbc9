// REGISTRY: the process-wide set of database files open for writing.
//
// Holds the canonical paths of the files that a GraphDB of this process has
// open. It is locked for the whole of a file open (so opens within one
// process run one at a time) and briefly when a handle is dropped. Two
// handles on one canonical path cannot coexist in a process; across
// processes the writer lock enforces the same.
#ifndef ORVI_DB_OPEN_FILES_H_
#define ORVI_DB_OPEN_FILES_H_

#include <mutex>
#include <set>
#include <string>

namespace orvi {

struct OpenFiles {
  std::mutex mutex;
  std::set<std::string> paths;
};

// Created on first use, never destroyed (handles may be dropped during
// interpreter shutdown).
OpenFiles& registry();

}  // namespace orvi

#endif  // ORVI_DB_OPEN_FILES_H_

// REGISTRY: the process-wide set of database files open for writing.
//
// Holds the canonical paths of the files that a GraphDB of this process has
// open, and the same files by identity (device and inode), each with the
// canonical path it was opened by, so that another name of an open file (a
// hard link, another mount of its directory) is refused with the name it is
// open under. It is locked for the whole of a file open (so opens within
// one process run one at a time), briefly when a handle is dropped and when
// vacuum puts a new file in place. Two handles on one file cannot coexist
// in a process; across processes the writer lock and the file guard
// (storage/file_guard.h) enforce the same.
#ifndef ORVI_DB_OPEN_FILES_H_
#define ORVI_DB_OPEN_FILES_H_

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "storage/file_guard.h"

namespace orvi {

struct OpenFiles {
  std::mutex mutex;
  std::set<std::string> paths;
  std::map<FileId, std::string> files;
};

// Created on first use, never destroyed (handles may be dropped during
// interpreter shutdown).
OpenFiles& registry();

}  // namespace orvi

#endif  // ORVI_DB_OPEN_FILES_H_

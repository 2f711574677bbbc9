#include "error/error.h"

#include <cstring>

namespace orvi {

OrviError OrviError::io_errno(int err) {
  return OrviError(ErrorKind::kIo, os_error_text(err), 0, err);
}

OrviError OrviError::io_message(std::string text) {
  return OrviError(ErrorKind::kIo, std::move(text));
}

OrviError OrviError::io_with_errno(int err, std::string text) {
  return OrviError(ErrorKind::kIo, std::move(text), 0, err);
}

OrviError OrviError::node_not_found(uint64_t id) {
  return OrviError(ErrorKind::kNodeNotFound, {}, id);
}

OrviError OrviError::edge_not_found(uint64_t id) {
  return OrviError(ErrorKind::kEdgeNotFound, {}, id);
}

OrviError OrviError::corrupted(std::string detail) {
  return OrviError(ErrorKind::kCorruptedFile, std::move(detail));
}

OrviError OrviError::invalid_argument(std::string detail) {
  return OrviError(ErrorKind::kInvalidArgument, std::move(detail));
}

OrviError OrviError::transaction_failed(std::string detail) {
  return OrviError(ErrorKind::kTransactionFailed, std::move(detail));
}

OrviError OrviError::wal_overflow(std::string detail) {
  return OrviError(ErrorKind::kWalOverflow, std::move(detail));
}

OrviError OrviError::already_open(std::string detail) {
  return OrviError(ErrorKind::kAlreadyOpen, std::move(detail));
}

OrviError OrviError::capacity_exceeded(const char* what, uint64_t limit,
                                       const char* unit) {
  OrviError e(ErrorKind::kCapacityExceeded, {}, limit);
  e.what_ = what;
  e.unit_ = unit;
  return e;
}

OrviError OrviError::merge_key_not_found(uint64_t node_id,
                                         std::string property) {
  return OrviError(ErrorKind::kMergeKeyNotFound, std::move(property), node_id);
}

std::string OrviError::message() const {
  const std::string n = std::to_string(number_);
  switch (kind_) {
    case ErrorKind::kIo:
      return "Could not read or write the database file (check the path, "
             "permissions, and free disk space): " +
             text_;
    case ErrorKind::kNodeNotFound:
      return "No node with id " + n +
             ". Use a positive integer id returned from add_node() or an "
             "existing Node.id; id 0 is never valid.";
    case ErrorKind::kEdgeNotFound:
      return "No edge with id " + n +
             ". Use a positive integer id returned from "
             "add_edge()/merge_edge() or an existing Edge.id; id 0 is never "
             "valid.";
    case ErrorKind::kCorruptedFile:
      return "The database file failed an internal integrity check and may "
             "be damaged: " +
             text_;
    case ErrorKind::kInvalidArgument:
      return "Invalid request: " + text_;
    case ErrorKind::kTransactionFailed:
      return "Transaction could not be completed: " + text_;
    case ErrorKind::kCapacityExceeded:
      return std::string(what_ ? what_ : "") +
             " capacity exceeded: the current file layout can address at "
             "most " +
             n + " " + (unit_ ? unit_ : "");
    case ErrorKind::kMergeKeyNotFound:
      return "Merge key not found: source node " + n + " has no property '" +
             text_ + "' required by NodeIdentity::ByProperty";
    case ErrorKind::kWalOverflow:
      return "Transaction is too large to fit in the 4 MiB WAL reservation; "
             "split it across multiple commits: " +
             text_;
    case ErrorKind::kAlreadyOpen:
      return "orvi: database file is already open for writing: " + text_ +
             ". orvi allows only a single writer per file; close the "
             "existing GraphDB handle, wait for the other writer process to "
             "exit, or retry after stale lock recovery has completed.";
  }
  return text_;
}

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

}  // namespace orvi

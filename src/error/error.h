// OrviError: the one error type of the core.
//
// Every fallible core operation returns a Result<T> (see result.h) holding
// either its value or an OrviError. An error is a small value: a kind and
// the payload of that kind. It is built through the named constructors
// below and carried unchanged from the storage layer up to the Python
// binding, which turns it into an exception in one place. Nothing in the
// core throws.
//
// The user-visible text of an error is message(), which fills the kind's
// message template with its payload.
#ifndef ORVI_ERROR_ERROR_H_
#define ORVI_ERROR_ERROR_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace orvi {

// The kinds, in their fixed order.
enum class ErrorKind : uint8_t {
  kIo,
  kNodeNotFound,
  kEdgeNotFound,
  kCorruptedFile,
  kInvalidArgument,
  kTransactionFailed,
  kCapacityExceeded,
  kMergeKeyNotFound,
  kWalOverflow,
  kAlreadyOpen,
};

class OrviError {
 public:
  // --- Io -----------------------------------------------------------------
  // An operating-system failure: the text is "<strerror> (os error <n>)".
  static OrviError io_errno(int err);
  // An I/O failure raised by the program itself ("failed to fill whole
  // buffer", ...). os_errno() is 0.
  static OrviError io_message(std::string text);
  // An I/O failure with an explicit text but classified by an OS error
  // number (used when one failure reports two underlying errors).
  static OrviError io_with_errno(int err, std::string text);

  // --- record lookups -----------------------------------------------------
  static OrviError node_not_found(uint64_t id);
  static OrviError edge_not_found(uint64_t id);

  // --- detail-text kinds --------------------------------------------------
  static OrviError corrupted(std::string detail);
  static OrviError invalid_argument(std::string detail);
  static OrviError transaction_failed(std::string detail);
  static OrviError wal_overflow(std::string detail);
  static OrviError already_open(std::string detail);

  // --- structured kinds ---------------------------------------------------
  // what/unit are static words such as "node" / "nodes".
  static OrviError capacity_exceeded(const char* what, uint64_t limit,
                                     const char* unit);
  static OrviError merge_key_not_found(uint64_t node_id, std::string property);

  ErrorKind kind() const { return kind_; }
  // Io: the error number, 0 when the program raised the error itself.
  int os_errno() const { return os_errno_; }
  // NodeNotFound / EdgeNotFound / CapacityExceeded (limit) / MergeKeyNotFound
  // (source node id).
  uint64_t number() const { return number_; }
  // The payload text: the I/O text, the detail text, or the property name
  // of MergeKeyNotFound.
  const std::string& detail() const { return text_; }

  // The full message, as the user sees it.
  std::string message() const;

 private:
  OrviError(ErrorKind kind, std::string text, uint64_t number = 0,
            int os_errno = 0)
      : kind_(kind), os_errno_(os_errno), number_(number),
        text_(std::move(text)) {}

  ErrorKind kind_;
  int os_errno_ = 0;
  uint64_t number_ = 0;
  std::string text_;
  const char* what_ = nullptr;  // CapacityExceeded only
  const char* unit_ = nullptr;  // CapacityExceeded only
};

// The text an I/O error carries for an OS error number:
// "No such file or directory (os error 2)".
std::string os_error_text(int err);

}  // namespace orvi

#endif  // ORVI_ERROR_ERROR_H_

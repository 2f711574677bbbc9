// Result<T>: a value of type T or an OrviError, never both.
//
// The error-propagation idiom of the core:
//
//   auto page = pager.read_page(off);
//   if (!page) return page.error();
//
// Result<void> carries only success or an error. Errors convert implicitly
// into any Result<T>, so `return OrviError::corrupted("...")` and
// `return other.error()` work in every function.
#ifndef ORVI_ERROR_RESULT_H_
#define ORVI_ERROR_RESULT_H_

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "error/error.h"

namespace orvi {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(OrviError error) : v_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const { return v_.index() == 0; }
  bool ok() const { return v_.index() == 0; }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const OrviError& error() const& { return std::get<1>(v_); }
  OrviError&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, OrviError> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(OrviError error) : e_(std::move(error)) {}

  explicit operator bool() const { return !e_.has_value(); }
  bool ok() const { return !e_.has_value(); }
  const OrviError& error() const& { return *e_; }
  OrviError&& error() && { return std::move(*e_); }

 private:
  std::optional<OrviError> e_;
};

using Status = Result<void>;

inline Status Ok() { return Status(); }

// The optional form of a read into a caller's record: `read(T&)` returns
// whether it found anything, and nothing found is an empty optional.
template <typename T, typename Read>
Result<std::optional<T>> optional_read(Read&& read) {
  std::optional<T> out(std::in_place);
  auto found = read(*out);
  if (!found) return std::move(found).error();
  if (!*found) out.reset();
  return out;
}

}  // namespace orvi

// Evaluates a Status-returning expression and returns its error from the
// enclosing function when it failed.
#define ORVI_TRY(expr)                                        \
  do {                                                        \
    auto orvi_try_status_ = (expr);                           \
    if (!orvi_try_status_) return std::move(orvi_try_status_).error(); \
  } while (0)

#endif  // ORVI_ERROR_RESULT_H_

#pragma once

#include <optional>
#include <string>
#include <utility>

namespace portable {

// How the newer parts of the portable programs report failure: a call that can fail returns a
// Result, the value or the reason there is none, and says nothing itself. The program says what
// matters through its one reporting function (the listener's Say, for one), which prefixes the
// program's name and writes to stderr.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  static Result Failure(std::string reason) {
    Result result;
    result.reason_ = std::move(reason);
    return result;
  }

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }
  // Why there is no value; empty when there is one.
  const std::string& Reason() const { return reason_; }

 private:
  Result() = default;
  std::optional<T> value_;
  std::string reason_;
};

}  // namespace portable

#pragma once
// Errors as values for the backend: an HTTP status and a one-line reason that goes into the JSON "error" text.

#include <optional>
#include <string>
#include <utility>

namespace kesto::backend {

struct ApiError {
  int http_status = 400;
  std::string message;
};

// Holds either a value or an ApiError, never both.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT(google-explicit-constructor): reads like a return
  Result(ApiError error) : error_(std::move(error)) {}   // NOLINT(google-explicit-constructor)

  bool ok() const { return value_.has_value(); }
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const ApiError& error() const { return error_; }

 private:
  std::optional<T> value_;
  ApiError error_;
};

inline ApiError bad_request(std::string message) { return ApiError{400, std::move(message)}; }

}  // namespace kesto::backend

#pragma once
// A value or a one-line error text: how the host reports what went wrong without exceptions.

#include <optional>
#include <string>
#include <utility>

#include "host/Namespace.h"

namespace kesto::host {

struct Error {
  std::string text;
};

template <class T>
class Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor): natural return
  Expected(Error error) : error_(std::move(error.text)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only meaningful when ok(); callers check first.
  T &value() { return *value_; }
  const T &value() const { return *value_; }
  T &operator*() { return *value_; }
  const T &operator*() const { return *value_; }
  T *operator->() { return &*value_; }
  const T *operator->() const { return &*value_; }
  const std::string &error() const { return error_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

}  // namespace kesto::host

// The two shapes of a fallible operation's outcome, for any error type: a value or an error, and
// success or an error. The library's error module (error.hpp) and the Arrow layer
// (arrow/status.hpp) each name them with their own error type. Nothing here throws.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace korvel {

struct Ok {};

template <typename T, typename E>
class [[nodiscard]] BasicResult {
 public:
  BasicResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  BasicResult(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <typename E>
class [[nodiscard]] BasicStatus {
 public:
  BasicStatus() = default;
  BasicStatus(Ok) {}
  BasicStatus(E error) : err_(std::in_place, std::move(error)) {}
  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const& { return *err_; }
  E&& error() && { return std::move(*err_); }

 private:
  std::optional<E> err_;
};

}  // namespace korvel

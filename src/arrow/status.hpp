// The Arrow layer's own error and result types. The layer knows nothing of the library that uses
// it; its callers turn an Error into their own error type where they call in.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "result.hpp"

namespace korvel::arrow {

enum class ErrorCode : uint8_t {
  Invalid,         // an argument or a structure that breaks the Arrow format's rules
  OutOfMemory,     // an allocation failed
  NotImplemented,  // a valid type this layer does not handle
  Interface,       // a C Data / C Stream interface structure that cannot be taken over
};

class Error {
 public:
  Error(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}
  // The usual forms, whose messages start with the code's prefix ("Invalid argument error: ").
  static Error invalid(const std::string& text) {
    return Error(ErrorCode::Invalid, "Invalid argument error: " + text);
  }
  static Error out_of_memory(const std::string& text) {
    return Error(ErrorCode::OutOfMemory, "Memory error: " + text);
  }
  static Error not_implemented(const std::string& text) {
    return Error(ErrorCode::NotImplemented, "Not yet implemented: " + text);
  }
  static Error interface(const std::string& text) {
    return Error(ErrorCode::Interface, "C Data interface error: " + text);
  }

  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  ErrorCode code_;
  std::string message_;
};

// A value or an Error.
template <typename T>
using Result = BasicResult<T, Error>;

// Result of an operation that yields nothing but may fail.
using Status = BasicStatus<Error>;

}  // namespace korvel::arrow

// Propagation inside the Arrow layer: evaluate a Result/Status, return its Error.
#define KORVEL_ARROW_CONCAT_INNER(a, b) a##b
#define KORVEL_ARROW_CONCAT(a, b) KORVEL_ARROW_CONCAT_INNER(a, b)
#define ARROW_TRY(expr)                                                       \
  do {                                                                        \
    auto&& arrow_try_status_ = (expr);                                        \
    if (!arrow_try_status_.ok()) return std::move(arrow_try_status_).error(); \
  } while (0)
#define ARROW_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                \
  if (!tmp.ok()) return std::move(tmp).error();     \
  lhs = std::move(tmp).value()
#define ARROW_ASSIGN_OR_RETURN(lhs, expr) \
  ARROW_ASSIGN_OR_RETURN_IMPL(KORVEL_ARROW_CONCAT(arrow_result_, __LINE__), lhs, expr)

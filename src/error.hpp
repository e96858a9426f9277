// The library's one error type and the result type that carries it.
// Nothing in the library throws: fallible operations return Result<T>.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "result.hpp"

namespace korvel {

class SpssError {
 public:
  enum class Kind : uint8_t {
    Io,
    InvalidMagic,
    UnsupportedCompression,
    UnexpectedRecordType,
    InvalidVariable,
    Zlib,
    Arrow,
    TruncatedFile,
    InvalidValueLabel,
    Write,
  };

  static SpssError io(std::string text) { return SpssError(Kind::Io, std::move(text)); }
  // The text of an exact-length read that met the end of the input.
  static SpssError unexpected_eof() { return io("failed to fill whole buffer"); }
  // An operating-system error, described by its errno value.
  static SpssError os(int errno_value);
  static SpssError invalid_magic(std::array<uint8_t, 4> found);
  static SpssError unsupported_compression(int32_t code);
  static SpssError unexpected_record_type(int32_t record_type, uint64_t offset);
  static SpssError invalid_variable(std::string text) {
    return SpssError(Kind::InvalidVariable, std::move(text));
  }
  static SpssError zlib(std::string text) { return SpssError(Kind::Zlib, std::move(text)); }
  static SpssError arrow(std::string text) { return SpssError(Kind::Arrow, std::move(text)); }
  static SpssError truncated_file(uint64_t expected, uint64_t got);
  // The case data ended after `got` of the `expected` cases the header counts.
  static SpssError missing_cases(uint64_t expected, uint64_t got);
  static SpssError invalid_value_label(std::string text) {
    return SpssError(Kind::InvalidValueLabel, std::move(text));
  }
  static SpssError write(std::string text) { return SpssError(Kind::Write, std::move(text)); }

  Kind kind() const { return kind_; }
  // The payload text for the kinds that carry text (Io, InvalidVariable, Zlib, Arrow,
  // InvalidValueLabel, Write); for the others, the payload already formatted.
  const std::string& detail() const { return detail_; }
  // The display message: exactly the fixed text of the kind, nothing added.
  std::string message() const;

 private:
  SpssError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

// "[80, 75, 3, 4]": bytes as decimal numbers in square brackets.
std::string format_byte_list(const uint8_t* bytes, size_t n);

// A value or an SpssError.
template <typename T>
using Result = BasicResult<T, SpssError>;

// Result of an operation that yields nothing but may fail.
using Status = BasicStatus<SpssError>;

// The error that KORVEL_TRY and KORVEL_ASSIGN_OR_RETURN pass on. Errors of a layer with its own
// error type convert through an overload declared at that layer's boundary (arrow_errors.hpp).
inline SpssError&& propagated_error(SpssError&& e) {
  return std::move(e);
}
inline SpssError propagated_error(const SpssError& e) {
  return e;
}

}  // namespace korvel

// Propagation helpers: evaluate a Result/Status, return its error from the enclosing function.
#define KORVEL_CONCAT_INNER(a, b) a##b
#define KORVEL_CONCAT(a, b) KORVEL_CONCAT_INNER(a, b)
#define KORVEL_TRY(expr)                                                        \
  do {                                                                          \
    auto&& korvel_try_status_ = (expr);                                         \
    if (!korvel_try_status_.ok())                                               \
      return ::korvel::propagated_error(std::move(korvel_try_status_).error()); \
  } while (0)
#define KORVEL_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)                        \
  auto tmp = (expr);                                                        \
  if (!tmp.ok()) return ::korvel::propagated_error(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
#define KORVEL_ASSIGN_OR_RETURN(lhs, expr) \
  KORVEL_ASSIGN_OR_RETURN_IMPL(KORVEL_CONCAT(korvel_result_, __LINE__), lhs, expr)

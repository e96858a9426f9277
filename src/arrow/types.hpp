// Arrow data types as far as this library produces or consumes them, with their C Data Interface
// format strings, plus fields and schemas. Types we only need to recognise (nested, decimal,
// interval, fixed-size binary, ...) are kept as Other with their format string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/status.hpp"

namespace korvel::arrow {

enum class TypeId : uint8_t {
  Null,
  Boolean,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Utf8,
  LargeUtf8,
  Utf8View,
  Binary,
  LargeBinary,
  BinaryView,
  Date32,
  Date64,
  Time32,
  Time64,
  Timestamp,
  Duration,
  Other,
};

enum class TimeUnit : uint8_t { Second, Millisecond, Microsecond, Nanosecond };

struct DataType {
  TypeId id = TypeId::Null;
  TimeUnit unit = TimeUnit::Second;  // Time32, Time64, Timestamp, Duration
  std::string timezone;              // Timestamp; empty: none
  std::string format;                // Other: the format string as given

  DataType() = default;
  DataType(TypeId i) : id(i) {}  // NOLINT: a bare id is a complete description of most types
  static DataType timestamp(TimeUnit u, std::string tz = {}) {
    DataType t(TypeId::Timestamp);
    t.unit = u;
    t.timezone = std::move(tz);
    return t;
  }
  static DataType duration(TimeUnit u) {
    DataType t(TypeId::Duration);
    t.unit = u;
    return t;
  }
  static DataType time(TimeUnit u) {
    DataType t(u == TimeUnit::Second || u == TimeUnit::Millisecond ? TypeId::Time32
                                                                   : TypeId::Time64);
    t.unit = u;
    return t;
  }

  bool operator==(const DataType&) const = default;
};

// Bytes per value of a fixed-width type; 0 for the others (Boolean is bit-packed).
int byte_width(TypeId id);
bool is_binary_like(TypeId id);  // Utf8, LargeUtf8, Binary, LargeBinary
bool is_view(TypeId id);         // Utf8View, BinaryView
bool is_text(TypeId id);         // Utf8, LargeUtf8, Utf8View

// Parses a C Data Interface format string. Recognised but unmodelled types become Other;
// strings that name no Arrow type are an error.
Result<DataType> parse_format(std::string_view format);
// The format string of a type (Other: as parsed).
std::string format_string(const DataType& type);
// Display text of a type: "Int64", "Utf8View", "Timestamp(Microsecond, None)",
// "Timestamp(Millisecond, Some(\"UTC\"))", "Duration(Microsecond)", ...
std::string to_string(const DataType& type);

struct Field {
  std::string name;
  DataType type;
  bool nullable = true;
  bool operator==(const Field&) const = default;
};

// A list of fields; no metadata.
struct Schema {
  std::vector<Field> fields;
  bool operator==(const Schema&) const = default;
};

}  // namespace korvel::arrow

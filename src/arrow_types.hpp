// The Arrow type of a column, decided from its storage and its print format type.
#pragma once

#include <cstdint>
#include <string_view>

#include <optional>

#include "arrow/temporal.hpp"
#include "constants.hpp"

namespace korvel {

// The Arrow types a column can get.
enum class ColumnType : uint8_t {
  Float64,      // numeric, no temporal format
  String,       // Utf8View
  Date32,       // days since 1970-01-01
  TimestampUs,  // microseconds since 1970-01-01 00:00:00, no time zone
  DurationUs,   // microseconds
};

// Strings are String whatever their format; numeric columns follow the print format's type
// code: date formats give Date32, TIME/DTIME/MTIME Duration, DATETIME/YMDHMS Timestamp, and
// every other code (WKDAY, MONTH, 0 for no valid format, codes above 41) Float64.
ColumnType column_type(const VarType& storage, uint8_t print_format_type);

// The conversion a column's SPSS seconds need; nothing for Float64 and String.
std::optional<arrow::TemporalKind> temporal_kind(ColumnType type);

// The type's name in the metadata's arrow_data_types map: "f64", "String", "Date32",
// "Timestamp[us]", "Duration[us]".
std::string_view arrow_data_type_name(ColumnType type);

}  // namespace korvel

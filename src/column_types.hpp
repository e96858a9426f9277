// The Arrow type of a column, decided from its storage and its print format type: the one
// rule every schema, column builder and type name of the reading side follows.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "arrow/temporal.hpp"
#include "arrow/types.hpp"
#include "constants.hpp"
#include "variable.hpp"

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
ColumnType column_type(const VariableRecord& column);

// The Arrow data type of a column type.
arrow::DataType arrow_type(ColumnType type);

// The Arrow field of a column: its name, its type, nullable.
arrow::Field column_field(const VariableRecord& column);

// The conversion a column's SPSS seconds need; nothing for Float64 and String.
std::optional<arrow::TemporalKind> temporal_kind(ColumnType type);

// The type's name in the metadata's arrow_data_types map: "f64", "String", "Date32",
// "Timestamp[us]", "Duration[us]".
std::string_view arrow_data_type_name(ColumnType type);

// The batch reader's name of a column's Arrow type: "Float64", "Date", "Datetime",
// "Duration", "String", or "Unknown" for any other Arrow type.
std::string_view schema_type_name(const arrow::DataType& type);

}  // namespace korvel

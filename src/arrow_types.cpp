#include "arrow_types.hpp"

namespace korvel {

ColumnType column_type(const VarType& storage, uint8_t print_format_type) {
  if (storage.is_string) return ColumnType::String;
  if (is_date_format(print_format_type)) return ColumnType::Date32;
  if (is_duration_format(print_format_type)) return ColumnType::DurationUs;
  if (is_datetime_format(print_format_type)) return ColumnType::TimestampUs;
  return ColumnType::Float64;
}

std::optional<arrow::TemporalKind> temporal_kind(ColumnType type) {
  switch (type) {
    case ColumnType::Date32:
      return arrow::TemporalKind::Date;
    case ColumnType::TimestampUs:
      return arrow::TemporalKind::Timestamp;
    case ColumnType::DurationUs:
      return arrow::TemporalKind::Duration;
    case ColumnType::Float64:
    case ColumnType::String:
      break;
  }
  return std::nullopt;
}

std::string_view arrow_data_type_name(ColumnType type) {
  switch (type) {
    case ColumnType::Float64:
      return "f64";
    case ColumnType::String:
      return "String";
    case ColumnType::Date32:
      return "Date32";
    case ColumnType::TimestampUs:
      return "Timestamp[us]";
    case ColumnType::DurationUs:
      return "Duration[us]";
  }
  return "f64";
}

}  // namespace korvel

#include "column_types.hpp"

namespace korvel {

ColumnType column_type(const VarType& storage, uint8_t print_format_type) {
  if (storage.is_string) return ColumnType::String;
  if (is_date_format(print_format_type)) return ColumnType::Date32;
  if (is_duration_format(print_format_type)) return ColumnType::DurationUs;
  if (is_datetime_format(print_format_type)) return ColumnType::TimestampUs;
  return ColumnType::Float64;
}

ColumnType column_type(const VariableRecord& column) {
  return column_type(column.var_type, column.print_format.format_type);
}

arrow::DataType arrow_type(ColumnType type) {
  switch (type) {
    case ColumnType::String:
      return arrow::TypeId::Utf8View;
    case ColumnType::Date32:
      return arrow::TypeId::Date32;
    case ColumnType::TimestampUs:
      return arrow::DataType::timestamp(arrow::TimeUnit::Microsecond);
    case ColumnType::DurationUs:
      return arrow::DataType::duration(arrow::TimeUnit::Microsecond);
    case ColumnType::Float64:
      break;
  }
  return arrow::TypeId::Float64;
}

arrow::Field column_field(const VariableRecord& column) {
  return arrow::Field{column.name, arrow_type(column_type(column)), true};
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

std::string_view schema_type_name(const arrow::DataType& type) {
  switch (type.id) {
    case arrow::TypeId::Float64:
      return "Float64";
    case arrow::TypeId::Date32:
      return "Date";
    case arrow::TypeId::Timestamp:
      return "Datetime";
    case arrow::TypeId::Duration:
      return "Duration";
    case arrow::TypeId::Utf8View:
      return "String";
    default:
      return "Unknown";
  }
}

}  // namespace korvel

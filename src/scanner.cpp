#include "scanner.hpp"

#include <algorithm>
#include <limits>

#include "arrow_types.hpp"
#include "case_source.hpp"
#include "columnar.hpp"

namespace korvel {

namespace {

constexpr size_t kChunkBytes = 268435456;
constexpr size_t kMinChunkRows = 1024;
constexpr size_t kMaxFirstAllocation = 1000000;
constexpr size_t kUnknownCaseHint = 1000;

arrow::DataType arrow_type(ColumnType t) {
  switch (t) {
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

ColumnType type_of(const VariableRecord& v) {
  return column_type(v.var_type, v.print_format.format_type);
}

}  // namespace

arrow::Field column_field(const VariableRecord& column) {
  return arrow::Field{column.name, arrow_type(type_of(column)), true};
}

std::shared_ptr<const arrow::Schema> build_schema(const std::vector<VariableRecord>& columns) {
  auto schema = std::make_shared<arrow::Schema>();
  for (const auto& c : columns) schema->fields.push_back(column_field(c));
  return schema;
}

std::string_view schema_type_string(const arrow::DataType& type) {
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

size_t batch_capacity(size_t max_rows, int32_t ncases) {
  // The header's case count only sizes the first allocation: the data end where they end, also
  // when a writer stored 0 or -1 there.
  size_t hint = ncases > 0 ? static_cast<size_t>(ncases) : kUnknownCaseHint;
  return std::min({max_rows, hint, kMaxFirstAllocation});
}

size_t chunk_row_count(size_t row_bytes, size_t capacity) {
  size_t rows = std::max(row_bytes ? kChunkBytes / row_bytes : kMinChunkRows, kMinChunkRows);
  return std::max<size_t>(std::min(rows, capacity), 1);
}

SavScanner::~SavScanner() = default;

Result<std::unique_ptr<SavScanner>> SavScanner::open(std::unique_ptr<BufferedReader> source,
                                                     size_t batch_size) {
  SavReader reader(std::move(source));
  KORVEL_ASSIGN_OR_RETURN(FileHeader header, read_file_header(reader));
  KORVEL_ASSIGN_OR_RETURN(RawDictionary raw, parse_dictionary(reader, header));
  std::unique_ptr<SavScanner> s(new SavScanner());
  s->dict_ = resolve_dictionary(std::move(raw));
  s->batch_size = batch_size;
  KORVEL_ASSIGN_OR_RETURN(s->source_, open_case_source(reader, s->dict_.header));
  return s;
}

Status SavScanner::select(const std::vector<std::string>& names) {
  std::vector<size_t> selection;
  selection.reserve(names.size());
  const auto& columns = dict_.variables;
  for (const auto& name : names) {
    auto it = std::find_if(columns.begin(), columns.end(),
                           [&](const VariableRecord& v) { return v.name == name; });
    if (it == columns.end()) {
      return SpssError::invalid_variable("column not found: " + quote_escaped(name));
    }
    selection.push_back(static_cast<size_t>(it - columns.begin()));
  }
  selection_ = std::move(selection);
  return Ok{};
}

std::vector<size_t> SavScanner::projected_columns() const {
  if (selection_) return *selection_;
  std::vector<size_t> all(dict_.variables.size());
  for (size_t i = 0; i < all.size(); ++i) all[i] = i;
  return all;
}

std::shared_ptr<const arrow::Schema> SavScanner::projected_schema() const {
  auto schema = std::make_shared<arrow::Schema>();
  for (size_t i : projected_columns()) schema->fields.push_back(column_field(dict_.variables[i]));
  return schema;
}

Result<std::optional<arrow::RecordBatch>> SavScanner::read_batch_columnar(size_t max_rows) {
  if (max_rows == 0) return std::optional<arrow::RecordBatch>();
  const size_t slots_per_row = dict_.slots_per_row;
  const size_t row_bytes = slots_per_row * 8;
  // No more rows than the data could still hold: a header that claims 2^31 cases must not
  // reserve a million rows in each of a few thousand columns of a file of a few kilobytes.
  size_t capacity = batch_capacity(max_rows, dict_.header.ncases);
  if (row_bytes > 0) {
    capacity = std::min(capacity, std::max<size_t>(source_->max_rows_left(slots_per_row), 1));
  }
  ColumnarBatchBuilder builder(dict_.encoding, dict_.header.swap_bytes);
  for (size_t i : projected_columns()) {
    const VariableRecord& v = dict_.variables[i];
    ColumnType t = type_of(v);
    bool dedup = v.var_type.is_string && dict_.metadata.variable_value_labels.contains(v.name);
    KORVEL_TRY(builder.add_column(column_field(v),
                                  ColumnMapping::make(v.var_type, v.slot_index, v.n_segments),
                                  dedup, temporal_kind(t), capacity));
  }

  if (row_bytes > 0) {
    const size_t chunk_rows = chunk_row_count(row_bytes, capacity);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunk_rows * row_bytes]);
    size_t wanted = max_rows;
    while (wanted > 0) {
      size_t ask = std::min(wanted, chunk_rows);
      KORVEL_ASSIGN_OR_RETURN(size_t got, source_->read_rows(chunk.get(), ask, slots_per_row));
      if (got > 0)
        KORVEL_TRY(builder.push_raw_chunk(chunk.get(), got * row_bytes, got, slots_per_row));
      wanted -= got;
      if (got < ask) break;
    }
  }
  if (builder.rows() == 0) return std::optional<arrow::RecordBatch>();
  KORVEL_ASSIGN_OR_RETURN(arrow::RecordBatch batch, builder.finish());
  return std::optional<arrow::RecordBatch>(std::move(batch));
}

}  // namespace korvel

#include "scanner.hpp"

#include <algorithm>
#include <limits>

#include "case_source.hpp"
#include "column_types.hpp"
#include "columnar.hpp"
#include "sav_format.hpp"

namespace korvel {

namespace {

constexpr size_t kChunkBytes = 268435456;
constexpr size_t kMinChunkRows = 1024;
constexpr size_t kMaxFirstAllocation = 1000000;
constexpr size_t kUnknownCaseHint = 1000;

}  // namespace

size_t batch_capacity(size_t max_rows, int32_t ncases) {
  // A positive case count bounds the rows; 0 and -1 (not recorded) leave it to the data, and a
  // guess of 1000 sizes the first allocation.
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
  s->progress.batch_size = batch_size;
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
  // No more rows than the data could still hold: a header that claims 2^31 cases must not
  // reserve a million rows in each of a few thousand columns of a file of a few kilobytes.
  size_t capacity = batch_capacity(max_rows, dict_.header.ncases);
  if (dict_.slots_per_row > 0) {
    capacity = std::min(capacity, std::max<size_t>(source_->max_rows_left(dict_.slots_per_row), 1));
  }

  ColumnarBatchBuilder builder(dict_.encoding, dict_.header.swap_bytes);
  for (size_t i : projected_columns()) {
    const VariableRecord& v = dict_.variables[i];
    bool dedup = v.var_type.is_string && dict_.metadata.variable_value_labels.contains(v.name);
    KORVEL_TRY(builder.add_column(column_field(v),
                                  ColumnMapping::make(v.var_type, v.slot_index, v.n_segments),
                                  dedup, temporal_kind(column_type(v)), capacity));
  }
  KORVEL_TRY(fill(builder, max_rows, capacity));
  if (builder.rows() == 0) return std::optional<arrow::RecordBatch>();
  KORVEL_ASSIGN_OR_RETURN(arrow::RecordBatch batch, builder.finish());
  return std::optional<arrow::RecordBatch>(std::move(batch));
}

Status SavScanner::fill(ColumnarBatchBuilder& builder, size_t max_rows, size_t capacity) {
  const size_t slots_per_row = dict_.slots_per_row;
  const size_t row_bytes = slots_per_row * sav::kSlotBytes;
  if (row_bytes == 0) return Ok{};
  // A positive case count is the number of cases: nothing after them is case data. -1 and 0
  // leave the end to the data.
  const int32_t ncases = dict_.header.ncases;
  size_t wanted = max_rows;
  if (ncases > 0) {
    const auto left = static_cast<uint64_t>(ncases) - std::min<uint64_t>(cases_decoded_, ncases);
    wanted = static_cast<size_t>(std::min<uint64_t>(wanted, left));
  }
  // Never more rows than the data could still hold, so a hostile row width cannot make the
  // buffer outgrow the file.
  size_t chunk_rows = std::min(chunk_row_count(row_bytes, capacity),
                               std::max<size_t>(source_->max_rows_left(slots_per_row), 1));
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunk_rows * row_bytes]);
  while (wanted > 0) {
    size_t ask = std::min(wanted, chunk_rows);
    KORVEL_ASSIGN_OR_RETURN(size_t got, source_->read_rows(chunk.get(), slots_per_row, ask));
    cases_decoded_ += got;
    if (got > 0) {
      KORVEL_TRY(builder.push_raw_chunk(chunk.get(), got * row_bytes, got, slots_per_row));
    }
    wanted -= got;
    if (got < ask) {
      if (ncases > 0)
        return SpssError::missing_cases(static_cast<uint64_t>(ncases), cases_decoded_);
      break;
    }
  }
  return Ok{};
}

}  // namespace korvel

// The streaming reader of a system file: opens it (header, dictionary, resolution, case-data
// source) and delivers the rows of the projected columns as Arrow record batches.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/record_batch.hpp"
#include "dictionary.hpp"
#include "error.hpp"
#include "io_utils.hpp"

namespace korvel {

class CaseSource;

class SavScanner {
 public:
  // Reads everything up to the case data from `reader` (positioned at offset 0) and prepares
  // the case-data source. `batch_size` is kept for the batch reader; 0 for metadata reads.
  static Result<std::unique_ptr<SavScanner>> open(std::unique_ptr<BufferedReader> reader,
                                                  size_t batch_size);
  ~SavScanner();

  // Projects later batches onto the named columns, in the given order (repeats allowed). An
  // unknown name fails and leaves the projection as it was.
  Status select(const std::vector<std::string>& names);

  // Up to `max_rows` further rows of the projected columns; nothing at the end of the data
  // or for max_rows 0.
  Result<std::optional<arrow::RecordBatch>> read_batch_columnar(size_t max_rows);

  const ResolvedDictionary& dictionary() const { return dict_; }
  const SpssMetadata& metadata() const { return dict_.metadata; }
  // The fields of the projected columns (all columns without a projection).
  std::shared_ptr<const arrow::Schema> projected_schema() const;
  // Indexes of the projected columns.
  std::vector<size_t> projected_columns() const;

  // Bookkeeping of the Python layer.
  std::optional<size_t> row_limit;
  size_t batch_size = 0;
  size_t rows_read = 0;
  bool exhausted = false;

 private:
  SavScanner() = default;

  ResolvedDictionary dict_;
  std::optional<std::vector<size_t>> selection_;
  std::unique_ptr<CaseSource> source_;
};

// Rows the column builders first make room for: the request, bounded by the header's case
// count (1000 when it is unknown or 0) and by 1,000,000.
size_t batch_capacity(size_t max_rows, int32_t ncases);
// Rows of one chunk of raw rows: 256 MiB of rows, at least 1024, at most the capacity.
size_t chunk_row_count(size_t row_bytes, size_t capacity);

// The Arrow field of a column by the column type rule.
arrow::Field column_field(const VariableRecord& column);
// The schema of all columns, in dictionary order.
std::shared_ptr<const arrow::Schema> build_schema(const std::vector<VariableRecord>& columns);

}  // namespace korvel

namespace korvel {
// The batch reader's name of a column type: "Float64", "Date", "Datetime", "Duration",
// "String", or "Unknown" for any other Arrow type.
std::string_view schema_type_string(const arrow::DataType& type);
}  // namespace korvel

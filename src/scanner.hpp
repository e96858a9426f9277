// The streaming reader of a system file: opens it (header, dictionary, resolution, case-data
// source) and delivers the rows of the projected columns as Arrow record batches.
#pragma once

#include <algorithm>
#include <cstdint>
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
class ColumnarBatchBuilder;

// How far a reader has come through a file, and how much it still wants: kept by the Python
// layer in the scanner that it reads from.
struct ReadProgress {
  std::optional<size_t> row_limit;  // total rows the caller wants, counted from the start
  size_t batch_size = 0;            // most rows per batch of the batch reader
  size_t rows_read = 0;             // rows delivered so far
  bool exhausted = false;           // a read delivered no rows: the data have ended

  // Rows the limit still allows (all of them without a limit).
  size_t rows_wanted() const {
    if (!row_limit) return SIZE_MAX;
    return *row_limit > rows_read ? *row_limit - rows_read : 0;
  }
  // Rows the next batch asks for: what the limit allows, at most batch_size; 0 when there is
  // nothing more to ask for.
  size_t next_batch_rows() const { return exhausted ? 0 : std::min(rows_wanted(), batch_size); }
};

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
  ReadProgress progress;

 private:
  SavScanner() = default;
  // Decodes up to max_rows rows into the builder, chunk by chunk.
  Status fill(ColumnarBatchBuilder& builder, size_t max_rows, size_t capacity);

  ResolvedDictionary dict_;
  std::optional<std::vector<size_t>> selection_;
  std::unique_ptr<CaseSource> source_;
  // Cases taken from the source so far: a positive case count in the header ends the data
  // after that many.
  uint64_t cases_decoded_ = 0;
};

// Rows the column builders first make room for: the request, bounded by the header's case
// count (1000 when it is unknown or 0) and by 1,000,000.
size_t batch_capacity(size_t max_rows, int32_t ncases);
// Rows of one chunk of raw rows: 256 MiB of rows, at least 1024, at most the capacity.
size_t chunk_row_count(size_t row_bytes, size_t capacity);

}  // namespace korvel

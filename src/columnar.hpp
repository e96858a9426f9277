// Builds Arrow columns from chunks of raw case rows: one builder per projected column, filled
// column by column, on the thread pool for large chunks and wide rows.
#pragma once

#include <functional>
#include <memory>
#include <variant>
#include <vector>

#include "arrow/builders.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/temporal.hpp"
#include "constants.hpp"
#include "encoding/encoding.hpp"
#include "error.hpp"

namespace korvel {

struct ColumnMapping {
  VarType storage;
  size_t width = 0;                    // strings: bytes; 0 for numeric
  std::vector<size_t> segment_widths;  // very long strings: data bytes per 256-byte segment
  size_t first_slot = 0;
  size_t segment_count = 1;

  static ColumnMapping make(VarType storage, size_t first_slot, size_t segment_count);
};

using ColBuilder = std::variant<arrow::Float64Builder, arrow::StringViewBuilder>;

// Appends one string value of `row` to `builder`: the variable's bytes (segments joined
// without their padding), trailing blanks and NULs removed, decoded to UTF-8.
Status push_string_from_raw_slots(arrow::StringViewBuilder& builder, std::string& scratch,
                                  std::string& decoded, const uint8_t* row, size_t slots_per_row,
                                  const ColumnMapping& mapping, encoding::Encoding encoding);

class ColumnarBatchBuilder {
 public:
  // `swap_numeric`: numeric slots hold big-endian doubles (a big-endian file).
  ColumnarBatchBuilder(encoding::Encoding encoding, bool swap_numeric)
      : encoding_(encoding), swap_numeric_(swap_numeric) {}

  // Adds a column; `deduplicate` for strings with value labels; `temporal` for date, time and
  // date-time columns, converted when finishing. `capacity` sizes the first allocation.
  Status add_column(arrow::Field field, const ColumnMapping& mapping, bool deduplicate,
                    std::optional<arrow::TemporalKind> temporal, size_t capacity);

  // Appends `row_count` rows of `slots_per_row` 8-byte slots each. `beside`, when given, runs
  // on the thread pool together with the column tasks (the scanner decodes its next rows
  // there); an error of the columns comes before one of `beside`.
  Status push_raw_chunk(const uint8_t* rows, size_t byte_length, size_t row_count,
                        size_t slots_per_row, const std::function<Status()>& beside = {});

  size_t rows() const { return rows_; }
  // The record batch of everything appended (temporal columns converted).
  Result<arrow::RecordBatch> finish();

 private:
  // Columns [first, last) over one tile of rows, one after another.
  Status push_columns(size_t first, size_t last, const uint8_t* rows, size_t row_count,
                      size_t slots_per_row, std::string& scratch, std::string& decoded);
  Status push_column(size_t column, const uint8_t* rows, size_t row_count, size_t slots_per_row,
                     std::string& scratch, std::string& decoded);

  encoding::Encoding encoding_;
  bool swap_numeric_;
  std::vector<ColumnMapping> mappings_;
  std::vector<ColBuilder> builders_;
  std::vector<std::optional<arrow::TemporalKind>> temporal_;
  std::vector<arrow::Field> fields_;
  std::string scratch_, decoded_;
  size_t rows_ = 0;
};

}  // namespace korvel

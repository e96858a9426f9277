// Case data of a written file: rows of 8-byte slots assembled from the caller's Arrow columns
// in cache-sized pieces on the thread pool, then written uncompressed, bytecode-compressed or
// as zlib blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "arrow/record_batch.hpp"
#include "error.hpp"
#include "writer/layout.hpp"
#include "writer/output.hpp"

namespace korvel {

// The rows to write: the batches of one stream, in order, as one table.
struct WriteTable {
  std::shared_ptr<const arrow::Schema> schema;
  std::vector<arrow::RecordBatch> batches;
  uint64_t num_rows() const;
};

// How one column's values become slots; built once per batch and variable.
struct SlotSource {
  const arrow::ArrayData* array = nullptr;
  const arrow::ArrayData* dictionary = nullptr;  // values of a dictionary-encoded column
  double scale = 1.0;                            // numbers: value / scale + shift
  double shift = 0.0;
  bool days = false;  // Date32 days: (value + epoch days) * seconds per day
  const WriteVariable* variable = nullptr;
  // Fills the variable's slots of `n` rows starting at `first` (a row of the batch); `dst`
  // points at the variable's first slot of the first row, rows are `stride` bytes apart.
  void (*fill)(const SlotSource&, int64_t first, size_t n, uint8_t* dst, size_t stride) = nullptr;
};

// The sources of every variable for one batch; fails for a column type with no SPSS form.
Result<std::vector<SlotSource>> make_slot_sources(const arrow::RecordBatch& batch,
                                                  const CaseLayout& layout);

// Assembles rows [first, first + n) of the table into `rows` (n rows of the layout's size).
class RowAssembler {
 public:
  static Result<RowAssembler> make(const WriteTable& table, const CaseLayout& layout);
  void assemble(uint64_t first, size_t n, uint8_t* rows) const;
  size_t row_bytes() const { return row_bytes_; }
  // Rows assembled at a time: a bounded buffer whatever the row count and width.
  size_t chunk_rows() const;

 private:
  void assemble_range(uint64_t first, size_t n, uint8_t* rows) const;
  std::vector<std::vector<SlotSource>> sources_;  // per batch, per variable
  std::vector<uint64_t> batch_start_;             // first table row of each batch
  uint64_t rows_ = 0;
  size_t row_bytes_ = 0;
};

Status write_data_uncompressed(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows);
Status write_data_bytecode(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows);
Status write_data_zsav(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows, int level);

}  // namespace korvel

// A record batch: columns of equal length checked against a schema.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "arrow/array.hpp"
#include "arrow/status.hpp"
#include "arrow/types.hpp"

namespace korvel::arrow {

struct RecordBatch {
  std::shared_ptr<const Schema> schema;
  std::vector<ArrayRef> columns;
  int64_t num_rows = 0;

  int64_t num_columns() const { return static_cast<int64_t>(columns.size()); }
};

// Checks the column count, each column's type against its field, equal lengths, and that
// non-nullable fields hold no nulls. Without columns the row count must be given.
Result<RecordBatch> make_record_batch(std::shared_ptr<const Schema> schema,
                                      std::vector<ArrayRef> columns,
                                      std::optional<int64_t> row_count = std::nullopt);

// A batch of 0 rows with an empty array per field.
RecordBatch make_empty_record_batch(std::shared_ptr<const Schema> schema);

}  // namespace korvel::arrow

#include "arrow/record_batch.hpp"

#include <string>

namespace korvel::arrow {

Result<RecordBatch> make_record_batch(std::shared_ptr<const Schema> schema,
                                      std::vector<ArrayRef> columns,
                                      std::optional<int64_t> row_count) {
  if (!schema) return Error::invalid("a record batch needs a schema");
  if (columns.size() != schema->fields.size())
    return Error::invalid("number of columns(" + std::to_string(columns.size()) +
                          ") must match number of fields(" + std::to_string(schema->fields.size()) +
                          ") in schema");
  if (columns.empty() && !row_count)
    return Error::invalid("must either specify a row count or at least one column");
  const int64_t rows = row_count ? *row_count : (columns[0] ? columns[0]->length : 0);
  if (rows < 0) return Error::invalid("row count must not be negative");
  for (size_t i = 0; i < columns.size(); ++i) {
    const Field& f = schema->fields[i];
    if (!columns[i]) return Error::invalid("column '" + f.name + "' is missing");
    const ArrayData& c = *columns[i];
    if (!(c.type == f.type))
      return Error::invalid("column types must match schema types, expected " + to_string(f.type) +
                            " but found " + to_string(c.type) + " at column index " +
                            std::to_string(i));
    if (c.length != rows)
      return Error::invalid("all columns in a record batch must have the same length");
    if (!f.nullable && c.null_count > 0)
      return Error::invalid("Column '" + f.name +
                            "' is declared as non-nullable but contains null values");
  }
  return RecordBatch{std::move(schema), std::move(columns), rows};
}

RecordBatch make_empty_record_batch(std::shared_ptr<const Schema> schema) {
  RecordBatch b;
  for (const Field& f : schema->fields) b.columns.push_back(make_empty_array(f.type));
  b.schema = std::move(schema);
  return b;
}

}  // namespace korvel::arrow

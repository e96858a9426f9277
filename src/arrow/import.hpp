// Import of another producer's data through the Arrow C Data and C Stream interfaces. Imported
// arrays point into the producer's buffers and keep its structure alive: the producer's release
// callback runs once, when the last array (and buffer) of a batch is dropped. Structure and
// offsets are checked on import, so reading values afterwards stays inside the buffers.
// Columns of types we do not model (Other) carry only their type, length and null count.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "arrow/c_abi.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/status.hpp"
#include "arrow/types.hpp"

namespace korvel::arrow {

// Takes over the schema (released before returning). The root must be a struct.
Result<Schema> import_schema(ArrowSchema* schema);

// Takes over the struct array (the caller's structure is marked released, even on failure) and
// makes a batch of it with the given schema.
Result<RecordBatch> import_record_batch(ArrowArray* array, std::shared_ptr<const Schema> schema);

// Reads a C stream batch by batch; the stream is released when the reader is dropped.
class ArrowStreamReader {
 public:
  // Takes over the stream (the caller's structure is marked released) and reads its schema.
  static Result<ArrowStreamReader> open(ArrowArrayStream* stream);

  const std::shared_ptr<const Schema>& schema() const { return schema_; }
  // The next batch, or no batch at the end of the stream.
  Result<std::optional<RecordBatch>> next();

 private:
  struct Release {
    void operator()(ArrowArrayStream* s) const;
  };
  std::unique_ptr<ArrowArrayStream, Release> stream_;
  std::shared_ptr<const Schema> schema_;
};

struct ImportedStream {
  std::shared_ptr<const Schema> schema;
  std::vector<RecordBatch> batches;
};

// The whole stream: its schema and every batch until its end.
Result<ImportedStream> import_stream(ArrowArrayStream* stream);

}  // namespace korvel::arrow

// Export through the Arrow C Data and C Stream interfaces. The exported structures share our
// buffers (nothing is copied) and keep them alive until their release callbacks run, which may
// happen on any thread; the callbacks are plain C++ and never touch Python.
#pragma once

#include <memory>
#include <vector>

#include "arrow/array.hpp"
#include "arrow/c_abi.hpp"
#include "arrow/record_batch.hpp"
#include "arrow/status.hpp"
#include "arrow/types.hpp"

namespace korvel::arrow {

// The schema as a struct type ("+s") with one child per field. On failure `out` is untouched.
Status export_schema(const Schema& schema, ArrowSchema* out);
// One array of a type we can describe (not Other).
Status export_array(const ArrayRef& array, ArrowArray* out);
// The batch as a struct array whose children are its columns.
Status export_record_batch(const RecordBatch& batch, ArrowArray* out);
// A stream yielding the batches in order, then the end of stream. Every batch must have the
// stream's schema.
Status export_stream(std::shared_ptr<const Schema> schema, std::vector<RecordBatch> batches,
                     ArrowArrayStream* out);

}  // namespace korvel::arrow

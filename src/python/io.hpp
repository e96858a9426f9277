// The reading and writing entry points of the module and the data-carrying classes.
#pragma once

#include "arrow/record_batch.hpp"
#include "python/binding.hpp"

namespace korvel::py {

PyObject* read_sav_function();
PyObject* read_sav_meta_function();
PyObject* write_sav_function();
PyObject* arrow_data_type();
PyObject* batch_reader_type();
// Moves a record batch into a new _ArrowData.
PyObject* wrap_batch(arrow::RecordBatch batch);

}  // namespace korvel::py

// Import of a C stream whose columns may be dictionary-encoded (polars Categorical and Enum,
// pandas category) or decimal. A dictionary-encoded column keeps its indices (the field's type
// is the index type) and each array carries its dictionary; a decimal column becomes Float64,
// each value the nearest binary64.
#pragma once

#include "arrow/import.hpp"

namespace korvel::arrow {

// `schema_failed` (when given) tells whether a failure came while reading the schema rather
// than a batch.
Result<ImportedStream> import_stream_with_dictionaries(ArrowArrayStream* stream,
                                                       bool* schema_failed = nullptr);

}  // namespace korvel::arrow

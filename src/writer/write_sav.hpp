// Writing one complete system file: metadata completed with defaults, validated against the
// columns, laid out, and the dictionary and case data written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "arrow/types.hpp"
#include "constants.hpp"
#include "error.hpp"
#include "metadata.hpp"
#include "writer/data.hpp"
#include "writer/output.hpp"

namespace korvel {

// The values a column holds: its field's type, or for a dictionary-encoded column the type of
// its dictionary.
std::vector<arrow::DataType> column_value_types(const WriteTable& table);

// Metadata for a table written without any: per column its name, default format, measure,
// alignment, storage width, display width 8 and Arrow type text.
Result<SpssMetadata> default_metadata(const WriteTable& table);

// Writes the file; validation fails before any byte reaches `writer`. The writer is flushed
// and released (closing its file) before returning.
Status write_sav_to_writer(std::unique_ptr<BufferedWriter> writer, const WriteTable& table,
                           const SpssMetadata& metadata, Compression compression,
                           std::optional<uint32_t> compression_level);

}  // namespace korvel

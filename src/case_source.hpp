// The case-data source of an open file: rows of 8-byte slots from uncompressed, bytecode or
// zlib-compressed case data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "error.hpp"
#include "header.hpp"
#include "io_utils.hpp"

namespace korvel {

class CaseSource {
 public:
  virtual ~CaseSource() = default;
  // Decodes up to `max_rows` whole rows into `dst` (room for max_rows rows). Fewer rows than
  // asked for means the data have ended; later calls yield 0.
  virtual Result<size_t> read_rows(uint8_t* dst, size_t max_rows, size_t slots_per_row) = 0;
  // An upper bound of the rows the source can still yield, from the bytes it has left.
  virtual size_t max_rows_left(size_t slots_per_row) const = 0;
};

// Prepares the source for the header's compression, with `reader` just after the dictionary's
// termination record; the source takes over the reader's input.
Result<std::unique_ptr<CaseSource>> open_case_source(SavReader& reader, const FileHeader& header);

}  // namespace korvel

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

// Every source owns its input (the reader the file was opened with, or for bytecode files a
// descriptor of its own), so it stays valid for as long as the source lives, whatever happens
// to the SavReader that read the dictionary.
class CaseSource {
 public:
  virtual ~CaseSource() = default;
  // Decodes up to `max_rows` whole rows of `slots_per_row` slots into `dst` (room for max_rows
  // rows). Fewer rows than asked for means the data have ended; later calls yield 0.
  virtual Result<size_t> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) = 0;
  // An upper bound of the rows the source can still yield, from the bytes it has left.
  virtual size_t max_rows_left(size_t slots_per_row) const = 0;
};

// Prepares the source for the header's compression, with `reader` just after the dictionary's
// termination record; the source takes over the reader's input.
Result<std::unique_ptr<CaseSource>> open_case_source(SavReader& reader, const FileHeader& header);

// Uncompressed case data: reads up to max_rows whole rows of row_bytes bytes from the reader
// into dst; bytes of a final partial row are consumed and dropped. Fewer rows than asked for
// means end of data.
Result<size_t> read_uncompressed_rows(BufferedReader& reader, uint8_t* dst, size_t row_bytes,
                                      size_t max_rows);

}  // namespace korvel

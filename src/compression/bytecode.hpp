// Case data of .sav files: the bytecode row decoder, the bytecode case-data source and the
// reading of uncompressed rows.
//
// A case row is a run of 8-byte slots. Slots hold file-order bytes: the decoder writes every
// slot in the byte order of the file, so a numeric slot of a big-endian file is big-endian
// whatever code produced it (a raw value, a small integer code or system-missing). The column
// builder swaps numeric slots when the file is big-endian; string slots are never swapped.
//
// Bytecode stream: 8-byte command blocks of eight codes each, every block followed by the raw
// 8-byte values of its codes 253, in code order.
//   0        no slot (padding)
//   1..251   numeric slot holding code - bias
//   252      end of data
//   253      slot copied from the raw values after the block
//   254      blank slot (eight spaces)
//   255      system-missing slot
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "error.hpp"
#include "io_utils.hpp"
#include "sav_format.hpp"

namespace korvel {

using sav::kBlankBits;
using sav::kSlotBytes;
using sav::kSysmisBits;

// Where a decoder stands in its stream; kept across rows and across batch calls.
struct BytecodeState {
  // The bytes being decoded (not owned): the whole case data of a .sav file, or the window of
  // inflated blocks of a .zsav file. Positions count from data.
  const uint8_t* data = nullptr;
  size_t size = 0;
  // Next byte to read: the next command block, or the next raw value of the current one.
  size_t position = 0;
  std::array<uint8_t, 8> command_block{};
  // Next code of command_block to use; 8 when the block is used up.
  size_t command_index = 8;
  // The slot each code stands for, as a 64-bit pattern whose in-memory bytes are the slot in
  // file order: code - bias for 1..251, blank for 254, system-missing for 255; 0 otherwise.
  std::array<uint64_t, 256> value_table{};
  bool end_seen = false;

  // A fresh state (no data yet) for a file with this bias; `swap_bytes` when the file's byte
  // order is not the host's.
  static BytecodeState make(double bias, bool swap_bytes);
};

enum class DecodeOutcome : uint8_t {
  Complete,    // every requested row was written
  End,         // code 252: end_seen is set; a partial row after the last complete one is void
  OutOfInput,  // a command block was needed but fewer than 8 bytes remain
  Truncated,   // a code 253 found fewer than 8 raw bytes; see expected / got
};

struct DecodeResult {
  size_t rows = 0;           // complete rows written, the pre-filled one included
  size_t partial_slots = 0;  // slots of the incomplete row after them (OutOfInput, Truncated)
  DecodeOutcome outcome = DecodeOutcome::Complete;
  uint64_t expected = 0;  // Truncated: position + 8
  uint64_t got = 0;       // Truncated: the data's size
};

// Decodes up to max_rows rows of slots_per_row slots into dst (room for max_rows rows, laid
// out back to back). The first `filled_slots` slots of the first row are already in dst (a
// row resumed after more input arrived); they count towards it.
//
// On OutOfInput and Truncated the state stands exactly where input ran short (a truncated
// code 253 is not consumed), so that once more bytes follow the current position the call can
// be repeated with dst advanced by `rows` rows and filled_slots = partial_slots. With no
// bytes added, a repeat finds the same shortage at once.
// A slots_per_row of 0 yields no rows (OutOfInput) and leaves the state as it is.
DecodeResult decode_rows(BytecodeState& state, uint8_t* dst, size_t slots_per_row, size_t max_rows,
                         size_t filled_slots = 0);

// One row: decode_rows with max_rows 1.
inline DecodeResult decode_row(BytecodeState& state, uint8_t* row, size_t slots_per_row) {
  return decode_rows(state, row, slots_per_row, 1);
}

// An upper bound of the rows a decoder can still produce from its data: every slot takes at
// least one code.
size_t bytecode_rows_left(const BytecodeState& state, size_t slots_per_row);

// What a batch read of a case-data source obtained.
struct RowsRead {
  size_t rows = 0;     // whole rows written to the destination
  bool ended = false;  // the data has ended: no later call yields rows
};

// Uncompressed case data: reads up to max_rows whole rows of row_bytes bytes from the reader
// into dst; bytes of a final partial row are consumed and dropped. Fewer rows than asked for
// means end of data.
Result<size_t> read_uncompressed_rows(BufferedReader& reader, uint8_t* dst, size_t row_bytes,
                                      size_t max_rows);

// Bytecode-compressed case data: the rest of the file, mapped or read into memory at open.
class BytecodeSource {
 public:
  enum class Load : uint8_t {
    Auto,  // map the file where possible, else read it
    Read,  // always read into memory
  };

  // Takes the case data from the reader's position to the end of its input. A file is mapped
  // read-only; a memory source, or a file that cannot be mapped, is copied (first the bytes
  // the reader holds, then the rest).
  static Result<BytecodeSource> open(BufferedReader& reader, double bias, bool swap_bytes,
                                     Load load = Load::Auto);

  BytecodeSource(BytecodeSource&& other) noexcept;
  BytecodeSource& operator=(BytecodeSource&& other) noexcept;
  BytecodeSource(const BytecodeSource&) = delete;
  BytecodeSource& operator=(const BytecodeSource&) = delete;
  ~BytecodeSource();

  // Decodes up to max_rows rows; a code 253 without its raw value is the truncated-file
  // error.
  Result<RowsRead> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows);

  // An upper bound of the rows still to come: every slot takes at least one code.
  size_t max_rows_left(size_t slots_per_row) const;

  BytecodeState& state() { return state_; }
  const BytecodeState& state() const { return state_; }
  bool mapped() const { return map_base_ != nullptr; }

 private:
  BytecodeSource() = default;
  void release();
  // Drops the mapped pages the decoder has moved past.
  void release_consumed_pages();

  BytecodeState state_;
  void* map_base_ = nullptr;  // the mapping, from a page boundary at or before the data
  size_t map_len_ = 0;
  size_t map_released_ = 0;   // bytes from map_base_ whose pages have been dropped
  uint8_t* owned_ = nullptr;  // the copy, when not mapped
};

}  // namespace korvel

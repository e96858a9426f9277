// Case data of .sav files: the bytecode row decoder and the bytecode case-data source.
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
#include <memory>

#include "case_source.hpp"
#include "error.hpp"
#include "io_utils.hpp"
#include "sav_format.hpp"

namespace korvel {

using sav::kBlankBits;
using sav::kSlotBytes;
using sav::kSysmisBits;

// Bytes of bytecode read from the file at a time. A 1,000,000-row, 406 MB bytecode file read
// in 4.5 s with 8 MiB windows against 6.3 s from a mapping of the whole file (best of 3 each),
// at the same peak memory.
inline constexpr size_t kBytecodeWindowBytes = size_t{8} << 20;

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

// An upper bound of the rows a decoder can still produce from its data and from `more_bytes`
// bytes still to come: every slot takes at least one code byte.
size_t bytecode_rows_left(const BytecodeState& state, size_t slots_per_row,
                          uint64_t more_bytes = 0);

// Decodes up to max_rows rows, continuing a row across refills: whenever the decoder runs
// short of input, `refill()` (-> Result<bool>) appends bytes after the state's position and
// says whether it found any. Returns the rows written and the outcome that ended decoding
// (OutOfInput or Truncated once refill finds nothing more).
template <typename Refill>
Result<DecodeResult> decode_rows_refilling(BytecodeState& state, uint8_t* dst, size_t slots_per_row,
                                           size_t max_rows, Refill&& refill) {
  DecodeResult total;
  if (slots_per_row == 0 || max_rows == 0) return total;
  const size_t row_bytes = slots_per_row * kSlotBytes;
  size_t filled = 0;  // slots of the row in progress, carried over a refill
  for (;;) {
    if (state.end_seen) {
      total.outcome = DecodeOutcome::End;
      return total;
    }
    DecodeResult r = decode_rows(state, dst + total.rows * row_bytes, slots_per_row,
                                 max_rows - total.rows, filled);
    total.rows += r.rows;
    total.outcome = r.outcome;
    total.expected = r.expected;
    total.got = r.got;
    if (r.outcome == DecodeOutcome::Complete || r.outcome == DecodeOutcome::End) return total;
    KORVEL_ASSIGN_OR_RETURN(bool more, refill());
    if (!more) return total;
    filled = r.partial_slots;
  }
}

// An aligned block from the module's allocator.
struct FreeAligned {
  void operator()(uint8_t* p) const noexcept;
};
using AlignedBytes = std::unique_ptr<uint8_t, FreeAligned>;

// Bytecode-compressed case data, read from its reader in windows: the few unconsumed bytes of
// the previous window (less than one command block or raw value) followed by the next bytes
// of the file. The file is read, not mapped: a file that another process truncates while it
// is read then ends early (or fails as truncated) instead of faulting on a vanished page.
class BytecodeSource final : public CaseSource {
 public:
  // Takes over `reader`, positioned at the first byte of the case data. Nothing is read
  // before the first rows are asked for.
  BytecodeSource(std::unique_ptr<BufferedReader> reader, double bias, bool swap_bytes,
                 size_t window_bytes = kBytecodeWindowBytes);
  ~BytecodeSource() override;
  BytecodeSource(const BytecodeSource&) = delete;
  BytecodeSource& operator=(const BytecodeSource&) = delete;

  // A code 253 without its raw value is the truncated-file error, its counts from the start
  // of the case data.
  Result<size_t> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) override;
  size_t max_rows_left(size_t slots_per_row) const override;

  const BytecodeState& state() const { return state_; }

 private:
  // Moves the unconsumed tail to the front of the window and reads after it; false at the
  // end of the input.
  Result<bool> refill();
  // Up to n further bytes of the case data; 0 at the end of the input.
  Result<size_t> read_more(uint8_t* dst, size_t n);

  // The input: a file's own descriptor (read with pread), or else a memory reader.
  int fd_ = -1;
  std::unique_ptr<BufferedReader> reader_;
  uint64_t file_offset_ = 0;  // next byte of the file to read
  uint64_t file_size_ = 0;    // the file's size when it was opened
  BytecodeState state_;
  AlignedBytes window_;
  size_t window_capacity_ = 0;
  uint64_t window_offset_ = 0;  // bytes of case data before the window's first byte
};

}  // namespace korvel

// The block layer of .zsav files: the bytecode stream cut into blocks that are each one zlib
// stream, framed by a zheader after the dictionary and a ztrailer holding the block table.
// Integers of the zheader and ztrailer follow the file's byte order.
//
// Reading keeps one window of inflated bytes: the few unconsumed bytes of the previous block
// (less than one command block or raw value) followed by the newest block. A block is read and
// inflated only when the decoder runs short, and a row may span any number of blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "case_source.hpp"
#include "compression/bytecode.hpp"
#include "error.hpp"
#include "io_utils.hpp"
#include "sav_format.hpp"

namespace korvel {

inline constexpr size_t kZHeaderSize = sav::kZHeaderBytes;
inline constexpr size_t kZTrailerHeadSize = sav::kZTrailerHeadBytes;
inline constexpr size_t kZBlockEntrySize = sav::kZBlockEntryBytes;
// Deflate cannot expand its input more than about 1032 times: a block's declared size is only
// an upper bound, and what is allocated for it is bounded by what its stream can produce.
inline constexpr uint64_t kMaxInflateRatio = 1032;
inline constexpr uint64_t kInflateSlack = 4096;
// Output inflated ahead of the decoder, beyond the block it needs now.
inline constexpr uint64_t kInflateAheadBytes = uint64_t{64} << 20;

struct ZHeader {
  int64_t zheader_ofs = 0;
  int64_t ztrailer_ofs = 0;
  int64_t ztrailer_len = 0;
};

// One entry of the block table.
struct ZBlock {
  int64_t uncompressed_ofs = 0;
  int64_t compressed_ofs = 0;  // file offset of the block's zlib stream
  int32_t uncompressed_size = 0;
  int32_t compressed_size = 0;
};

struct ZTrailer {
  int64_t ztrailer_bias = 0;  // recorded by writers; decoding uses the header's bias
  int64_t ztrailer_zero = 0;
  int32_t block_size = 0;
  int32_t n_blocks = 0;
  std::vector<ZBlock> blocks;  // in stream order
};

// The zheader at the reader's position.
Result<ZHeader> read_zheader(SavReader& reader);

// The ztrailer at `ztrailer_ofs`, with its block table. A table that cannot lie inside the file
// fails with the I/O error before it is allocated; negative counts or sizes fail with the zlib
// error.
Result<ZTrailer> read_ztrailer(SavReader& reader, int64_t ztrailer_ofs);

// Checks the sizes of block `index` of a table (see read_ztrailer).
Status check_block_sizes(const ZBlock& block, size_t index);

// The bytes a block is inflated into: its declared uncompressed size, but never more than its
// compressed stream can produce.
size_t inflated_capacity(const ZBlock& block);

// Inflates one zlib stream in one call into exactly dst_size bytes; bytes the stream does not
// produce are set to 0.
Status inflate_block(const uint8_t* src, size_t src_size, uint8_t* dst, size_t dst_size);

// The case-data source of .zsav files. It owns the reader and reads the blocks' streams with
// pread (or, from memory, by seeking), so the reader's position does not matter to it.
class ZlibSource final : public CaseSource {
 public:
  // Reads the zheader at the reader's position, then the ztrailer, and inflates block 0; the
  // source then takes over the reader's input.
  static Result<ZlibSource> open(SavReader& reader, double bias);

  // Decodes up to max_rows rows, inflating further blocks as the decoder needs them. The data
  // ends at code 252 or when the blocks run out; a partial last row is dropped then.
  Result<size_t> read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) override;
  // From the window and the most the blocks not yet inflated can hold.
  size_t max_rows_left(size_t slots_per_row) const override;

  const ZHeader& zheader() const { return zheader_; }
  const ZTrailer& trailer() const { return trailer_; }
  const std::vector<ZBlock>& blocks() const { return trailer_.blocks; }
  size_t next_block() const { return next_block_; }
  const BytecodeState& state() const { return state_; }

 private:
  // A block inflated ahead of the decoder, behind kWindowRoom bytes of room for the tail of
  // the window before it; or the error that block gave, reported when the decoder reaches it.
  struct Inflated {
    AlignedBytes buffer;
    size_t capacity = 0;
    size_t size = 0;
    Status status;
  };
  static constexpr size_t kWindowRoom = 64;

  ZlibSource() = default;
  // Makes block next_block_ the window, behind the unconsumed tail of the previous one.
  Status refill(size_t max_ahead);
  // Reads the next blocks' streams (on this thread) and inflates them on the thread pool:
  // up to `max_ahead` blocks and, beyond the first, kInflateAheadBytes of output.
  void inflate_ahead(size_t max_ahead);

  std::unique_ptr<BufferedReader> reader_;
  ZHeader zheader_;
  ZTrailer trailer_;
  size_t next_block_ = 0;
  BytecodeState state_;
  AlignedBytes window_;
  size_t window_capacity_ = 0;
  std::deque<Inflated> ahead_;  // blocks next_block_, next_block_ + 1, ...
  // Windows the decoder has left, reused for later blocks: fresh memory would be faulted in
  // page by page again for every block.
  std::vector<std::pair<AlignedBytes, size_t>> spare_;
};

}  // namespace korvel

// The case data of a .zsav file: the bytecode stream cut into blocks that are deflated on the
// thread pool while the next blocks are produced, then the block table in the trailer.
#include <algorithm>
#include <new>

#include "compression/bytecode_encoder.hpp"
#include "compression/zlib_writer.hpp"
#include "sav_format.hpp"
#include "thread_pool.hpp"
#include "writer/data.hpp"

namespace korvel {

namespace {

// Rows encoded between checks of the stream's length, so a block is cut soon after it fills.
constexpr size_t kEncodeStepBytes = size_t{64} << 10;
constexpr int64_t kTrailerBias = -100;
constexpr size_t kMaxBlocksInFlight = 8;  // per group: at most 2 x 8 x 4 MiB of bytecode held

struct BlockEntry {
  int64_t uncompressed_offset;
  int64_t compressed_offset;
  int32_t uncompressed_size;
  int32_t compressed_size;
};

// Produces the bytecode stream a few blocks at a time.
class BlockProducer {
 public:
  BlockProducer(const RowAssembler& rows, uint64_t n_rows)
      : rows_(rows), n_rows_(n_rows), slots_(rows.row_bytes() / sav::kSlotBytes) {
    if (rows.row_bytes() > 0)
      chunk_.resize(static_cast<size_t>(std::min<uint64_t>(rows.chunk_rows(), n_rows)) *
                    rows.row_bytes());
  }

  bool done() const { return finished_; }

  // Up to `count` blocks of the stream, the last one possibly short.
  std::vector<ByteBuffer> next(size_t count) {
    std::vector<ByteBuffer> blocks;
    while (blocks.size() < count && !finished_) {
      if (next_row_ < n_rows_ && slots_ > 0) {
        encode_chunk(blocks, count);
      } else {
        enc_.write_eof();
        ended_ = true;
      }
      cut_blocks(blocks, ended_);
      if (ended_ && enc_.output().empty()) finished_ = true;
    }
    return blocks;
  }

 private:
  void encode_chunk(std::vector<ByteBuffer>& blocks, size_t count) {
    const size_t chunk_rows = chunk_.size() / rows_.row_bytes();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk_rows, n_rows_ - next_row_));
    rows_.assemble(next_row_, n, chunk_.data());
    next_row_ += n;
    const size_t step = std::max<size_t>(1, kEncodeStepBytes / rows_.row_bytes());
    for (size_t r = 0; r < n; r += step) {
      enc_.encode_rows(chunk_.data() + r * rows_.row_bytes(), std::min(step, n - r), slots_);
      cut_blocks(blocks, false);
    }
    (void)count;
  }

  // Moves full blocks (and with `all`, the rest) from the encoder's output into `blocks`.
  void cut_blocks(std::vector<ByteBuffer>& blocks, bool all) {
    ByteBuffer& out = enc_.output();
    size_t taken = 0;
    while (out.size() - taken >= sav::kZBlockSize || (all && taken < out.size())) {
      const size_t k = std::min(sav::kZBlockSize, out.size() - taken);
      blocks.emplace_back(out.begin() + static_cast<std::ptrdiff_t>(taken),
                          out.begin() + static_cast<std::ptrdiff_t>(taken + k));
      taken += k;
    }
    if (taken > 0) out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(taken));
  }

  const RowAssembler& rows_;
  const uint64_t n_rows_;
  const size_t slots_;
  ByteBuffer chunk_;
  BytecodeEncoder enc_;
  uint64_t next_row_ = 0;
  bool ended_ = false;
  bool finished_ = false;
};

Status write_trailer(SavWriteExt& out, const std::vector<BlockEntry>& entries) {
  KORVEL_TRY(out.write_i64_le(kTrailerBias));
  KORVEL_TRY(out.write_i64_le(0));
  KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(sav::kZBlockSize)));
  KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(entries.size())));
  for (const BlockEntry& e : entries) {
    KORVEL_TRY(out.write_i64_le(e.uncompressed_offset));
    KORVEL_TRY(out.write_i64_le(e.compressed_offset));
    KORVEL_TRY(out.write_i32_le(e.uncompressed_size));
    KORVEL_TRY(out.write_i32_le(e.compressed_size));
  }
  return Ok{};
}

}  // namespace

Status write_data_zsav(BufferedWriter& w, const RowAssembler& rows, uint64_t n_rows, int level) {
  SavWriteExt out(w);
  const uint64_t zheader = w.position();
  KORVEL_TRY(out.write_zero_padding(sav::kZHeaderBytes));
  // The pool deflates one group of blocks while the next is encoded: two blocks per thread
  // kept both threads of this machine busy; the cap bounds memory on many cores.
  const size_t group = std::min<size_t>(2 * ThreadPool::global().concurrency(), kMaxBlocksInFlight);
  BlockProducer producer(rows, n_rows);
  std::vector<ByteBuffer> current = producer.next(group);
  std::vector<BlockEntry> entries;
  int64_t uncompressed = static_cast<int64_t>(zheader);
  while (!current.empty()) {
    std::vector<ByteBuffer> following;
    std::vector<ByteBuffer> deflated(current.size());
    Status st = parallel_try_for(
        current.size() + 1,
        [&](size_t i) -> Status {
          // Pool tasks must not throw: a failed allocation becomes the write's error.
          try {
            if (i == 0) {
              if (!producer.done()) following = producer.next(group);
              return Ok{};
            }
            const auto& block = current[i - 1];
            KORVEL_ASSIGN_OR_RETURN(deflated[i - 1],
                                    zlib_compress_block(block.data(), block.size(), level));
            return Ok{};
          } catch (const std::bad_alloc&) {
            return SpssError::zlib("zlib compression error: out of memory");
          }
        },
        1);
    KORVEL_TRY(st);
    for (size_t i = 0; i < current.size(); ++i) {
      entries.push_back({uncompressed, static_cast<int64_t>(w.position()),
                         static_cast<int32_t>(current[i].size()),
                         static_cast<int32_t>(deflated[i].size())});
      uncompressed += static_cast<int64_t>(current[i].size());
      KORVEL_TRY(w.write(deflated[i].data(), deflated[i].size()));
    }
    current = std::move(following);
  }
  const uint64_t trailer = w.position();
  KORVEL_TRY(write_trailer(out, entries));
  const uint64_t end = w.position();
  KORVEL_TRY(w.seek(zheader));
  KORVEL_TRY(out.write_i64_le(static_cast<int64_t>(zheader)));
  KORVEL_TRY(out.write_i64_le(static_cast<int64_t>(trailer)));
  KORVEL_TRY(out.write_i64_le(static_cast<int64_t>(end - trailer)));
  return w.seek(end);
}

}  // namespace korvel

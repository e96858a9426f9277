#include "compression/zlib_blocks.hpp"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "memory/alloc.hpp"
#include "thread_pool.hpp"

namespace korvel {

namespace {

// An offset and length that must lie inside the input; anything else is read past its end.
Status check_in_file(int64_t offset, uint64_t length, uint64_t file_size) {
  if (offset < 0 || static_cast<uint64_t>(offset) > file_size ||
      length > file_size - static_cast<uint64_t>(offset)) {
    return SpssError::unexpected_eof();
  }
  return Ok{};
}

// Reads exactly n bytes at offset. A file is read with pread, so the reader's own buffer and
// position stay valid; a memory source is positioned and read.
Status read_at(BufferedReader& reader, uint64_t offset, uint8_t* dst, size_t n) {
  if (reader.fd() < 0) {
    KORVEL_TRY(reader.seek(offset));
    return reader.read_exact(dst, n);
  }
  while (n > 0) {
    ssize_t got = ::pread(reader.fd(), dst, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return SpssError::os(errno);
    }
    if (got == 0) return SpssError::unexpected_eof();
    dst += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return Ok{};
}

}  // namespace

Result<ZHeader> read_zheader(SavReader& reader) {
  ZHeader h;
  KORVEL_ASSIGN_OR_RETURN(h.zheader_ofs, reader.read_i64());
  KORVEL_ASSIGN_OR_RETURN(h.ztrailer_ofs, reader.read_i64());
  KORVEL_ASSIGN_OR_RETURN(h.ztrailer_len, reader.read_i64());
  return h;
}

Status check_block_sizes(const ZBlock& block, size_t index) {
  if (block.compressed_size < 0 || block.uncompressed_size < 0) {
    return SpssError::zlib("invalid block table: negative size in block " + std::to_string(index));
  }
  return Ok{};
}

size_t inflated_capacity(const ZBlock& block) {
  const auto most =
      static_cast<uint64_t>(std::max(block.compressed_size, 0)) * kMaxInflateRatio + kInflateSlack;
  return static_cast<size_t>(
      std::min(static_cast<uint64_t>(std::max(block.uncompressed_size, 0)), most));
}

Result<ZTrailer> read_ztrailer(SavReader& reader, int64_t ztrailer_ofs) {
  BufferedReader& src = reader.source();
  KORVEL_TRY(check_in_file(ztrailer_ofs, kZTrailerHeadSize, src.size()));
  KORVEL_TRY(src.seek(static_cast<uint64_t>(ztrailer_ofs)));
  ZTrailer t;
  KORVEL_ASSIGN_OR_RETURN(t.ztrailer_bias, reader.read_i64());
  KORVEL_ASSIGN_OR_RETURN(t.ztrailer_zero, reader.read_i64());
  KORVEL_ASSIGN_OR_RETURN(t.block_size, reader.read_i32());
  KORVEL_ASSIGN_OR_RETURN(t.n_blocks, reader.read_i32());
  if (t.n_blocks < 0) {
    return SpssError::zlib("invalid block table: negative block count " +
                           std::to_string(t.n_blocks));
  }
  const auto n = static_cast<size_t>(t.n_blocks);
  // The table must fit between its head and the end of the file before it is allocated.
  KORVEL_TRY(check_in_file(ztrailer_ofs + static_cast<int64_t>(kZTrailerHeadSize),
                           static_cast<uint64_t>(n) * kZBlockEntrySize, src.size()));
  std::vector<uint8_t> raw(n * kZBlockEntrySize);
  KORVEL_TRY(src.read_exact(raw.data(), raw.size()));
  t.blocks.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* e = raw.data() + i * kZBlockEntrySize;
    ZBlock& b = t.blocks[i];
    b.uncompressed_ofs = static_cast<int64_t>(reader.u64_from(e));
    b.compressed_ofs = static_cast<int64_t>(reader.u64_from(e + 8));
    b.uncompressed_size = static_cast<int32_t>(reader.u32_from(e + 16));
    b.compressed_size = static_cast<int32_t>(reader.u32_from(e + 20));
    KORVEL_TRY(check_block_sizes(b, i));
  }
  return t;
}

Status inflate_block(const uint8_t* src, size_t src_size, uint8_t* dst, size_t dst_size) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  int rc = inflateInit(&zs);
  if (rc != Z_OK) {
    return SpssError::zlib("single block decompression failed: deflate decompression error");
  }
  uint8_t no_room = 0;
  zs.next_in = const_cast<Bytef*>(src);
  zs.avail_in = static_cast<uInt>(src_size);
  zs.next_out = dst_size > 0 ? dst : &no_room;
  zs.avail_out = static_cast<uInt>(dst_size);
  rc = inflate(&zs, Z_FINISH);
  const size_t produced = dst_size - zs.avail_out;
  std::string msg = zs.msg != nullptr ? zs.msg : "";
  inflateEnd(&zs);
  switch (rc) {
    case Z_STREAM_END:
      // A stream shorter than declared leaves zeros, which decode as padding codes.
      if (produced < dst_size) std::memset(dst + produced, 0, dst_size - produced);
      return Ok{};
    case Z_OK:
    case Z_BUF_ERROR:
      return SpssError::zlib("single block decompression buffer too small");
    case Z_NEED_DICT:
      return SpssError::zlib(
          "single block decompression failed: deflate decompression error: requires a "
          "dictionary");
    default:
      if (msg.empty()) {
        return SpssError::zlib("single block decompression failed: deflate decompression error");
      }
      return SpssError::zlib("single block decompression failed: deflate decompression error: " +
                             msg);
  }
}

Result<ZlibSource> ZlibSource::open(SavReader& reader, double bias) {
  ZlibSource z;
  KORVEL_ASSIGN_OR_RETURN(z.zheader_, read_zheader(reader));
  KORVEL_ASSIGN_OR_RETURN(z.trailer_, read_ztrailer(reader, z.zheader_.ztrailer_ofs));
  z.state_ = BytecodeState::make(bias, reader.swap_bytes());
  z.reader_ = reader.release_source();
  // Only block 0 at open: a metadata read needs no more.
  if (!z.trailer_.blocks.empty()) KORVEL_TRY(z.refill(1));
  return z;
}

void ZlibSource::inflate_ahead(size_t max_ahead) {
  BufferedReader& reader = *reader_;
  std::vector<std::vector<uint8_t>> streams;
  const size_t first = ahead_.size();  // the read streams belong to ahead_[first], ...
  uint64_t planned = 0;
  for (size_t i = next_block_ + ahead_.size();
       i < trailer_.blocks.size() && ahead_.size() < max_ahead; ++i) {
    const ZBlock& block = trailer_.blocks[i];
    Inflated item;
    item.status = check_block_sizes(block, i);
    if (item.status.ok()) {
      item.status = check_in_file(block.compressed_ofs,
                                  static_cast<uint64_t>(block.compressed_size), reader.size());
    }
    const size_t usize = inflated_capacity(block);
    if (item.status.ok() && !ahead_.empty() && planned + usize > kInflateAheadBytes) break;
    if (item.status.ok()) {
      const size_t need = kWindowRoom + usize;
      auto spare = std::find_if(spare_.begin(), spare_.end(),
                                [&](const auto& b) { return b.second >= need; });
      if (spare != spare_.end()) {
        item.buffer = std::move(spare->first);
        item.capacity = spare->second;
        spare_.erase(spare);
      } else {
        item.buffer.reset(static_cast<uint8_t*>(alloc_aligned(need)));
        item.capacity = need;
        if (!item.buffer) item.status = SpssError::os(ENOMEM);
      }
    }
    if (item.status.ok()) {
      std::vector<uint8_t> stream(static_cast<size_t>(block.compressed_size));
      item.status = read_at(reader, static_cast<uint64_t>(block.compressed_ofs), stream.data(),
                            stream.size());
      if (item.status.ok()) streams.push_back(std::move(stream));
    }
    item.size = usize;
    const bool failed = !item.status.ok();
    ahead_.push_back(std::move(item));
    planned += usize;
    if (failed) break;  // later blocks wait until the decoder is past this one
  }
  ThreadPool::global().parallel_for(
      streams.size(),
      [&](size_t k) {
        Inflated& item = ahead_[first + k];
        item.status = inflate_block(streams[k].data(), streams[k].size(),
                                    item.buffer.get() + kWindowRoom, item.size);
      },
      1);
}

Status ZlibSource::refill(size_t max_ahead) {
  if (ahead_.empty()) inflate_ahead(max_ahead);
  if (ahead_.empty()) return SpssError::unexpected_eof();  // no block left to read
  Inflated block = std::move(ahead_.front());
  ahead_.pop_front();
  if (!block.status.ok()) return std::move(block.status).error();
  const size_t pos = std::min(state_.position, state_.size);
  const size_t tail = state_.size - pos;
  uint8_t* start;
  if (tail <= kWindowRoom) {
    start = block.buffer.get() + kWindowRoom - tail;
    if (tail > 0) std::memcpy(start, state_.data + pos, tail);
    if (window_ && spare_.size() < 8) spare_.emplace_back(std::move(window_), window_capacity_);
    window_ = std::move(block.buffer);
    window_capacity_ = block.capacity;
  } else {
    // A tail longer than the room (not produced by the decoder's stops) is joined by a copy.
    auto* fresh = static_cast<uint8_t*>(alloc_aligned(tail + block.size));
    if (fresh == nullptr) return SpssError::os(ENOMEM);
    std::memcpy(fresh, state_.data + pos, tail);
    std::memcpy(fresh + tail, block.buffer.get() + kWindowRoom, block.size);
    window_.reset(fresh);
    window_capacity_ = tail + block.size;
    start = fresh;
  }
  state_.data = start;
  state_.size = tail + block.size;
  state_.position = 0;
  ++next_block_;
  return Ok{};
}

size_t ZlibSource::max_rows_left(size_t slots_per_row) const {
  uint64_t more = 0;
  for (size_t i = next_block_; i < trailer_.blocks.size(); ++i) {
    more += inflated_capacity(trailer_.blocks[i]);
  }
  return bytecode_rows_left(state_, slots_per_row, more);
}

Result<size_t> ZlibSource::read_rows(uint8_t* dst, size_t slots_per_row, size_t max_rows) {
  // A row may continue in the next block; once the blocks run out the data has ended, and a
  // partial last row (or a raw value cut short) is dropped.
  auto next_block = [this]() -> Result<bool> {
    if (next_block_ >= trailer_.blocks.size()) return false;
    KORVEL_TRY(refill(2 * ThreadPool::global().concurrency()));
    return true;
  };
  KORVEL_ASSIGN_OR_RETURN(DecodeResult r,
                          decode_rows_refilling(state_, dst, slots_per_row, max_rows, next_block));
  return r.rows;
}

}  // namespace korvel

// Byte input: a buffered reader over a file or a memory block, the byte-order-aware
// SavReader that all dictionary parsing goes through, and the fixed-width text helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace korvel {

// A buffered, seekable byte source: a file read through a buffer of a chosen capacity, or a
// block of memory. Reads are exact or report how much they got; nothing throws.
class BufferedReader {
 public:
  // Opens `path` for reading with a buffer of `capacity` bytes.
  static Result<std::unique_ptr<BufferedReader>> open_file(const std::string& path,
                                                           size_t capacity);
  // Reads from a copy of `data`.
  static std::unique_ptr<BufferedReader> from_memory(std::vector<uint8_t> data);

  ~BufferedReader();
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  // Reads up to `n` bytes; 0 means end of input. Interrupted reads are retried.
  Result<size_t> read_some(uint8_t* dst, size_t n);
  // Reads exactly `n` bytes, or fails with "failed to fill whole buffer" at end of input.
  Status read_exact(uint8_t* dst, size_t n);
  // Moves to an absolute offset, discarding buffered bytes.
  Status seek(uint64_t offset);
  // Offset of the next byte to be read.
  uint64_t position() const { return pos_base_ + cur_; }
  // Total size of the input (a file's size at open).
  uint64_t size() const { return size_; }
  // Bytes left from the current position to the end of the input (0 past the end).
  uint64_t remaining() const { return size_ > position() ? size_ - position() : 0; }

  // The bytes already buffered beyond the read position.
  std::string_view buffered() const {
    return {reinterpret_cast<const char*>(buf_.data()) + cur_, end_ - cur_};
  }
  // The file descriptor, or -1 for a memory source.
  int fd() const { return fd_; }

 private:
  BufferedReader() = default;
  Status fill();

  int fd_ = -1;
  std::vector<uint8_t> buf_;
  size_t cur_ = 0;         // read position inside buf_
  size_t end_ = 0;         // valid bytes in buf_
  uint64_t pos_base_ = 0;  // file offset of buf_[0]
  uint64_t size_ = 0;
};

// Reads the numbers of the header and dictionary in the file's byte order.
class SavReader {
 public:
  explicit SavReader(std::unique_ptr<BufferedReader> source) : src_(std::move(source)) {}

  bool swap_bytes() const { return swap_bytes_; }
  void set_swap_bytes(bool swap) { swap_bytes_ = swap; }

  Status read_exact(uint8_t* dst, size_t n) { return src_->read_exact(dst, n); }
  // Exactly `n` bytes. A length beyond what is left of the input fails at once instead of
  // allocating it.
  Result<std::vector<uint8_t>> read_bytes(uint64_t n);
  Result<uint8_t> read_u8();
  Result<int32_t> read_i32();
  Result<int64_t> read_i64();
  Result<double> read_f64();
  // A count of items of at least `item_bytes` each: a negative count fails with the error that
  // `negative(count)` gives, and one whose items cannot fit in the rest of the input fails as
  // the end of the input, before anything is reserved for it.
  template <typename Negative>
  Result<size_t> read_count(uint64_t item_bytes, Negative&& negative) {
    KORVEL_ASSIGN_OR_RETURN(int32_t n, read_i32());
    if (n < 0) return negative(n);
    if (static_cast<uint64_t>(n) > remaining() / item_bytes) return SpssError::unexpected_eof();
    return static_cast<size_t>(n);
  }
  // Reads and discards `n` bytes through a fixed scratch buffer.
  Status skip(uint64_t n);

  uint64_t position() const { return src_->position(); }
  uint64_t remaining() const { return src_->remaining(); }
  BufferedReader& source() { return *src_; }
  std::unique_ptr<BufferedReader> release_source() { return std::move(src_); }

  // Assembles a number from little-endian bytes and applies the file's byte order.
  uint32_t u32_from(const uint8_t* p) const {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return swap_bytes_ ? __builtin_bswap32(v) : v;
  }
  uint64_t u64_from(const uint8_t* p) const {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return swap_bytes_ ? __builtin_bswap64(v) : v;
  }

 private:
  std::unique_ptr<BufferedReader> src_;
  bool swap_bytes_ = false;
};

// The longest prefix that does not end in 0x00 or 0x20.
std::string_view trim_trailing_padding(std::string_view bytes);
inline std::string_view trim_trailing_padding(const std::vector<uint8_t>& bytes) {
  return trim_trailing_padding(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// UTF-8 with U+FFFD for each maximal invalid subsequence; valid input is copied unchanged.
std::string bytes_to_string_lossy(std::string_view bytes);

// Full Unicode upper-casing of UTF-8 text.
std::string to_upper_unicode(std::string_view text);

// The text as a quoted string literal: in double quotes, with backslash, double quote, tab,
// CR, LF and NUL escaped by a backslash and other control or invisible format characters
// written as \u{hex}.
std::string quote_escaped(std::string_view text);

// Unicode white space at both ends removed (trim_start / trim_end alike).
std::string_view trim_unicode_whitespace(std::string_view text);
std::string_view trim_unicode_whitespace_end(std::string_view text);
std::string_view trim_unicode_whitespace_start(std::string_view text);

}  // namespace korvel

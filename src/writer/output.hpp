// Byte output of the writer: a buffered file writer with position and seek, and the
// little-endian primitives every record writer uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace korvel {

// Buffered output to a file (or, for tests, to memory). Failures carry the system's reason.
class BufferedWriter {
 public:
  // Creates or truncates `path` (permissions 0666 before the file-creation mask).
  static Result<std::unique_ptr<BufferedWriter>> create_file(const std::string& path,
                                                             size_t capacity);
  // Collects everything written in memory; see bytes().
  static std::unique_ptr<BufferedWriter> to_memory();

  ~BufferedWriter();  // flushes (errors are lost: call flush() first) and closes
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  Status write(const void* data, size_t n);
  Status write(std::string_view s) { return write(s.data(), s.size()); }
  Status flush();
  // Logical position: bytes handed over so far, buffered ones included.
  uint64_t position() const { return file_pos_ + buf_.size(); }
  // Flushes, then moves to an absolute offset.
  Status seek(uint64_t offset);
  // Memory target only: the bytes written and flushed.
  const std::vector<uint8_t>& bytes() const { return memory_; }

 private:
  BufferedWriter() = default;
  Status write_through(const uint8_t* data, size_t n);

  int fd_ = -1;
  bool to_memory_ = false;
  size_t capacity_ = 0;
  std::vector<uint8_t> buf_;
  uint64_t file_pos_ = 0;  // position of buf_[0]
  std::vector<uint8_t> memory_;
};

// The output primitives of the record writers, over a buffered writer.
class SavWriteExt {
 public:
  explicit SavWriteExt(BufferedWriter& w) : w_(w) {}
  Status write_i32_le(int32_t v);
  Status write_i64_le(int64_t v);
  Status write_f64_le(double v);
  Status write_bytes(std::string_view s) { return w_.write(s); }
  // The first min(len, width) bytes of `s`, then spaces up to `width`.
  Status write_fixed_string(std::string_view s, size_t width);
  Status write_zero_padding(size_t n);
  BufferedWriter& writer() { return w_; }

 private:
  BufferedWriter& w_;
};

// Appends little-endian numbers to an in-memory record body.
void append_i32_le(std::string& out, int32_t v);

// The longest prefix of `text` of at most `max_bytes` bytes that does not end inside a UTF-8
// character (bytes that are not UTF-8 are cut bytewise).
std::string_view cut_utf8(std::string_view text, size_t max_bytes);

}  // namespace korvel

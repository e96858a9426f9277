#include "writer/output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace korvel {

Result<std::unique_ptr<BufferedWriter>> BufferedWriter::create_file(const std::string& path,
                                                                    size_t capacity) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return SpssError::os(errno);
  std::unique_ptr<BufferedWriter> w(new BufferedWriter());
  w->fd_ = fd;
  w->capacity_ = capacity;
  w->buf_.reserve(capacity);
  return w;
}

std::unique_ptr<BufferedWriter> BufferedWriter::to_memory() {
  std::unique_ptr<BufferedWriter> w(new BufferedWriter());
  w->to_memory_ = true;
  w->capacity_ = 1 << 16;
  return w;
}

BufferedWriter::~BufferedWriter() {
  (void)flush();
  if (fd_ >= 0) ::close(fd_);
}

Status BufferedWriter::write_through(const uint8_t* data, size_t n) {
  if (to_memory_) {
    if (memory_.size() < file_pos_ + n) memory_.resize(file_pos_ + n);
    std::memcpy(memory_.data() + file_pos_, data, n);
    file_pos_ += n;
    return Ok{};
  }
  if (fd_ < 0) return SpssError::io("the output file is closed");
  while (n > 0) {
    ssize_t k = ::write(fd_, data, n);
    if (k < 0) {
      if (errno == EINTR) continue;
      return SpssError::os(errno);
    }
    if (k == 0) return SpssError::io("failed to write whole buffer");
    data += k;
    n -= static_cast<size_t>(k);
    file_pos_ += static_cast<uint64_t>(k);
  }
  return Ok{};
}

Status BufferedWriter::write(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (buf_.size() + n <= capacity_) {
    buf_.insert(buf_.end(), p, p + n);
    return Ok{};
  }
  KORVEL_TRY(flush());
  if (n >= capacity_) return write_through(p, n);
  buf_.insert(buf_.end(), p, p + n);
  return Ok{};
}

Status BufferedWriter::flush() {
  if (buf_.empty()) return Ok{};
  Status s = write_through(buf_.data(), buf_.size());
  buf_.clear();
  return s;
}

Status BufferedWriter::seek(uint64_t offset) {
  KORVEL_TRY(flush());
  if (!to_memory_ && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
    return SpssError::os(errno);
  file_pos_ = offset;
  return Ok{};
}

Status SavWriteExt::write_i32_le(int32_t v) {
  static_assert(std::endian::native == std::endian::little);
  return w_.write(&v, 4);
}
Status SavWriteExt::write_i64_le(int64_t v) {
  return w_.write(&v, 8);
}
Status SavWriteExt::write_f64_le(double v) {
  return w_.write(&v, 8);
}

Status SavWriteExt::write_fixed_string(std::string_view s, size_t width) {
  const size_t n = std::min(s.size(), width);
  KORVEL_TRY(w_.write(s.data(), n));
  static const std::string spaces(256, ' ');
  for (size_t left = width - n; left > 0;) {
    const size_t k = std::min(left, spaces.size());
    KORVEL_TRY(w_.write(spaces.data(), k));
    left -= k;
  }
  return Ok{};
}

Status SavWriteExt::write_zero_padding(size_t n) {
  static const char zeros[8] = {};
  for (; n > 0;) {
    const size_t k = std::min(n, sizeof zeros);
    KORVEL_TRY(w_.write(zeros, k));
    n -= k;
  }
  return Ok{};
}

void append_i32_le(std::string& out, int32_t v) {
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}

std::string_view cut_utf8(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  size_t n = max_bytes;
  // Step back over continuation bytes to the start of the character that crosses the cut.
  size_t back = 0;
  while (n > 0 && back < 4 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) {
    --n;
    ++back;
  }
  if (back == 4) return text.substr(0, max_bytes);  // not UTF-8 here: a plain byte cut
  return text.substr(0, n);
}

}  // namespace korvel

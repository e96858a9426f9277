#include "io_utils.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "encoding/encoding.hpp"
#include "text.hpp"
#include "unicode_case.hpp"

namespace korvel {

Result<std::unique_ptr<BufferedReader>> BufferedReader::open_file(const std::string& path,
                                                                  size_t capacity) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SpssError::os(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return SpssError::os(e);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return SpssError::os(EISDIR);
  }
  std::unique_ptr<BufferedReader> r(new BufferedReader());
  r->fd_ = fd;
  r->size_ = static_cast<uint64_t>(st.st_size);
  // The buffer never needs to exceed the file.
  uint64_t cap = std::max<uint64_t>(std::min<uint64_t>(capacity, r->size_), 4096);
  r->buf_.resize(static_cast<size_t>(cap));
  return r;
}

std::unique_ptr<BufferedReader> BufferedReader::from_memory(std::vector<uint8_t> data) {
  std::unique_ptr<BufferedReader> r(new BufferedReader());
  r->size_ = data.size();
  r->end_ = data.size();
  r->buf_ = std::move(data);
  return r;
}

BufferedReader::~BufferedReader() {
  if (fd_ >= 0) ::close(fd_);
}

Status BufferedReader::fill() {
  if (fd_ < 0) return Ok{};  // a memory source holds everything already
  pos_base_ += end_;
  cur_ = end_ = 0;
  for (;;) {
    ssize_t got = ::read(fd_, buf_.data(), buf_.size());
    if (got >= 0) {
      end_ = static_cast<size_t>(got);
      return Ok{};
    }
    if (errno != EINTR) return SpssError::os(errno);
  }
}

Result<size_t> BufferedReader::read_some(uint8_t* dst, size_t n) {
  if (n == 0) return size_t{0};
  if (cur_ == end_) {
    // Large reads bypass the buffer.
    if (fd_ >= 0 && n >= buf_.size()) {
      pos_base_ += end_;
      cur_ = end_ = 0;
      for (;;) {
        ssize_t got = ::read(fd_, dst, n);
        if (got >= 0) {
          pos_base_ += static_cast<uint64_t>(got);
          return static_cast<size_t>(got);
        }
        if (errno != EINTR) return SpssError::os(errno);
      }
    }
    KORVEL_TRY(fill());
    if (cur_ == end_) return size_t{0};
  }
  size_t take = std::min(n, end_ - cur_);
  std::memcpy(dst, buf_.data() + cur_, take);
  cur_ += take;
  return take;
}

Status BufferedReader::read_exact(uint8_t* dst, size_t n) {
  while (n > 0) {
    KORVEL_ASSIGN_OR_RETURN(size_t got, read_some(dst, n));
    if (got == 0) return SpssError::unexpected_eof();
    dst += got;
    n -= got;
  }
  return Ok{};
}

Status BufferedReader::seek(uint64_t offset) {
  if (fd_ < 0) {
    // The buffer is the whole input; past its end, reads yield end of input.
    cur_ = static_cast<size_t>(std::min<uint64_t>(offset, size_));
    return Ok{};
  }
  if (offset > static_cast<uint64_t>(INT64_MAX)) return SpssError::os(EINVAL);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return SpssError::os(errno);
  pos_base_ = offset;
  cur_ = end_ = 0;
  return Ok{};
}

Result<std::vector<uint8_t>> SavReader::read_bytes(uint64_t n) {
  // A declared length beyond the end of the input is never allocated.
  if (n > remaining()) return SpssError::unexpected_eof();
  std::vector<uint8_t> out(static_cast<size_t>(n));
  KORVEL_TRY(src_->read_exact(out.data(), out.size()));
  return out;
}

Result<uint8_t> SavReader::read_u8() {
  uint8_t b;
  KORVEL_TRY(src_->read_exact(&b, 1));
  return b;
}

Result<int32_t> SavReader::read_i32() {
  uint8_t b[4];
  KORVEL_TRY(src_->read_exact(b, 4));
  return static_cast<int32_t>(u32_from(b));
}

Result<int64_t> SavReader::read_i64() {
  uint8_t b[8];
  KORVEL_TRY(src_->read_exact(b, 8));
  return static_cast<int64_t>(u64_from(b));
}

Result<double> SavReader::read_f64() {
  uint8_t b[8];
  KORVEL_TRY(src_->read_exact(b, 8));
  uint64_t bits = u64_from(b);
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

Status SavReader::skip(uint64_t n) {
  uint8_t scratch[4096];
  while (n > 0) {
    size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
    KORVEL_TRY(src_->read_exact(scratch, take));
    n -= take;
  }
  return Ok{};
}

std::string_view trim_trailing_padding(std::string_view bytes) {
  size_t n = bytes.size();
  while (n > 0 && (bytes[n - 1] == '\0' || bytes[n - 1] == ' ')) --n;
  return bytes.substr(0, n);
}

std::string bytes_to_string_lossy(std::string_view bytes) {
  std::string out;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (encoding::is_valid_utf8(p, bytes.size())) {
    out.assign(bytes);
  } else {
    encoding::decode_utf8_lossy_append(p, bytes.size(), out);
  }
  return out;
}

namespace {

// Characters that would be invisible or move the cursor when printed: controls, line and
// paragraph separators, and the format characters (Cf) in common use.
bool is_unprintable(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x61C || c == 0x180E ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         c == 0xFFFE || c == 0xFFFF;
}

}  // namespace

std::string quote_escaped(std::string_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size();) {
    uint32_t c = next_code_point(text, i);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (is_unprintable(c)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
          out += buf;
        } else {
          append_utf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

std::string to_upper_unicode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<uint8_t>(text[i]);
    if (b < 0x80) {
      out += (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : static_cast<char>(b);
      ++i;
      continue;
    }
    uint32_t cp = next_code_point(text, i);
    const auto* s_end = unicode::kUpperSingles + unicode::kUpperSinglesCount;
    const auto* s =
        std::lower_bound(unicode::kUpperSingles, s_end, cp,
                         [](const unicode::CaseSingle& e, uint32_t c) { return e.cp < c; });
    if (s != s_end && s->cp == cp) {
      append_utf8(out, s->upper);
      continue;
    }
    const auto* m_end = unicode::kUpperMultis + unicode::kUpperMultisCount;
    const auto* m =
        std::lower_bound(unicode::kUpperMultis, m_end, cp,
                         [](const unicode::CaseMulti& e, uint32_t c) { return e.cp < c; });
    if (m != m_end && m->cp == cp) {
      for (uint32_t u : m->upper)
        if (u) append_utf8(out, u);
      continue;
    }
    append_utf8(out, cp);
  }
  return out;
}

std::string_view trim_unicode_whitespace_start(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    size_t next = i;
    if (!unicode::is_whitespace(next_code_point(text, next))) break;
    i = next;
  }
  return text.substr(i);
}

std::string_view trim_unicode_whitespace_end(std::string_view text) {
  size_t end = text.size();
  while (end > 0) {
    size_t start = code_point_start_before(text, end);
    size_t j = start;
    if (!unicode::is_whitespace(next_code_point(text, j))) break;
    end = start;
  }
  return text.substr(0, end);
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  return trim_unicode_whitespace_end(trim_unicode_whitespace_start(text));
}

}  // namespace korvel

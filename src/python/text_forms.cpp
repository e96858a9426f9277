#include "python/text_forms.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "unicode_case.hpp"

namespace korvel::py {
namespace {

// Decodes one code point at `i` and advances `i`; malformed input yields U+FFFD and one byte.
uint32_t next_code_point(std::string_view s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b = byte(i);
  size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = len == 1 ? b : b & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += len;
  return cp;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Characters that would be invisible or move the cursor when printed: controls, line and
// paragraph separators, and the format characters (Cf) in common use.
bool is_unprintable(uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0xAD || c == 0x61C || c == 0x180E ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) ||
         c == 0xFFFE || c == 0xFFFF;
}

}  // namespace

std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Fixed notation of the largest double has 309 digits; the smallest subnormal needs 326.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string integral_number_text(double v) {
  if (std::isfinite(v) && v == std::trunc(v)) {
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (v >= 9223372036854775808.0) return std::to_string(std::numeric_limits<int64_t>::max());
    if (v <= -9223372036854775808.0) return std::to_string(std::numeric_limits<int64_t>::min());
    return std::to_string(static_cast<int64_t>(v));
  }
  return number_text(v);
}

std::string format_count(uint64_t n) {
  char buf[40];
  if (n < 1000) {
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(n));
  } else if (n < 1000000) {
    std::snprintf(buf, sizeof buf, "%llu,%03llu", static_cast<unsigned long long>(n / 1000),
                  static_cast<unsigned long long>(n % 1000));
  } else {
    std::snprintf(buf, sizeof buf, "%llu,%03llu,%03llu",
                  static_cast<unsigned long long>(n / 1000000),
                  static_cast<unsigned long long>((n / 1000) % 1000),
                  static_cast<unsigned long long>(n % 1000));
  }
  return buf;
}

std::string format_percentage(uint64_t count, uint64_t total) {
  double p = static_cast<double>(count) * 100.0 / static_cast<double>(total);
  // printf rounds the exact binary value, ties to even.
  char buf[400];
  std::snprintf(buf, sizeof buf, "%5.1f%%", p);
  return buf;
}

std::string quote_text(std::string_view s) {
  std::string out = "\"";
  out.reserve(s.size() + 2);
  for (size_t i = 0; i < s.size();) {
    uint32_t c = next_code_point(s, i);
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

size_t code_points(std::string_view s) {
  size_t n = 0;
  for (char c : s)
    if ((static_cast<uint8_t>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string pad_right(std::string_view s, size_t width) {
  std::string out(s);
  size_t n = code_points(s);
  if (n < width) out.append(width - n, ' ');
  return out;
}

std::string pad_left(std::string_view s, size_t width) {
  size_t n = code_points(s);
  std::string out = n < width ? std::string(width - n, ' ') : std::string();
  out += s;
  return out;
}

std::string_view trim_whitespace(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t next = begin;
    if (!unicode::is_whitespace(next_code_point(s, next))) break;
    begin = next;
  }
  size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last character.
    size_t start = end - 1;
    while (start > begin && (static_cast<uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    size_t probe = start;
    if (!unicode::is_whitespace(next_code_point(s, probe)) || probe != end) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::string_view utf8_prefix(std::string_view s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t end = max_bytes;
  while (end > 0 && (static_cast<uint8_t>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace korvel::py

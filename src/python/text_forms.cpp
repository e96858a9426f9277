#include "python/text_forms.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace korvel::py {

std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Fixed notation of the largest double has 309 digits; the smallest subnormal needs 326.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

namespace {

// An integral value of 2^63 or more in magnitude: its shortest round-trip digits followed by
// zeros, as Python's repr gives them without the exponent (1e20 as 100000000000000000000,
// DBL_MAX as 17976931348623157 and 292 zeros). Fixed notation of to_chars would print the exact
// binary value's digits instead (1797693134862315708145...), which no reader of a report wants.
std::string whole_number_text(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  std::string out;
  for (char c : text.substr(0, e))
    if (c != '.') out += c;
  const size_t digits = out.size() - (v < 0 ? 1 : 0);
  // |v| >= 2^63 has an exponent of at least 18 and at most 17 significant digits.
  out.append(static_cast<size_t>(exponent) + 1 - digits, '0');
  return out;
}

}  // namespace

std::string integral_number_text(double v, BeyondInt64 beyond) {
  if (std::isfinite(v) && v == std::trunc(v)) {
    // -2^63 and 2^63 are exact doubles.
    if (v >= -9223372036854775808.0 && v < 9223372036854775808.0)
      return std::to_string(static_cast<int64_t>(v));
    if (beyond == BeyondInt64::Saturate)
      return std::to_string(v < 0 ? std::numeric_limits<int64_t>::min()
                                  : std::numeric_limits<int64_t>::max());
    return whole_number_text(v);
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

std::string_view utf8_prefix(std::string_view s, size_t max_bytes) {
  if (s.size() <= max_bytes) return s;
  size_t end = max_bytes;
  while (end > 0 && (static_cast<uint8_t>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace korvel::py

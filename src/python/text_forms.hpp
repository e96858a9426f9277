// Text forms of model values shared by the conversions' messages, the printed reports and the
// diff: numbers, grouped counts, quoted texts and padding by code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvel::py {

// Shortest decimal that reads back to the same value, never in exponent notation; integral
// values carry no fractional part ("1", "0.1", "1000000000000000000000"). NaN, inf, -inf.
std::string number_text(double v);
// What integral_number_text does with an integral value beyond the signed 64-bit range.
enum class BeyondInt64 {
  WriteInFull,  // as number_text: the reports, where LO and HI of a range are +-DBL_MAX
  Saturate,     // the nearest 64-bit limit: the counted value of a dichotomy set
};
// As number_text, but an integral value in the signed 64-bit range is written as that integer
// ("99", and -0.0 as "0").
std::string integral_number_text(double v, BeyondInt64 beyond);
// 999, 1,000, 1,234,567; the leading group is never split further (1234,567,890).
std::string format_count(uint64_t n);
// count * 100 / total with one decimal right-aligned in 5 characters, then "%".
std::string format_percentage(uint64_t count, uint64_t total);

// Number of code points of UTF-8 text.
size_t code_points(std::string_view s);
// Pads with spaces to `width` code points (a longer text is returned whole).
std::string pad_right(std::string_view s, size_t width);
std::string pad_left(std::string_view s, size_t width);
// The longest prefix of at most `max_bytes` bytes that ends on a character boundary.
std::string_view utf8_prefix(std::string_view s, size_t max_bytes);

}  // namespace korvel::py

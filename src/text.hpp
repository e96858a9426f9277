// Text helpers shared by the parsers, the decoders and the reports: reading and writing UTF-8
// one code point at a time, and decimal numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvel {

// Decodes the code point at s[i] and advances i past it. A malformed or cut sequence yields
// U+FFFD for its first byte only, so every byte is looked at and valid input is read exactly.
uint32_t next_code_point(std::string_view s, size_t& i);

// Start of the code point that ends at `end` (> 0): the last byte before `end` that is not a
// continuation byte, or 0.
size_t code_point_start_before(std::string_view s, size_t end);

// Appends `cp` (at most U+10FFFF) as UTF-8. Inline: the decoders call it once per character.
inline void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// The run of ASCII digits at the start of `text` as a number, and the text after it; nothing
// when `text` does not start with a digit or the number does not fit 64 bits.
std::optional<std::pair<uint64_t, std::string_view>> parse_decimal_prefix(std::string_view text);

// `text` as a whole: an unsigned decimal with an optional leading "+", at most `max`; nothing
// for an empty text, a lone sign, a minus sign, any other character or a larger value.
std::optional<uint64_t> parse_unsigned_plus(std::string_view text, uint64_t max = UINT64_MAX);

}  // namespace korvel

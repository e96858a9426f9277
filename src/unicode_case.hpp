// Unicode case mapping and white space, for names and trimmed texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel::unicode {

struct CaseSingle {
  uint32_t cp;
  uint32_t upper;
};
struct CaseMulti {
  uint32_t cp;
  uint32_t upper[3];  // unused entries are 0
};

// Sorted by code point.
extern const CaseSingle kUpperSingles[];
extern const size_t kUpperSinglesCount;
extern const CaseMulti kUpperMultis[];
extern const size_t kUpperMultisCount;

// The White_Space property.
constexpr bool is_whitespace(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace korvel::unicode

// Extension subtype 22: user-missing values of string variables wider than 8 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "info_records/body.hpp"

namespace korvel {

struct LongStringMissingEntry {
  Bytes var_name;     // as written, undecoded
  uint8_t count = 0;  // declared number of values
  std::vector<Bytes> values;
  bool operator==(const LongStringMissingEntry&) const = default;
};

// Blocks of: name length, name, a count byte, a value length, then count values of that
// length; integers in the file's byte order. A block whose count byte or value length is
// missing is dropped and ends the record; a value that is cut off, or a negative value
// length, ends the record after keeping the values before it.
std::vector<LongStringMissingEntry> parse_long_string_missing(ByteSpan body, bool swap_bytes);

}  // namespace korvel

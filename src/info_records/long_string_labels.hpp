// Extension subtype 21: value labels of string variables wider than 8 bytes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "info_records/body.hpp"

namespace korvel {

struct LongStringLabelSet {
  Bytes var_name;                               // as written, undecoded
  std::vector<std::pair<Bytes, Bytes>> labels;  // (value, label), raw, in file order
  bool operator==(const LongStringLabelSet&) const = default;
};

// Blocks of: name length, name, width (skipped), label count, then per label value length,
// value, label length, label; integers in the file's byte order. A length or count that is
// negative or runs past the body ends the record; a block cut short keeps the labels before
// the cut.
std::vector<LongStringLabelSet> parse_long_string_labels(ByteSpan body, bool swap_bytes);

}  // namespace korvel

// Extension subtypes 7 and 19: multiple-response sets, one set per line of text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "constants.hpp"
#include "info_records/body.hpp"

namespace korvel {

struct RawMrSet {
  std::string name;  // without the leading "$"
  std::string label;
  std::vector<std::string> variables;  // member tokens as written
  std::optional<std::string> counted_value;
  MrType mr_type = MrType::Category;
  bool is_v2 = false;  // from subtype 19: members are full names, not short names
  bool operator==(const RawMrSet&) const = default;
};

// The sets of one record's text, one per well-formed line in line order; malformed lines are
// skipped. Line syntax: "$name=" then "C", "D<n> <value>" or "E <x> <n> <value>", then
// "<L> <label>" and the member names separated by white space. Lengths count the stored bytes;
// names, counted values, labels and members are decoded with decode_name_text in the file's
// encoding `e`.
std::vector<RawMrSet> parse_mr_sets_inner(ByteSpan body, bool is_v2, encoding::Encoding e);

}  // namespace korvel

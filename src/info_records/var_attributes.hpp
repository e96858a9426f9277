// Extension subtype 18: custom variable attributes, including the "$@Role" attribute.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "info_records/body.hpp"

namespace korvel {

struct VarAttributeSet {
  std::string name;  // variable name as written
  std::vector<std::pair<std::string, std::vector<std::string>>> attributes;
  bool operator==(const VarAttributeSet&) const = default;
};

// Parses text of the form NAME1:attr1('v1'\n'v2'\n)attr2('v'\n)/NAME2:attr('v'\n).
// Segments are split at "/" outside single quotes; a segment without ":" or without any named
// attribute is dropped. The body is decoded with decode_name_text in the file's encoding `e`
// first. Never fails.
std::vector<VarAttributeSet> parse_var_attributes(ByteSpan body, encoding::Encoding e);

}  // namespace korvel

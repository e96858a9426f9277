// Extension subtype 13: long variable names, "SHORT=Long name" pairs separated by tabs.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "info_records/body.hpp"

namespace korvel {

// (upper-cased short name, long name) pairs in file order; pieces without "=" are skipped.
// The body is decoded with decode_name_text in the file's encoding `e` before it is split.
std::vector<std::pair<std::string, std::string>> parse_long_names(ByteSpan body,
                                                                  encoding::Encoding e);

}  // namespace korvel

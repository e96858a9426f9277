// Extension subtype 14: the full widths of string variables longer than 255 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "info_records/body.hpp"

namespace korvel {

// (upper-cased short name, width) pairs in file order, from "NAME=width" entries separated by
// NULs and/or tabs. Entries without "=" or whose width is not an unsigned decimal are skipped.
// The body is decoded with decode_name_text in the file's encoding `e` before it is split.
std::vector<std::pair<std::string, size_t>> parse_very_long_strings(ByteSpan body,
                                                                    encoding::Encoding e);

}  // namespace korvel

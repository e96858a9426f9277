// Extension subtype 20: the name of the character encoding of the file's texts.
#pragma once

#include <string>

#include "info_records/body.hpp"

namespace korvel {

// The body without trailing NULs and spaces, as UTF-8 with U+FFFD replacement.
std::string parse_encoding_name(ByteSpan body);

}  // namespace korvel

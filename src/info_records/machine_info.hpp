// Extension subtypes 3 and 4: the writing machine's integer and floating-point description.
#pragma once

#include <cstdint>
#include <optional>

#include "info_records/body.hpp"

namespace korvel {

struct IntegerInfo {
  int32_t version_major = 0;
  int32_t version_minor = 0;
  int32_t version_revision = 0;
  int32_t machine_code = 0;
  int32_t floating_point_rep = 0;
  int32_t compression_code = 0;
  int32_t endianness = 0;
  int32_t character_code = 0;  // code page; selects the encoding when no subtype 20 is present
  bool operator==(const IntegerInfo&) const = default;
};

struct FloatInfo {
  double sysmis = 0.0;
  double highest = 0.0;
  double lowest = 0.0;
};

// Eight 4-byte integers from the start of the body; nothing when the body is shorter than
// 32 bytes. Bytes past the eighth integer are ignored.
std::optional<IntegerInfo> parse_integer_info(ByteSpan body, bool swap_bytes);

// Three binary64 values from the start of the body; nothing when it is shorter than 24 bytes.
std::optional<FloatInfo> parse_float_info(ByteSpan body, bool swap_bytes);

}  // namespace korvel

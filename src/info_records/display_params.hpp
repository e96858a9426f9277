// Extension subtype 11: measurement level, display width and alignment per variable record.
#pragma once

#include <cstdint>
#include <vector>

#include "constants.hpp"
#include "info_records/body.hpp"

namespace korvel {

struct VarDisplayEntry {
  uint32_t width = 8;
  Measure measure = Measure::Unknown;
  Alignment alignment = Alignment::Unknown;
  bool operator==(const VarDisplayEntry&) const = default;
};

// `count` is the record header's element count: a multiple of 3 means entries of (measure,
// width, alignment), anything else entries of (measure, alignment) with width 8. Values are
// 4-byte integers; only entries that lie wholly inside the body are decoded.
std::vector<VarDisplayEntry> parse_display_params(ByteSpan body, int32_t count, bool swap_bytes);

}  // namespace korvel

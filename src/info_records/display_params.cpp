#include "info_records/display_params.hpp"

#include <algorithm>

namespace korvel {

std::vector<VarDisplayEntry> parse_display_params(ByteSpan body, int32_t count, bool swap_bytes) {
  std::vector<VarDisplayEntry> out;
  if (count <= 0) return out;
  const bool with_width = count % 3 == 0;
  const size_t per_entry = with_width ? 3 : 2;
  const size_t declared = static_cast<size_t>(count) / per_entry;
  const size_t n = std::min(declared, body.size() / (4 * per_entry));
  out.reserve(n);
  BodyCursor c(body, swap_bytes);
  for (size_t i = 0; i < n; ++i) {
    VarDisplayEntry e;
    e.measure = measure_from_code(*c.i32());
    if (with_width) e.width = static_cast<uint32_t>(*c.i32());
    e.alignment = alignment_from_code(*c.i32());
    out.push_back(e);
  }
  return out;
}

}  // namespace korvel

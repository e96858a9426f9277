#include "info_records/long_string_missing.hpp"

namespace korvel {

std::vector<LongStringMissingEntry> parse_long_string_missing(ByteSpan body, bool swap_bytes) {
  std::vector<LongStringMissingEntry> out;
  BodyCursor c(body, swap_bytes);
  while (c.remaining() >= 4) {
    auto name = c.bytes(*c.i32());
    if (!name) break;
    if (c.remaining() < 5) break;
    LongStringMissingEntry e;
    e.var_name.assign(name->begin(), name->end());
    e.count = *c.u8();
    int32_t v = *c.i32();
    bool cut = false;
    for (uint8_t i = 0; i < e.count; ++i) {
      auto value = c.bytes(v);
      if (!value) {
        cut = true;
        break;
      }
      e.values.emplace_back(value->begin(), value->end());
    }
    out.push_back(std::move(e));
    if (cut) break;
  }
  return out;
}

}  // namespace korvel

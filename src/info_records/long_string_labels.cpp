#include "info_records/long_string_labels.hpp"

namespace korvel {

std::vector<LongStringLabelSet> parse_long_string_labels(ByteSpan body, bool swap_bytes) {
  std::vector<LongStringLabelSet> out;
  BodyCursor c(body, swap_bytes);
  while (c.remaining() >= 4) {
    auto name = c.bytes(*c.i32());
    if (!name) break;
    if (c.remaining() < 8) break;
    c.i32();  // variable width
    int32_t k = *c.i32();
    LongStringLabelSet set;
    set.var_name.assign(name->begin(), name->end());
    bool cut = k < 0;
    for (int32_t i = 0; i < k; ++i) {
      auto vlen = c.i32();
      auto value = vlen ? c.bytes(*vlen) : std::nullopt;
      auto llen = value ? c.i32() : std::nullopt;
      auto label = llen ? c.bytes(*llen) : std::nullopt;
      if (!label) {
        cut = true;
        break;
      }
      set.labels.emplace_back(Bytes(value->begin(), value->end()),
                              Bytes(label->begin(), label->end()));
    }
    out.push_back(std::move(set));
    if (cut) break;
  }
  return out;
}

}  // namespace korvel

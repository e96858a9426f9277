#include "info_records/machine_info.hpp"

namespace korvel {

std::optional<IntegerInfo> parse_integer_info(ByteSpan body, bool swap_bytes) {
  if (body.size() < 32) return std::nullopt;
  BodyCursor c(body, swap_bytes);
  IntegerInfo info;
  info.version_major = *c.i32();
  info.version_minor = *c.i32();
  info.version_revision = *c.i32();
  info.machine_code = *c.i32();
  info.floating_point_rep = *c.i32();
  info.compression_code = *c.i32();
  info.endianness = *c.i32();
  info.character_code = *c.i32();
  return info;
}

std::optional<FloatInfo> parse_float_info(ByteSpan body, bool swap_bytes) {
  if (body.size() < 24) return std::nullopt;
  BodyCursor c(body, swap_bytes);
  FloatInfo info;
  info.sysmis = *c.f64();
  info.highest = *c.f64();
  info.lowest = *c.f64();
  return info;
}

}  // namespace korvel

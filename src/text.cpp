#include "text.hpp"

namespace korvel {

uint32_t next_code_point(std::string_view s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b = byte(i);
  size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  uint32_t cp = len == 1 ? b : b & (0xFF >> (len + 1));
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += len;
  return cp;
}

size_t code_point_start_before(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

std::optional<std::pair<uint64_t, std::string_view>> parse_decimal_prefix(std::string_view text) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    auto digit = static_cast<uint64_t>(text[i] - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
    ++i;
  }
  if (i == 0) return std::nullopt;
  return std::make_pair(v, text.substr(i));
}

std::optional<uint64_t> parse_unsigned_plus(std::string_view text, uint64_t max) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  auto number = parse_decimal_prefix(text);
  if (!number || !number->second.empty() || number->first > max) return std::nullopt;
  return number->first;
}

}  // namespace korvel

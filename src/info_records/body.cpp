#include "info_records/body.hpp"

#include <string>

#include "unicode_case.hpp"

namespace korvel {

namespace {

// The code point at text[i] of valid UTF-8 and its length in bytes.
uint32_t code_point_at(std::string_view text, size_t i, size_t& len) {
  auto b0 = static_cast<uint8_t>(text[i]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  uint32_t cp = b0 & (0x7Fu >> len);
  for (size_t k = 1; k < len && i + k < text.size(); ++k) {
    cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3Fu);
  }
  if (i + len > text.size()) len = text.size() - i;
  return cp;
}

}  // namespace

std::string decode_name_text(std::string_view bytes, encoding::Encoding e) {
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (encoding::is_valid_utf8(data, bytes.size())) return std::string(bytes);
  std::string out;
  encoding::decode_text_append(e, data, bytes.size(), out);
  return out;
}

std::vector<std::string_view> split_unicode_whitespace(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  size_t piece = std::string_view::npos;  // start of the current piece
  while (i < text.size()) {
    size_t len;
    bool space = unicode::is_whitespace(code_point_at(text, i, len));
    if (space && piece != std::string_view::npos) {
      out.push_back(text.substr(piece, i - piece));
      piece = std::string_view::npos;
    } else if (!space && piece == std::string_view::npos) {
      piece = i;
    }
    i += len;
  }
  if (piece != std::string_view::npos) out.push_back(text.substr(piece));
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return out;
}

std::optional<uint64_t> parse_unsigned_plus(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

}  // namespace korvel

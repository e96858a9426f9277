#include "info_records/body.hpp"

#include <string>

#include "text.hpp"
#include "unicode_case.hpp"

namespace korvel {

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
    const size_t start = i;
    bool space = unicode::is_whitespace(next_code_point(text, i));
    if (space && piece != std::string_view::npos) {
      out.push_back(text.substr(piece, start - piece));
      piece = std::string_view::npos;
    } else if (!space && piece == std::string_view::npos) {
      piece = start;
    }
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

}  // namespace korvel

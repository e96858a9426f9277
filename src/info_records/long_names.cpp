#include "info_records/long_names.hpp"

#include "io_utils.hpp"

namespace korvel {

std::vector<std::pair<std::string, std::string>> parse_long_names(ByteSpan body,
                                                                  encoding::Encoding e) {
  std::vector<std::pair<std::string, std::string>> out;
  const std::string text = decode_name_text(as_chars(body), e);
  std::string_view rest = text;
  for (;;) {
    size_t tab = rest.find('\t');
    std::string_view piece = trim_unicode_whitespace(rest.substr(0, tab));
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      if (eq != std::string_view::npos) {
        out.emplace_back(to_upper_unicode(trim_unicode_whitespace(piece.substr(0, eq))),
                         std::string(trim_unicode_whitespace(piece.substr(eq + 1))));
      }
    }
    if (tab == std::string_view::npos) break;
    rest.remove_prefix(tab + 1);
  }
  return out;
}

}  // namespace korvel

#include "info_records/very_long_strings.hpp"

#include "io_utils.hpp"

namespace korvel {

static_assert(sizeof(size_t) == sizeof(uint64_t), "widths are parsed as 64-bit values");

std::vector<std::pair<std::string, size_t>> parse_very_long_strings(ByteSpan body,
                                                                    encoding::Encoding e) {
  std::vector<std::pair<std::string, size_t>> out;
  const std::string text = decode_name_text(as_chars(body), e);
  std::string_view rest = text;
  for (;;) {
    size_t sep = rest.find_first_of(std::string_view("\0\t", 2));
    std::string_view piece = trim_unicode_whitespace(rest.substr(0, sep));
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      if (eq != std::string_view::npos) {
        auto width = parse_unsigned_plus(trim_unicode_whitespace(piece.substr(eq + 1)));
        if (width) {
          out.emplace_back(to_upper_unicode(trim_unicode_whitespace(piece.substr(0, eq))),
                           static_cast<size_t>(*width));
        }
      }
    }
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 1);
  }
  return out;
}

}  // namespace korvel

#include "info_records/var_attributes.hpp"

#include "io_utils.hpp"

namespace korvel {

namespace {

bool is_ascii_space(char c) {
  return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// The attributes of one segment's text after the ":".
std::vector<std::pair<std::string, std::vector<std::string>>> parse_attributes(std::string_view s) {
  std::vector<std::pair<std::string, std::vector<std::string>>> out;
  size_t i = 0;
  for (;;) {
    while (i < s.size() && is_ascii_space(s[i])) ++i;
    if (i >= s.size()) break;
    size_t open = s.find('(', i);
    if (open == std::string_view::npos) break;
    std::string name(trim_unicode_whitespace(s.substr(i, open - i)));
    std::vector<std::string> values;
    i = open + 1;
    while (i < s.size() && s[i] != ')') {
      if (s[i] != '\'') {
        ++i;  // anything between values is ignored
        continue;
      }
      size_t close = s.find('\'', i + 1);
      if (close == std::string_view::npos) {
        values.emplace_back(s.substr(i + 1));
        i = s.size();
        break;
      }
      values.emplace_back(s.substr(i + 1, close - i - 1));
      i = close + 1;
      if (i < s.size() && s[i] == '\n') ++i;
    }
    if (i < s.size()) ++i;  // past ")"
    if (!name.empty()) out.emplace_back(std::move(name), std::move(values));
  }
  return out;
}

}  // namespace

std::vector<VarAttributeSet> parse_var_attributes(ByteSpan body, encoding::Encoding e) {
  std::vector<VarAttributeSet> out;
  std::string text = decode_name_text(as_chars(body), e);
  while (!text.empty() && text.back() == '\0') text.pop_back();

  // Segments end at a "/" outside quotes; every quote toggles the state.
  std::vector<std::string_view> segments;
  std::string_view all = text;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\'') {
      quoted = !quoted;
    } else if (all[i] == '/' && !quoted) {
      segments.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  segments.push_back(all.substr(start));

  for (std::string_view seg : segments) {
    seg = trim_unicode_whitespace(seg);
    if (seg.empty()) continue;
    size_t colon = seg.find(':');
    if (colon == std::string_view::npos) continue;
    VarAttributeSet set;
    set.name = std::string(trim_unicode_whitespace(seg.substr(0, colon)));
    set.attributes = parse_attributes(seg.substr(colon + 1));
    if (!set.attributes.empty()) out.push_back(std::move(set));
  }
  return out;
}

}  // namespace korvel

#include "info_records/mr_sets.hpp"

#include "io_utils.hpp"

namespace korvel {

namespace {

void skip_one_space(std::string_view& s) {
  if (!s.empty() && s[0] == ' ') s.remove_prefix(1);
}

// The next `n` bytes of `s`, which in UTF-8 text must end on a character boundary; advances
// `s`.
std::optional<std::string_view> take_bytes(std::string_view& s, uint64_t n, bool utf8) {
  if (n > s.size()) return std::nullopt;
  auto len = static_cast<size_t>(n);
  if (utf8 && len < s.size() && (static_cast<uint8_t>(s[len]) & 0xC0) == 0x80) {
    return std::nullopt;
  }
  std::string_view out = s.substr(0, len);
  s.remove_prefix(len);
  return out;
}

// Writers count the lengths in the bytes they wrote, so the line is cut on its stored bytes
// and each piece is decoded afterwards; the syntax itself is ASCII. A line that is valid UTF-8
// reads the same as if it had been decoded first.
std::optional<RawMrSet> parse_line(std::string_view line, bool is_v2, encoding::Encoding e) {
  const bool utf8 =
      encoding::is_valid_utf8(reinterpret_cast<const uint8_t*>(line.data()), line.size());
  auto text = [e](std::string_view piece) { return decode_name_text(piece, e); };
  while (!line.empty() && line.front() == '\0') line.remove_prefix(1);
  while (!line.empty() && line.back() == '\0') line.remove_suffix(1);
  line = trim_unicode_whitespace(line);
  if (line.empty() || line[0] != '$') return std::nullopt;
  size_t eq = line.find('=', 1);
  if (eq == std::string_view::npos) return std::nullopt;
  RawMrSet set;
  set.is_v2 = is_v2;
  set.name = text(line.substr(1, eq - 1));
  std::string_view s = line.substr(eq + 1);
  if (s.empty()) return std::nullopt;
  char letter = s[0];
  s.remove_prefix(1);
  if (letter == 'C') {
    set.mr_type = MrType::Category;
  } else if (letter == 'D' || letter == 'E') {
    if (letter == 'E') {
      s = trim_unicode_whitespace_start(s);
      auto flag = parse_decimal_prefix(s);  // category-label source; not kept
      if (!flag) return std::nullopt;
      s = flag->second;
      skip_one_space(s);
    }
    auto n = parse_decimal_prefix(s);
    if (!n) return std::nullopt;
    s = n->second;
    skip_one_space(s);
    auto value = take_bytes(s, n->first, utf8);
    if (!value) return std::nullopt;
    set.mr_type = MrType::Dichotomy;
    set.counted_value = text(*value);
  } else {
    return std::nullopt;
  }

  s = trim_unicode_whitespace_start(s);
  auto label_len = parse_decimal_prefix(s);
  if (!label_len) return std::nullopt;
  s = label_len->second;
  skip_one_space(s);
  if (label_len->first > s.size()) {
    // A label longer than the rest of the line takes the rest, and leaves no members.
    set.label = std::string(trim_unicode_whitespace(text(s)));
    return set;
  }
  auto label = take_bytes(s, label_len->first, utf8);
  if (!label) return std::nullopt;
  set.label = text(*label);
  const std::string members = text(s);
  for (std::string_view token : split_unicode_whitespace(members)) {
    set.variables.emplace_back(token);
  }
  return set;
}

}  // namespace

std::vector<RawMrSet> parse_mr_sets_inner(ByteSpan body, bool is_v2, encoding::Encoding e) {
  std::vector<RawMrSet> out;
  std::string_view rest = as_chars(body);
  for (;;) {
    size_t lf = rest.find('\n');
    if (auto set = parse_line(rest.substr(0, lf), is_v2, e)) out.push_back(std::move(*set));
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return out;
}

}  // namespace korvel

#include "constants.hpp"

#include <array>

#include "io_utils.hpp"
#include "text.hpp"

namespace korvel {

namespace {

constexpr std::array<std::string_view, 42> kFormatNames = {
    "",      "A",    "AHEX",  "COMMA", "DOLLAR",   "F",      "IB",    "PIBHEX", "P",
    "PIB",   "PK",   "RB",    "RBHEX", "",         "",       "Z",     "N",      "E",
    "",      "",     "DATE",  "TIME",  "DATETIME", "ADATE",  "JDATE", "DTIME",  "WKDAY",
    "MONTH", "MOYR", "QYR",   "WKYR",  "PCT",      "DOT",    "CCA",   "CCB",    "CCC",
    "CCD",   "CCE",  "EDATE", "SDATE", "MTIME",    "YMDHMS",
};

// An unsigned decimal with an optional leading "+", within 32 bits.
std::optional<uint32_t> parse_u32_plus(std::string_view s) {
  auto v = parse_unsigned_plus(s, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

uint8_t clamp255(uint32_t v) {
  return static_cast<uint8_t>(v > 255 ? 255 : v);
}

}  // namespace

std::string_view format_type_name(uint8_t code) {
  return code < kFormatNames.size() ? kFormatNames[code] : std::string_view();
}

uint8_t format_type_from_name(std::string_view name) {
  if (name.empty()) return 0;
  for (size_t i = 1; i < kFormatNames.size(); ++i) {
    if (kFormatNames[i] == name) return static_cast<uint8_t>(i);
  }
  return 0;
}

bool format_prints_without_decimals(uint8_t code) {
  return code == kFmtA || code == kFmtAHEX || (code >= kFmtDATE && code <= kFmtWKYR) ||
         (code >= kFmtEDATE && code <= kFmtYMDHMS);
}

bool is_date_format(uint8_t code) {
  switch (code) {
    case kFmtDATE:
    case kFmtADATE:
    case kFmtJDATE:
    case kFmtMOYR:
    case kFmtQYR:
    case kFmtWKYR:
    case kFmtEDATE:
    case kFmtSDATE:
      return true;
    default:
      return false;
  }
}

bool is_duration_format(uint8_t code) {
  return code == kFmtTIME || code == kFmtDTIME || code == kFmtMTIME;
}

bool is_datetime_format(uint8_t code) {
  return code == kFmtDATETIME || code == kFmtYMDHMS;
}

SpssFormat SpssFormat::from_word(uint32_t word) {
  uint32_t type = (word >> 16) & 0xFF;
  SpssFormat f;
  f.format_type = is_valid_format_type(type) ? static_cast<uint8_t>(type) : 0;
  f.width = static_cast<uint8_t>((word >> 8) & 0xFF);
  f.decimals = static_cast<uint8_t>(word & 0xFF);
  return f;
}

std::optional<SpssFormat> SpssFormat::from_string(std::string_view text) {
  text = trim_unicode_whitespace(text);
  if (text.empty()) return std::nullopt;
  size_t name_end = 0;
  // The name ends where the width begins: at a digit, a period or a sign.
  while (name_end < text.size()) {
    char c = text[name_end];
    if ((c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-') break;
    ++name_end;
  }
  uint8_t type = format_type_from_name(to_upper_unicode(text.substr(0, name_end)));
  if (type == 0) return std::nullopt;
  std::string_view rest = text.substr(name_end);
  SpssFormat f;
  f.format_type = type;
  if (rest.empty()) {
    f.width = 8;
    return f;
  }
  size_t dot = rest.find('.');
  auto width = parse_u32_plus(rest.substr(0, dot));
  if (!width) return std::nullopt;
  f.width = clamp255(*width);
  if (dot != std::string_view::npos) {
    auto decimals = parse_u32_plus(rest.substr(dot + 1));
    if (!decimals) return std::nullopt;
    f.decimals = clamp255(*decimals);
  }
  return f;
}

std::optional<std::string> SpssFormat::to_string() const {
  std::string_view name = format_type_name(format_type);
  if (name.empty()) return std::nullopt;
  std::string out(name);
  out += std::to_string(width);
  if (!format_prints_without_decimals(format_type)) {
    out += '.';
    out += std::to_string(decimals);
  }
  return out;
}

Measure measure_from_code(int32_t code) {
  switch (code) {
    case 1:
      return Measure::Nominal;
    case 2:
      return Measure::Ordinal;
    case 3:
      return Measure::Scale;
    default:
      return Measure::Unknown;
  }
}

int32_t measure_code(Measure m) {
  return static_cast<int32_t>(m);
}

Alignment alignment_from_code(int32_t code) {
  switch (code) {
    case 0:
      return Alignment::Left;
    case 1:
      return Alignment::Right;
    case 2:
      return Alignment::Center;
    default:
      return Alignment::Unknown;
  }
}

int32_t alignment_code(Alignment a) {
  switch (a) {
    case Alignment::Right:
      return 1;
    case Alignment::Center:
      return 2;
    default:
      return 0;
  }
}

std::string_view to_string(Measure m) {
  static constexpr std::string_view names[] = {"unknown", "nominal", "ordinal", "scale"};
  return names[static_cast<size_t>(m)];
}

std::string_view to_string(Alignment a) {
  static constexpr std::string_view names[] = {"unknown", "left", "right", "center"};
  return names[static_cast<size_t>(a)];
}

std::string_view to_string(Role r) {
  static constexpr std::string_view names[] = {"input", "target",    "both",
                                               "none",  "partition", "split"};
  return names[static_cast<size_t>(r)];
}

std::string_view to_string(Compression c) {
  static constexpr std::string_view names[] = {"uncompressed", "bytecode", "zlib"};
  return names[static_cast<size_t>(c)];
}

std::string_view to_string(MrType t) {
  return t == MrType::Dichotomy ? "dichotomy" : "category";
}

namespace {
template <typename E, size_t N>
std::optional<E> enum_from_string(std::string_view s) {
  for (size_t i = 0; i < N; ++i) {
    if (to_string(static_cast<E>(i)) == s) return static_cast<E>(i);
  }
  return std::nullopt;
}
}  // namespace

std::optional<Measure> measure_from_string(std::string_view s) {
  return enum_from_string<Measure, 4>(s);
}
std::optional<Alignment> alignment_from_string(std::string_view s) {
  return enum_from_string<Alignment, 4>(s);
}
std::optional<Role> role_from_string(std::string_view s) {
  return enum_from_string<Role, 6>(s);
}
std::optional<Compression> compression_from_string(std::string_view s) {
  return enum_from_string<Compression, 3>(s);
}

}  // namespace korvel

#include "writer/layout.hpp"

#include <charconv>
#include <cstring>

#include "io_utils.hpp"
#include "sav_format.hpp"

namespace korvel {

namespace {

constexpr size_t kMaxShortNameSuffix = 10000;  // candidates tried per column
constexpr size_t kMaxVariableNameBytes = 64;   // what SPSS and the peers accept

Result<MissingValues> build_missing(const std::string& name, bool is_string,
                                    const std::vector<MissingSpec>& specs) {
  MissingValues mv;
  std::vector<double> discrete;
  std::vector<std::pair<double, double>> ranges;
  KORVEL_TRY(check_missing_kinds(name, is_string, specs));
  for (const MissingSpec& s : specs) {
    if (s.kind == MissingSpec::Kind::DiscreteString) {
      // A record holds the first 8 bytes of each value, padded with spaces.
      std::array<uint8_t, sav::kSlotBytes> v;
      v.fill(' ');
      std::memcpy(v.data(), s.text.data(), std::min(s.text.size(), v.size()));
      mv.strings.push_back(v);
    } else if (s.kind == MissingSpec::Kind::Range) {
      ranges.emplace_back(s.value, s.high);
    } else {
      discrete.push_back(s.value);
    }
  }
  if (!mv.strings.empty()) {
    mv.kind = MissingValues::Kind::Strings;
  } else if (ranges.empty()) {
    mv.kind = MissingValues::Kind::Discrete;
    mv.numbers = std::move(discrete);
  } else if (discrete.empty()) {
    mv.kind = MissingValues::Kind::Range;
    mv.numbers = {ranges[0].first, ranges[0].second};
  } else {
    mv.kind = MissingValues::Kind::RangeAndValue;
    mv.numbers = {ranges[0].first, ranges[0].second, discrete[0]};
  }
  return mv;
}

// Maps a column name to the bytes a short name is made of: ASCII letters upper-cased, digits
// kept, every other character (by code point) "_"; "V" in front when it starts with no letter.
std::string short_name_base(std::string_view name) {
  std::string b;
  for (size_t i = 0; i < name.size();) {
    const auto c = static_cast<uint8_t>(name[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (c >= 'a' && c <= 'z') {
      b += static_cast<char>(c - 'a' + 'A');
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      b += static_cast<char>(c);
    } else {
      b += '_';
    }
    i += std::min(len, name.size() - i);
  }
  if (b.empty() || !(b[0] >= 'A' && b[0] <= 'Z')) b.insert(b.begin(), 'V');
  return b;
}

bool is_reserved_word(const std::string& upper) {
  static const char* const kReserved[] = {"ALL", "AND", "BY",  "EQ", "GE", "GT",  "LE",
                                          "LT",  "NE",  "NOT", "OR", "TO", "WITH"};
  for (const char* w : kReserved)
    if (upper == w) return true;
  return false;
}

}  // namespace

Status check_missing_kinds(const std::string& name, bool is_string,
                           const std::vector<MissingSpec>& specs) {
  for (const MissingSpec& s : specs) {
    const bool string_spec = s.kind == MissingSpec::Kind::DiscreteString;
    if (is_string && !string_spec)
      return SpssError::write("variable '" + name +
                              "': numeric missing values cannot be applied to a string variable");
    if (!is_string && string_spec)
      return SpssError::write("variable '" + name +
                              "': string missing values cannot be applied to a numeric variable");
  }
  return Ok{};
}

int32_t missing_value_count(const MissingValues& mv) {
  const auto& numbers = mv.numbers;
  const auto& strings = mv.strings;
  switch (mv.kind) {
    case MissingValues::Kind::None:
      return 0;
    case MissingValues::Kind::Discrete:
      return static_cast<int32_t>(numbers.size());
    case MissingValues::Kind::Range:
      return -2;
    case MissingValues::Kind::RangeAndValue:
      return -3;
    case MissingValues::Kind::Strings:
      return static_cast<int32_t>(strings.size());
  }
  return 0;
}

size_t declared_string_width(std::string_view text, size_t fallback) {
  size_t start = text.find_first_of("0123456789");
  size_t w = 0;
  if (start != std::string_view::npos) {
    size_t end = text.find('.', start);
    std::string_view digits =
        text.substr(start, end == std::string_view::npos ? text.size() - start : end - start);
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), w);
    if (ec != std::errc() || p != digits.data() + digits.size() || digits.empty()) w = fallback;
  } else {
    w = fallback;
  }
  return w == 0 ? 1 : w;
}

bool ShortNames::claim(const std::string& candidate) {
  return taken_.insert(candidate).second;
}

Result<std::string> ShortNames::take(std::string_view name) {
  const std::string b = short_name_base(name);
  std::string candidate = b.substr(0, sav::kShortNameBytes);
  if (claim(candidate)) return candidate;
  for (size_t k = 0; k < kMaxShortNameSuffix; ++k) {
    const std::string s = std::to_string(k);
    candidate = b.substr(0, std::min(b.size(), sav::kShortNameBytes - s.size())) + s;
    if (claim(candidate)) return candidate;
  }
  return SpssError::write("exhausted short name space");
}

std::string ShortNames::take_segment(const std::string& base, size_t k) {
  std::string s = std::to_string(k);
  if (s.size() < 3) s.insert(0, 3 - s.size(), '0');
  std::string candidate =
      base.substr(0, std::min(base.size(), sav::kShortNameBytes - s.size())) + s;
  if (claim(candidate)) return candidate;
  for (size_t c = 1;; ++c) {
    const std::string d = std::to_string(c);
    candidate = base.substr(0, std::min(std::min(base.size(), size_t{5}),
                                        sav::kShortNameBytes - d.size())) +
                d;
    if (claim(candidate)) return candidate;
  }
}

Status check_variable_name(const std::string& name, std::unordered_set<std::string>& seen_upper) {
  auto fail = [&](const std::string& rule) {
    return SpssError::write("column '" + name + "': " + rule);
  };
  if (name.empty()) return fail("a variable name cannot be empty");
  if (name.size() > kMaxVariableNameBytes)
    return fail("a variable name cannot be longer than 64 bytes");
  const auto first = static_cast<uint8_t>(name[0]);
  const bool ascii_letter = (first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z');
  if (!ascii_letter && first < 0x80) return fail("a variable name must start with a letter");
  for (char ch : name) {
    const auto c = static_cast<uint8_t>(ch);
    if (c == ' ') return fail("a variable name cannot contain a space");
    const bool allowed = c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '$' || c == '#' ||
                         c == '@';
    if (!allowed)
      return fail(std::string("a variable name cannot contain the character '") + ch + "'");
  }
  std::string upper = to_upper_unicode(name);
  if (is_reserved_word(upper)) return fail("a variable name cannot be the reserved word " + upper);
  if (!seen_upper.insert(std::move(upper)).second)
    return fail("another column has the same name apart from case");
  return Ok{};
}

namespace {

// Appends the type-2 records of one variable.
void append_slot_records(CaseLayout& layout, const WriteVariable& v,
                         const std::vector<std::string>& segment_names) {
  auto continuation = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      SlotRecord c;
      c.type_code = sav::kContinuationType;
      c.is_continuation = true;
      layout.slots.push_back(std::move(c));
    }
  };
  SlotRecord first;
  first.name = v.short_name;
  first.label = v.label;
  if (!v.var_type.is_string) {
    first.type_code = 0;
    first.missing_values = v.missing_values;
    first.print_format = v.print_format;
    layout.slots.push_back(std::move(first));
    return;
  }
  if (v.n_segments == 1) {
    first.type_code = static_cast<int32_t>(v.width);
    first.print_format = v.print_format;
    if (v.width <= sav::kSlotBytes) first.missing_values = v.missing_values;
    layout.slots.push_back(std::move(first));
    continuation(v.segment_slots - 1);
    return;
  }
  for (size_t k = 0; k < v.n_segments; ++k) {
    const bool last = k + 1 == v.n_segments;
    const size_t width =
        last ? v.width - sav::kSegmentDataBytes * (v.n_segments - 1) : sav::kMaxShortStringWidth;
    SlotRecord seg;
    seg.name = segment_names[k];
    if (k == 0) seg.label = v.label;
    seg.type_code = static_cast<int32_t>(width);
    seg.print_format = {kFmtA, static_cast<uint8_t>(width), 0};
    layout.slots.push_back(std::move(seg));
    continuation((last ? v.last_segment_slots : v.segment_slots) - 1);
  }
}

}  // namespace

Result<CaseLayout> build_case_layout(const arrow::Schema& schema, const SpssMetadata& m) {
  CaseLayout layout;
  ShortNames names;
  layout.variables.reserve(schema.fields.size());
  for (size_t col = 0; col < schema.fields.size(); ++col) {
    const std::string& name = schema.fields[col].name;
    WriteVariable v;
    v.name = name;
    v.column_index = col;
    const std::string* fmt_text = m.variable_formats.find(name);
    const std::string text = fmt_text ? *fmt_text : std::string("F8.2");
    const SpssFormat fmt = SpssFormat::from_string(text).value_or(SpssFormat{kFmtF, 8, 2});
    v.print_format = {fmt.format_type, fmt.width, fmt.decimals};
    if (fmt.format_type >= 3) {
      v.var_type = VarType::numeric();
      v.width = sav::kSlotBytes;
      v.segment_slots = v.last_segment_slots = 1;
    } else {
      size_t w = declared_string_width(text, fmt.width);
      if (w > sav::kMaxShortStringWidth) {
        if (const size_t* sw = m.variable_storage_widths.find(name)) w = *sw;
      }
      v.var_type = VarType::string(w);
      v.width = w;
      if (w <= sav::kMaxShortStringWidth) {
        v.segment_slots = v.last_segment_slots = sav::slots_for_bytes(w);
      } else {
        v.n_segments = sav::segment_count(w);
        v.segment_slots = sav::kSegmentSlots;
        v.last_segment_slots =
            sav::slots_for_bytes(w - sav::kSegmentDataBytes * (v.n_segments - 1));
      }
    }
    if (const std::string* label = m.variable_labels.find(name)) v.label = *label;
    if (const auto* specs = m.variable_missing_values.find(name); specs && !specs->empty()) {
      KORVEL_ASSIGN_OR_RETURN(v.missing_values, build_missing(name, v.var_type.is_string, *specs));
    }
    if (const Measure* me = m.variable_measures.find(name)) v.measure = *me;
    if (const Alignment* a = m.variable_alignments.find(name)) v.alignment = *a;
    const uint32_t* dw = m.variable_display_widths.find(name);
    v.display_width = dw ? *dw : fmt.width;
    KORVEL_ASSIGN_OR_RETURN(v.short_name, names.take(name));
    std::vector<std::string> segment_names{v.short_name};
    for (size_t k = 1; k < v.n_segments; ++k)
      segment_names.push_back(names.take_segment(v.short_name, k));
    layout.long_names.insert(v.short_name, name);
    if (v.n_segments > 1) layout.very_long_strings.emplace_back(v.short_name, v.width);
    v.slot_offset = layout.total_slots;
    append_slot_records(layout, v, segment_names);
    layout.total_slots = layout.slots.size();
    layout.variables.push_back(std::move(v));
  }
  return layout;
}

}  // namespace korvel

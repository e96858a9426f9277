#include "writer/records.hpp"

#include <charconv>
#include <ctime>

#include "sav_format.hpp"

namespace korvel {

namespace {

constexpr std::string_view kProductName = "@(#) SPSS DATA FILE korvel 0.4.4";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int32_t kCharacterCodeUtf8 = 65001;

std::string two_digits(unsigned v) {
  return std::string(1, static_cast<char>('0' + v / 10 % 10)) + static_cast<char>('0' + v % 10);
}

// An extension record whose body is assembled in memory first.
Status write_text_record(SavWriteExt& out, int32_t subtype, const std::string& body) {
  KORVEL_TRY(write_info_record_header(out, subtype, 1, static_cast<int32_t>(body.size())));
  return out.write_bytes(body);
}

std::string number_text(double v) {
  char buf[32];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, p) : std::string();
}

std::string fixed_width(std::string_view s, size_t width) {
  std::string v(s.substr(0, width));
  v.resize(width, ' ');
  return v;
}

const ValueLabels* labels_of(const SpssMetadata& m, const std::string& name) {
  const ValueLabels* l = m.variable_value_labels.find(name);
  return l && !l->empty() ? l : nullptr;
}

}  // namespace

std::optional<std::pair<std::string, std::string>> parse_iso_to_spss_parts(std::string_view text) {
  const size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view date = text.substr(0, space);
  unsigned parts[3];
  for (int i = 0; i < 3; ++i) {
    const size_t dash = date.find('-');
    if ((i < 2) != (dash != std::string_view::npos)) return std::nullopt;
    std::string_view piece = i < 2 ? date.substr(0, dash) : date;
    if (!piece.empty() && piece[0] == '+') piece.remove_prefix(1);
    auto [p, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), parts[i]);
    if (piece.empty() || ec != std::errc() || p != piece.data() + piece.size()) return std::nullopt;
    if (i < 2) date.remove_prefix(dash + 1);
  }
  if (parts[1] < 1 || parts[1] > 12) return std::nullopt;
  std::string date_text = std::to_string(parts[2]);
  if (date_text.size() < 2) date_text.insert(0, "0");
  date_text.append(" ").append(kMonths[parts[1] - 1]).append(" ");
  date_text.append(two_digits(parts[0] % 100));
  return std::make_pair(std::move(date_text), std::string(text.substr(space + 1)));
}

std::pair<std::string, std::string> current_date_time() {
  std::time_t now = std::time(nullptr);
  if (now < 0) now = 0;
  std::tm t{};
  gmtime_r(&now, &t);
  const auto u = [](int v) { return static_cast<unsigned>(v); };
  return {two_digits(u(t.tm_mday)) + " " + kMonths[t.tm_mon] + " " + two_digits(u(t.tm_year % 100)),
          two_digits(u(t.tm_hour)) + ":" + two_digits(u(t.tm_min)) + ":" + two_digits(u(t.tm_sec))};
}

Status write_header(SavWriteExt& out, const HeaderValues& h) {
  const bool zsav = h.compression == Compression::Zlib;
  KORVEL_TRY(out.write_bytes(std::string_view(zsav ? sav::kMagicZsav : sav::kMagicSav, 4)));
  KORVEL_TRY(out.write_fixed_string(kProductName, sav::header::kProductName.width));
  KORVEL_TRY(out.write_i32_le(sav::kLayoutCode));
  KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(h.total_slots)));
  KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(h.compression)));
  KORVEL_TRY(out.write_i32_le(h.weight_index));
  const bool fits = h.rows <= static_cast<uint64_t>(INT32_MAX);
  KORVEL_TRY(out.write_i32_le(fits ? static_cast<int32_t>(h.rows) : sav::kUnknownCaseCount));
  KORVEL_TRY(out.write_f64_le(sav::kDefaultBias));
  KORVEL_TRY(out.write_fixed_string(h.creation_date, sav::header::kCreationDate.width));
  KORVEL_TRY(out.write_fixed_string(h.creation_time, sav::header::kCreationTime.width));
  KORVEL_TRY(out.write_fixed_string(cut_utf8(h.file_label, sav::header::kFileLabel.width),
                                    sav::header::kFileLabel.width));
  return out.write_zero_padding(sav::header::kPadding.width);
}

Status write_variable_records(SavWriteExt& out, const CaseLayout& layout) {
  for (const SlotRecord& r : layout.slots) {
    const bool has_label = r.label.has_value() && !r.is_continuation;
    const int32_t fmt = r.is_continuation ? 0 : r.print_format.word();
    KORVEL_TRY(out.write_i32_le(sav::kRecordVariable));
    KORVEL_TRY(out.write_i32_le(r.type_code));
    KORVEL_TRY(out.write_i32_le(has_label ? 1 : 0));
    KORVEL_TRY(out.write_i32_le(missing_value_count(r.missing_values)));
    KORVEL_TRY(out.write_i32_le(fmt));
    KORVEL_TRY(out.write_i32_le(fmt));
    KORVEL_TRY(out.write_fixed_string(r.name, sav::kShortNameBytes));
    if (has_label) {
      const std::string& label = *r.label;
      KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(label.size())));
      KORVEL_TRY(out.write_bytes(label));
      KORVEL_TRY(out.write_zero_padding((4 - label.size() % 4) % 4));
    }
    for (double v : r.missing_values.numbers) KORVEL_TRY(out.write_f64_le(v));
    for (const auto& s : r.missing_values.strings)
      KORVEL_TRY(
          out.write_bytes(std::string_view(reinterpret_cast<const char*>(s.data()), s.size())));
  }
  return Ok{};
}

Status write_value_labels(SavWriteExt& out, const CaseLayout& layout, const SpssMetadata& m) {
  for (const WriteVariable& v : layout.variables) {
    const ValueLabels* labels = labels_of(m, v.name);
    if (!labels || (v.var_type.is_string && v.width > sav::kSlotBytes)) continue;
    KORVEL_TRY(out.write_i32_le(sav::kRecordValueLabels));
    KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(labels->size())));
    for (const auto& [key, label] : *labels) {
      if (key.is_number()) {
        KORVEL_TRY(out.write_f64_le(key.as_number()));
      } else {
        KORVEL_TRY(out.write_fixed_string(key.as_string(), sav::kSlotBytes));
      }
      const std::string_view cut = cut_utf8(label, sav::kMaxValueLabelBytes);
      const auto len = static_cast<uint8_t>(cut.size());
      KORVEL_TRY(out.write_bytes(std::string_view(reinterpret_cast<const char*>(&len), 1)));
      KORVEL_TRY(out.write_bytes(cut));
      KORVEL_TRY(out.write_zero_padding((8 - (1 + cut.size()) % 8) % 8));
    }
    KORVEL_TRY(out.write_i32_le(sav::kRecordValueLabelVars));
    KORVEL_TRY(out.write_i32_le(1));
    KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(v.slot_offset + 1)));
  }
  return Ok{};
}

std::vector<std::string> document_lines(const std::string& note) {
  std::vector<std::string> lines;
  std::string_view rest = note;
  do {
    std::string_view line = cut_utf8(rest, sav::kDocumentLineBytes);
    if (line.empty() && !rest.empty()) line = rest.substr(0, 1);  // never stall
    lines.emplace_back(line);
    rest.remove_prefix(line.size());
  } while (!rest.empty());
  return lines;
}

Status write_document_record(SavWriteExt& out, const std::vector<std::string>& notes) {
  std::vector<std::string> lines;
  for (const std::string& note : notes)
    for (std::string& l : document_lines(note)) lines.push_back(std::move(l));
  if (lines.empty()) return Ok{};
  KORVEL_TRY(out.write_i32_le(sav::kRecordDocument));
  KORVEL_TRY(out.write_i32_le(static_cast<int32_t>(lines.size())));
  for (const std::string& l : lines) KORVEL_TRY(out.write_fixed_string(l, sav::kDocumentLineBytes));
  return Ok{};
}

Status write_info_record_header(SavWriteExt& out, int32_t subtype, int32_t size, int32_t count) {
  KORVEL_TRY(out.write_i32_le(sav::kRecordExtension));
  KORVEL_TRY(out.write_i32_le(subtype));
  KORVEL_TRY(out.write_i32_le(size));
  return out.write_i32_le(count);
}

Status write_info_integer(SavWriteExt& out) {
  KORVEL_TRY(write_info_record_header(out, sav::kExtMachineIntegers, 4, 8));
  // Version 28.0.0, machine -1, IEEE floats, compression 1, little-endian, UTF-8.
  for (int32_t v : {28, 0, 0, -1, 1, 1, 2, kCharacterCodeUtf8}) KORVEL_TRY(out.write_i32_le(v));
  return Ok{};
}

Status write_info_float(SavWriteExt& out) {
  KORVEL_TRY(write_info_record_header(out, sav::kExtMachineFloats, 8, 3));
  for (uint64_t bits : {sav::kSysmisBits, sav::kHighestBits, sav::kLowestBits})
    KORVEL_TRY(out.write_f64_le(std::bit_cast<double>(bits)));
  return Ok{};
}

Status write_info_var_display(SavWriteExt& out, const CaseLayout& layout) {
  size_t n = 0;
  for (const SlotRecord& r : layout.slots) n += r.is_continuation ? 0 : 1;
  KORVEL_TRY(write_info_record_header(out, sav::kExtDisplayParams, 4, static_cast<int32_t>(3 * n)));
  size_t cursor = 0;
  for (const SlotRecord& r : layout.slots) {
    if (r.is_continuation) continue;
    int32_t measure = 0, width = 8, align = 0;
    if (cursor < layout.variables.size() && r.name == layout.variables[cursor].short_name) {
      const WriteVariable& v = layout.variables[cursor++];
      measure = measure_code(v.measure);
      width = static_cast<int32_t>(v.display_width);
      align = alignment_code(v.alignment);
    } else if (cursor < layout.variables.size()) {
      width = static_cast<int32_t>(sav::kMaxShortStringWidth);
    }
    KORVEL_TRY(out.write_i32_le(measure));
    KORVEL_TRY(out.write_i32_le(width));
    KORVEL_TRY(out.write_i32_le(align));
  }
  return Ok{};
}

Status write_info_long_names(SavWriteExt& out, const CaseLayout& layout) {
  std::string text;
  for (const auto& [short_name, name] : layout.long_names) {
    if (!text.empty()) text += '\t';
    text += short_name + "=" + name;
  }
  return text.empty() ? Status(Ok{}) : write_text_record(out, sav::kExtLongNames, text);
}

Status write_info_very_long_strings(SavWriteExt& out, const CaseLayout& layout) {
  if (layout.very_long_strings.empty()) return Ok{};
  std::string text;
  for (const auto& [short_name, width] : layout.very_long_strings) {
    std::string w = std::to_string(width);
    if (w.size() < 5) w.insert(0, 5 - w.size(), '0');
    text += short_name + "=" + w;
    text += '\0';
    text += '\t';
  }
  return write_text_record(out, sav::kExtVeryLongStrings, text);
}

Status write_info_encoding(SavWriteExt& out) {
  return write_text_record(out, sav::kExtEncodingName, "UTF-8");
}

Status write_info_long_string_labels(SavWriteExt& out, const CaseLayout& layout,
                                     const SpssMetadata& m) {
  std::string body;
  for (const WriteVariable& v : layout.variables) {
    const ValueLabels* labels = labels_of(m, v.name);
    if (!labels || !v.var_type.is_string || v.width <= sav::kSlotBytes) continue;
    append_i32_le(body, static_cast<int32_t>(v.name.size()));
    body += v.name;
    append_i32_le(body, static_cast<int32_t>(v.width));
    append_i32_le(body, static_cast<int32_t>(labels->size()));
    for (const auto& [key, label] : *labels) {
      append_i32_le(body, static_cast<int32_t>(v.width));
      body +=
          fixed_width(key.is_number() ? number_text(key.as_number()) : key.as_string(), v.width);
      append_i32_le(body, static_cast<int32_t>(label.size()));
      body += label;
    }
  }
  return body.empty() ? Status(Ok{}) : write_text_record(out, sav::kExtLongStringLabels, body);
}

Status write_info_long_string_missing(SavWriteExt& out, const CaseLayout& layout,
                                      const SpssMetadata& m) {
  std::string body;
  for (const WriteVariable& v : layout.variables) {
    const auto* specs = m.variable_missing_values.find(v.name);
    if (!specs || specs->empty() || !v.var_type.is_string || v.width <= sav::kSlotBytes) continue;
    append_i32_le(body, static_cast<int32_t>(v.short_name.size()));
    body += v.short_name;
    body += static_cast<char>(v.missing_values.strings.size());
    append_i32_le(body, static_cast<int32_t>(sav::kSlotBytes));
    for (const auto& s : v.missing_values.strings) body.append(s.begin(), s.end());
  }
  return body.empty() ? Status(Ok{}) : write_text_record(out, sav::kExtLongStringMissing, body);
}

namespace {

std::string mr_set_lines(const SpssMetadata& m, const CaseLayout* short_names) {
  std::unordered_map<std::string, std::string> to_short;
  if (short_names)
    for (const auto& [s, name] : short_names->long_names) to_short.emplace(name, s);
  std::string text;
  for (const auto& [name, set] : m.mr_sets) {
    text.append("$").append(name).append("=");
    if (set.mr_type == MrType::Category) {
      text.append("C");
    } else if (set.counted_value) {
      text.append("D").append(std::to_string(set.counted_value->size()));
      text.append(" ").append(*set.counted_value);
    } else {
      text.append("D1 1");
    }
    text.append(" ").append(std::to_string(set.label.size())).append(" ").append(set.label);
    for (const std::string& var : set.variables) {
      auto it = to_short.find(var);
      text.append(" ").append(it == to_short.end() ? var : it->second);
    }
    text += '\n';
  }
  return text;
}

}  // namespace

Status write_info_mr_sets(SavWriteExt& out, const SpssMetadata& m, const CaseLayout& layout) {
  if (m.mr_sets.empty()) return Ok{};
  return write_text_record(out, sav::kExtMrSets, mr_set_lines(m, &layout));
}

Status write_info_mr_sets_v2(SavWriteExt& out, const SpssMetadata& m) {
  if (m.mr_sets.empty()) return Ok{};
  return write_text_record(out, sav::kExtMrSetsV2, mr_set_lines(m, nullptr));
}

Status write_info_var_attributes(SavWriteExt& out, const SpssMetadata& m) {
  if (m.variable_roles.empty() && m.variable_attributes.empty()) return Ok{};
  std::vector<const std::string*> names;
  for (const auto& [name, role] : m.variable_roles) names.push_back(&name);
  for (const auto& [name, attrs] : m.variable_attributes)
    if (!m.variable_roles.contains(name)) names.push_back(&name);
  std::string text;
  for (const std::string* name : names) {
    if (!text.empty()) text += '/';
    text += *name + ":";
    if (const auto* attrs = m.variable_attributes.find(*name)) {
      for (const auto& [attr, values] : *attrs) {
        if (values.empty()) continue;
        text += attr + "(";
        for (const std::string& value : values) text += "'" + value + "'\n";
        text += ")";
      }
    }
    if (const Role* role = m.variable_roles.find(*name))
      text += "$@Role('" + std::to_string(static_cast<int>(*role)) + "'\n)";
  }
  return write_text_record(out, sav::kExtVariableAttributes, text);
}

Status write_dict_termination(SavWriteExt& out) {
  KORVEL_TRY(out.write_i32_le(sav::kRecordTermination));
  return out.write_i32_le(0);
}

Status write_dictionary(SavWriteExt& out, const HeaderValues& h, const CaseLayout& layout,
                        const SpssMetadata& m) {
  KORVEL_TRY(write_header(out, h));
  KORVEL_TRY(write_variable_records(out, layout));
  KORVEL_TRY(write_value_labels(out, layout, m));
  KORVEL_TRY(write_document_record(out, m.notes));
  KORVEL_TRY(write_info_integer(out));
  KORVEL_TRY(write_info_float(out));
  KORVEL_TRY(write_info_var_display(out, layout));
  KORVEL_TRY(write_info_long_names(out, layout));
  KORVEL_TRY(write_info_very_long_strings(out, layout));
  KORVEL_TRY(write_info_encoding(out));
  KORVEL_TRY(write_info_long_string_labels(out, layout, m));
  KORVEL_TRY(write_info_long_string_missing(out, layout, m));
  KORVEL_TRY(write_info_mr_sets(out, m, layout));
  KORVEL_TRY(write_info_mr_sets_v2(out, m));
  KORVEL_TRY(write_info_var_attributes(out, m));
  return write_dict_termination(out);
}

}  // namespace korvel
